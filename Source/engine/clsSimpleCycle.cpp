#include "engine/clsSimpleCycle.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsMailTransfer.h"
#include "engine/mdlCheck.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <exception>

struct clsSimpleCycle::Settings {
    QString sPop3Server;
    QString sUserID;
    QString sPassword;
    QString sSmtpServer;
    QString sDestination;
    qint16 iPageSize = 0;
    QString sOwnAddress;

    static Settings read() {
        const clsSet2& set = clsSet2::instance();
        Settings s;
        s.sPop3Server = set.getValue(1).toString();
        s.sUserID = decodePassWord(set.getValue(2).toString());
        s.sPassword = decodePassWord(set.getValue(3).toString());
        s.sSmtpServer = set.getValue(4).toString();
        s.sDestination = set.getValue(5).toString();
        s.iPageSize = qint16(set.getValue(8).toInt());
        s.sOwnAddress = decodePassWord(set.getValue(11).toString());
        return s;
    }
};

namespace {
constexpr qint16 iCounterLimit = 32000;
constexpr int iAttempts = 3;

} // namespace

void clsSimpleCycle::start() {
    iMinuteCount = 0;
    iCheckInterval = 0;
    clsMailTransfer::instance().clearClass();
    iCheckInterval = qint16(clsSet2::instance().getValue(6).toInt());
}

bool clsSimpleCycle::countMinute() {
    if (iMinuteCount > iCounterLimit)
        iMinuteCount = 0;
    ++iMinuteCount;
    return iMinuteCount == iCheckInterval;
}

CheckOutcome clsSimpleCycle::tick() {
    return countMinute() ? check() : CheckOutcome::NotDue;
}

CheckOutcome clsSimpleCycle::check() {
    CheckOutcome outcome = CheckOutcome::CarryOn;
    QString sError;
    try {
        const CheckDeadline deadline(Pop31, Smtp1, checkDeadlineSeconds);
        clsMailTransfer::instance().beginCheckReport();
        outcome = runCheck();
    } catch (const std::exception& e) {
        sError = QString::fromLocal8Bit(e.what());
    } catch (...) {
        sError = QStringLiteral("unknown error");
    }
    if (!sError.isNull()) {
        // A check must never end the program: log what went wrong, leave no session behind, try again later.
        try {
            Smtp1.Release();
            writeRunLog(QStringLiteral("チェック中のエラー: ") + sError);
        } catch (...) {
        }
        outcome = CheckOutcome::CarryOn;
    }
    if (outcome == CheckOutcome::CarryOn)
        iMinuteCount = 0;
    return outcome;
}

CheckOutcome clsSimpleCycle::runCheck() {
    clsMailTransfer& store = clsMailTransfer::instance();
    const Settings settings = Settings::read();
    // The receive account also signs in to the SMTP server when it asks for AUTH.
    Smtp1.setCredentials(settings.sUserID, settings.sPassword);

    const qint32 n =
        store.mailRecive(Pop31, settings.sPop3Server, settings.sUserID, settings.sPassword, QString());
    writeRunLog(receiveCountLine(n));
    // A store full of mail whose forwarding failed reads nothing new, yet that mail is due again now.
    if (n < 0 || (n == 0 && !store.hasMailToForward()))
        return CheckOutcome::CarryOn;

    store.checkSystemCommand(Smtp1, settings.sSmtpServer, settings.sDestination, settings.sUserID);
    if (store.isComputerGoingDown())
        return CheckOutcome::ComputerGoingDown;

    // Stop is tested first, so it wins over a pause found in the same check; the one that acts uses up the
    // others, so none acts after the next start.
    if (store.checkMailCommand(settings.sDestination, QStringLiteral("STOP_MAIL"), settings.sUserID) != -1) {
        store.consumeCommands({settings.sDestination});
        sendNoticeMail(Smtp1, QStringLiteral("終了"), settings.sSmtpServer, settings.sDestination,
                       settings.sDestination);
        return CheckOutcome::Stop;
    }
    if (store.checkMailCommand(settings.sDestination, QStringLiteral("PAUSE_MAIL"), settings.sUserID) != -1) {
        store.consumeCommands({settings.sDestination});
        sendNoticeMail(Smtp1, QStringLiteral("中断"), settings.sSmtpServer, settings.sDestination,
                       settings.sDestination);
        return CheckOutcome::Pause;
    }

    Smtp1.SessionMode = 1;
    // The pages of a check go out in one SMTP session rather than one each: the TLS handshake and login
    // were most of the work of sending. A failed send still ends the session, so retries start afresh.
    struct SessionGuard {
        SmtpClient& smtp;
        explicit SessionGuard(SmtpClient& s) : smtp(s) { smtp.KeepSession = true; }
        ~SessionGuard() {
            smtp.KeepSession = false;
            smtp.Release();
        }
    } session(Smtp1);
    const qint32 lTotal = store.getReciveMailTotal();
    for (qint32 i = 0; i < lTotal; ++i) {
        if (!store.isDue(i))
            continue;
        if (beforeForwardForTest)
            beforeForwardForTest(i);
        store.setTrans(i, forward(settings, i));
    }
    return CheckOutcome::CarryOn;
}

