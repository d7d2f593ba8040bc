#pragma once

#include <QSettings>

// The settings file format: Qt's INI layout and escapes, so that files written by Qt's own INI format read
// unchanged, but every value is plain text. Qt's format unpacks values written as "@Variant(...)" and the
// like from the file, trusting lengths in it; here such a value is just its text, and a text the user typed
// is never taken for one.
namespace TextIniFormat {
// Registered once; the files end in ".conf" as Qt's native format names them on Linux.
QSettings::Format format();

bool read(QIODevice& device, QSettings::SettingsMap& map);
bool write(QIODevice& device, const QSettings::SettingsMap& map);
} // namespace TextIniFormat
