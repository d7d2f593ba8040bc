#pragma once

#include <QString>

// Program-wide flags shared by the shell, the engine and the screen saver routines.
extern bool bWinNT;    // platform family; true on every platform the program supports now
extern bool bStopping; // a stop is being announced; the please-wait popup clears it

// The one instance of the program, held for the life of the process. False when another instance holds it.
bool acquireSingleInstance();
void releaseSingleInstance();

// The application key of the settings store, under which every section is kept.
inline const QString sSettingsName = QStringLiteral("Q-Post");
