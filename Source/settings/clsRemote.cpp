#include "settings/clsRemote.h"

#include "settings/SettingsStore.h"
#include "settings/mdlPassWord.h"

#include <algorithm>

namespace {
const QString sSection = QStringLiteral("REMOTE");
const QString sKey = QStringLiteral("CommandPin");
} // namespace

bool clsRemote::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    return guard.commit(SettingsStore::saveSetting(sAPPName, sSection, sKey, encodePassWord(sCommandPin)));
}

bool clsRemote::loadRegistory(const QString& sAPPName) {
    QString sStored;
    if (!SettingsStore::readText(sAPPName, sSection, sKey, QString(), sStored))
        return false;
    // A hand-edited value that is no PIN is kept: commands then fail rather than need no PIN.
    sCommandPin = decodePassWord(sStored);
    return true;
}

bool clsRemote::isValidPin(const QString& sPin) {
    return sPin.size() <= 32 && std::all_of(sPin.cbegin(), sPin.cend(), [](QChar c) {
               return c.unicode() < 128 && c.isLetterOrNumber();
           });
}
