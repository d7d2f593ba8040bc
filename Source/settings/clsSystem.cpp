#include "settings/clsSystem.h"

#include "base/mdlLog.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
// The item of a mark of the detailed or the simple set; 0 for any other set.
qint16 markItem(qint16 iDetailItem, qint16 iID) {
    return iID == clsSystem::ID_DETAIL   ? iDetailItem
           : iID == clsSystem::ID_SIMPLE ? qint16(iDetailItem + 1)
                                         : 0;
}

constexpr qint16 iTest = 1;
constexpr qint16 iSetting = 3;
constexpr qint16 iSmtpLog = 7;
constexpr qint16 iPop3Log = 8;
constexpr qint16 iRunLog = 9;
} // namespace

// The temporary folder is written when it is made, never read: each start makes it anew.
clsSystem::clsSystem()
    : clsRecord(QStringLiteral("SYSTEM"),
                {{.iID = 1, .sKey = "Test1", .type = RecordKey::Flag},
                 {.iID = 2, .sKey = "Test2", .type = RecordKey::Flag},
                 {.iID = 3, .sKey = "Setting1", .type = RecordKey::Flag},
                 {.iID = 4, .sKey = "Setting2", .type = RecordKey::Flag},
                 {.iID = 5, .sKey = "SetSelect", .type = RecordKey::Number},
                 {.iID = 6, .sKey = "TempDir", .type = RecordKey::Text, .rules = RecordKey::NotRead},
                 {.iID = 7, .sKey = "SmtpLog", .type = RecordKey::Flag},
                 {.iID = 8, .sKey = "Pop3Log", .type = RecordKey::Flag},
                 {.iID = 9, .sKey = "RunLog", .type = RecordKey::Flag}}) {}

clsSystem& clsSystem::instance() {
    static clsSystem system;
    [[maybe_unused]] static const bool bHandedDown = (setRunLogSwitch(&system.RunLog), true);
    return system;
}

void clsSystem::setDefault() {
    clsRecord::setDefault();
    SmtpLog = Pop3Log = RunLog = false;
}

bool clsSystem::loadRegistory(const QString& sAPPName) {
    if (!loadItems(sAPPName, iTest, iSetSelectItem))
        return false;
    makeTempDir(sAPPName);
    const bool ok = loadItems(sAPPName, iSmtpLog, iRunLog);
    SmtpLog = number(iSmtpLog) != 0;
    Pop3Log = number(iPop3Log) != 0;
    RunLog = number(iRunLog) != 0;
    return ok;
}

bool clsSystem::saveRegTest(const QString& sAPPName, qint16 iID) {
    return storeItem(sAPPName, markItem(iTest, iID));
}

bool clsSystem::saveRegSetting(const QString& sAPPName, qint16 iID) {
    return storeItem(sAPPName, markItem(iSetting, iID));
}

bool clsSystem::saveRegSetSelect(const QString& sAPPName) {
    return storeItem(sAPPName, iSetSelectItem);
}

bool clsSystem::setValueTest(bool vValue, qint16 iID) {
    return setValue(markItem(iTest, iID), {vValue ? 1 : 0});
}

bool clsSystem::setValueSetting(bool vValue, qint16 iID) {
    return setValue(markItem(iSetting, iID), {vValue ? 1 : 0});
}

bool clsSystem::setValueSetSelect(qint16 iValue) {
    number(iSetSelectItem) = iValue;
    return true;
}

bool clsSystem::getValueTest(qint16 iID) const {
    return getValue(markItem(iTest, iID)).toInt() != 0;
}

bool clsSystem::getValueSetting(qint16 iID) const {
    return getValue(markItem(iSetting, iID)).toInt() != 0;
}

QString clsSystem::ownTempDir() {
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/TmpFiles");
}

void clsSystem::makeTempDir(const QString& sAPPName) {
    QString& sTempDir = text(iTempDirItem);
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
        !writeItem(sAPPName, iTempDirItem))
        sTempDir.clear();
}

void clsSystem::deleteTempFiles(const QString& sWildCard) {
    const QString& sTempDir = text(iTempDirItem);
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
