#include "settings/clsFIL2.h"

#include "settings/SettingsStore.h"

namespace {
const QString sSection = QStringLiteral("FIL2");
} // namespace

void clsFIL2::setDefault() {
    iFilter = 1;
    iToSet = 1;
    iCcSet = 1;
    iBccSet = 1;
}

bool clsFIL2::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    return guard.commit(SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val1"), iFilter) &&
                        SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val2"), 1) &&
                        SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val3"), iCcSet) &&
                        SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val4"), iBccSet));
}

bool clsFIL2::loadRegistory(const QString& sAPPName) {
    if (!SettingsStore::readInt16(sAPPName, sSection, QStringLiteral("Val1"), 1, iFilter))
        return false;
    iToSet = 1;
    return SettingsStore::readInt16(sAPPName, sSection, QStringLiteral("Val3"), 1, iCcSet) &&
           SettingsStore::readInt16(sAPPName, sSection, QStringLiteral("Val4"), 1, iBccSet);
}

bool clsFIL2::setValue(qint16 iID, const QVariantList& OtherArgs) {
    if (iID == 2) {
        iToSet = 1;
        return true;
    }
    qint16 iValue = 0;
    if (OtherArgs.isEmpty() || !SettingsStore::toInt16(OtherArgs.at(0), iValue))
        return false;
    switch (iID) {
    case 1:
        iFilter = iValue;
        return true;
    case 3:
        iCcSet = iValue;
        return true;
    case 4:
        iBccSet = iValue;
        return true;
    default:
        return false;
    }
}

QVariant clsFIL2::getValue(qint16 iID, const QVariantList&) const {
    switch (iID) {
    case 1:
        return int(iFilter);
    case 2:
        return int(iToSet);
    case 3:
        return int(iCcSet);
    case 4:
        return int(iBccSet);
    default:
        return QVariant(false);
    }
}
