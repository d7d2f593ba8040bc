#pragma once

#include <QString>

// The entry that starts the program with the user's desktop session (XDG autostart).
QString autostartEntryPath();
// Writes the entry for the program at sProgram, or removes it; false with the reason in sError.
bool setAutostart(bool bOn, const QString& sProgram, QString& sError);
