#pragma once

#include <QJsonArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>

// A stand-in for systemd-logind (tests/servers/fake_logind.py) on a private message bus of the test process.
//
// Every test program starts with DBUS_SYSTEM_BUS_ADDRESS pointing nowhere, so nothing in a test can reach
// the real system bus even by mistake. The first start() runs a dbus-daemon of our own and points the
// variable at it. D-Bus reads that variable once per process, so start the fake before anything touches
// D-Bus; the bus then stays until the program ends, and fakes may come and go on it. Both processes are
// stopped by their PID and die with the test process. Every wait is bounded.
class FakeLogind {
public:
    struct Call {
        QString sMethod;
        QString sInterface;
        QString sPath;
        QJsonArray args;
        bool bInteractive = false; // the caller allowed a password prompt
    };

    FakeLogind() = default;
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    bool start();
    void stop();
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    // Methods (by name, "*" for every one) answered with the D-Bus error of the given name from the next
    // call on; an empty map lets every call through.
    void setErrors(const QMap<QString, QString>& errors);
    // Calls received in order, arguments of the wrong type not included (GDBus refuses those itself).
    QList<Call> calls() const;
    void clearCalls();

    // The private bus; empty until the first start().
    static QString busAddress();

private:
    QProcess m_process;
    QString m_runDir;
};
