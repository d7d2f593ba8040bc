#pragma once

#include "engine/MailSocket.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The SMTP component: a blocking client for the thread that runs a check. A whole mail goes out either in one
// call (SendMail) or step by step, where every step answers the server's verdict on it and a failed step
// never stops the caller from trying the next one.
//
// LastError and LastErrorText describe the most recent failure of the current session; they are cleared
// when a session starts (SendMail, ConnectHost, ConnectAddress) and by Release and Destroy.
class SmtpClient {
public:
    enum Error {
        NoError = 0,
        ConnectFailed = 1,
        TlsFailed = 2,
        AuthFailed = 3,
        Timeout = 4,
        Dropped = 5,
        HeloRefused = 6,
        MailRefused = 7,
        RcptRefused = 8,
        DataRefused = 9,
        NotConnected = 10,
        BadServerName = 11,
        BadAddress = 12,
        ServerError = 13,
    };

    SmtpClient();
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    // Seconds.
    qint32 ConnectTimeout = 180;
    qint32 ReplyTimeout = 180;
    // The protocol trace; empty means none. Passwords and AUTH exchanges are masked in it.
    QString LogFile;
    qint32 SessionMode = 1;
    // When set, SendMail leaves a session whose mail was accepted open, and the next SendMail to the same
    // server sends its mail in that session; any failure still ends the session. Release ends the session
    // only once this is cleared again.
    bool KeepSession = false;
    qint32 OptionA = 0;
    qint32 OptionB = 0;

    // A limit for everything the client waits for from now on, on top of the others (a check as a whole).
    void setDeadline(QDeadlineTimer deadline) { socket.setDeadline(deadline); }
    // Used for AUTH when the server offers it; an empty user means no AUTH.
    void setCredentials(const QString& sUser, const QString& sPassword);
    // TLS from the first byte on every port, not only 465 (for submission servers on other ports).
    void setImplicitTls(bool bOn) {
        if (bOn != bImplicitTls)
            sKeptServer.clear();
        bImplicitTls = bOn;
    }

    // The whole send in one session to one address; 1 when the server accepted the message. An empty sender
    // goes as the null path with no From line. The last argument is unused.
    qint32 SendMail(const QString& sServer, const QString& sTo, const QString& sFrom, const QString& sSubject,
                    const QString& sBody, const QString& sUnused = QString());

    qint32 ConnectHost(const QString& sServer);
    qint32 ConnectAddress(const QString& sServer);
    qint32 AddTo(const QString& sAddress, const QString& sName = QString());
    qint32 AddCc(const QString& sAddress, const QString& sName = QString());
    // Blind copies never reach the header; only RcptTo gives them to the server.
    qint32 AddBcc(const QString& sAddress, const QString& sName = QString());
    qint32 SetFrom(const QString& sAddress, const QString& sName = QString());
    qint32 SetSubject(const QString& sSubject);
    // EHLO (HELO when refused), STARTTLS when offered, AUTH, on the connection made by ConnectHost.
    qint32 Helo(const QString& sServer);
    qint32 MailFrom(const QString& sFrom);
    qint32 RcptTo(const QString& sAddress);
    qint32 Data(const QString& sBody);
    // Ends the mail begun with MailFrom, so that nothing of it is sent.
    qint32 Rset();
    qint32 Quit();
    qint32 Release();
    qint32 Destroy();

    qint32 LastError() const { return eError; }
    // The last failure came after the whole text of a mail was sent: the server may have taken it.
    bool isUnconfirmed() const { return bUnconfirmed; }
    QString LastErrorText() const { return sErrorText; }
    // The server's last reply (code 0 when none came).
    qint32 ReplyCode() const { return iReplyCode; }
    QString ReplyText() const { return sReplyText; }
    // Whether the last connection was encrypted once the greeting dialogue was done.
    bool usedTls() const { return bUsedTls; }
    // The server's answer when it refused the login and the session went on without one; empty otherwise.
    QString authRefusal() const { return sAuthRefusal; }

    // The name given in EHLO: this computer's host name when it is a valid domain, else "localhost".
    static QString ehloName();

private:
    struct Mailbox {
        QString sName;
        QString sAddress;
    };
    struct Envelope {
        QList<Mailbox> to;
        QList<Mailbox> cc;
        Mailbox from;
        QString sSubject;
    };

    void startSession();
    void clearVerdict();
    void applySettings();
    bool fail(Error e, const QString& sText);
    bool failFromSocket();
    bool connectServer(const QString& sServer);
    bool notConnected();
    void readCapabilities();
    bool greet();
    bool authenticate();
    bool command(const QByteArray& line, const QByteArray& sTraceText = QByteArray());
    bool readReply();
    bool mailFrom(const QString& sFrom);
    bool rcptTo(const QString& sAddress);
    bool data(const Envelope& envelope, const QString& sMailFrom, const QString& sBody);
    bool quit();
    void dropConnection();
    void closeQuietly();
    void resetSession();

    MailSocket socket;
    QString sUser;
    QString sPassword;
    bool bImplicitTls = false;
    QString sKeptServer; // null unless a session is kept open for the next SendMail

    Envelope envelope;
    QString sEnvelopeFrom; // what MAIL FROM carried, for the From header when SetFrom was not used
    bool bHeloDone = false;
    bool bTlsOffered = false;
    bool bUsedTls = false;
    // The server's answer to an AUTH it refused, while the session goes on without AUTH.
    QString sAuthRefusal;
    QStringList sCapabilities;
    QStringList sReplyLines;

    Error eError = NoError;
    QString sErrorText;
    bool bUnconfirmed = false;
    qint32 iReplyCode = 0;
    QString sReplyText;
};
