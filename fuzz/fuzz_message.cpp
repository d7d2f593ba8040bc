// Raw message bytes, written to disk the way the POP3 dialogue writes them, then read through every getter
// the reception uses, and the body put through quote removal and division into pages.
//
// The POP3 component's getters only fetch the file over the network and hand the call to MailMessage (the
// attachment size is also capped to 32 bits), so loading the file ourselves reaches the same code without a
// server.

#include "engine/MailMessage.h"
#include "engine/clsMailTransfer.h"
#include "settings/clsSet1.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {
QString sSandbox;

void removeSandbox() {
    QDir(sSandbox).removeRecursively();
}

// What Pop3Client::readMultiLineToFile keeps of a reply: every line with its line end replaced by CR LF;
// for TOP n 0 nothing after the blank line that ends the header.
QByteArray asReceived(const QByteArray& raw, bool bHeaderOnly) {
    QByteArray out;
    out.reserve(raw.size() + raw.size() / 16 + 2);
    qsizetype iPos = 0;
    while (iPos < raw.size()) {
        qsizetype iEnd = raw.indexOf('\n', iPos);
        if (iEnd < 0)
            iEnd = raw.size();
        QByteArray line = raw.mid(iPos, iEnd - iPos);
        iPos = iEnd + 1;
        while (line.endsWith('\r'))
            line.chop(1);
        out += line;
        out += "\r\n";
        if (bHeaderOnly && line.isEmpty())
            break;
    }
    return out;
}

bool writeFile(const QString& sPath, const QByteArray& bytes) {
    QFile file(sPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Keeps the results alive so that no getter is optimised away.
volatile qsizetype iSink = 0;
void use(const QString& s) {
    iSink = iSink + s.size();
}

void readHeader(const MailMessage& m) {
    use(m.FromName());
    use(m.FromAddress());
    use(m.ReplyTo());
    use(m.Subject());
    // One past each end as well: the reception asks by index and must get an empty answer there.
    for (qint32 k = 0; k <= m.ToCount() + 1; ++k) {
        use(m.ToName(k));
        use(m.ToAddress(k));
    }
    for (qint32 k = 0; k <= m.CcCount() + 1; ++k) {
        use(m.CcName(k));
        use(m.CcAddress(k));
    }
    for (qint32 k = 0; k <= m.BccCount() + 1; ++k) {
        use(m.BccName(k));
        use(m.BccAddress(k));
    }
    for (qint32 k = 0; k <= m.HeaderCount() + 1; ++k)
        use(m.HeaderLine(k));
}

void readAttachments(const MailMessage& m, const QString& sFolder) {
    const QString sFolderPath = QFileInfo(sFolder).absoluteFilePath();
    const qint32 iCount = m.AttachmentCount();
    for (qint32 k = 0; k <= iCount + 1; ++k) {
        use(m.AttachmentName(k));
        iSink = iSink + m.AttachmentSize(k);
    }
    // Writing is the costly part; the first few show whether a name can leave the folder.
    for (qint32 k = 1; k <= iCount && k <= 4; ++k) {
        if (!m.SaveAttachment(k, sFolder))
            continue;
        const QFileInfo saved(m.lastSavedPath());
        if (saved.absolutePath() != sFolderPath || !saved.isFile())
            std::abort();
    }
    QDir(sFolder).removeRecursively();
    QDir().mkpath(sFolder);
}

QString pageMark(qint16 iPage, qint16 iPages) {
    auto number = [](qint16 n) { return QString::number(n).rightJustified(2, u'0'); };
    return QStringLiteral("ペリモ ") + number(iPage) + u'/' + number(iPages);
}

// Division must hand on the whole text once, in order, never cutting a character in two.
void dividePages(const QString& sText, qint16 iPageSize, qint16 iPosition) {
    clsMailTransfer& store = clsMailTransfer::instance();
    const qint16 iPages = store.mailDivideCul(sText, iPageSize, store.getTransSizeEasy(), iPosition);
    if (iPages < 1 || store.getMailDividePage() != iPages || !store.getMailDivide(iPages).isEmpty())
        std::abort();
    const QString sCrLf = QStringLiteral("\r\n");
    QString sJoined;
    for (qint16 i = 0; i < iPages; ++i) {
        const QString sPage = store.getMailDivide(i);
        const QString sMark = pageMark(qint16(i + 1), iPages);
        QString sPart;
        if (iPosition == 1 && sPage.startsWith(sMark + sCrLf))
            sPart = sPage.mid(sMark.size() + 2);
        else if (iPosition != 1 && sPage.endsWith(sCrLf + sMark))
            sPart = sPage.chopped(sMark.size() + 2);
        else
            std::abort();
        const qsizetype iCut = sJoined.size() + sPart.size();
        if (i + 1 < iPages && iCut > 0 && iCut < sText.size() && sText.at(iCut - 1).isHighSurrogate() &&
            sText.at(iCut).isLowSurrogate())
            std::abort();
        sJoined += sPart;
    }
    if (sJoined != sText)
        std::abort();
}

void forwardText(const QString& sBody) {
    clsMailTransfer& store = clsMailTransfer::instance();
    store.setBodyForTest(0, sBody);
    if (!store.DeleteQuotation(0))
        std::abort();
    const QString sKept = store.getBody(0);
    if (sKept.size() > sBody.size())
        std::abort();
    dividePages(sKept, 250, 1);
    // Page sizes the settings allow by hand, down to none at all, and the mark at the end.
    dividePages(sKept, qint16(qsizetype(sKept.size() % 61) - 20), 0);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/pelimo-fuzz-message-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir)
        std::abort();
    sSandbox = QString::fromLocal8Bit(dir);
    std::atexit(removeSandbox);
    QDir().mkpath(sSandbox + QStringLiteral("/attachments"));

    // Quote marks as a user sets them, blank lines removed too.
    clsFIL1& fil1 = clsSet1::instance().FIL1();
    fil1.setDefault();
    fil1.setValue(5, {0});
    fil1.setValue(6, {3});
    fil1.setValue(7, {QStringLiteral(">"), 0});
    fil1.setValue(7, {QStringLiteral("＞"), 1});
    fil1.setValue(7, {QStringLiteral("| "), 2});
    fil1.setValue(8, {1});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray raw = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString sHeaderFile = sSandbox + QStringLiteral("/h.eml");
    const QString sWholeFile = sSandbox + QStringLiteral("/m.eml");
    if (!writeFile(sHeaderFile, asReceived(raw, true)) || !writeFile(sWholeFile, asReceived(raw, false)))
        std::abort();

    // The reception reads the header first (TOP n 0, or the header of a copy it holds whole) and the whole
    // message only when it needs the rest.
    for (const QString& sFile : {sHeaderFile, sWholeFile}) {
        MailMessage header;
        if (header.load(sFile, true)) {
            readHeader(header);
            use(header.Body());
            readAttachments(header, sSandbox + QStringLiteral("/attachments"));
        }
    }
    MailMessage whole;
    if (!whole.load(sWholeFile, false))
        return 0;
    readHeader(whole);
    const QString sBody = whole.Body();
    readAttachments(whole, sSandbox + QStringLiteral("/attachments"));
    forwardText(sBody);
    return 0;
}
