#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QSslSocket>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>

// A blocking line connection to a mail server, plain or TLS, for the thread that runs a check. Every wait is
// bounded: the connect limit covers the name lookup, connecting and the TLS handshake; the reply limit is the
// longest silence allowed while a reply is awaited. Waits are cut into short slices, so another thread can
// call abort() and the waiting call gives up within one slice.
class MailSocket {
public:
    enum Error {
        NoError = 0,
        ConnectFailed,
        TlsFailed,
        Timeout,
        Dropped,
        WriteFailed,
        BadServerName,
        Aborted,
        TooLong, // a line past the length any mail server may send
    };

    // Longer lines end the session: no server needs them, and a line without end would fill the memory.
    static constexpr qsizetype iMaxLineOctets = 64 * 1024;

    // The longest a wait goes without looking at the abort flag.
    static constexpr int iSliceMs = 100;

    MailSocket();
    ~MailSocket();
    MailSocket(const MailSocket&) = delete;
    MailSocket& operator=(const MailSocket&) = delete;

    // "host", "host:port", "[v6]:port". False when the text names no host or a bad port.
    static bool parseServer(const QString& sServer, quint16 iDefaultPort, QString& sHost, quint16& iPort);

    void setTimeouts(int iConnectSeconds, int iReplySeconds);
    // A limit for everything this socket waits for from now on, whatever the other limits say (a check as a
    // whole); a default timer lifts it.
    void setDeadline(QDeadlineTimer deadline) { checkDeadline = deadline; }
    // The protocol trace; empty means none. Passwords never reach it: callers pass a masked text.
    void setTraceFile(const QString& sPath) { sTraceFile = sPath; }

    bool connectTo(const QString& sHost, quint16 iPort, bool bImplicitTls);
    bool startTls();
    bool isConnected() const;
    bool isEncrypted() const;
    void close();

    // Sends one command line; sTraceText, when given, is what the trace shows instead.
    bool writeLine(const QByteArray& line, const QByteArray& sTraceText = QByteArray());
    // Sends bytes as they are (a message body); the trace only notes their size.
    bool writeData(const QByteArray& data);
    // Reads one line without its line end; the whole line must come within the reply limit.
    bool readLine(QByteArray& line, bool bTrace = true);

    // Safe from any thread. Every call that would wait fails with Aborted from now on, until clearAbort().
    void abort() { bAbortFlag.store(true); }
    void clearAbort() { bAbortFlag.store(false); }
    bool isAborted() const { return bAbortFlag.load(); }

    Error error() const { return eError; }
    QString errorText() const { return sErrorText; }
    void trace(const char* sDirection, const QByteArray& text);
    // Octets received since this object was made, line ends included.
    qint64 bytesRead() const { return iBytesRead; }

private:
    enum class Wait { Done, Failed, Aborted };

    bool fail(Error e, const QString& sText);
    // Repeats one of the socket's waits in slices until it succeeds, fails for real, the time is up or the
    // abort flag is set.
    Wait sliced(qint64 iMilliseconds, const std::function<bool(int)>& wait,
                const std::function<bool()>& bRetry);
    bool timedOutOnly() const;
    bool failAborted();
    // Resolves the host and connects to one of its addresses within the time.
    bool connectSocket(const QString& sHostName, quint16 iPort, qint64 iMilliseconds);
    bool waitEncrypted(qint64 iMilliseconds);
    // Appends the buffered bytes up to and including the next line end.
    void takeLine(QByteArray& line);

    std::unique_ptr<QSslSocket> socket;
    QString sHost;
    QString sTraceFile;
    int iConnectMs = 180000;
    int iReplyMs = 180000;
    qint64 iBytesRead = 0;
    QByteArray lineBuffer;
    Error eError = NoError;
    QString sErrorText;
    std::atomic<bool> bAbortFlag{false};
    QDeadlineTimer checkDeadline{QDeadlineTimer::Forever};
};
