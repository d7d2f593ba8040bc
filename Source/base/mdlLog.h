#pragma once

#include <QString>

// The plain-text logs in the program folder, written in the system code page with CR LF line ends. Every
// write opens and closes its file, so the logs can be read while the program runs; a file that cannot be
// opened is passed over without a word, as a diagnosis log should.

// The folder of the executable when it is writable, else the per-user application data folder.
QString programFolder();
// For tests: overrides the program folder; an empty text restores the normal rule.
void setProgramFolder(const QString& sFolder);
QString logPath(const QString& sFileName);

// Keeps the logs of the last run as "PLRun.log.1" and so on, over the older ones, so that a run that failed
// can still be read after a restart; the new run starts with none. Missing files are no error.
void rotateLogs();

// One time-stamped line in "PLRun.log" / "sendmail.log", only when the run log is switched on.
void writeRunLog(const QString& sText);
// The run log's switch is a setting; the settings hand it down, since the log lies below them. Off until
// then.
void setRunLogSwitch(const bool* pOn);
void writeSendLog(const QString& sText);

// Appends a block of lines without time stamps. Any line break becomes CR LF and the block ends with one; an
// empty text writes nothing. The caller decides whether its log is switched on.
void appendLogBlock(const QString& sFileName, const QString& sText);
