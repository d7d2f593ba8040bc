#include "settings/clsWTH2.h"

#include "settings/SettingsStore.h"

namespace {
bool inRange(qint16 iIndex) {
    return iIndex >= 0 && iIndex < clsWTH2::iWindows;
}
} // namespace

// The windows are not offered to the user; they are stored off whatever memory holds.
clsWTH2::clsWTH2()
    : clsRecord(QStringLiteral("WTH2"),
                {{.iID = 1,
                  .sKey = "Val1",
                  .type = RecordKey::Number,
                  .iLoad = 1,
                  .iReset = 1,
                  .rules = RecordKey::NotRead | RecordKey::StoredFixed},
                 {.iID = 2, .sKey = "Val2", .type = RecordKey::Count, .iMax = iStored},
                 {.iID = 3,
                  .sKey = "Val3",
                  .type = RecordKey::Number,
                  .iEntries = iStored,
                  .iFields = iStored,
                  .rules = RecordKey::KeepOnLoad}}) {}

void clsWTH2::setDefault() {
    clsRecord::setDefault();
    clearAllTimerCounter();
}

bool clsWTH2::additionValue(qint16 iIndex, const QVariantList& addValues) {
    if (!inRange(iIndex) || addValues.size() < iStored)
        return false;
    qint16 iFields[iStored] = {};
    for (qint16 f = 0; f < iStored; ++f) {
        if (!SettingsStore::toInt16(addValues.at(f), iFields[f]))
            return false;
    }
    for (qint16 f = 0; f < iStored; ++f)
        number(3, iIndex, f) = iFields[f];
    ++number(2);
    return true;
}

bool clsWTH2::deleteValue(qint16 iIndex) {
    if (number(2) < 1 || iIndex < 0)
        return false;
    // The counters stay with their window numbers; the schedule skips the -1 window as no time of day.
    removeEntry(3, iIndex, -1);
    --number(2);
    return true;
}

void clsWTH2::clearAllTimerCounter() {
    for (qint16 i = 0; i < iStored; ++i)
        iCounter[i] = 0;
}

qint16 clsWTH2::clearTimerCounter(qint16 iIndex) {
    if (!inRange(iIndex))
        return -1;
    iCounter[iIndex] = 0;
    return 0;
}

qint16 clsWTH2::getTimerCount(qint16 iIndex) const {
    return inRange(iIndex) ? iCounter[iIndex] : qint16(-1);
}

qint16 clsWTH2::countUpTimerCount(qint16 iIndex) {
    if (!inRange(iIndex))
        return -1;
    return ++iCounter[iIndex];
}
