#include "settings/clsSet2.h"

#include "settings/SettingsStore.h"

namespace {
const QString sSection = QStringLiteral("ESET");
QString key(int iID) {
    return QStringLiteral("Val") + QString::number(iID);
}
} // namespace

clsSet2& clsSet2::instance() {
    static clsSet2 set;
    return set;
}

void clsSet2::setDefault() {
    for (QString& s : sItems)
        s.clear();
    iInterval = 60;
    iPageSize = 0;
}

bool clsSet2::loadRegistory(const QString& sAPPName) {
    for (qint16 iID = 1; iID <= 10; ++iID) {
        bool ok = iID == 6   ? SettingsStore::readInt16(sAPPName, sSection, key(iID), 60, iInterval)
                  : iID == 8 ? SettingsStore::readCount(sAPPName, sSection, key(iID), 0, 0, 32767, iPageSize)
                             : SettingsStore::readText(sAPPName, sSection, key(iID), QString(), sItems[iID]);
        if (!ok)
            return false;
    }
    // The user's own address lives only in memory.
    sItems[11].clear();
    return true;
}

bool clsSet2::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    for (qint16 iID = 1; iID <= 10; ++iID) {
        bool ok = iID == 6   ? SettingsStore::writeInt16(sAPPName, sSection, key(iID), iInterval)
                  : iID == 8 ? SettingsStore::writeInt16(sAPPName, sSection, key(iID), iPageSize)
                             : SettingsStore::saveSetting(sAPPName, sSection, key(iID), sItems[iID]);
        if (!ok)
            return false;
    }
    return guard.commit(SettingsStore::saveSetting(sAPPName, sSection, key(11), QString()));
}

QVariant clsSet2::getValue(qint16 iID, const QVariantList&) const {
    if (iID == 6)
        return int(iInterval);
    if (iID == 8)
        return int(iPageSize);
    if (iID >= 1 && iID <= 11)
        return sItems[iID];
    return false;
}

bool clsSet2::setValue(qint16 iID, const QVariantList& OtherArgs) {
    if (iID < 1 || iID > 11 || OtherArgs.isEmpty())
        return false;
    const QVariant& vValue = OtherArgs.first();
    if (!isIntegerItem(iID)) {
        sItems[iID] = vValue.toString();
        return true;
    }
    qint16 iValue = 0;
    // The page size comes from a text field, so it goes through its text form.
    bool ok =
        iID == 8 ? SettingsStore::toInt16(vValue.toString(), iValue) : SettingsStore::toInt16(vValue, iValue);
    if (!ok)
        return false;
    (iID == 6 ? iInterval : iPageSize) = iValue;
    return true;
}
