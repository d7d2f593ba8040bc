#include "engine/clsRunStatus.h"

#include "base/mdlMessage.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"

std::optional<clsRunStatus::Notice> clsRunStatus::record(const QTime& at, qint32 iForwarded,
                                                         const clsMailTransfer::CheckReport& report) {
    sLastCheck = QStringLiteral("最終チェック %1  転送 %2件")
                     .arg(at.toString(QStringLiteral("HH:mm")))
                     .arg(iForwarded);
    if (report.lReceiveError != 0)
        sLastCheck += u'\n' + receiveFailureWords(report.lReceiveError);
    if (report.iSendsFailed > 0)
        sLastCheck += u'\n' + sendFailureWords(report.lSendError);

    // A check that sent nothing says nothing about sending.
    if (report.iSendsFailed > 0) {
        if (++iFailedChecks >= iFailedChecksForNotice && !bNoticeShown) {
            bNoticeShown = true;
            return Notice{
                QStringLiteral("%1回のチェックで続けてメールを送信できませんでした: ").arg(iFailedChecks) +
                    sendFailureWords(report.lSendError),
                true};
        }
    } else if (report.iSendsOk > 0) {
        iFailedChecks = 0;
        if (bNoticeShown) {
            bNoticeShown = false;
            return Notice{QStringLiteral("メールを送信できるようになりました"), false};
        }
    }
    return std::nullopt;
}

QString clsRunStatus::toolTip() const {
    return sLastCheck.isEmpty() ? sAppTitle : sAppTitle + u'\n' + sLastCheck;
}

QString clsRunStatus::sendFailureWords(qint32 lError) {
    switch (lError) {
    case SmtpClient::ConnectFailed:
    case SmtpClient::BadServerName:
        return QStringLiteral("送信サーバに接続できません");
    case SmtpClient::TlsFailed:
        return QStringLiteral("送信サーバと暗号化して通信できません");
    case SmtpClient::AuthFailed:
        return QStringLiteral("送信サーバの認証に失敗しました");
    case SmtpClient::Timeout:
    case SmtpClient::Dropped:
        return QStringLiteral("送信サーバが応答しません");
    case SmtpClient::RcptRefused:
    case SmtpClient::BadAddress:
        return QStringLiteral("送信サーバが宛先を受け付けません");
    default:
        return QStringLiteral("送信サーバがメールを受け付けません");
    }
}

QString clsRunStatus::receiveFailureWords(qint32 lError) {
    switch (lError) {
    case Pop3Client::ConnectFailed:
    case Pop3Client::BadServerName:
        return QStringLiteral("受信サーバに接続できません");
    case Pop3Client::TlsFailed:
        return QStringLiteral("受信サーバと暗号化して通信できません");
    case Pop3Client::LoginFailed:
        return QStringLiteral("受信サーバの認証に失敗しました");
    case Pop3Client::Timeout:
    case Pop3Client::Dropped:
        return QStringLiteral("受信サーバが応答しません");
    default:
        return QStringLiteral("メールボックスを読めません");
    }
}
