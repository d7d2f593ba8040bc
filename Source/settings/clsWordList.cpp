#include "settings/clsWordList.h"

#include "base/mdlMessage.h"
#include "settings/SettingsStore.h"

namespace {
QString entryKey(qint16 n) {
    return QStringLiteral("Val3_%1").arg(n);
}

bool toIndex(const QVariantList& args, int iPos, qint16& iIndex) {
    return args.size() > iPos && SettingsStore::toInt16(args.at(iPos), iIndex) && iIndex >= 0 &&
           iIndex < clsWordList::iSlots;
}
} // namespace

void clsWordList::setDefault() {
    iFilter = 1;
    iCount = 0;
    for (qint16 n = 0; n < iStored; ++n)
        sTable[n].clear();
}

bool clsWordList::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    if (iFilter == 0 && iCount == 0) {
        showMessage(sEmptyText, sEmptyTitle, MsgIcon::Exclamation, MsgButtons::Ok);
        return false;
    }
    if (!SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val1"), iFilter) ||
        !SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val2"), iCount))
        return false;
    for (qint16 n = 0; n < iStored; ++n) {
        if (!SettingsStore::saveSetting(sAPPName, sSection, entryKey(n), sTable[n]))
            return false;
    }
    return guard.commit(true);
}

bool clsWordList::loadRegistory(const QString& sAPPName) {
    if (!SettingsStore::readInt16(sAPPName, sSection, QStringLiteral("Val1"), 1, iFilter) ||
        !SettingsStore::readCount(sAPPName, sSection, QStringLiteral("Val2"), 0, 0, iStored, iCount))
        return false;
    for (qint16 n = 0; n < iStored; ++n) {
        if (!SettingsStore::readText(sAPPName, sSection, entryKey(n), sTable[n], sTable[n]))
            return false;
    }
    return true;
}

bool clsWordList::setValue(qint16 iID, const QVariantList& OtherArgs) {
    if (OtherArgs.isEmpty())
        return false;
    switch (iID) {
    case 1:
        return SettingsStore::toInt16(OtherArgs.at(0), iFilter);
    case 2:
        return SettingsStore::toInt16(OtherArgs.at(0), iCount);
    case 3: {
        qint16 iIndex = 0;
        if (!toIndex(OtherArgs, 1, iIndex))
            return false;
        sTable[iIndex] = OtherArgs.at(0).toString();
        return true;
    }
    default:
        return false;
    }
}

QVariant clsWordList::getValue(qint16 iID, const QVariantList& OtherArgs) const {
    switch (iID) {
    case 1:
        return int(iFilter);
    case 2:
        return int(iCount);
    case 3: {
        qint16 iIndex = 0;
        return toIndex(OtherArgs, 0, iIndex) ? QVariant(sTable[iIndex]) : QVariant(false);
    }
    default:
        return QVariant(false);
    }
}
