#include "base/mdlMessage.h"

#include <QMutex>
#include <cstdio>

namespace {
QMutex handlerLock;
MessageHandler currentHandler;
} // namespace

MsgAnswer showMessage(const QString& sText, const QString& sTitle, MsgIcon icon, MsgButtons buttons) {
    MessageHandler handler;
    {
        QMutexLocker lock(&handlerLock);
        handler = currentHandler;
    }
    if (handler)
        return handler(sText, sTitle, icon, buttons);
    // Without a window system nobody can answer: say it on stderr and take the safe default.
    std::fprintf(stderr, "%s: %s\n", qUtf8Printable(sTitle), qUtf8Printable(sText));
    return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
}

MessageHandler setMessageHandler(MessageHandler handler) {
    QMutexLocker lock(&handlerLock);
    MessageHandler previous = std::move(currentHandler);
    currentHandler = std::move(handler);
    return previous;
}
