#include "settings/clsOPT1.h"

#include "settings/SettingsStore.h"

namespace {
const QString sSection = QStringLiteral("OPT1");
} // namespace

void clsOPT1::setDefault() {
    iPosition = 1;
    iForm = 0;
}

bool clsOPT1::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    return guard.commit(SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val1"), iPosition) &&
                        SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val2"), iForm));
}

bool clsOPT1::loadRegistory(const QString& sAPPName) {
    // The position page is not shown to the user, so a load always puts the memo at the head.
    iPosition = 1;
    return SettingsStore::readInt16(sAPPName, sSection, QStringLiteral("Val2"), 0, iForm);
}

bool clsOPT1::setValue(qint16 iID, const QVariantList& OtherArgs) {
    if (OtherArgs.isEmpty())
        return false;
    switch (iID) {
    case 1:
        return SettingsStore::toInt16(OtherArgs.at(0), iPosition);
    case 2:
        return SettingsStore::toInt16(OtherArgs.at(0), iForm);
    default:
        return false;
    }
}

QVariant clsOPT1::getValue(qint16 iID, const QVariantList&) const {
    switch (iID) {
    case 1:
        return int(iPosition);
    case 2:
        return int(iForm);
    default:
        return QVariant(false);
    }
}
