#include "settings/clsWTH2.h"

#include "settings/SettingsStore.h"

namespace {
const QString sSection = QStringLiteral("WTH2");

QString fieldKey(qint16 w, qint16 f) {
    return QStringLiteral("Val3_%1_%2").arg(w).arg(f);
}

bool inRange(qint16 iIndex) {
    return iIndex >= 0 && iIndex < clsWTH2::iWindows;
}

bool toCell(const QVariantList& args, int iPos, qint16& w, qint16& f) {
    return args.size() > iPos + 1 && SettingsStore::toInt16(args.at(iPos), w) &&
           SettingsStore::toInt16(args.at(iPos + 1), f) && inRange(w) && inRange(f);
}
} // namespace

void clsWTH2::setDefault() {
    iActive = 1;
    iCount = 0;
    for (qint16 w = 0; w < iStored; ++w) {
        for (qint16 f = 0; f < iStored; ++f)
            iTable[w][f] = 0;
    }
    clearAllTimerCounter();
}

bool clsWTH2::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    // The windows are not offered to the user; they are stored off whatever memory holds.
    if (!SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val1"), 1) ||
        !SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val2"), iCount))
        return false;
    for (qint16 w = 0; w < iStored; ++w) {
        for (qint16 f = 0; f < iStored; ++f) {
            if (!SettingsStore::writeInt16(sAPPName, sSection, fieldKey(w, f), iTable[w][f]))
                return false;
        }
    }
    return guard.commit(true);
}

bool clsWTH2::loadRegistory(const QString& sAPPName) {
    iActive = 1;
    if (!SettingsStore::readCount(sAPPName, sSection, QStringLiteral("Val2"), 0, 0, iStored, iCount))
        return false;
    for (qint16 w = 0; w < iStored; ++w) {
        for (qint16 f = 0; f < iStored; ++f) {
            if (!SettingsStore::readInt16(sAPPName, sSection, fieldKey(w, f), iTable[w][f], iTable[w][f]))
                return false;
        }
    }
    return true;
}

bool clsWTH2::setValue(qint16 iID, const QVariantList& OtherArgs) {
    if (OtherArgs.isEmpty())
        return false;
    switch (iID) {
    case 1:
        return SettingsStore::toInt16(OtherArgs.at(0), iActive);
    case 2:
        return SettingsStore::toInt16(OtherArgs.at(0), iCount);
    case 3: {
        qint16 w = 0;
        qint16 f = 0;
        return toCell(OtherArgs, 1, w, f) && SettingsStore::toInt16(OtherArgs.at(0), iTable[w][f]);
    }
    default:
        return false;
    }
}

QVariant clsWTH2::getValue(qint16 iID, const QVariantList& OtherArgs) const {
    switch (iID) {
    case 1:
        return int(iActive);
    case 2:
        return int(iCount);
    case 3: {
        qint16 w = 0;
        qint16 f = 0;
        return toCell(OtherArgs, 0, w, f) ? QVariant(int(iTable[w][f])) : QVariant(false);
    }
    default:
        return QVariant(false);
    }
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
        iTable[iIndex][f] = iFields[f];
    ++iCount;
    return true;
}

bool clsWTH2::deleteValue(qint16 iIndex) {
    if (iCount < 1 || iIndex < 0)
        return false;
    for (qint16 w = iIndex; w < iStored - 1; ++w) {
        for (qint16 f = 0; f < iStored; ++f)
            iTable[w][f] = iTable[w + 1][f];
    }
    // The counters stay with their window numbers; the schedule skips the -1 window as no time of day.
    for (qint16 f = 0; f < iStored; ++f)
        iTable[iStored - 1][f] = -1;
    --iCount;
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
