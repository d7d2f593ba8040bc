#include "engine/clsMailTransfer.h"

#include "engine/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "system/clsExitWindows.h"

#include <QDateTime>
#include <algorithm>

namespace {
const QString sAppName = QStringLiteral("Q-Post");
const QString sWords[] = {QStringLiteral("STOP_MAIL"), QStringLiteral("PAUSE_MAIL"),
                          QStringLiteral("LOGOFF"),    QStringLiteral("POWEROFF"),
                          QStringLiteral("REBOOT"),    QStringLiteral("SHUTDOWN")};

// Only the allowed sender itself may command: the whole address must match, letter case aside, since a
// sender that merely begins with it (phone@example.jp.attacker.test) could be anyone's.
bool isAllowedSender(const QString& sFrom, const QString& sAllowed) {
    return !sAllowed.trimmed().isEmpty() &&
           sFrom.trimmed().compare(sAllowed.trimmed(), Qt::CaseInsensitive) == 0;
}

struct SystemCommand {
    QString sWord;
    QString sSubject;
    QString sMessage;
    qint32 (clsExitWindows::*exit)();
};

// The order decides between several commands waiting at once.
const SystemCommand systemCommands[] = {
    {QStringLiteral("LOGOFF"), QStringLiteral("ペリモメール LOGOFF通知"),
     QStringLiteral("Windowsをログオフしました"), &clsExitWindows::LogOff},
    {QStringLiteral("POWEROFF"), QStringLiteral("ペリモメール POWEROFF通知"),
     QStringLiteral("パソコン電源をオフしました"), &clsExitWindows::PowerOff},
    {QStringLiteral("REBOOT"), QStringLiteral("ペリモメール REBOOT通知"),
     QStringLiteral("Windowsを再起動しました"), &clsExitWindows::ReBoot},
    {QStringLiteral("SHUTDOWN"), QStringLiteral("ペリモメール SHUTDOWN通知"),
     QStringLiteral("Windowsをシャットダウンしました"), &clsExitWindows::ShutDown},
};
} // namespace

QString clsMailTransfer::commandNoticeHead(const QDateTime& dtNow) {
    return dtNow.toString(QStringLiteral("yyyy年MM月d日 h時m分 "));
}

// Earlier versions kept the digests of the commands they obeyed in the settings; those mails may still be on
// the server and must not act again.
QSet<QString> clsMailTransfer::commandsObeyedBefore() {
    QSet<QString> done;
    const QString sSection = QStringLiteral("CMD1");
    qint16 iCount = 0;
    if (!SettingsStore::readInt16(sAppName, sSection, QStringLiteral("Val1"), 0, iCount))
        return done;
    for (qint16 n = 0; n < std::min<qint16>(iCount, iSlots + 1); ++n) {
        QString sEntry;
        if (SettingsStore::readText(sAppName, sSection, QStringLiteral("Val2_%1").arg(n), QString(),
                                    sEntry) &&
            !sEntry.isEmpty())
            done.insert(sEntry);
    }
    return done;
}

qint32 clsMailTransfer::findCommand(const QString& sMyFrom, const QString& sWord) const {
    if (sWord.isEmpty())
        return -1;
    for (qint32 lIndex = 0; lIndex < lTotal; ++lIndex) {
        const Slot& slot = slotAt(lIndex);
        if (!slot.bObeyed && slot.sSubject.startsWith(sWord) && isAllowedSender(slot.sFrom, sMyFrom))
            return lIndex;
    }
    return -1;
}

// The check cycle acts on every slot answered here, so answering it is obeying it.
qint32 clsMailTransfer::checkMailCommand(const QString& sMyFrom, const QString& sCommand,
                                         const QString& sMyUserID) {
    Q_UNUSED(sMyUserID);
    const qint32 lIndex = findCommand(sMyFrom, sCommand);
    if (lIndex >= 0)
        setObeyed(lIndex, true);
    return lIndex;
}

void clsMailTransfer::consumeCommands(const QStringList& sAllowedSenders) {
    for (qint32 lIndex = 0; lIndex < lTotal; ++lIndex) {
        const Slot& slot = slotAt(lIndex);
        if (slot.bObeyed)
            continue;
        const bool bCommand = std::any_of(std::begin(sWords), std::end(sWords), [&](const QString& sWord) {
            return slot.sSubject.startsWith(sWord);
        });
        const bool bAllowed =
            std::any_of(sAllowedSenders.cbegin(), sAllowedSenders.cend(),
                        [&](const QString& sAllowed) { return isAllowedSender(slot.sFrom, sAllowed); });
        if (bCommand && bAllowed)
            setObeyed(lIndex, true);
    }
}

bool clsMailTransfer::checkSystemCommand(SmtpClient& smtp, const QString& sServer, const QString& sMyFrom,
                                         const QString& sMyUserID) {
    Q_UNUSED(sMyUserID);
    clsExitWindows exitWindows;
    exitWindows.setForce(true);
    const QString sHead = commandNoticeHead(QDateTime::currentDateTime());
    smtp.SessionMode = 1;
    for (const SystemCommand& command : systemCommands) {
        const qint32 lIndex = findCommand(sMyFrom, command.sWord);
        if (lIndex < 0)
            continue;
        // Before the exit request: once it is granted, this program may not get another moment.
        setObeyed(lIndex, true);
        // The exit goes ahead whether the notice went out or not.
        smtp.SendMail(sServer, sMyFrom, sMyFrom, command.sSubject, sHead + command.sMessage, QString());
        smtp.Release();
        if ((exitWindows.*command.exit)() != 0) {
            bComputerGoingDown = true;
            consumeCommands({sMyFrom});
            return false;
        }
        // Refused: the program goes on and the command is tried again at the next check.
        setObeyed(lIndex, false);
        return false;
    }
    return false;
}
