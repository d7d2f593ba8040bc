#include "engine/MailSocket.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QSemaphore>
#include <QStringEncoder>
#include <QThreadPool>
#include <QTime>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
// Shared with the pool thread that runs the lookup: an aborted connect stops waiting and leaves it behind.
struct Lookup {
    QSemaphore done;
    QHostInfo info;
};

#ifdef Q_OS_UNIX
// Starts a non-blocking connect; answers the descriptor, or -1 with errno set.
int startConnect(const QHostAddress& address, quint16 iPort) {
    sockaddr_storage storage{};
    socklen_t iLength = 0;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(iPort);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        iLength = sizeof(sockaddr_in);
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(iPort);
        const Q_IPV6ADDR ip = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &ip, sizeof(ip));
        const QString sScope = address.scopeId();
        bool bNumeric = false;
        const uint iScope = sScope.toUInt(&bNumeric);
        in6->sin6_scope_id =
            bNumeric || sScope.isEmpty() ? iScope : ::if_nametoindex(sScope.toLatin1().constData());
        iLength = sizeof(sockaddr_in6);
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), iLength) == 0 || errno == EINPROGRESS)
        return fd;
    const int iError = errno;
    ::close(fd);
    errno = iError;
    return -1;
}
#endif
} // namespace

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

MailSocket::Wait MailSocket::sliced(qint64 iMilliseconds, const std::function<bool(int)>& wait,
                                    const std::function<bool()>& bRetry) {
    QDeadlineTimer deadline(qMax<qint64>(0, iMilliseconds));
    if (checkDeadline < deadline)
        deadline = checkDeadline;
    for (;;) {
        if (isAborted())
            return Wait::Aborted;
        if (wait(int(qBound<qint64>(0, deadline.remainingTime(), qint64(iSliceMs)))))
            return Wait::Done;
        if (isAborted())
            return Wait::Aborted;
        if (deadline.hasExpired() || !bRetry())
            return Wait::Failed;
    }
}

bool MailSocket::timedOutOnly() const {
    // A slice that ran out leaves the connection as it was; anything else is a real failure.
    return socket && socket->state() == QAbstractSocket::ConnectedState &&
           socket->error() == QAbstractSocket::SocketTimeoutError;
}

bool MailSocket::failAborted() {
    return fail(Aborted, QStringLiteral("aborted"));
}

bool MailSocket::connectSocket(const QString& sHostName, quint16 iPort, qint64 iMilliseconds) {
    const QDeadlineTimer deadline(iMilliseconds);
    const auto always = [] { return true; };
    QList<QHostAddress> addresses;
    QHostAddress literal;
    if (literal.setAddress(sHostName)) {
        addresses << literal;
    } else {
        // A lookup cannot be interrupted, so it runs on the pool and an abort only stops the waiting.
        auto lookup = std::make_shared<Lookup>();
        QThreadPool::globalInstance()->start([lookup, sHostName] {
            lookup->info = QHostInfo::fromName(sHostName);
            lookup->done.release();
        });
        const Wait w = sliced(
            deadline.remainingTime(), [&lookup](int iMs) { return lookup->done.tryAcquire(1, iMs); }, always);
        if (w == Wait::Aborted)
            return failAborted();
        if (w == Wait::Failed)
            return fail(Timeout, QStringLiteral("no answer from the name lookup of ") + sHostName);
        addresses = lookup->info.addresses();
        if (addresses.isEmpty())
            return fail(ConnectFailed, lookup->info.errorString());
    }
#ifdef Q_OS_UNIX
    // Connecting natively lets the wait be sliced: the socket's own waitForConnected gives up the attempt
    // whenever a wait runs out. The connected descriptor is then handed to the socket.
    QString sLastError;
    for (const QHostAddress& address : std::as_const(addresses)) {
        const int fd = startConnect(address, iPort);
        if (fd < 0) {
            sLastError = qt_error_string(errno);
            continue;
        }
        pollfd ready{fd, POLLOUT, 0};
        const Wait w = sliced(
            deadline.remainingTime(), [&ready](int iMs) { return ::poll(&ready, 1, iMs) > 0; }, always);
        int iError = 0;
        socklen_t iSize = sizeof(iError);
        if (w == Wait::Done && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &iError, &iSize) < 0)
            iError = errno;
        if (w != Wait::Done || iError != 0) {
            ::close(fd);
            if (w == Wait::Aborted)
                return failAborted();
            if (w == Wait::Failed)
                return fail(Timeout, QStringLiteral("no connection within the time limit"));
            sLastError = qt_error_string(iError);
            continue;
        }
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            return fail(ConnectFailed, socket->errorString());
        }
        return true;
    }
    return fail(ConnectFailed, sLastError);
#else
    // Elsewhere the connect itself cannot be cut short; the waits after it still can.
    socket->connectToHost(addresses.first(), iPort);
    if (!socket->waitForConnected(int(qMax<qint64>(1, deadline.remainingTime()))))
        return fail(socket->error() == QAbstractSocket::SocketTimeoutError ? Timeout : ConnectFailed,
                    socket->errorString());
    return true;
#endif
}