bool clsSimpleCycle::forward(const Settings& settings, qint32 lIndex) {
    clsMailTransfer& store = clsMailTransfer::instance();
    bool bSent = false;
    if (settings.iPageSize != 0) {
        const qint16 p =
            store.mailDivideCul(store.getBody(lIndex), settings.iPageSize, store.getTransSizeEasy(), 1);
        QString sFrom = settings.sOwnAddress;
        if (trimBlanks(sFrom).isEmpty()) {
            sFrom = store.getFrom(lIndex);
            // An undecoded encoded word is no address; the own address stands in, even when empty.
            if (containsUndecodedMark(sFrom))
                sFrom = settings.sOwnAddress;
        }
        // The last page first, so that the phone lists the first page on top. A page that reached the server
        // in an earlier try is not sent again; the last one sent makes the whole mail forwarded.
        for (qint32 k = p - 1; k >= 0; --k) {
            const QString sPage = store.getMailDivide(qint16(k));
            if (store.getPartSent(lIndex, settings.sDestination, sPage)) {
                bSent = true;
                continue;
            }
            bSent = sendText(settings, lIndex, sFrom, sPage);
            if (!bSent)
                break;
            if (k > 0)
                store.setPartSent(lIndex, settings.sDestination, sPage);
        }
    } else {
        QString sFrom = store.getFrom(lIndex);
        if (containsUndecodedMark(sFrom))
            sFrom = settings.sUserID + u'@' + settings.sPop3Server;
        bSent = sendText(settings, lIndex, sFrom, store.getBody(lIndex));
    }
    if (!bSent)
        writeSendLog(QStringLiteral("----->送信結果:NG"));
    return bSent;
}

bool clsSimpleCycle::sendText(const Settings& settings, qint32 lIndex, const QString& sFrom,
                              const QString& sBody) {
    const clsMailTransfer& store = clsMailTransfer::instance();
    const QString sSubject = store.getSbuject(lIndex);
    const bool bRunLog = clsSystem::instance().RunLog;
    if (bRunLog) {
        const QString sCrLf = QStringLiteral("\r\n");
        appendLogBlock(QStringLiteral("sendmail.log"),
                       sendDataHead() + sCrLf + QStringLiteral("サーバホスト名 : ") + settings.sSmtpServer +
                           sCrLf + QStringLiteral("送信先メールアドレス : ") + settings.sDestination + sCrLf +
                           QStringLiteral("送信元メールアドレス : ") + sFrom + sCrLf +
                           QStringLiteral("件名 : ") + sSubject + sCrLf + QStringLiteral("本文 : ") +
                           trimBlanks(sBody));
    }

    qint32 lRet = 0;
    qint32 lError = 0;
    QString sErrorText;
    bool bLastTry = false;
    for (int a = 1; a <= iAttempts; ++a) {
        lRet = Smtp1.SendMail(settings.sSmtpServer, settings.sDestination, sFrom, sSubject, sBody, QString());
        lError = Smtp1.LastError();
        sErrorText = Smtp1.LastErrorText();
        if (lRet == 1 && lError == 0) {
            writeSendLog(QStringLiteral("----->送信結果:OK"));
            break;
        }
        writeSendLog(QStringLiteral("-->送信結果:NG -->ﾘﾄﾗｲ= ") + QString::number(a));
        // The server may have taken a text whose answer was lost: each such try may be a copy on the phone.
        if (noteUnconfirmed(lIndex, settings.sDestination, sBody, Smtp1.isUnconfirmed(), sErrorText) ||
            bLastTry)
            break;
        bLastTry = Smtp1.isUnconfirmed();
    }
    // Release clears the component's error, so the verdict was taken above.
    Smtp1.Release();

    const bool bSent = lRet == 1 && lError == 0;
    clsMailTransfer::instance().noteSend(bSent, lError);
    if (bRunLog) {
        writeRunLog(settings.sDestination + u':' + sFrom + u':' + sSubject);
        writeRunLog(QStringLiteral("lRet=") + QString::number(lRet) + QStringLiteral(" LastError=") +
                    QString::number(lError) +
                    (bSent ? QStringLiteral(":送信OK") : QStringLiteral(":送信NG")));
        if (!bSent && !sErrorText.isEmpty())
            writeRunLog(QStringLiteral("SMTP: ") + settings.sSmtpServer + u' ' + sErrorText);
    }
    return bSent;
}
