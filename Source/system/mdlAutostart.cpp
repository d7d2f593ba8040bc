#include "system/mdlAutostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
// A desktop entry's Exec field: quoted, with the characters that are special inside quotes escaped.
QString execField(const QString& sProgram) {
    QString s;
    for (const QChar c : sProgram) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            s += u'\\';
        s += c;
    }
    return u'"' + s + u'"';
}
} // namespace

QString autostartEntryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/PelimoMail.desktop");
}

bool setAutostart(bool bOn, const QString& sProgram, QString& sError) {
    const QString sPath = autostartEntryPath();
    if (!bOn) {
        if (QFile::exists(sPath) && !QFile::remove(sPath)) {
            sError = QStringLiteral("cannot remove ") + sPath;
            return false;
        }
        return true;
    }
    QSaveFile file(sPath);
    if (!QDir().mkpath(QFileInfo(sPath).absolutePath()) || !file.open(QIODevice::WriteOnly)) {
        sError = QStringLiteral("cannot write ") + sPath;
        return false;
    }
    const QString sEntry =
        QStringLiteral("[Desktop Entry]\nType=Application\nName=PelimoMail\nName[ja]=ペリモメール\n"
                       "Exec=%1\nIcon=PelimoMail\nX-GNOME-Autostart-enabled=true\n")
            .arg(execField(sProgram));
    file.write(sEntry.toUtf8());
    if (!file.commit()) {
        sError = QStringLiteral("cannot write ") + sPath;
        return false;
    }
    return true;
}
