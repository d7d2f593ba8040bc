#pragma once

#include "settings/clsRecord.h"

#include <QString>

// System settings (section "SYSTEM"): which set is in force, whether each set was saved and tested, the three
// log switches and the temporary folder.
class clsSystem : private clsRecord {
public:
    static clsSystem& instance();

    static constexpr qint16 ID_DETAIL = 0;
    static constexpr qint16 ID_SIMPLE = 1;

    // Read from the store, never written by the program; the switches callers look at.
    bool SmtpLog = false;
    bool Pop3Log = false;
    bool RunLog = false;

    void setDefault() override;
    bool loadRegistory(const QString& sAPPName);
    bool saveRegTest(const QString& sAPPName, qint16 iID);
    bool saveRegSetting(const QString& sAPPName, qint16 iID);
    bool saveRegSetSelect(const QString& sAPPName);
    bool setValueTest(bool vValue, qint16 iID);
    bool setValueSetting(bool vValue, qint16 iID);
    bool setValueSetSelect(qint16 iValue);
    bool getValueTest(qint16 iID) const;
    bool getValueSetting(qint16 iID) const;
    qint16 getValueSetSelect() const { return number(iSetSelectItem); }
    // The program's own folder for attachments, under the user's cache folder; its files are deleted at
    // every start, so it is never one the user chose or started the program from.
    static QString ownTempDir();
    void makeTempDir(const QString& sAPPName);
    QString getValueTempDir() const { return text(iTempDirItem); }
    void deleteTempFiles(const QString& sWildCard);

    // The id of the set in force: SetSelect 1 is the detailed set, anything else the simple one.
    qint16 currentSetId() const { return getValueSetSelect() == 1 ? ID_DETAIL : ID_SIMPLE; }

private:
    clsSystem();

    // Items 1 and 2 are the tested marks, 3 and 4 the saved marks of the detailed and the simple set.
    static constexpr qint16 iSetSelectItem = 5;
    static constexpr qint16 iTempDirItem = 6;
};

// The run-log lines that open every run. Answers the trace files of the two mail components: their path when
// the component's own log switch is on, else empty (no trace).
void writeStartLogLines(QString& sSmtpLogFile, QString& sPop3LogFile);