bool MailSocket::waitEncrypted(qint64 iMilliseconds) {
    const Wait w = sliced(
        iMilliseconds, [this](int iMs) { return socket->isEncrypted() || socket->waitForEncrypted(iMs); },
        [this] { return timedOutOnly(); });
    if (w == Wait::Aborted)
        return failAborted();
    if (w == Wait::Failed)
        return fail(TlsFailed, QStringLiteral("TLS: ") + socket->errorString());
    return true;
}

bool MailSocket::connectTo(const QString& sHostName, quint16 iPort, bool bImplicitTls) {
    close();
    eError = NoError;
    sErrorText.clear();
    sHost = sHostName;
    socket = std::make_unique<QSslSocket>();
    socket->setPeerVerifyMode(QSslSocket::VerifyPeer);
    // The certificate must name the server as the user wrote it, not the address it led to.
    socket->setPeerVerifyName(sHostName);
    trace("*", QStringLiteral("connect %1:%2%3")
                   .arg(sHostName)
                   .arg(iPort)
                   .arg(bImplicitTls ? QStringLiteral(" TLS") : QString())
                   .toUtf8());
    const QDeadlineTimer deadline(iConnectMs);
    if (!connectSocket(sHostName, iPort, iConnectMs))
        return false;
    // Commands are small; without this each one may wait for a delayed acknowledgement.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (!bImplicitTls)
        return true;
    socket->startClientEncryption();
    return waitEncrypted(deadline.remainingTime());
}

bool MailSocket::startTls() {
    if (!socket)
        return fail(Dropped, QStringLiteral("not connected"));
    // Whatever came behind the go-ahead was written by someone before any protection existed, and would be
    // read afterwards as if it came through TLS.
    if (socket->bytesAvailable() > 0)
        return fail(TlsFailed, QStringLiteral("TLS: the server sent %1 octets before the handshake")
                                   .arg(socket->bytesAvailable()));
    socket->startClientEncryption();
    if (!waitEncrypted(iConnectMs))
        return false;
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
    if (isAborted())
        return failAborted();
    if (!isConnected())
        return fail(Dropped, QStringLiteral("connection closed"));
    if (socket->write(data) != data.size())
        return fail(WriteFailed, socket->errorString());
    // Bounded: a peer that stops reading must not hold the check forever. Each piece written restarts the
    // limit.
    while (socket->bytesToWrite() > 0) {
        const Wait w = sliced(
            iReplyMs,
            [this](int iMs) { return socket->bytesToWrite() == 0 || socket->waitForBytesWritten(iMs); },
            [this] { return timedOutOnly(); });
        if (w == Wait::Aborted)
            return failAborted();
        if (w == Wait::Failed)
            return fail(socket->state() == QAbstractSocket::ConnectedState ? Timeout : Dropped,
                        socket->errorString());
    }
    return true;
}

bool MailSocket::writeLine(const QByteArray& line, const QByteArray& sTraceText) {
    trace("C:", sTraceText.isNull() ? line : sTraceText);
    return writeData(line + "\r\n");
}

// Qt's readLine() sizes a new array to everything buffered for each line it returns, which made reading a
// large message cost more than decrypting it; a buffer kept between lines avoids that.
void MailSocket::takeLine(QByteArray& line) {
    constexpr qsizetype iChunk = 8192;
    if (lineBuffer.size() < iChunk)
        lineBuffer.resize(iChunk);
    for (;;) {
        const qint64 n = socket->readLine(lineBuffer.data(), lineBuffer.size());
        if (n <= 0)
            return;
        line.append(lineBuffer.constData(), qsizetype(n));
        if (n < lineBuffer.size() - 1 || lineBuffer.at(qsizetype(n) - 1) == '\n' ||
            line.size() > iMaxLineOctets)
            return;
    }
}

bool MailSocket::readLine(QByteArray& line, bool bTrace) {
    line.clear();
    if (!socket)
        return fail(Dropped, QStringLiteral("not connected"));
    // One limit for the whole line: a server that trickles a byte now and then must not hold the check.
    const QDeadlineTimer deadline(iReplyMs);
    for (;;) {
        if (socket->canReadLine()) {
            takeLine(line);
            break;
        }
        if (socket->bytesAvailable() > iMaxLineOctets)
            break;
        // Reached only when what is buffered holds no whole line, so only new bytes may end the wait;
        // returning on buffered bytes would spin without ever reaching the time limit.
        const Wait w = sliced(
            deadline.remainingTime(), [this](int iMs) { return socket->waitForReadyRead(iMs); },
            [this] { return timedOutOnly(); });
        if (w == Wait::Aborted)
            return failAborted();
        if (w == Wait::Failed) {
            if (socket->state() != QAbstractSocket::ConnectedState ||
                socket->error() == QAbstractSocket::RemoteHostClosedError)
                return fail(Dropped, QStringLiteral("connection closed by the server"));
            if (checkDeadline.hasExpired())
                return fail(Timeout, QStringLiteral("the check ran out of time"));
            return fail(Timeout, QStringLiteral("no answer from the server"));
        }
    }
    if (line.size() > iMaxLineOctets || line.isEmpty()) {
        close();
        return fail(TooLong,
                    QStringLiteral("the server sent a line longer than %1 KiB").arg(iMaxLineOctets / 1024));
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
