#include "settings/clsSystem.h"

#include "base/mdlLog.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
const QString sSection = QStringLiteral("SYSTEM");
}

clsSystem& clsSystem::instance() {
    static clsSystem system;
    [[maybe_unused]] static const bool bHandedDown = (setRunLogSwitch(&system.RunLog), true);
    return system;
}

void clsSystem::setDefault() {
    bTest1 = bTest2 = bSetting1 = bSetting2 = false;
    iSetSelect = 0;
    sTempDir.clear();
    SmtpLog = Pop3Log = RunLog = false;
}

bool clsSystem::loadRegistory(const QString& sAPPName) {
    if (!SettingsStore::readBool(sAPPName, sSection, QStringLiteral("Test1"), false, bTest1) ||
        !SettingsStore::readBool(sAPPName, sSection, QStringLiteral("Test2"), false, bTest2) ||
        !SettingsStore::readBool(sAPPName, sSection, QStringLiteral("Setting1"), false, bSetting1) ||
        !SettingsStore::readBool(sAPPName, sSection, QStringLiteral("Setting2"), false, bSetting2) ||
        !SettingsStore::readInt16(sAPPName, sSection, QStringLiteral("SetSelect"), 0, iSetSelect))
        return false;
    makeTempDir(sAPPName);
    return SettingsStore::readBool(sAPPName, sSection, QStringLiteral("SmtpLog"), false, SmtpLog) &&
           SettingsStore::readBool(sAPPName, sSection, QStringLiteral("Pop3Log"), false, Pop3Log) &&
           SettingsStore::readBool(sAPPName, sSection, QStringLiteral("RunLog"), false, RunLog);
}

bool clsSystem::saveRegTest(const QString& sAPPName, qint16 iID) {
    if (iID != ID_DETAIL && iID != ID_SIMPLE)
        return false;
    SettingsSyncGuard guard(sAPPName);
    return guard.commit(iID == ID_DETAIL
                            ? SettingsStore::writeBool(sAPPName, sSection, QStringLiteral("Test1"), bTest1)
                            : SettingsStore::writeBool(sAPPName, sSection, QStringLiteral("Test2"), bTest2));
}

bool clsSystem::saveRegSetting(const QString& sAPPName, qint16 iID) {
    if (iID != ID_DETAIL && iID != ID_SIMPLE)
        return false;
    SettingsSyncGuard guard(sAPPName);
    return guard.commit(
        iID == ID_DETAIL
            ? SettingsStore::writeBool(sAPPName, sSection, QStringLiteral("Setting1"), bSetting1)
            : SettingsStore::writeBool(sAPPName, sSection, QStringLiteral("Setting2"), bSetting2));
}

bool clsSystem::saveRegSetSelect(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    return guard.commit(
        SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("SetSelect"), iSetSelect));
}

bool clsSystem::setValueTest(bool vValue, qint16 iID) {
    if (iID == ID_DETAIL)
        bTest1 = vValue;
    else if (iID == ID_SIMPLE)
        bTest2 = vValue;
    else
        return false;
    return true;
}

bool clsSystem::setValueSetting(bool vValue, qint16 iID) {
    if (iID == ID_DETAIL)
        bSetting1 = vValue;
    else if (iID == ID_SIMPLE)
        bSetting2 = vValue;
    else
        return false;
    return true;
}

bool clsSystem::setValueSetSelect(qint16 iValue) {
    iSetSelect = iValue;
    return true;
}

bool clsSystem::getValueTest(qint16 iID) const {
    return iID == ID_DETAIL ? bTest1 : iID == ID_SIMPLE ? bTest2 : false;
}

bool clsSystem::getValueSetting(qint16 iID) const {
    return iID == ID_DETAIL ? bSetting1 : iID == ID_SIMPLE ? bSetting2 : false;
}

QString clsSystem::ownTempDir() {
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/TmpFiles");
}

void clsSystem::makeTempDir(const QString& sAPPName) {
    sTempDir = ownTempDir();
    constexpr QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    const QFileInfo info(sTempDir);
    if (info.exists() || info.isSymLink()) {
        if (info.isDir() && !info.isSymLink())
            QFile::setPermissions(sTempDir, owner);
        return;
    }
    SettingsSyncGuard guard(sAPPName);
    if (!QDir().mkpath(info.absolutePath()) || !QDir().mkdir(sTempDir, owner) ||
        !SettingsStore::saveSetting(sAPPName, sSection, QStringLiteral("TempDir"), sTempDir))
        sTempDir.clear();
}

void clsSystem::deleteTempFiles(const QString& sWildCard) {
    // A link would lead the deletion out of the program's folder.
    if (sWildCard.isEmpty() || sTempDir.isEmpty() || QFileInfo(sTempDir).isSymLink())
        return;
    // "*.*" means every file, as the user of this folder expects, not only names with a dot.
    QString sPattern = sWildCard == QLatin1String("*.*") ? QStringLiteral("*") : sWildCard;
    QDir dir(sTempDir);
    const QStringList files = dir.entryList({sPattern}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& sFile : files)
        dir.remove(sFile);
}

void writeStartLogLines(QString& sSmtpLogFile, QString& sPop3LogFile) {
    const clsSystem& sys = clsSystem::instance();
    writeRunLog(QStringLiteral("ペリモメール動作ログ"));
    sSmtpLogFile.clear();
    if (sys.SmtpLog) {
        sSmtpLogFile = logPath(QStringLiteral("PLSmtp.log"));
        writeRunLog(QStringLiteral("SMTP LOG ON"));
    }
    sPop3LogFile.clear();
    if (sys.Pop3Log) {
        sPop3LogFile = logPath(QStringLiteral("PLPop3.log"));
        writeRunLog(QStringLiteral("POP3 LOG ON"));
    }
}
