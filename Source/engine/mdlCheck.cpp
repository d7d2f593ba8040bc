#include "engine/mdlCheck.h"

#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsMailTransfer.h"

#include <QDateTime>
#include <QStringList>

qint32 sendNoticeMail(SmtpClient& smtp, const QString& sAction, const QString& sServer, const QString& sTo,
                      const QString& sFrom) {
    smtp.SessionMode = 1;
    const QString sSubject = QStringLiteral("ペリモメール") + sAction + QStringLiteral("通知");
    const QString sBody = clsMailTransfer::commandNoticeHead(QDateTime::currentDateTime()) +
                          QStringLiteral("ペリモメールを") + sAction + QStringLiteral("しました");
    const qint32 lResult = smtp.SendMail(sServer, sTo, sFrom, sSubject, sBody, QString());
    smtp.Release();
    return lResult;
}

QString receiveCountLine(qint32 lCount) {
    const QString sLine = QStringLiteral("受信ﾒｰﾙ数=") + QString::number(qAbs(qint64(lCount)));
    return lCount < 0 ? QStringLiteral("-") + sLine : sLine;
}

QString sendDataHead() {
    return QTime::currentTime().toString(QStringLiteral("'---- 'hh:mm:ss' 送信ﾃﾞｰﾀ -----------------'"));
}

bool isNumericAddress(const QString& sServer) {
    if (sServer.isEmpty())
        return true;
    // Split at the first three dots; the first three parts keep their dot, the fourth is all the rest.
    QStringList parts;
    qsizetype iStart = 0;
    for (int i = 0; i < 3; ++i) {
        const qsizetype iDot = sServer.indexOf(QLatin1Char('.'), iStart);
        if (iDot < 0)
            return false;
        parts << sServer.mid(iStart, iDot - iStart + 1);
        iStart = iDot + 1;
    }
    parts << sServer.mid(iStart);
    for (QString sPart : std::as_const(parts)) {
        if (sPart.endsWith(QLatin1Char('.')))
            sPart.chop(1);
        bool ok = false;
        sPart.trimmed().toDouble(&ok);
        if (!ok)
            return false;
    }
    return true;
}

bool containsUndecodedMark(const QString& sText) {
    return sText.contains(QLatin1String("ISO-2022-JP"), Qt::CaseInsensitive);
}

QString trimBlanks(const QString& sText) {
    qsizetype iStart = 0;
    qsizetype iEnd = sText.size();
    while (iStart < iEnd && sText.at(iStart) == u' ')
        ++iStart;
    while (iEnd > iStart && sText.at(iEnd - 1) == u' ')
        --iEnd;
    return sText.mid(iStart, iEnd - iStart);
}

bool noteUnconfirmed(qint32 lIndex, const QString& sDestination, const QString& sText, bool bUnconfirmed,
                     const QString& sReason) {
    clsMailTransfer& store = clsMailTransfer::instance();
    if (!bUnconfirmed ||
        store.addUnconfirmedSend(lIndex, sDestination, sText) < clsMailTransfer::iMaxUnconfirmedSends)
        return false;
    store.giveUp(lIndex, QStringLiteral("%1回送った本文の受け取りが確認できません: ")
                                 .arg(clsMailTransfer::iMaxUnconfirmedSends) +
                             sReason);
    return true;
}

CheckDeadline::CheckDeadline(Pop3Client& pop3Cntrol, SmtpClient& smtpCntrol, int iSeconds)
    : pop3(pop3Cntrol), smtp(smtpCntrol) {
    const QDeadlineTimer deadline(qint64(iSeconds) * 1000);
    pop3.setDeadline(deadline);
    smtp.setDeadline(deadline);
}

CheckDeadline::~CheckDeadline() {
    pop3.setDeadline(QDeadlineTimer(QDeadlineTimer::Forever));
    smtp.setDeadline(QDeadlineTimer(QDeadlineTimer::Forever));
}
