#include "engine/clsDetailCycle.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsMailTransfer.h"
#include "engine/mdlCheck.h"
#include "settings/clsSet1.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QStringList>
#include <algorithm>
#include <stdexcept>

namespace {
constexpr qint16 iCounterLimit = 32000;
constexpr int iAttempts = 3;

// Reception puts this at the head of a body whose sender address it could not decode.
const QString sUndecodedSenderMark = QStringLiteral("※送信者のアドレスがデコードできません※");

// A row or field outside the table is an error of the settings, not an empty text to send to.
QString cell(const clsServerTable& table, qint16 iRow, qint16 iField) {
    const QVariant vValue = table.getValue(2, {iRow, iField});
    if (vValue.typeId() != QMetaType::QString)
        throw std::out_of_range("server row out of range");
    return vValue.toString();
}

qint16 rowCount(const clsServerTable& table) {
    return qint16(table.getValue(1).toInt());
}

// The log itself may be what failed; the shell must still get its answer.
void logQuietly(const QString& sText) {
    try {
        writeRunLog(sText);
    } catch (...) {
    }
}
} // namespace

clsDetailCycle::clsDetailCycle(Pop3Client& pop3Cntrol, SmtpClient& smtpCntrol)
    : pop3(pop3Cntrol), smtp(smtpCntrol) {}

void clsDetailCycle::start() {
    iMinuteCount = 0;
    clsMailTransfer::instance().clearClass();
    clsSet1::instance().WTH2().clearAllTimerCounter();
}

