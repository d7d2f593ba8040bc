#pragma once

#include "engine/clsMailTransfer.h"

#include <QString>
#include <QTime>
#include <optional>

// What the tray shows while running: the last check in a line (time, mails forwarded, and what failed),
// and a notice when sending has failed at several checks in a row, and again once it works.
class clsRunStatus {
public:
    struct Notice {
        QString sText;
        bool bWarning = false;
    };

    // Checks in a row whose sends failed before the notice.
    static constexpr int iFailedChecksForNotice = 3;

    // One finished check; answers the notice to show, if any.
    std::optional<Notice> record(const QTime& at, qint32 iForwarded,
                                 const clsMailTransfer::CheckReport& report);
    // The program's name, then the last check's line once there was one.
    QString toolTip() const;
    QString lastCheck() const { return sLastCheck; }

    // A failure in a few words.
    static QString sendFailureWords(qint32 lError);
    static QString receiveFailureWords(qint32 lError);

private:
    QString sLastCheck;
    int iFailedChecks = 0;
    bool bNoticeShown = false;
};
