#pragma once

// What the pages of the detailed settings and their save both use.

#include "base/mdlGlobals.h"
#include "base/mdlMessage.h"

#include <QString>

namespace frmSetShared {
// The settings set the dialog loads and saves.
inline const QString& sApp = sSettingsName;

inline void tell(const QString& sText, MsgIcon icon = MsgIcon::Information) {
    showMessage(sText, sAppTitle, icon);
}
} // namespace frmSetShared
