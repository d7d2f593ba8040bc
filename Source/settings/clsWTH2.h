#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

// Timed check windows of the day, each with its own interval, and one minute counter per window that lives
// only in memory (section "WTH2"). Fields of a window: start hour, start minute, end hour, end minute,
// interval.
class clsWTH2 {
public:
    static constexpr qint16 iWindows = 6; // windows and fields 0 to 5 in memory
    static constexpr qint16 iStored = 5;

    void setDefault();
    bool saveRegistory(const QString& sAPPName);
    bool loadRegistory(const QString& sAPPName);
    qint16 getMaxReg() const { return iStored; }
    bool setValue(qint16 iID, const QVariantList& OtherArgs);
    QVariant getValue(qint16 iID, const QVariantList& OtherArgs = {}) const;
    bool additionValue(qint16 iIndex, const QVariantList& addValues);
    bool deleteValue(qint16 iIndex);

    // The counter operations answer -1 and change nothing for an index outside 0 to 5.
    void clearAllTimerCounter();
    qint16 clearTimerCounter(qint16 iIndex);
    qint16 getTimerCount(qint16 iIndex) const;
    qint16 countUpTimerCount(qint16 iIndex);

private:
    qint16 iActive = 0; // 0 on, 1 off; always off after a load
    qint16 iCount = 0;
    qint16 iTable[iWindows][iWindows] = {};
    qint16 iCounter[iWindows] = {};
};
