#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

// The per-user store of texts: application key, section, key, value. Every value is text; the typed helpers
// convert as the stored settings expect (16-bit integers in decimal, Booleans "True"/"False").
// Every operation answers false on a failure of the store or a value that does not convert.
class SettingsStore {
public:
    static bool getSetting(const QString& sAPPName, const QString& sSection, const QString& sKey,
                           const QString& sDefault, QString& sValue);
    static bool saveSetting(const QString& sAPPName, const QString& sSection, const QString& sKey,
                            const QString& sValue);

    // The typed readers change the value only when the key reads and converts.
    static bool readText(const QString& sAPPName, const QString& sSection, const QString& sKey,
                         const QString& sDefault, QString& sValue);
    static bool readInt16(const QString& sAPPName, const QString& sSection, const QString& sKey,
                          qint16 iDefault, qint16& iValue);
    static bool readBool(const QString& sAPPName, const QString& sSection, const QString& sKey, bool bDefault,
                         bool& bValue);
    // A count or size, brought into [iMin, iMax] when the file holds one out of range (a hand edit): a count
    // beyond what the record holds would stop every check. What was brought in is noted for the run log.
    static bool readCount(const QString& sAPPName, const QString& sSection, const QString& sKey,
                          qint16 iDefault, qint16 iMin, qint16 iMax, qint16& iValue);
    // The values brought into range since the last call, as "[SRV1] Val1=32767 → 20".
    static QStringList takeCorrections();
    static bool writeInt16(const QString& sAPPName, const QString& sSection, const QString& sKey,
                           qint16 iValue);
    static bool writeBool(const QString& sAPPName, const QString& sSection, const QString& sKey, bool bValue);

    // Writes what is pending to disk; the file is kept readable by the user alone since it holds passwords.
    static bool sync(const QString& sAPPName);
    static QString fileName(const QString& sAPPName);
    // Forgets the open stores so that the next access reads the files again.
    static void reset();

    static bool toInt16(const QVariant& vValue, qint16& iValue);
    static bool toBool(const QString& sValue, bool& bValue);
    static QString fromBool(bool bValue) { return bValue ? QStringLiteral("True") : QStringLiteral("False"); }
};

// Writes the pending keys when a save ends, whichever way it ends, so keys written before a failure stay.
class SettingsSyncGuard {
public:
    explicit SettingsSyncGuard(const QString& sAPPName) : sApp(sAPPName) {}
    ~SettingsSyncGuard() {
        if (!bDone)
            SettingsStore::sync(sApp);
    }
    // Writes now; a save succeeds only when its values were taken and also reached the disk.
    bool commit(bool bWritten) {
        bDone = true;
        return SettingsStore::sync(sApp) && bWritten;
    }
    SettingsSyncGuard(const SettingsSyncGuard&) = delete;
    SettingsSyncGuard& operator=(const SettingsSyncGuard&) = delete;

private:
    QString sApp;
    bool bDone = false;
};
