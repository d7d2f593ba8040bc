#pragma once

#include "shell/mdlMessage.h"

#include <QList>
#include <QString>

// Every test program runs with its own empty configuration, data and runtime folders (set before main), so
// the user's real settings are never read or written.
namespace TestSupport {
QString sandboxDir();
// Forgets the settings written so far: the store starts empty again.
void clearStore();
QString testDataDir();
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
