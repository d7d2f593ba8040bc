#pragma once

#include "base/mdlMessage.h"

#include <QList>
#include <QString>

// Every test program runs with its own empty configuration, data and runtime folders (set before main), so
// the user's real settings are never read or written.
namespace TestSupport {
QString sandboxDir();
// Forgets the settings and the forwarding record written so far: both start empty again.
void clearStore();
QString testDataDir();
// The text stored under section and key of the program's settings, or "<missing>".
QString stored(const QString& sSection, const QString& sKey);
// The process's peak resident memory in bytes.
qint64 peakMemory();
// Lets the peak start again from the present use (Linux 4.0 and later) and answers that use. Where the
// reset is refused, an older, higher peak can only make the growth look larger, never smaller.
qint64 resetPeakMemory();

// The program itself (PELIMO_PROGRAM) run with the arguments in the sandbox and without a display, so that
// it can only answer on its command line; its exit code (-1 when it crashed or hung) and output.
struct ProgramRun {
    int iCode = -1;
    QString sOut;
    QString sErr;
};
ProgramRun runProgram(const QStringList& arguments);
} // namespace TestSupport

// Records the message boxes shown while it lives and answers them with a set answer.
class MessageRecorder {
public:
    struct Shown {
        QString sText;
        QString sTitle;
        MsgIcon icon;
        MsgButtons buttons;
    };
    explicit MessageRecorder(MsgAnswer answer = MsgAnswer::Ok);
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    QList<Shown> shown;
    MsgAnswer answer;

private:
    MessageHandler previous;
};
