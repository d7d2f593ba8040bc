#include "settings/clsSet1.h"

#include <algorithm>

namespace {
template <typename T> T& created(std::unique_ptr<T>& p) {
    if (!p)
        p = std::make_unique<T>();
    return *p;
}

// A header part that still carries an undecoded encoded word cannot be compared: let the message through.
bool isUndecoded(const QString& s) {
    return s.contains(QLatin1String("ISO-2022-JP"), Qt::CaseInsensitive);
}

// The time as hour * 100 + minute, or -1 when the fields form no time of day.
int timeOfDay(int iHour, int iMinute) {
    if (iHour < 0 || iHour > 23 || iMinute < 0 || iMinute > 59)
        return -1;
    return iHour * 100 + iMinute;
}

int asInt(const QVariant& v) {
    return v.toInt();
}
} // namespace

clsSet1& clsSet1::instance() {
    static clsSet1 set;
    return set;
}

clsSet1::~clsSet1() {
    pFIL1.reset();
    pFIL2.reset();
    pFIL3.reset();
    pFIL4.reset();
    pSRV1.reset();
    pSRV2.reset();
    pWTH1.reset();
    pWTH2.reset();
    pPAS1.reset();
    pOPT1.reset();
    pRemote.reset();
}

clsFIL1& clsSet1::FIL1() {
    return created(pFIL1);
}
clsFIL2& clsSet1::FIL2() {
    return created(pFIL2);
}
clsFIL3& clsSet1::FIL3() {
    return created(pFIL3);
}
clsFIL4& clsSet1::FIL4() {
    return created(pFIL4);
}
clsSRV1& clsSet1::SRV1() {
    return created(pSRV1);
}
clsSRV2& clsSet1::SRV2() {
    return created(pSRV2);
}
clsWTH1& clsSet1::WTH1() {
    return created(pWTH1);
}
clsWTH2& clsSet1::WTH2() {
    return created(pWTH2);
}
clsPAS1& clsSet1::PAS1() {
    return created(pPAS1);
}
clsOPT1& clsSet1::OPT1() {
    return created(pOPT1);
}
clsRemote& clsSet1::Remote() {
    return created(pRemote);
}

clsRecord* clsSet1::record(qint16 iID) {
    switch (iID) {
    case 1:
        return &FIL1();
    case 2:
        return &FIL2();
    case 3:
        return &FIL3();
    case 4:
        return &FIL4();
    case 5:
        return &SRV1();
    case 6:
        return &SRV2();
    case 7:
        return &WTH1();
    case 8:
        return &WTH2();
    case 9:
        return &PAS1();
    case 10:
        return &OPT1();
    case 11:
        return &Remote();
    default:
        return nullptr;
    }
}

void clsSet1::setDefault(qint16 iID) {
    for (qint16 iRecord = 1; iRecord <= iRecords; ++iRecord) {
        if (iID == 0 || iID == iRecord)
            record(iRecord)->setDefault();
    }
}

bool clsSet1::saveRegistory(qint16 iID, const QString& sAPPName) {
    if (iID != 0) {
        clsRecord* pRecord = record(iID);
        return pRecord && pRecord->saveRegistory(sAPPName);
    }

    // Only the records that validate (2 to 6) stop the save; the dialog then shows the page of LastSetError.
    for (qint16 iRecord = 1; iRecord <= iRecords; ++iRecord) {
        if (!record(iRecord)->saveRegistory(sAPPName) && iRecord >= 2 && iRecord <= 6) {
            iLastSetError = iRecord;
            return false;
        }
    }
    return true;
}

bool clsSet1::loadRegistory(qint16 iID, const QString& sAPPName) {
    if (iID != 0) {
        clsRecord* pRecord = record(iID);
        return pRecord && pRecord->loadRegistory(sAPPName);
    }
    // A record that fails keeps what it read so far; the others still load.
    for (qint16 iRecord = 1; iRecord <= iRecords; ++iRecord)
        record(iRecord)->loadRegistory(sAPPName);
    return true;
}

bool clsSet1::checkMailReciveTime(qint16 iTimerCount) {
    return checkMailReciveTime(iTimerCount, QTime::currentTime());
}

