#include "engine/MailSocket.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QStringEncoder>
#include <QTime>

MailSocket::MailSocket() = default;
MailSocket::~MailSocket() {
    close();
}

bool MailSocket::parseServer(const QString& sServer, quint16 iDefaultPort, QString& sHost, quint16& iPort) {
    QString s = sServer.trimmed();
    iPort = iDefaultPort;
    QString sPort;
    if (s.startsWith(QLatin1Char('['))) {
        int iClose = s.indexOf(QLatin1Char(']'));
        if (iClose < 0)
            return false;
        sHost = s.mid(1, iClose - 1);
        QString sRest = s.mid(iClose + 1);
        if (!sRest.isEmpty()) {
            if (!sRest.startsWith(QLatin1Char(':')))
                return false;
            sPort = sRest.mid(1);
        }
    } else if (s.count(QLatin1Char(':')) == 1) {
        sHost = s.section(QLatin1Char(':'), 0, 0);
        sPort = s.section(QLatin1Char(':'), 1);
    } else {
        sHost = s; // a bare IPv6 address has several colons and no port
    }
    if (!sPort.isEmpty()) {
        bool ok = false;
        uint n = sPort.toUInt(&ok);
        if (!ok || n == 0 || n > 65535)
            return false;
        iPort = quint16(n);
    }
    return !sHost.isEmpty() && !sHost.contains(QLatin1Char(' '));
}

void MailSocket::setTimeouts(int iConnectSeconds, int iReplySeconds) {
    // A limit of 0 or less would mean "wait forever" to Qt; the program never wants that.
    iConnectMs = qBound(1, iConnectSeconds, 3600) * 1000;
    iReplyMs = qBound(1, iReplySeconds, 3600) * 1000;
}

bool MailSocket::fail(Error e, const QString& sText) {
    eError = e;
    sErrorText = sText;
    trace("!", sText.toUtf8());
    return false;
}

bool MailSocket::connectTo(const QString& sHostName, quint16 iPort, bool bImplicitTls) {
    close();
    eError = NoError;
    sErrorText.clear();
    sHost = sHostName;
    socket = std::make_unique<QSslSocket>();
    // Commands are small; without this each one may wait for a delayed acknowledgement.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setPeerVerifyMode(QSslSocket::VerifyPeer);
    trace("*", QStringLiteral("connect %1:%2%3")
                   .arg(sHostName)
                   .arg(iPort)
                   .arg(bImplicitTls ? QStringLiteral(" TLS") : QString())
                   .toUtf8());
    QDeadlineTimer deadline(iConnectMs);
    if (bImplicitTls)
        socket->connectToHostEncrypted(sHostName, iPort);
    else
        socket->connectToHost(sHostName, iPort);
    if (!socket->waitForConnected(int(deadline.remainingTime())))
        return fail(socket->error() == QAbstractSocket::SocketTimeoutError ? Timeout : ConnectFailed,
                    socket->errorString());
    if (bImplicitTls && !socket->waitForEncrypted(int(qMax<qint64>(1, deadline.remainingTime()))))
        return fail(TlsFailed, QStringLiteral("TLS: ") + socket->errorString());
    return true;
}

bool MailSocket::startTls() {
    if (!socket)
        return fail(Dropped, QStringLiteral("not connected"));
    socket->startClientEncryption();
    if (!socket->waitForEncrypted(iConnectMs))
        return fail(TlsFailed, QStringLiteral("TLS: ") + socket->errorString());
    trace("*", "TLS on");
    return true;
}

bool MailSocket::isConnected() const {
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

bool MailSocket::isEncrypted() const {
    return socket && socket->isEncrypted();
}

void MailSocket::close() {
    if (!socket)
        return;
    socket->abort();
    socket.reset();
}

bool MailSocket::writeData(const QByteArray& data) {
    if (!isConnected())
        return fail(Dropped, QStringLiteral("connection closed"));
    if (socket->write(data) != data.size())
        return fail(WriteFailed, socket->errorString());
    // Bounded: a peer that stops reading must not hold the check forever.
    while (socket->bytesToWrite() > 0) {
        if (!socket->waitForBytesWritten(iReplyMs))
            return fail(socket->state() == QAbstractSocket::ConnectedState ? Timeout : Dropped,
                        socket->errorString());
    }
    return true;
}

bool MailSocket::writeLine(const QByteArray& line, const QByteArray& sTraceText) {
    trace("C:", sTraceText.isNull() ? line : sTraceText);
    return writeData(line + "\r\n");
}

bool MailSocket::waitForData(int iMilliseconds) {
    if (!socket)
        return false;
    // Called only when what is buffered holds no whole line, so returning early on buffered bytes would spin
    // without ever reaching the time limit; only new bytes count.
    return socket->waitForReadyRead(iMilliseconds);
}

bool MailSocket::readLine(QByteArray& line, bool bTrace) {
    line.clear();
    if (!socket)
        return fail(Dropped, QStringLiteral("not connected"));
    for (;;) {
        if (socket->canReadLine()) {
            line += socket->readLine();
            break;
        }
        if (!waitForData(iReplyMs)) {
            if (socket->state() != QAbstractSocket::ConnectedState ||
                socket->error() == QAbstractSocket::RemoteHostClosedError)
                return fail(Dropped, QStringLiteral("connection closed by the server"));
            return fail(Timeout, QStringLiteral("no answer from the server"));
        }
        // A line without an end is taken in pieces so a server cannot make us buffer without limit.
        if (!socket->canReadLine() && socket->bytesAvailable() > 1024 * 1024)
            line += socket->read(socket->bytesAvailable());
    }
    iBytesRead += line.size();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (bTrace)
        trace("S:", line);
    return true;
}

void MailSocket::trace(const char* sDirection, const QByteArray& text) {
    if (sTraceFile.isEmpty())
        return;
    QFile file(sTraceFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QString sLine = QTime::currentTime().toString(QStringLiteral("hh:mm:ss ")) +
                    QString::fromLatin1(sDirection) + QLatin1Char(' ') + QString::fromUtf8(text) +
                    QStringLiteral("\r\n");
    QStringEncoder encoder(QStringEncoder::System);
    file.write(encoder.encode(sLine));
}
