#include "engine/clsMailTransfer.h"

#include "engine/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "system/clsExitWindows.h"

#include <QDateTime>
#include <algorithm>

namespace {
const QString sAppName = QStringLiteral("Q-Post");

// A command mail stays on the server and is read again at every check and after every new start, also after
// the reboot it ordered; the settings keep the latest commands obeyed so that each is obeyed once. As many as
// the received-mail store holds, so that no command still held in it is forgotten and obeyed again.
const QString sDoneSection = QStringLiteral("CMD1");
const QString sDoneCountKey = QStringLiteral("Val1");
constexpr qint16 iDoneMax = clsMailTransfer::iSlots + 1;

QString doneKey(qint16 n) {
    return QStringLiteral("Val2_%1").arg(n);
}

QString identityText(const QByteArray& sIdentity) {
    return QString::fromLatin1(sIdentity.toHex());
}

// Oldest first. What cannot be read counts as not obeyed.
QStringList loadDone() {
    QStringList done;
    qint16 iCount = 0;
    if (!SettingsStore::readInt16(sAppName, sDoneSection, sDoneCountKey, 0, iCount))
        return done;
    for (qint16 n = 0; n < std::min(iCount, iDoneMax); ++n) {
        QString sEntry;
        if (SettingsStore::readText(sAppName, sDoneSection, doneKey(n), QString(), sEntry) &&
            !sEntry.isEmpty())
            done.append(sEntry);
    }
    return done;
}

void saveDone(const QStringList& done) {
    // On disk at once: the computer may go down right after.
    SettingsSyncGuard guard(sAppName);
    for (qint16 n = 0; n < qint16(done.size()); ++n)
        SettingsStore::saveSetting(sAppName, sDoneSection, doneKey(n), done.at(n));
    SettingsStore::writeInt16(sAppName, sDoneSection, sDoneCountKey, qint16(done.size()));
}

// A mail without an identity cannot be told from the next one, so it is not remembered.
void rememberCommand(const QByteArray& sIdentity) {
    if (sIdentity.isEmpty())
        return;
    QStringList done = loadDone();
    const QString sEntry = identityText(sIdentity);
    if (done.contains(sEntry))
        return;
    done.append(sEntry);
    while (done.size() > iDoneMax)
        done.removeFirst();
    saveDone(done);
}

void forgetCommand(const QByteArray& sIdentity) {
    QStringList done = loadDone();
    if (!sIdentity.isEmpty() && done.removeAll(identityText(sIdentity)) > 0)
        saveDone(done);
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

// Only the allowed sender itself may command: the whole address must match, letter case aside, since a
// sender that merely begins with it (phone@example.jp.attacker.test) could be anyone's.
qint32 clsMailTransfer::findCommand(const QString& sMyFrom, const QString& sWord) const {
    const QString sAllowed = sMyFrom.trimmed();
    if (sAllowed.isEmpty() || sWord.isEmpty())
        return -1;
    const QStringList done = loadDone();
    for (qint32 lIndex = 0; lIndex < lTotal; ++lIndex) {
        const Slot& slot = slotAt(lIndex);
        if (!slot.sSubject.startsWith(sWord) ||
            slot.sFrom.trimmed().compare(sAllowed, Qt::CaseInsensitive) != 0)
            continue;
        if (!slot.sIdentity.isEmpty() && done.contains(identityText(slot.sIdentity)))
            continue;
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
        rememberCommand(slotAt(lIndex).sIdentity);
    return lIndex;
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
        const QByteArray sIdentity = slotAt(lIndex).sIdentity;
        // Before the exit request: once it is granted, this program may not get another moment.
        rememberCommand(sIdentity);
        // The exit goes ahead whether the notice went out or not.
        smtp.SendMail(sServer, sMyFrom, sMyFrom, command.sSubject, sHead + command.sMessage, QString());
        smtp.Release();
        if ((exitWindows.*command.exit)() != 0) {
            bComputerGoingDown = true;
            return false;
        }
        // Refused: the program goes on and the command is tried again at the next check.
        forgetCommand(sIdentity);
        return false;
    }
    return false;
}