bool clsDetailCycle::countMinute() {
    if (iMinuteCount > iCounterLimit)
        iMinuteCount = 0;
    ++iMinuteCount;
    try {
        return clsSet1::instance().checkMailReciveTime(iMinuteCount);
    } catch (const std::exception& e) {
        logQuietly(QStringLiteral("チェック中のエラー:") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        logQuietly(QStringLiteral("チェック中のエラー:不明"));
    }
    // A schedule that cannot be read starts counting afresh, as after a failed check.
    iMinuteCount = 0;
    return false;
}

CheckOutcome clsDetailCycle::tick() {
    return countMinute() ? check() : CheckOutcome::NotDue;
}

CheckOutcome clsDetailCycle::check() {
    try {
        const CheckDeadline deadline(pop3, smtp);
        clsMailTransfer::instance().beginCheckReport();
        const CheckOutcome outcome = runCheck();
        if (outcome == CheckOutcome::CarryOn)
            iMinuteCount = 0;
        return outcome;
    } catch (const std::exception& e) {
        logQuietly(QStringLiteral("チェック中のエラー:") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        logQuietly(QStringLiteral("チェック中のエラー:不明"));
    }
    // A dialogue cut short must not leave its connection or its recipients to the next send.
    try {
        smtp.Release();
    } catch (...) {
    }
    iMinuteCount = 0;
    return CheckOutcome::CarryOn;
}

CheckOutcome clsDetailCycle::runCheck() {
    clsSet1& set = clsSet1::instance();
    clsMailTransfer& store = clsMailTransfer::instance();
    const clsSRV1& srv1 = set.SRV1();
    const clsSRV2& srv2 = set.SRV2();
    const qint16 iRecvRows = rowCount(srv1);
    const qint16 iSendRows = rowCount(srv2);
    const QString sTempDir = clsSystem::instance().getValueTempDir();

    // An unreadable mailbox adds nothing: counting its -1 would cancel another mailbox's new mail.
    qint32 lTotal = 0;
    bool bAnyRead = false;
    for (qint16 b = 0; b < iRecvRows; ++b) {
        const QString sServer = cell(srv1, b, 0);
        const qint32 lRead = store.mailRecive(pop3, sServer, decodePassWord(cell(srv1, b, 1)),
                                              decodePassWord(cell(srv1, b, 2)), sTempDir);
        if (lRead < 0) {
            writeRunLog(QStringLiteral("受信できません:") + sServer);
            continue;
        }
        bAnyRead = true;
        lTotal += lRead;
    }
    writeRunLog(receiveCountLine(bAnyRead || iRecvRows < 1 ? lTotal : -1));
    // A store full of mail whose forwarding failed reads nothing new, yet that mail is due again now.
    if (lTotal <= 0 && !(bAnyRead && store.hasMailToForward()))
        return CheckOutcome::CarryOn;

    // A command that acts uses up every other command of the check, so that none acts after the next start.
    QStringList sDestinations;
    for (qint16 e = 0; e < iSendRows; ++e)
        sDestinations << cell(srv2, e, 3);
    for (qint16 b = 0; b < iRecvRows; ++b) {
        const QString sUserID = decodePassWord(cell(srv1, b, 1));
        for (qint16 e = 0; e < iSendRows; ++e) {
            const QString sServer = cell(srv2, e, 0);
            const QString sDestination = sDestinations.at(e);
            useCredentialsFor(e);
            store.checkSystemCommand(smtp, sServer, sDestination, sUserID);
            if (store.isComputerGoingDown()) {
                store.consumeCommands(sDestinations);
                return CheckOutcome::ComputerGoingDown;
            }
            qint32 lCommand = store.checkMailCommand(sDestination, QStringLiteral("STOP_MAIL"), sUserID);
            if (lCommand != -1) {
                store.consumeCommands(sDestinations);
                // The notice goes back to whoever sent the command.
                const QString sSender = store.getFrom(lCommand);
                sendNoticeMail(smtp, QStringLiteral("終了"), sServer, sSender, sSender);
                return CheckOutcome::Stop;
            }
            lCommand = store.checkMailCommand(sDestination, QStringLiteral("PAUSE_MAIL"), sUserID);
            if (lCommand != -1) {
                store.consumeCommands(sDestinations);
                const QString sSender = store.getFrom(lCommand);
                sendNoticeMail(smtp, QStringLiteral("中断"), sServer, sSender, sSender);
                return CheckOutcome::Pause;
            }
        }
    }

    const qint16 iPosition = qint16(set.OPT1().getValue(1).toInt());
    const qint32 lSlots = store.getReciveMailTotal();
    for (qint32 i = 0; i < lSlots; ++i) {
        checkTransferFilters(i);
        if (store.isDue(i))
            forwardSlot(i, iSendRows, iPosition);
    }
    return CheckOutcome::CarryOn;
}

void clsDetailCycle::checkTransferFilters(qint32 lIndex) {
    clsSet1& set = clsSet1::instance();
    clsMailTransfer& store = clsMailTransfer::instance();
    if (store.getTrans(lIndex) || store.getObeyed(lIndex))
        return;
    writeRunLog(QStringLiteral("Subject:") + store.getSbuject(lIndex));
    // Attachments take no part in forwarding.
    store.setAFileCount(lIndex, 0);
    if (set.FIL1().getValue(5).toInt() == 0)
        store.DeleteQuotation(lIndex);

    QStringList sToList;
    const qint32 lToCount = store.getToCount(lIndex);
    for (qint32 k = 0; k < lToCount; ++k)
        sToList << store.getToMailAddr(lIndex, qint16(k));
    QStringList sCcList;
    const qint32 lCcCount = store.getCcCount(lIndex);
    for (qint32 k = 0; k < lCcCount; ++k)
        sCcList << store.getCcMailAddr(lIndex, qint16(k));

    QString sFailed;
    if (!set.judgeDoTransferFromFilter2(lToCount, sToList, lCcCount, sCcList))
        sFailed = QStringLiteral("Filter2:UnMach");
    else if (!store.getBody(lIndex).contains(sUndecodedSenderMark, Qt::CaseInsensitive) &&
             !set.judgeDoTransferFromFilter3(store.getFrom(lIndex)))
        sFailed = QStringLiteral("Filter3:UnMach");
    else if (!set.judgeDoTransferFromFilter4(store.getSbuject(lIndex)))
        sFailed = QStringLiteral("Filter4:UnMach");

    if (sFailed.isEmpty()) {
        writeRunLog(QStringLiteral("Filter:Complete."));
        return;
    }
    writeRunLog(sFailed);
    store.setStop(lIndex, true);
}

bool clsDetailCycle::forwardSlot(qint32 lIndex, qint16 iSendRows, qint16 iPosition) {
    clsSet1& set = clsSet1::instance();
    clsMailTransfer& store = clsMailTransfer::instance();
    if (iSendRows < 1) {
        // Marking it forwarded would lose it for good once a send entry is set up.
        writeRunLog(QStringLiteral("送信サーバーが設定されていないため転送しません"));
        return false;
    }

    // Each page to each row is a part; a part that reached its server in an earlier try is not sent again,
    // and the last one makes the whole mail forwarded.
    bool bSent = true;
    const auto sendPart = [&](qint16 e, const QString& sText, bool bLast) {
        const QString sPart = sText.isEmpty() ? store.getBody(lIndex) : sText;
        if (store.getPartSent(lIndex, partDestination(e), sPart))
            return;
        bSent = sendToRow(lIndex, e, sText);
        if (bSent && !bLast)
            store.setPartSent(lIndex, partDestination(e), sPart);
    };
    if (set.FIL1().getValue(3).toInt() == 0) {
        const qint16 iPages =
            store.mailDivideCul(store.getBody(lIndex), qint16(set.FIL1().getValue(4).toInt()),
                                store.getTransSizeDetail(), iPosition);
        for (qint16 j = qint16(iPages - 1); j >= 0 && bSent; --j) {
            const QString sPage = store.getMailDivide(j);
            for (qint16 e = 0; e < iSendRows && bSent; ++e)
                sendPart(e, sPage, j == 0 && e == iSendRows - 1);
        }
    } else {
        for (qint16 e = 0; e < iSendRows && bSent; ++e)
            sendPart(e, QString(), e == iSendRows - 1);
    }

    if (!bSent)
        writeSendLog(QStringLiteral("----->送信結果:NG"));
    store.setTrans(lIndex, bSent);
    return bSent;
}

bool clsDetailCycle::sendToRow(qint32 lIndex, qint16 iRow, const QString& sText) {
    clsSet1& set = clsSet1::instance();
    clsMailTransfer& store = clsMailTransfer::instance();
    const clsSRV2& srv2 = set.SRV2();
    QString sFrom = cell(srv2, iRow, 1).trimmed();
    if (sFrom.isEmpty())
        sFrom = store.getFrom(lIndex);

    if (clsSystem::instance().RunLog) {
        const QString sShownFrom = containsUndecodedMark(sFrom) ? cell(set.SRV1(), 0, 3) : sFrom;
        const QString sShownText = sText.isEmpty() ? store.getBody(lIndex) : sText;
        const QStringList sLines{
            sendDataHead(),
            QStringLiteral("サーバホスト名 : ") + cell(srv2, iRow, 0),
            QStringLiteral("送信先メールアドレス : ") + cell(srv2, iRow, 3),
            QStringLiteral("送信元メールアドレス : ") + sShownFrom,
            QStringLiteral("Ccメールアドレス : ") + cell(srv2, iRow, 4),
            QStringLiteral("Bcメールアドレス : ") + cell(srv2, iRow, 5),
            QStringLiteral("件名 : ") + store.getSbuject(lIndex),
            QStringLiteral("本文 : ") + trimBlanks(sShownText),
            QStringLiteral("添付ファイルの数 : ") + QString::number(store.getAFileCount(lIndex)),
        };
        appendLogBlock(QStringLiteral("sendmail.log"), sLines.join(u'\n'));
    }

    bool bLastTry = false;
    for (int a = 1; a <= iAttempts; ++a) {
        // A fresh copy each time: an empty text makes the send take the stored body anew.
        QString sBody = sText;
        if (sendMailBySmtpCommand(lIndex, iRow, sBody, sFrom) == 0) {
            writeSendLog(QStringLiteral("----->送信結果:OK"));
            store.noteSend(true, 0);
            return true;
        }
        writeSendLog(QStringLiteral("-->送信結果:NG -->ﾘﾄﾗｲ= ") + QString::number(a));
        // The server may have taken a text whose answer was lost: each such try may be a copy on the phone.
        if (noteUnconfirmed(lIndex, partDestination(iRow), sBody, bUnconfirmed, sFailure) || bLastTry)
            break;
        bLastTry = bUnconfirmed;
    }
    store.noteSend(false, lFailureCode);
    return false;
}

QString clsDetailCycle::partDestination(qint16 iRow) const {
    const clsSRV2& srv2 = clsSet1::instance().SRV2();
    return QStringList{cell(srv2, iRow, 0), cell(srv2, iRow, 3), cell(srv2, iRow, 4), cell(srv2, iRow, 5)}
        .join(u'\n');
}

void clsDetailCycle::useCredentialsFor(qint16 iSndSrvIndex) {
    clsSet1& set = clsSet1::instance();
    const clsSRV1& srv1 = set.SRV1();
    const QString sSender = cell(set.SRV2(), iSndSrvIndex, 1).trimmed();
    // The account whose own address sends is the one the server knows; else the first account.
    qint16 iAccount = 0;
    const qint16 iRows = std::min<qint16>(rowCount(srv1), clsServerTable::iRows);
    for (qint16 k = 0; k < iRows && !sSender.isEmpty(); ++k) {
        if (cell(srv1, k, 3).trimmed().compare(sSender, Qt::CaseInsensitive) == 0) {
            iAccount = k;
            break;
        }
    }
    smtp.setCredentials(decodePassWord(cell(srv1, iAccount, 1)), decodePassWord(cell(srv1, iAccount, 2)));
}

qint32 clsDetailCycle::sendMailBySmtpCommand(qint32 lRcvMailIndex, qint16 iSndSrvIndex, QString& sBody,
                                             const QString& sFrom) {
    clsSet1& set = clsSet1::instance();
    clsMailTransfer& store = clsMailTransfer::instance();
    const clsSRV2& srv2 = set.SRV2();
    const QString sServer = cell(srv2, iSndSrvIndex, 0);
    const QString sTo = cell(srv2, iSndSrvIndex, 3);
    const QString sCc = cell(srv2, iSndSrvIndex, 4);
    const QString sBcc = cell(srv2, iSndSrvIndex, 5);
    const QString sSubject = store.getSbuject(lRcvMailIndex);
    const QString sMailFrom = containsUndecodedMark(sFrom) ? cell(set.SRV1(), 0, 3) : sFrom;
    if (sBody.isEmpty())
        sBody = store.getBody(lRcvMailIndex);

    useCredentialsFor(iSndSrvIndex);
    if (isNumericAddress(sServer))
        smtp.ConnectAddress(sServer);
    else
        smtp.ConnectHost(sServer);
    smtp.OptionA = 0;
    smtp.OptionB = 0;
    smtp.SessionMode = 1;
    if (!sTo.isEmpty())
        smtp.AddTo(sTo, QString());
    if (!sBcc.isEmpty())
        smtp.AddBcc(sBcc, QString());
    if (!sCc.isEmpty())
        smtp.AddCc(sCc, QString());
    if (!sMailFrom.isEmpty())
        smtp.SetFrom(sMailFrom, QString());
    if (!sSubject.isEmpty())
        smtp.SetSubject(sSubject);

    // Every step runs whatever the one before answered; a copy that is not set up is logged as 0. The first
    // failure is kept for the log, since the later steps and the release clear it.
    qint32 lError = 0;
    sFailure.clear();
    lFailureCode = 0;
    bUnconfirmed = false;
    const auto step = [&](qint32 iResult) {
        if (lError == 0 && smtp.LastError() != 0) {
            lError = lFailureCode = smtp.LastError();
            sFailure = smtp.LastErrorText();
            bUnconfirmed = smtp.isUnconfirmed();
        }
        return iResult;
    };
    const qint32 iHelo = step(smtp.Helo(sServer));
    const qint32 iMail = step(smtp.MailFrom(sMailFrom));
    const qint32 iRcptTo = step(smtp.RcptTo(sTo));
    const qint32 iRcptCc = sCc.isEmpty() ? 0 : step(smtp.RcptTo(sCc));
    const qint32 iRcptBcc = sBcc.isEmpty() ? 0 : step(smtp.RcptTo(sBcc));
    // Without the destination itself the mail would reach only the copies, again at every check.
    const qint32 iData = iRcptTo == 1 ? step(smtp.Data(sBody)) : (smtp.Rset(), 0);
    // Once the text was taken, the goodbye changes nothing.
    const qint32 iQuit = smtp.Quit();
    const qint32 iRele = smtp.Release();
    const qint32 iDest = smtp.Destroy();

    writeRunLog(sTo + u':' + sMailFrom + u':' + sSubject);
    // Refused copies do not make the mail unsent.
    const bool bSent = iHelo == 1 && iMail == 1 && iRcptTo == 1 && iData == 1;
    const auto field = [](const char* sName, qint32 iValue) {
        return QLatin1String(sName) + QString::number(iValue);
    };
    writeRunLog(field(" HELO=", iHelo) + field(" MAIL=", iMail) + field(" RCPT(To)=", iRcptTo) +
                field(" RCPT(Cc)=", iRcptCc) + field(" RCPT(Bcc)=", iRcptBcc) + field(" Data=", iData) +
                field(" QUIT=", iQuit) + field(" Rele=", iRele) + field(" Dest=", iDest) +
                field(" LastErr=", bSent ? 0 : lError) +
                (bSent ? QStringLiteral(":送信OK") : QStringLiteral(":送信NG")));
    if (!bSent && !sFailure.isEmpty())
        writeRunLog(QStringLiteral("SMTP: ") + sServer + u' ' + sFailure);
    return bSent ? 0 : -3;
}
