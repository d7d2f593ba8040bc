#include "engine/clsAttachmentSaver.h"

#include "engine/mdlMailContent.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using mdlMailContent::readContent;

namespace {

// What may safely be created inside the target folder: the last path element only, without control,
// formatting or reserved characters, not hidden, not too long for a file system.
QString safeFileName(const QString& sName, qint32 k) {
    QString s = sName;
    s.replace(u'\\', u'/');
    s = s.section(u'/', -1);
    QString sClean;
    for (QChar c : s) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || c.category() == QChar::Other_Format)
            continue;
        sClean += QStringLiteral("<>:\"|?*").contains(c) ? QChar(u'_') : c;
    }
    sClean = sClean.trimmed();
    while (sClean.startsWith(u'.'))
        sClean.remove(0, 1);
    while (sClean.endsWith(u'.') || sClean.endsWith(u' '))
        sClean.chop(1);
    if (sClean.isEmpty())
        return QStringLiteral("attachment-%1").arg(k);
    // 255 bytes is the usual limit of a name; keep room for " (n)" and the extension.
    const qsizetype iDot = sClean.lastIndexOf(u'.');
    QString sExt = iDot > 0 && sClean.size() - iDot <= 16 ? sClean.mid(iDot) : QString();
    QString sStem = sClean.left(sClean.size() - sExt.size());
    while (!sStem.isEmpty() && (sStem + sExt).toUtf8().size() > 200)
        sStem.chop(sStem.size() > 1 && sStem.back().isLowSurrogate() ? 2 : 1);
    return sStem.isEmpty() ? QStringLiteral("attachment-%1").arg(k) + sExt : sStem + sExt;
}
} // namespace

bool clsAttachmentSaver::save(GMimePart* part, const QString& sFileName, qint32 k, const QString& sFolder) {
    if (sFolder.isEmpty())
        return false;
    const QFileInfo folder(sFolder);
    if (!folder.isDir() || !folder.isWritable())
        return false;
    const QDir dir(folder.absoluteFilePath());
    const QString sBase = safeFileName(sFileName, k);
    const qsizetype iDot = sBase.lastIndexOf(u'.');
    const QString sStem = iDot > 0 ? sBase.left(iDot) : sBase;
    const QString sExt = iDot > 0 ? sBase.mid(iDot) : QString();
    for (int n = 1; n <= 9999; ++n) {
        const QString sName = n == 1 ? sBase : QStringLiteral("%1 (%2)%3").arg(sStem).arg(n).arg(sExt);
        const QString sPath = dir.filePath(sName);
        QFile file(sPath);
        // NewOnly creates exclusively (O_EXCL): an existing file or link is never opened, let alone
        // truncated.
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            const QFileInfo existing(sPath);
            if (existing.exists() || existing.isSymLink())
                continue;
            return false;
        }
        const bool bOk =
            readContent(part, [&](const char* p, qsizetype iSize) { return file.write(p, iSize) == iSize; });
        file.close();
        if (!bOk || file.error() != QFileDevice::NoError) {
            file.remove();
            return false;
        }
        sLastSaved = sPath;
        return true;
    }
    return false;
}
