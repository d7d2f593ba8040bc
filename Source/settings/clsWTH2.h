#pragma once

#include "settings/clsRecord.h"

// Timed check windows of the day, each with its own interval, and one minute counter per window that lives
// only in memory (section "WTH2"). Item 1 is the switch (0 on, 1 off; always off after a load), item 2 the
// number of windows, item 3 their fields: start hour, start minute, end hour, end minute, interval.
class clsWTH2 : public clsRecord {
public:
    static constexpr qint16 iWindows = 6; // windows and fields 0 to 5 in memory
    static constexpr qint16 iStored = 5;

    clsWTH2();
    void setDefault() override;
    qint16 getMaxReg() const { return iStored; }
    bool additionValue(qint16 iIndex, const QVariantList& addValues);
    bool deleteValue(qint16 iIndex);

    // The counter operations answer -1 and change nothing for an index outside 0 to 5.
    void clearAllTimerCounter();
    qint16 clearTimerCounter(qint16 iIndex);
    qint16 getTimerCount(qint16 iIndex) const;
    qint16 countUpTimerCount(qint16 iIndex);

private:
    qint16 iCounter[iWindows] = {};
};
