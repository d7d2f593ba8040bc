#include "settings/clsPAS1.h"

#include "settings/SettingsStore.h"

namespace {
const QString sSection = QStringLiteral("PAS1");
} // namespace

void clsPAS1::setDefault() {
    iActive = 1;
    sKeep.clear();
}

bool clsPAS1::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    return guard.commit(SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val1"), iActive) &&
                        SettingsStore::saveSetting(sAPPName, sSection, QStringLiteral("Val2"), sKeep) &&
                        SettingsStore::saveSetting(sAPPName, sSection, QStringLiteral("Val3"), sFileName) &&
                        SettingsStore::saveSetting(sAPPName, sSection, QStringLiteral("Val4"), sFolder));
}

bool clsPAS1::loadRegistory(const QString& sAPPName) {
    return SettingsStore::readInt16(sAPPName, sSection, QStringLiteral("Val1"), 1, iActive) &&
           SettingsStore::readText(sAPPName, sSection, QStringLiteral("Val2"), sKeep, sKeep) &&
           SettingsStore::readText(sAPPName, sSection, QStringLiteral("Val3"), QString(), sFileName) &&
           SettingsStore::readText(sAPPName, sSection, QStringLiteral("Val4"), QString(), sFolder);
}

bool clsPAS1::setValue(qint16 iID, const QVariantList& OtherArgs) {
    if (OtherArgs.isEmpty())
        return false;
    switch (iID) {
    case 1:
        return SettingsStore::toInt16(OtherArgs.at(0), iActive);
    case 2:
        sKeep = OtherArgs.at(0).toString();
        return true;
    case 3:
        sFileName = OtherArgs.at(0).toString();
        return true;
    case 4:
        sFolder = OtherArgs.at(0).toString();
        return true;
    default:
        return false;
    }
}

QVariant clsPAS1::getValue(qint16 iID, const QVariantList&) const {
    switch (iID) {
    case 1:
        return int(iActive);
    case 2:
        return sKeep;
    case 3:
        return sFileName;
    case 4:
        return sFolder;
    default:
        return QVariant(false);
    }
}
