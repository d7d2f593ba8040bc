#include "system/clsExitWindows.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QVariant>

namespace {
const QString sService = QStringLiteral("org.freedesktop.login1");
const QString sManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString sManagerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString sSessionInterface = QStringLiteral("org.freedesktop.login1.Session");

// logind's SD_LOGIND_SKIP_INHIBITORS: pass over block inhibitors where polkit allows it.
constexpr quint64 iSkipInhibitors = quint64(1) << 4;

QDBusMessage managerCall(const QString& sMethod, const QVariantList& args) {
    QDBusMessage message = QDBusMessage::createMethodCall(sService, sManagerPath, sManagerInterface, sMethod);
    message.setArguments(args);
    return message;
}

// Interaction means polkit may show a password prompt: nobody is at the desk to answer one when forced.
QDBusMessage send(QDBusMessage message, bool bInteractive) {
    message.setInteractiveAuthorizationAllowed(bInteractive);
    return QDBusConnection::systemBus().call(message, QDBus::Block, clsExitWindows::iReplyTimeoutMs);
}

bool accepted(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage;
}

QString errorOf(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ErrorMessage)
        return QStringLiteral("no answer from logind");
    return reply.errorName() + QStringLiteral(": ") + reply.errorMessage();
}
} // namespace

qint32 clsExitWindows::requestExit(qint32 lFlags) {
    lLastFlags = lFlags | lForceFlag;
    sLastError.clear();
    const bool bForce = lForceFlag != 0;
    switch (lFlags) {
    case iLogOffFlag:
        lLastResult = endSession(bForce);
        break;
    case iReBootFlag:
        lLastResult = stopSystem(QStringLiteral("Reboot"), bForce);
        break;
    default:
        lLastResult = stopSystem(QStringLiteral("PowerOff"), bForce);
        break;
    }
    return lLastResult;
}

qint32 clsExitWindows::stopSystem(const QString& sMethod, bool bForce) {
    if (bForce) {
        QDBusMessage reply =
            send(managerCall(sMethod + QStringLiteral("WithFlags"), {QVariant::fromValue(iSkipInhibitors)}),
                 false);
        if (accepted(reply))
            return 1;
        // An older logind knows neither the flag nor perhaps the method. Its plain request already lets a
        // caller whom polkit allows pass over inhibitors, so that is the forced request there.
        const QString sName = reply.errorName();
        if (sName != QDBusError::errorString(QDBusError::UnknownMethod) &&
            sName != QDBusError::errorString(QDBusError::InvalidArgs)) {
            sLastError = errorOf(reply);
            return 0;
        }
    }
    const QDBusMessage reply = send(managerCall(sMethod, {QVariant(!bForce)}), !bForce);
    if (accepted(reply))
        return 1;
    sLastError = errorOf(reply);
    return 0;
}

// "auto" is the session of this process or, when the program was started outside one (by the user's
// service manager), the user's graphical session; logind works it out from the caller's credentials,
// which an inherited environment variable could not be trusted for.
qint32 clsExitWindows::endSession(bool bForce) {
    QDBusMessage reply = send(managerCall(QStringLiteral("GetSession"), {QStringLiteral("auto")}), false);
    const QString sPath =
        accepted(reply) ? qdbus_cast<QDBusObjectPath>(reply.arguments().value(0)).path() : QString();
    if (sPath.isEmpty()) {
        sLastError = accepted(reply) ? QStringLiteral("logind named no session") : errorOf(reply);
        return 0;
    }
    // Terminate ends every process of the session at once: there is no gentler log-off that logind offers.
    reply =
        send(QDBusMessage::createMethodCall(sService, sPath, sSessionInterface, QStringLiteral("Terminate")),
             !bForce);
    if (accepted(reply))
        return 1;
    sLastError = errorOf(reply);
    return 0;
}
