#pragma once

#include "engine/mdlCheck.h"

#include <QString>
#include <functional>

class Pop3Client;
class SmtpClient;

// The check cycle of the simple mode: counts the minute ticks of the shell's timer and, when the interval
// has passed, reads the one mailbox, obeys command mails and forwards every new mail to the destination,
// page by page when the settings divide it. The shell owns the timers and the tray; each tick tells it what
// to do next.
class clsSimpleCycle {
public:
    clsSimpleCycle(Pop3Client& pop3, SmtpClient& smtp) : Pop31(pop3), Smtp1(smtp) {}

    // A new forwarding period: the counter and the interval start afresh and the store is emptied.
    void start();
    // Counts one minute and answers whether a check is due; cheap, so the shell can call it on its own
    // thread.
    bool countMinute();
    // The check itself. Never throws: a check that meets an error logs it and answers CarryOn.
    CheckOutcome check();
    // One minute tick: countMinute, then check when it is due.
    CheckOutcome tick();

    qint16 minuteCount() const { return iMinuteCount; }
    qint16 checkInterval() const { return iCheckInterval; }

    // For tests: runs before each slot is forwarded, so a test can make a check fail part-way.
    std::function<void(qint32 lIndex)> beforeForwardForTest;
    // For tests: a check's deadline shorter than the real one.
    int checkDeadlineSeconds = iCheckDeadlineSeconds;

private:
    struct Settings;

    CheckOutcome runCheck();
    bool forward(const Settings& settings, qint32 lIndex);
    bool sendText(const Settings& settings, qint32 lIndex, const QString& sFrom, const QString& sBody);

    Pop3Client& Pop31;
    SmtpClient& Smtp1;
    qint16 iMinuteCount = 0;
    qint16 iCheckInterval = 0;
};
