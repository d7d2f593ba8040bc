#pragma once

#include <QByteArray>
#include <QSslSocket>
#include <QString>
#include <memory>

// A blocking line connection to a mail server, plain or TLS, for the thread that runs a check. Every wait is
// bounded: the connect limit covers connecting, the TLS handshake and the greeting; the reply limit is the
// longest silence allowed while a reply is awaited.
class MailSocket {
public:
    enum Error { NoError = 0, ConnectFailed, TlsFailed, Timeout, Dropped, WriteFailed, BadServerName };

    MailSocket();
    ~MailSocket();
    MailSocket(const MailSocket&) = delete;
    MailSocket& operator=(const MailSocket&) = delete;

    // "host", "host:port", "[v6]:port". False when the text names no host or a bad port.
    static bool parseServer(const QString& sServer, quint16 iDefaultPort, QString& sHost, quint16& iPort);

    void setTimeouts(int iConnectSeconds, int iReplySeconds);
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
    // Reads one line without its line end. Waits at most the reply limit for each piece of it.
    bool readLine(QByteArray& line, bool bTrace = true);

    Error error() const { return eError; }
    QString errorText() const { return sErrorText; }
    void trace(const char* sDirection, const QByteArray& text);
    // Octets received since this object was made, line ends included.
    qint64 bytesRead() const { return iBytesRead; }

private:
    bool fail(Error e, const QString& sText);
    bool waitForData(int iMilliseconds);

    std::unique_ptr<QSslSocket> socket;
    QString sHost;
    QString sTraceFile;
    int iConnectMs = 180000;
    int iReplyMs = 180000;
    qint64 iBytesRead = 0;
    Error eError = NoError;
    QString sErrorText;
};
