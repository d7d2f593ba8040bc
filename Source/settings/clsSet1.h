#pragma once

#include "settings/clsFIL1.h"
#include "settings/clsFIL2.h"
#include "settings/clsFIL3.h"
#include "settings/clsFIL4.h"
#include "settings/clsOPT1.h"
#include "settings/clsPAS1.h"
#include "settings/clsRemote.h"
#include "settings/clsSRV1.h"
#include "settings/clsSRV2.h"
#include "settings/clsWTH1.h"
#include "settings/clsWTH2.h"

#include <QString>
#include <QStringList>
#include <QTime>
#include <memory>

// The detailed settings set: its records, reached only through the shared instance. Record ids are 1 FIL1 to
// 10 OPT1 and 11 REMOTE; 0 means every record.
class clsSet1 {
public:
    static clsSet1& instance();
    ~clsSet1();
    clsSet1(const clsSet1&) = delete;
    clsSet1& operator=(const clsSet1&) = delete;

    clsFIL1& FIL1();
    clsFIL2& FIL2();
    clsFIL3& FIL3();
    clsFIL4& FIL4();
    clsSRV1& SRV1();
    clsSRV2& SRV2();
    clsWTH1& WTH1();
    clsWTH2& WTH2();
    clsPAS1& PAS1();
    clsOPT1& OPT1();
    clsRemote& Remote();

    // The id of the record that refused the last failed save of every record; a later success keeps it.
    qint16 LastSetError() const { return iLastSetError; }
    void setLastSetError(qint16 iValue) { iLastSetError = iValue; }

    static constexpr qint16 iRecords = 11;
    // The record of an id from 1 to 11; none for any other.
    clsRecord* record(qint16 iID);

    void setDefault(qint16 iID);
    bool saveRegistory(qint16 iID, const QString& sAPPName);
    bool loadRegistory(qint16 iID, const QString& sAPPName);

    // Whether a check is due on this minute tick; iTimerCount is the check cycle's minute counter.
    bool checkMailReciveTime(qint16 iTimerCount);
    bool checkMailReciveTime(qint16 iTimerCount, const QTime& tNow);

    // True forwards the message, false holds it back.
    bool judgeDoTransferFromFilter1(qint16 iTmpFileCount);
    bool judgeDoTransferFromFilter2(qint32 lToCount, const QStringList& sToList, qint32 lCcCount,
                                    const QStringList& sCcList);
    bool judgeDoTransferFromFilter3(const QString& sFrom);
    bool judgeDoTransferFromFilter4(const QString& sSubject);

private:
    clsSet1() = default;

    std::unique_ptr<clsFIL1> pFIL1;
    std::unique_ptr<clsFIL2> pFIL2;
    std::unique_ptr<clsFIL3> pFIL3;
    std::unique_ptr<clsFIL4> pFIL4;
    std::unique_ptr<clsSRV1> pSRV1;
    std::unique_ptr<clsSRV2> pSRV2;
    std::unique_ptr<clsWTH1> pWTH1;
    std::unique_ptr<clsWTH2> pWTH2;
    std::unique_ptr<clsPAS1> pPAS1;
    std::unique_ptr<clsOPT1> pOPT1;
    std::unique_ptr<clsRemote> pRemote;
    qint16 iLastSetError = 0;
};
