#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <utility>

// Real mail peers for the protocol tests: a private Dovecot (POP3) and the recording SMTP server of
// tests/servers/, both on 127.0.0.1 with a free port, both stopped by their PID when the object goes away.
// start() fails (with the server's log printed) rather than hang: every wait is bounded.

enum class TestTls { None, StartTls, Implicit };

// A throwaway CA and two server certificates ("localhost"/127.0.0.1 and "other.invalid"), made once per
// test process in the sandbox.
class TestCertificates {
public:
    static QString dir(); // empty when they could not be made
    static QString caFile();
    // Adds the CA to QSslConfiguration::defaultConfiguration(), next to the system store: only this
    // process trusts it.
    static void trustTestCa();
};

// Runs one of the Python servers and reads its ready line.
class ScriptServer {
public:
    ScriptServer() = default;
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    quint16 port() const { return m_port; }
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    QString runDir() const { return m_runDir; }
    void stop();
    // After stop(): the same server again, on its old port and with its folders as they were, as a server
    // comes back after a restart. Dovecot and the SMTP server only; false when the port was taken meanwhile.
    bool restart();

protected:
    bool launch(const QString& sScript, const QString& sKind, QStringList args, const QString& sLogFile);
    QString m_runDir;

private:
    QProcess m_process;
    quint16 m_port = 0;
    quint16 m_lastPort = 0;
    QString m_sLogFile;
    QString m_sScript;
    QString m_sKind;
    QStringList m_args;
};

// Dovecot serving POP3. Maildirs: runDir()/mail/<user>/Maildir/{new,cur,tmp}. Starting and stopping take
// about 0.1 s; stop() ends Dovecot at once, without its orderly shutdown, so read log() before.
class DovecotServer : public ScriptServer {
public:
    struct Options {
        TestTls tls = TestTls::None;
        bool wrongHostCertificate = false; // a certificate for other.invalid
        // Clear-text passwords only after TLS. Dovecot trusts a client on its own address, so the server
        // then sees the test's connections as coming from 192.0.2.10 (through a loopback relay).
        bool disablePlaintextAuth = false;
        QList<std::pair<QString, QString>> users{{QStringLiteral("alice"), QStringLiteral("secret")}};
        // Dovecot's pop3_uidl_format; empty keeps the script's default (unique ids).
        QString sUidlFormat = QString();
    };
    ~DovecotServer();

    bool start(const Options& options);
    bool start() { return start(Options()); }
    // Picked up by Dovecot at the next login.
    bool addUser(const QString& sUser, const QString& sPassword);
    // Delivers raw (LF or CRLF line ends) as the user's newest message; answers its file path, empty on
    // failure.
    QString addMessage(const QString& sUser, const QByteArray& raw);
    QString maildir(const QString& sUser) const;
    // Dovecot's log: login lines say "TLS" or not, and how the client authenticated. Lines arrive a moment
    // after the client's answer, so poll (QTRY_VERIFY).
    QString log() const;

private:
    bool makeMaildir(const QString& sUser);
};

// A scripted POP3 peer for faults Dovecot does not produce: "silent" (never greets), "drop-in-retr" (hangs up
// half-way through RETR), "stall-in-retr" (goes quiet half-way through RETR), "no-uidl" (two messages, no
// unique ids).
class Pop3FaultServer : public ScriptServer {
public:
    bool start(const QString& sMode);
};

// The recording SMTP server (tests/servers/smtp_server.py).
class SmtpTestServer : public ScriptServer {
public:
    struct Options {
        TestTls tls = TestTls::None;
        bool wrongHostCertificate = false;
        QString sUser; // with a user, AUTH PLAIN/LOGIN are offered and required before MAIL
        QString sPassword;
        // Plain SMTP that wants this login, as the receive account's.
        static Options login(const QString& sUserName, const QString& sSecret) {
            Options options;
            options.sUser = sUserName;
            options.sPassword = sSecret;
            return options;
        }
    };
    struct Message {
        QByteArray raw;    // as received, dot-unstuffed, CRLF kept
        QJsonObject facts; // envelope, "tls", "auth_user" and Python's reading (see smtp_server.py)
    };
    ~SmtpTestServer();

    bool start(const Options& options);
    bool start() { return start(Options()); }
    QString storeDir() const;
    // Faults for the next commands: refuse_rcpt, fail_data, fail_data_at, drop_on, stall_on, silent.
    void setControl(const QJsonObject& control);
    // Stored messages in the order received.
    QList<Message> messages() const;
    // Keeps the event loop running (the client under test may live in it) until n messages are stored.
    bool waitForMessages(int n, int timeoutMs = 10000) const;
    QString log() const;
};

// Points the simple settings set in memory at the two test servers on 127.0.0.1.
void pointSimpleSetAt(const DovecotServer& pop3, const SmtpTestServer& smtp, const QString& sUser,
                      const QString& sPassword, const QString& sPhone, qint16 iInterval, qint16 iPageSize);