bool clsSet1::checkMailReciveTime(qint16 iTimerCount, const QTime& tNow) {
    clsWTH2& wth2 = WTH2();
    if (asInt(wth2.getValue(1)) == 0) {
        const int iNow = tNow.hour() * 100 + tNow.minute();
        const int iWindows = std::min<int>(asInt(wth2.getValue(2)), clsWTH2::iWindows);
        for (qint16 w = 0; w < iWindows; ++w) {
            auto field = [&](qint16 f) { return asInt(wth2.getValue(3, {w, f})); };
            const int iStart = timeOfDay(field(0), field(1));
            const int iEnd = timeOfDay(field(2), field(3));
            // A deleted or hand-edited window is no time of day; it must not stop the other windows.
            if (iStart < 0 || iEnd < 0)
                continue;
            // Both ends count; a window across midnight is therefore current only at its two ends.
            const bool bCurrent = (iStart < iNow && iNow < iEnd) || iNow == iStart || iNow == iEnd;
            if (!bCurrent)
                continue;
            if (wth2.getTimerCount(w) == field(4)) {
                wth2.clearTimerCounter(w);
                return true;
            }
            wth2.countUpTimerCount(w);
        }
    }
    clsWTH1& wth1 = WTH1();
    if (asInt(wth1.getValue(1)) == 0)
        return iTimerCount == asInt(wth1.getValue(2));
    return false;
}

bool clsSet1::judgeDoTransferFromFilter1(qint16 iTmpFileCount) {
    if (asInt(FIL1().getValue(1)) == 1)
        return iTmpFileCount < 1;
    return true;
}

bool clsSet1::judgeDoTransferFromFilter2(qint32 lToCount, const QStringList& sToList, qint32 lCcCount,
                                         const QStringList& sCcList) {
    clsFIL2& fil2 = FIL2();
    if (asInt(fil2.getValue(1)) != 0)
        return true;
    clsSRV1& srv1 = SRV1();
    const int iRows = std::clamp<int>(asInt(srv1.getValue(1)), 0, clsSRV1::iRows);
    const qsizetype iTo = std::clamp<qsizetype>(lToCount, 0, sToList.size());
    const qsizetype iCc = std::clamp<qsizetype>(lCcCount, 0, sCcList.size());

    bool bInTo = false;
    bool bInCc = false;
    // Returns whether the scan of this address decides the result at once.
    auto scan = [&](const QString& sAddress, qint16 iItem, bool& bNoted) {
        for (qint16 k = 0; k < iRows; ++k) {
            if (sAddress == srv1.getValue(2, {k, qint16(3)}).toString()) {
                if (asInt(fil2.getValue(iItem)) == 1)
                    return true;
                bNoted = true;
            } else if (isUndecoded(sAddress)) {
                return true;
            }
        }
        return false;
    };
    for (qsizetype i = 0; i < iTo; ++i) {
        if (scan(sToList.at(i), 2, bInTo))
            return true;
    }
    for (qsizetype i = 0; i < iCc; ++i) {
        if (scan(sCcList.at(i), 3, bInCc))
            return true;
    }
    if (bInTo || bInCc)
        return false;
    return asInt(fil2.getValue(4)) == 1;
}

bool clsSet1::judgeDoTransferFromFilter3(const QString& sFrom) {
    clsFIL3& fil3 = FIL3();
    if (asInt(fil3.getValue(1)) != 0)
        return true;
    const int iCount = std::min<int>(asInt(fil3.getValue(2)), clsFIL3::iSlots);
    for (qint16 e = 0; e < iCount; ++e) {
        if (sFrom == fil3.getValue(3, {e}).toString())
            return false;
        if (isUndecoded(sFrom))
            return true;
    }
    return true;
}

bool clsSet1::judgeDoTransferFromFilter4(const QString& sSubject) {
    clsFIL4& fil4 = FIL4();
    if (asInt(fil4.getValue(1)) != 0)
        return true;
    const int iCount = std::min<int>(asInt(fil4.getValue(2)), clsFIL4::iSlots);
    for (qint16 e = 0; e < iCount; ++e) {
        const QString sWord = fil4.getValue(3, {e}).toString();
        if (sSubject.isEmpty() || sWord.isEmpty())
            continue;
        if (sSubject.contains(sWord))
            return false;
        if (isUndecoded(sSubject))
            return true;
    }
    return true;
}
