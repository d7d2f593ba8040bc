#include "settings/SettingsStore.h"

#include "settings/TextIniFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSettings>
#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {
const QString sOrganisation = QStringLiteral("PelimoMail");

QMutex storeLock;
QStringList corrections;

std::unordered_map<std::string, std::unique_ptr<QSettings>>& stores() {
    static std::unordered_map<std::string, std::unique_ptr<QSettings>> map;
    return map;
}

// Creates the file owner-only before Qt writes it for the first time; Qt keeps the mode of an existing file.
void prepareFile(const QString& sPath) {
    if (sPath.isEmpty() || QFileInfo::exists(sPath))
        return;
    QDir().mkpath(QFileInfo(sPath).absolutePath());
    int fd = ::open(QFile::encodeName(sPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
}

QSettings& store(const QString& sAPPName) {
    std::unique_ptr<QSettings>& s = stores()[sAPPName.toStdString()];
    if (!s)
        s = std::make_unique<QSettings>(TextIniFormat::format(), QSettings::UserScope, sOrganisation,
                                        sAPPName);
    return *s;
}

QString fullKey(const QString& sSection, const QString& sKey) {
    return sSection + QLatin1Char('/') + sKey;
}
} // namespace

bool SettingsStore::getSetting(const QString& sAPPName, const QString& sSection, const QString& sKey,
                               const QString& sDefault, QString& sValue) {
    QMutexLocker lock(&storeLock);
    const QSettings& s = store(sAPPName);
    if (s.status() != QSettings::NoError)
        return false;
    const QVariant v = s.value(fullKey(sSection, sKey));
    sValue = v.isValid() ? v.toString() : sDefault;
    return true;
}

bool SettingsStore::saveSetting(const QString& sAPPName, const QString& sSection, const QString& sKey,
                                const QString& sValue) {
    QMutexLocker lock(&storeLock);
    QSettings& s = store(sAPPName);
    if (s.status() != QSettings::NoError || !s.isWritable())
        return false;
    s.setValue(fullKey(sSection, sKey), sValue);
    return true;
}

bool SettingsStore::readText(const QString& sAPPName, const QString& sSection, const QString& sKey,
                             const QString& sDefault, QString& sValue) {
    QString sRead;
    if (!getSetting(sAPPName, sSection, sKey, sDefault, sRead))
        return false;
    sValue = sRead;
    return true;
}

bool SettingsStore::readInt16(const QString& sAPPName, const QString& sSection, const QString& sKey,
                              qint16 iDefault, qint16& iValue) {
    QString sRead;
    qint16 iRead = 0;
    if (!getSetting(sAPPName, sSection, sKey, QString::number(iDefault), sRead) || !toInt16(sRead, iRead))
        return false;
    iValue = iRead;
    return true;
}

bool SettingsStore::readBool(const QString& sAPPName, const QString& sSection, const QString& sKey,
                             bool bDefault, bool& bValue) {
    QString sRead;
    bool bRead = false;
    if (!getSetting(sAPPName, sSection, sKey, fromBool(bDefault), sRead) || !toBool(sRead, bRead))
        return false;
    bValue = bRead;
    return true;
}

bool SettingsStore::readCount(const QString& sAPPName, const QString& sSection, const QString& sKey,
                              qint16 iDefault, qint16 iMin, qint16 iMax, qint16& iValue) {
    qint16 iRead = iDefault;
    if (!readInt16(sAPPName, sSection, sKey, iDefault, iRead))
        return false;
    iValue = std::clamp(iRead, iMin, iMax);
    if (iValue != iRead) {
        const QString sNote = QStringLiteral("[%1] %2=%3 → %4").arg(sSection, sKey).arg(iRead).arg(iValue);
        QMutexLocker lock(&storeLock);
        if (!corrections.contains(sNote))
            corrections << sNote;
    }
    return true;
}

QStringList SettingsStore::takeCorrections() {
    QMutexLocker lock(&storeLock);
    return std::exchange(corrections, {});
}

bool SettingsStore::writeInt16(const QString& sAPPName, const QString& sSection, const QString& sKey,
                               qint16 iValue) {
    return saveSetting(sAPPName, sSection, sKey, QString::number(iValue));
}

bool SettingsStore::writeBool(const QString& sAPPName, const QString& sSection, const QString& sKey,
                              bool bValue) {
    return saveSetting(sAPPName, sSection, sKey, fromBool(bValue));
}

bool SettingsStore::sync(const QString& sAPPName) {
    QMutexLocker lock(&storeLock);
    QSettings& s = store(sAPPName);
    if (s.status() != QSettings::NoError)
        return false;
    prepareFile(s.fileName());
    s.sync();
    QFile::setPermissions(s.fileName(), QFile::ReadOwner | QFile::WriteOwner);
    return s.status() == QSettings::NoError;
}

QString SettingsStore::fileName(const QString& sAPPName) {
    QMutexLocker lock(&storeLock);
    return store(sAPPName).fileName();
}

void SettingsStore::reset() {
    QMutexLocker lock(&storeLock);
    for (const auto& entry : stores())
        entry.second->sync();
    stores().clear();
}

bool SettingsStore::toInt16(const QVariant& vValue, qint16& iValue) {
    bool ok = false;
    qlonglong n = 0;
    switch (vValue.typeId()) {
    case QMetaType::Bool:
        n = vValue.toBool() ? -1 : 0;
        ok = true;
        break;
    case QMetaType::Double:
    case QMetaType::Float: {
        double d = vValue.toDouble();
        if (d >= -32768.5 && d < 32767.5) {
            n = qRound64(d);
            ok = true;
        }
        break;
    }
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        QString s = vValue.toString().trimmed();
        if (s.startsWith(QLatin1Char('+')))
            s.remove(0, 1);
        n = s.toLongLong(&ok);
        break;
    }
    default:
        n = vValue.toLongLong(&ok);
        break;
    }
    if (!ok || n < -32768 || n > 32767)
        return false;
    iValue = static_cast<qint16>(n);
    return true;
}

bool SettingsStore::toBool(const QString& sValue, bool& bValue) {
    QString s = sValue.trimmed();
    if (s.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
        bValue = true;
        return true;
    }
    if (s.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
        bValue = false;
        return true;
    }
    bool ok = false;
    double d = s.toDouble(&ok);
    if (!ok)
        return false;
    bValue = d != 0;
    return true;
}
