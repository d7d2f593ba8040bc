#include "settings/clsWTH1.h"

#include "settings/SettingsStore.h"

namespace {
const QString sSection = QStringLiteral("WTH1");
} // namespace

void clsWTH1::setDefault() {
    iActive = 0;
    iInterval = 60;
}

bool clsWTH1::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    // The dialog offers no way to switch the periodic check off, so it is stored on.
    return guard.commit(SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val1"), 0) &&
                        SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val2"), iInterval));
}

bool clsWTH1::loadRegistory(const QString& sAPPName) {
    iActive = 0;
    return SettingsStore::readInt16(sAPPName, sSection, QStringLiteral("Val2"), 60, iInterval);
}

bool clsWTH1::setValue(qint16 iID, const QVariantList& OtherArgs) {
    if (OtherArgs.isEmpty())
        return false;
    switch (iID) {
    case 1:
        return SettingsStore::toInt16(OtherArgs.at(0), iActive);
    case 2:
        return SettingsStore::toInt16(OtherArgs.at(0), iInterval);
    default:
        return false;
    }
}

QVariant clsWTH1::getValue(qint16 iID, const QVariantList&) const {
    switch (iID) {
    case 1:
        return int(iActive);
    case 2:
        return int(iInterval);
    default:
        return QVariant(false);
    }
}
