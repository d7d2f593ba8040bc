#pragma once

#include <QString>

// A virtual X display (Xvfb), optionally with a tray host (trayer), for tests that show real windows and
// take screenshots. Started in main before the application exists, because the platform reads DISPLAY once.
namespace VirtualDesktop {
// Sets DISPLAY on success; otherwise answers false with the reason, and the caller runs offscreen to report
// it.
bool start(bool bWithTray, QString& sSkipReason, const char* sScreen = "1024x768x24");
void stop();
// A Wayland compositor instead (weston, headless, with its screenshot extension): sets WAYLAND_DISPLAY and
// the Wayland platform on success. stop() ends it too.
bool startWayland(QString& sSkipReason);
} // namespace VirtualDesktop
