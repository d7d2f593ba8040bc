#include "engine/clsMailTransfer.h"

#include "base/mdlGlobals.h"
#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "settings/SettingsStore.h"
#include "settings/clsSet1.h"
#include "system/clsExitWindows.h"

#include <QDateTime>
#include <QRegularExpression>
#include <algorithm>

namespace {
const QString& sAppName = sSettingsName;
const QString sWords[] = {QStringLiteral("STOP_MAIL"), QStringLiteral("PAUSE_MAIL"),
                          QStringLiteral("LOGOFF"),    QStringLiteral("POWEROFF"),
                          QStringLiteral("REBOOT"),    QStringLiteral("SHUTDOWN")};

// Only the allowed sender itself may command: the whole address must match, letter case aside, since a
// sender that merely begins with it (phone@example.jp.attacker.test) could be anyone's.
bool isAllowedSender(const QString& sFrom, const QString& sAllowed) {
    return !sAllowed.trimmed().isEmpty() &&
           sFrom.trimmed().compare(sAllowed.trimmed(), Qt::CaseInsensitive) == 0;
}

// Whether a domain named in a verdict is the From domain, or one of them lies under the other.
bool sameDomain(QString sDomain, const QString& sFromDomain) {
    sDomain = sDomain.mid(sDomain.lastIndexOf(u'@') + 1).toLower();
    const QString sFrom = sFromDomain.toLower();
    return sDomain.isEmpty() || sDomain == sFrom || sDomain.endsWith(u'.' + sFrom) ||
           sFrom.endsWith(u'.' + sDomain);
}

// The failure that an Authentication-Results value records for the From domain ("dmarc=fail"), or empty.
// A dmarc result decides alone; without one, a failed spf or dkim check of the From domain does. A check
// that names no domain is taken to be about the From domain.
QString authenticationFailure(const QString& sValue, const QString& sFromDomain) {
    QString sBare;
    int iDepth = 0;
    for (qsizetype i = 0; i < sValue.size(); ++i) {
        const QChar c = sValue[i];
        if (c == u'\\' && iDepth > 0)
            ++i;
        else if (c == u'(')
            ++iDepth;
        else if (c == u')' && iDepth > 0)
            --iDepth;
        else if (iDepth == 0)
            sBare += c;
    }
    static const QRegularExpression equals(QStringLiteral("\\s*=\\s*"));
    sBare.replace(equals, QStringLiteral("="));
    QStringList results = sBare.split(u';');
    results.removeFirst(); // the name of the server that checked
    QString sFailure;
    for (const QString& sResult : results) {
        const QStringList words = sResult.simplified().split(u' ', Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        const QString sMethod = words[0].section(u'=', 0, 0).section(u'/', 0, 0).toLower();
        const bool bFail = words[0].section(u'=', 1).toLower() == u"fail";
        if (sMethod == u"dmarc")
            return bFail ? QStringLiteral("dmarc=fail") : QString();
        if ((sMethod != u"spf" && sMethod != u"dkim") || !bFail || !sFailure.isEmpty())
            continue;
        QString sDomain;
        for (const QString& sWord : words.mid(1)) {
            const QString sKey = sWord.section(u'=', 0, 0).toLower();
            if (sKey == u"smtp.mailfrom" || sKey == u"header.d" || sKey == u"header.i")
                sDomain = sWord.section(u'=', 1).remove(u'"');
        }
        if (sameDomain(sDomain, sFromDomain))
            sFailure = sMethod + QStringLiteral("=fail");
    }
    return sFailure;
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

QString clsMailTransfer::commandRefusal(Pop3Client& pop3Cntrol, QString& sSubject) {
    const auto word = std::find_if(std::begin(sWords), std::end(sWords),
                                   [&](const QString& sWord) { return sSubject.startsWith(sWord); });
    if (word == std::end(sWords))
        return QString();
    QString sRefusal;
    // Only the topmost is the receiving server's own; any below it may have come with the mail.
    for (qint32 k = 1; k <= pop3Cntrol.HeaderCount(); ++k) {
        const QString sLine = pop3Cntrol.HeaderLine(k);
        if (sLine.section(u':', 0, 0).trimmed().compare(u"Authentication-Results", Qt::CaseInsensitive) != 0)
            continue;
        const QString sFailure =
            authenticationFailure(sLine.section(u':', 1), pop3Cntrol.FromAddress().section(u'@', -1));
        if (!sFailure.isEmpty())
            sRefusal = QStringLiteral("差出人の認証に失敗 (%1)").arg(sFailure);
        break;
    }
    const QString sPin = clsSet1::instance().Remote().commandPin();
    if (sPin.isEmpty())
        return sRefusal;
    // "SHUTDOWN 4711": the PIN is the word after the command word. It is masked whether right or not, so
    // that neither it nor a near miss reaches a log or the phone.
    const qsizetype iStart = word->size();
    qsizetype iPin = iStart;
    while (iPin < sSubject.size() && sSubject[iPin].isSpace())
        ++iPin;
    qsizetype iEnd = iPin;
    while (iEnd < sSubject.size() && !sSubject[iEnd].isSpace())
        ++iEnd;
    const QString sGiven = iPin > iStart ? sSubject.mid(iPin, iEnd - iPin) : QString();
    if (!sGiven.isEmpty())
        sSubject.replace(iPin, iEnd - iPin, QStringLiteral("****"));
    if (!sRefusal.isEmpty())
        return sRefusal;
    if (sGiven.isEmpty())
        return QStringLiteral("暗証番号がありません");
    return sGiven == sPin ? QString() : QStringLiteral("暗証番号が違います");
}

bool clsMailTransfer::isCommand(Slot& slot, const QString& sWord, const QString& sAllowed) {
    if (slot.bObeyed || sWord.isEmpty() || !slot.sSubject.startsWith(sWord) ||
        !isAllowedSender(slot.sFrom, sAllowed))
        return false;
    if (slot.sCommandRefusal.isEmpty())
        return true;
    if (!slot.bRefusalLogged) {
        slot.bRefusalLogged = true;
        writeRunLog(QStringLiteral("コマンドメールを無視しました: ") + slot.sCommandRefusal +
                    QStringLiteral(": ") + slot.sSubject);
    }
    return false;
}

qint32 clsMailTransfer::findCommand(const QString& sMyFrom, const QString& sWord) {
    for (qint32 lIndex = 0; lIndex < lTotal; ++lIndex) {
        if (isCommand(slotAt(lIndex), sWord, sMyFrom))
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
        Slot& slot = slotAt(lIndex);
        const bool bCommand = std::any_of(std::begin(sWords), std::end(sWords), [&](const QString& sWord) {
            return std::any_of(sAllowedSenders.cbegin(), sAllowedSenders.cend(),
                               [&](const QString& sAllowed) { return isCommand(slot, sWord, sAllowed); });
        });
        if (bCommand)
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
