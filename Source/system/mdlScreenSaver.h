#pragma once

#include <QString>

class QWidget;

// Which dialog opened the screen saver chooser: 0 the simple settings, 1 the detailed settings.
extern qint16 iSelectFrom;

// Runs a screen saver file: mode 2 starts it (detached), mode 1 would ask it to set its password, which has
// no meaning on the platforms supported now. Answers true when running the file failed; other modes do
// nothing.
bool execScreenSaver(qint16 iMode, QWidget* owner, const QString& sPath);

// Starts the screen saver of the settings set in force. True when one was started or none is chosen.
bool startScreenSaver(QWidget* owner);
