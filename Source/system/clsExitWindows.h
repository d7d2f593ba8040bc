#pragma once

#include <QString>

// Asks the system to log the user off, shut down, restart or power off the computer. On Linux the request
// goes to systemd-logind on the system bus; every operation answers nonzero when logind accepted it and 0
// when it refused, was not there or did not answer in time.
//
// Shutting down and powering off are the same request here: a halt that leaves the power on is of no use
// to someone who is away from the desk.
class clsExitWindows {
public:
    // The flag values of the four requests; each is or'ed with iForceFlag when Force is on.
    static constexpr qint32 iLogOffFlag = 0;
    static constexpr qint32 iShutDownFlag = 1;
    static constexpr qint32 iReBootFlag = 2;
    static constexpr qint32 iForceFlag = 4;
    static constexpr qint32 iPowerOffFlag = 8;

    // Longest wait for logind's answer, in milliseconds.
    static constexpr int iReplyTimeoutMs = 10000;

    bool Force() const { return lForceFlag != 0; }
    // A forced request passes over the programs that hold the shutdown back (inhibitors) and never waits
    // for someone to type a password.
    void setForce(bool bolNewForce) { lForceFlag = bolNewForce ? iForceFlag : 0; }

    qint32 ShutDown() { return requestExit(iShutDownFlag); }
    qint32 LogOff() { return requestExit(iLogOffFlag); }
    qint32 ReBoot() { return requestExit(iReBootFlag); }
    qint32 PowerOff() { return requestExit(iPowerOffFlag); }

    // The flag value of the latest request (-1 before the first) and its result.
    qint32 lastFlags() const { return lLastFlags; }
    qint32 lastResult() const { return lLastResult; }
    // Why the latest request was refused: the D-Bus error name and text; empty when it was accepted.
    QString lastError() const { return sLastError; }

private:
    qint32 requestExit(qint32 lFlags);
    qint32 stopSystem(const QString& sMethod, bool bForce);
    qint32 endSession(bool bForce);

    qint32 lForceFlag = 0;
    qint32 lLastResult = 0;
    qint32 lLastFlags = -1;
    QString sLastError;
};
