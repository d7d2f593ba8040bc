#include "engine/Pop3Client.h"

#include "engine/MailMessage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageAuthenticationCode>
#include <QSet>

namespace {
// Whole messages kept on disk for a second look (the test window pages back and forth); headers are always
// kept.
constexpr qint64 iWholeCacheBytes = 64 * 1024 * 1024;
// Messages walked when a server gives neither a UIDL nor a LIST listing.
constexpr qint32 iMaxUnlistedMessages = 1000;
// A message read whole for a check stays in memory up to this size.
constexpr qsizetype iMemoryCopyBytes = 4 * 1024 * 1024;

bool isOk(const QByteArray& reply) {
    return reply.startsWith("+OK");
}

Pop3Client::Error fromSocket(MailSocket::Error e) {
    switch (e) {
    case MailSocket::NoError:
        return Pop3Client::NoError;
    case MailSocket::ConnectFailed:
        return Pop3Client::ConnectFailed;
    case MailSocket::TlsFailed:
        return Pop3Client::TlsFailed;
    case MailSocket::Timeout:
        return Pop3Client::Timeout;
    case MailSocket::BadServerName:
        return Pop3Client::BadServerName;
    case MailSocket::Aborted:
        return Pop3Client::Aborted;
    case MailSocket::TooLong:
        return Pop3Client::TooLarge;
    case MailSocket::Dropped:
    case MailSocket::WriteFailed:
        break;
    }
    return Pop3Client::Dropped;
}
} // namespace

Pop3Client::Pop3Client() = default;
Pop3Client::~Pop3Client() = default;

bool Pop3Client::fail(Error e, const QString& sText) {
    eError = e;
    sErrorText = sText;
    socket.trace("!", sText.toUtf8());
    return false;
}

bool Pop3Client::failFromSocket() {
    eError = fromSocket(socket.error());
    sErrorText = socket.errorText();
    return false;
}

bool Pop3Client::command(const QByteArray& line, QByteArray& reply, const QByteArray& sTraceText) {
    if (!socket.isConnected())
        return fail(NotConnected, QStringLiteral("not connected"));
    if (!socket.writeLine(line, sTraceText) || !socket.readLine(reply))
        return failFromSocket();
    if (!isOk(reply))
        return fail(ServerError, QString::fromUtf8(reply));
    return true;
}

bool Pop3Client::readMultiLine(QList<QByteArray>& lines, qsizetype iMaxLines) {
    lines.clear();
    for (;;) {
        QByteArray line;
        if (!socket.readLine(line, false))
            return failFromSocket();
        if (line == ".")
            return true;
        if (line.startsWith('.'))
            line.remove(0, 1);
        if (lines.size() >= iMaxLines) {
            socket.close();
            return fail(TooLarge, QStringLiteral("the server's answer runs past %1 lines").arg(iMaxLines));
        }
        lines.append(line);
    }
}

bool Pop3Client::readMultiLineTo(const std::function<bool(const QByteArray&)>& keep, bool bHeaderOnly) {
    qint64 iSize = 0;
    bool bHeaderEnded = false;
    bool bKept = true;
    for (;;) {
        QByteArray line;
        if (!socket.readLine(line, false))
            return failFromSocket();
        if (line == ".")
            break;
        if (line.startsWith('.'))
            line.remove(0, 1);
        const auto take = [&](QByteArray& part) {
            // Some servers send a line or two of the body with TOP n 0; the header must end at its blank
            // line.
            if (bHeaderOnly && bHeaderEnded)
                return;
            if (part.isEmpty())
                bHeaderEnded = true;
            part += "\r\n";
            // The rest of the answer is still read after a failure, so the session stays in step.
            bKept = bKept && keep(part);
            iSize += part.size();
        };
        // Some mail ends its lines with a bare CR: those are lines too, or the whole header would be one.
        if (!line.contains('\r')) {
            take(line);
        } else {
            for (QByteArray& part : line.split('\r'))
                take(part);
        }
        if (iSize > MaxMessageBytes) {
            socket.close();
            return fail(TooLarge,
                        QStringLiteral("a message larger than %1 MiB").arg(MaxMessageBytes / (1024 * 1024)));
        }
    }
    socket.trace("S:", QByteArray::number(iSize) + " octets");
    return bKept;
}

bool Pop3Client::readMultiLineToFile(const QString& sPath, bool bHeaderOnly) {
    QFile file(sPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(FileError, file.errorString());
    const bool ok = readMultiLineTo(
        [&file](const QByteArray& line) { return file.write(line) == line.size(); }, bHeaderOnly);
    if (!ok) {
        if (eError == NoError)
            fail(FileError, file.errorString());
        file.remove();
    }
    return ok;
}

bool Pop3Client::readWholeToMemory(const QString& sSpillPath, QString& sSpilled) {
    currentWhole = QByteArray("");
    sSpilled.clear();
    QFile file(sSpillPath);
    const bool ok = readMultiLineTo(
        [&](const QByteArray& line) {
            if (file.isOpen())
                return file.write(line) == line.size();
            currentWhole += line;
            if (currentWhole.size() <= iMemoryCopyBytes)
                return true;
            // A large message goes to disk, where its attachments can stay while it is parsed.
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                file.write(currentWhole) != currentWhole.size())
                return false;
            currentWhole = QByteArray();
            return true;
        },
        false);
    if (!ok) {
        if (eError == NoError)
            fail(FileError, file.errorString());
        currentWhole = QByteArray();
        if (file.isOpen())
            file.remove();
        return false;
    }
    if (file.isOpen())
        sSpilled = sSpillPath;
    return true;
}

bool Pop3Client::readCapabilities() {
    sCapabilities.clear();
    QByteArray reply;
    // A server without CAPA simply has none to tell.
    if (!command("CAPA", reply)) {
        if (eError != ServerError)
            return false;
        eError = NoError;
        return true;
    }
    QList<QByteArray> lines;
    if (!readMultiLine(lines))
        return false;
    for (const QByteArray& line : lines)
        sCapabilities.append(QString::fromLatin1(line).trimmed().toUpper());
    return true;
}

qint32 Pop3Client::Connect(const QString& sServer) {
    eError = NoError;
    sErrorText.clear();
    bLoggedIn = bStatOk = false;
    iCount = 0;
    sUids.clear();
    sApopStamp.clear();
    bTlsOffered = false;
    EndMessage();
    QString sHost;
    quint16 iPort = 110;
    if (!MailSocket::parseServer(sServer, 110, sHost, iPort))
        return fail(BadServerName, QStringLiteral("bad server name: ") + sServer);
    sAccount = sServer;
    socket.setTraceFile(LogFile);
    socket.setTimeouts(ConnectTimeout, ReplyTimeout);
    if (!socket.connectTo(sHost, iPort, bImplicitTls || iPort == 995))
        return failFromSocket();
    QByteArray greeting;
    if (!socket.readLine(greeting))
        return failFromSocket();
    if (!isOk(greeting)) {
        socket.close();
        return fail(ServerError, QString::fromUtf8(greeting));
    }
    int iStampStart = greeting.indexOf('<');
    int iStampEnd = greeting.indexOf('>', iStampStart);
    if (iStampStart >= 0 && iStampEnd > iStampStart &&
        greeting.mid(iStampStart, iStampEnd - iStampStart + 1).contains('@'))
        sApopStamp = greeting.mid(iStampStart, iStampEnd - iStampStart + 1);
    if (!readCapabilities()) {
        socket.close();
        return 0;
    }
    if (!socket.isEncrypted() && sCapabilities.contains(QStringLiteral("STLS"))) {
        // Once the server offers TLS, a failed upgrade is a failed connect, never a quiet fall back.
        bTlsOffered = true;
        QByteArray reply;
        if (!command("STLS", reply) || !socket.startTls()) {
            if (eError == NoError || eError == ServerError)
                eError = TlsFailed;
            if (sErrorText.isEmpty() || socket.error() == MailSocket::TlsFailed)
                sErrorText = socket.errorText().isEmpty() ? QString::fromUtf8(reply) : socket.errorText();
            socket.close();
            return 0;
        }
        if (!readCapabilities()) {
            socket.close();
            return 0;
        }
    }
    return 1;
}

bool Pop3Client::saslStart(const QByteArray& line, QByteArray& challenge) {
    if (!socket.writeLine(line) || !socket.readLine(challenge))
        return failFromSocket();
    if (!challenge.startsWith('+') || challenge.startsWith("+OK"))
        return fail(LoginFailed, QString::fromUtf8(challenge));
    challenge = QByteArray::fromBase64(challenge.mid(1).trimmed());
    return true;
}

bool Pop3Client::authenticate(const QString& sUser, const QString& sPassword) {
    const QByteArray user = sUser.toUtf8();
    const QByteArray password = sPassword.toUtf8();
    QStringList sasl;
    for (const QString& sCap : std::as_const(sCapabilities)) {
        if (sCap.startsWith(QLatin1String("SASL ")))
            sasl = sCap.mid(5).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    QByteArray reply;
    // Mechanisms that never show the password come first; one the server refuses gives way to the next it
    // offers, for many servers announce more than they allow.
    QList<std::function<bool()>> methods;
    if (sasl.contains(QStringLiteral("CRAM-MD5")))
        methods << [&] {
            QByteArray challenge;
            if (!saslStart("AUTH CRAM-MD5", challenge))
                return false;
            const QByteArray digest =
                QMessageAuthenticationCode::hash(challenge, password, QCryptographicHash::Md5).toHex();
            return command((user + ' ' + digest).toBase64(), reply, "****");
        };
    if (!sApopStamp.isEmpty())
        methods << [&] {
            const QByteArray digest =
                QCryptographicHash::hash(sApopStamp + password, QCryptographicHash::Md5).toHex();
            return command("APOP " + user + ' ' + digest, reply, "APOP " + user + " ****");
        };
    // The password itself travels only inside TLS, or where the server has no TLS at all.
    if (socket.isEncrypted() || !bTlsOffered) {
        if (sasl.contains(QStringLiteral("PLAIN")))
            methods << [&] {
                QByteArray challenge;
                return saslStart("AUTH PLAIN", challenge) &&
                       command((QByteArray(1, '\0') + user + '\0' + password).toBase64(), reply, "****");
            };
        methods <<
            [&] { return command("USER " + user, reply) && command("PASS " + password, reply, "PASS ****"); };
    }
    if (methods.isEmpty())
        return fail(LoginFailed, QStringLiteral("refusing to send the password in clear text"));
    QStringList sRefusals;
    for (const std::function<bool()>& method : std::as_const(methods)) {
        if (method())
            return true;
        // A connection that broke or timed out is no refusal: nothing more is tried on it.
        if ((eError != ServerError && eError != LoginFailed) || !socket.isConnected())
            return false;
        sRefusals << sErrorText;
        // RFC 3206: the credentials themselves were refused; every other method would be refused the same,
        // each after the server's delay for failed logins.
        if (sErrorText.contains(QLatin1String("[AUTH]"), Qt::CaseInsensitive))
            break;
    }
    return fail(LoginFailed, sRefusals.join(QStringLiteral(" / ")));
}

qint32 Pop3Client::Login(const QString& sUser, const QString& sPassword) {
    eError = NoError;
    if (!socket.isConnected())
        return fail(NotConnected, QStringLiteral("not connected"));
    bLoggedIn = authenticate(sUser, sPassword);
    if (bLoggedIn)
        sAccount = sAccount.section(u'\n', 0, 0) + u'\n' + sUser;
    return bLoggedIn ? 1 : 0;
}

bool Pop3Client::loadUidList() {
    sUids.clear();
    bUidListing = false;
    QByteArray reply;
    // One line for each message STAT counted; a listing that goes on past them is not believed, and numbers
    // it does not name are not walked.
    QList<QByteArray> lines;
    const auto highestListed = [&lines] {
        qint32 iHighest = 0;
        for (const QByteArray& line : std::as_const(lines))
            iHighest = qMax(iHighest, line.simplified().split(' ').value(0).toInt());
        return iHighest;
    };
    if (!command("UIDL", reply)) {
        // Without unique ids nothing can be recognised across visits; the messages are simply read, as far
        // as the listing of sizes names them.
        if (eError != ServerError)
            return false;
        eError = NoError;
        if (!command("LIST", reply)) {
            if (eError != ServerError)
                return false;
            // A server that lists nothing at all is not believed beyond a mailbox of some size.
            eError = NoError;
            iCount = qMin(iCount, iMaxUnlistedMessages);
            return true;
        }
        if (!readMultiLine(lines, qsizetype(iCount) + 16))
            return false;
        iCount = qMin(iCount, highestListed());
        return true;
    }
    if (!readMultiLine(lines, qsizetype(iCount) + 16))
        return false;
    iCount = qMin(iCount, highestListed());
    QHash<QString, qint32> iSeenAt;
    QSet<QString> sShared;
    for (const QByteArray& line : std::as_const(lines)) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        bool ok = false;
        const qint32 n = parts.value(0).toInt(&ok);
        if (!ok || parts.size() < 2)
            continue;
        const QString sUid = QString::fromLatin1(parts.at(1));
        if (iSeenAt.contains(sUid))
            sShared.insert(sUid);
        iSeenAt.insert(sUid, n);
        sUids.insert(n, sUid);
    }

    // An id given to several messages names none of them: each is then told by its header instead.
    if (!sShared.isEmpty())
        sUids.removeIf([&](QHash<qint32, QString>::iterator it) { return sShared.contains(it.value()); });
    bUidListing = true;
    return true;
}

qint32 Pop3Client::Stat() {
    eError = NoError;
    bStatOk = false;
    QByteArray reply;
    if (!command("STAT", reply))
        return 0;
    const QList<QByteArray> parts = reply.simplified().split(' ');
    bool ok = false;
    iCount = parts.value(1).toInt(&ok);
    if (!ok || iCount < 0)
        return fail(ServerError, QString::fromUtf8(reply));
    if (!loadUidList())
        return 0;
    forgetGoneMessages();
    bStatOk = true;
    return 1;
}

void Pop3Client::forgetGoneMessages() {
    QSet<QString> present;
    for (auto it = sUids.cbegin(); it != sUids.cend(); ++it)
        present.insert(cacheKey(it.key()));
    const QString sThisAccount = QStringLiteral("uid:") + sAccount + u'\n';
    for (auto it = cache.begin(); it != cache.end();) {
        const bool bGone = it.key().startsWith(QLatin1String("visit:")) ||
                           (it.key().startsWith(sThisAccount) && !present.contains(it.key()));
        if (!bGone || it.key() == sCurrentKey) {
            ++it;
            continue;
        }
        if (!it->sFullFile.isEmpty()) {
            iWholeBytes -= QFileInfo(it->sFullFile).size();
            QFile::remove(it->sFullFile);
            sWholeOrder.removeOne(it.key());
        }
        if (!it->sHeaderFile.isEmpty())
            QFile::remove(it->sHeaderFile);
        it = cache.erase(it);
    }
}

QString Pop3Client::UniqueId(qint32 iMessage) const {
    return bStatOk ? sUids.value(iMessage) : QString();
}

qint32 Pop3Client::MessageCount(qint32) const {
    return bStatOk ? iCount : 0;
}

QString Pop3Client::cacheKey(qint32 iMessage) const {
    const QString sUid = sUids.value(iMessage);
    // Ids are unique within one mailbox only; many servers simply count.
    return sUid.isEmpty() ? QString() : QStringLiteral("uid:") + sAccount + u'\n' + sUid;
}

qint32 Pop3Client::Retrieve(qint32 iMessage) {
    eError = NoError;
    EndMessage();
    if (!bStatOk || iMessage < 1 || iMessage > iCount)
        return fail(NoSuchMessage, QStringLiteral("no message %1").arg(iMessage));
    iCurrent = iMessage;
    sCurrentKey = cacheKey(iMessage);
    if (sCurrentKey.isEmpty())
        sCurrentKey = QStringLiteral("visit:%1:%2").arg(++iFileSerial).arg(iMessage);
    if (!ensureHeader()) {
        iCurrent = 0;
        return 0;
    }
    return 1;
}

bool Pop3Client::ensureCacheDir() {
    if (cacheDir && QFileInfo(cacheDir->path()).isDir())
        return true;
    // Made anew when it could not be made before, or when a cleaner of old temporary files took it away; the
    // files it listed went with it.
    cache.clear();
    sWholeOrder.clear();
    iWholeBytes = 0;
    cacheDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/pelimo-pop3-XXXXXX"));
    if (cacheDir->isValid())
        return true;
    cacheDir.reset();
    return fail(FileError, QStringLiteral("no temporary folder in ") + QDir::tempPath());
}

bool Pop3Client::ensureHeader() {
    if (!ensureCacheDir())
        return false;
    const bool bKnown = cache.contains(sCurrentKey);
    Cached& entry = cache[sCurrentKey];
    if (!entry.sHeaderFile.isEmpty() || !entry.sFullFile.isEmpty())
        return true;
    // Only a new message: one whose whole copy made room for others is held already, and its header is all
    // a later visit needs (else a mailbox beyond the cache would come whole at every visit).
    if (WholeAtOnce && !bKnown && sCurrentKey.startsWith(QLatin1String("uid:")))
        return ensureWhole();
    const QString sPath = cacheDir->filePath(QStringLiteral("h%1.eml").arg(++iFileSerial));
    QByteArray reply;
    if (command("TOP " + QByteArray::number(iCurrent) + " 0", reply)) {
        if (!readMultiLineToFile(sPath, true))
            return false;
        entry.sHeaderFile = sPath;
        return true;
    }
    // A server without TOP gives the whole message or nothing.
    if (eError != ServerError)
        return false;
    eError = NoError;
    return ensureWhole();
}

bool Pop3Client::ensureWhole() {
    if (!ensureCacheDir())
        return false;
    Cached& entry = cache[sCurrentKey];
    if (entry.sFullFile.isEmpty() && currentWhole.isNull()) {
        if (iCurrent < 1)
            return fail(NoSuchMessage, QStringLiteral("no current message"));
        const QString sPath = cacheDir->filePath(QStringLiteral("m%1.eml").arg(++iFileSerial));
        QByteArray reply;
        if (!command("RETR " + QByteArray::number(iCurrent), reply))
            return false;
        // A check reads each new mail once, to forward it: a copy kept for a second look would only cost a
        // file; the test window pages back and forth, so its copies are kept.
        QString sFile = sPath;
        if (WholeAtOnce ? !readWholeToMemory(sPath, sFile) : !readMultiLineToFile(sPath, false))
            return false;
        if (!sFile.isEmpty()) {
            entry.sFullFile = sFile;
            sWholeOrder.append(sCurrentKey);
            iWholeBytes += QFileInfo(sFile).size();
            forgetWholeFiles();
        }
    }
    if (!message || !bMessageWhole) {
        message = std::make_unique<MailMessage>();
        const bool bLoaded = entry.sFullFile.isEmpty() ? message->loadData(currentWhole)
                                                       : message->load(entry.sFullFile, false);
        if (!bLoaded) {
            message.reset();
            return fail(FileError, QStringLiteral("the message cannot be read"));
        }
        bMessageWhole = true;
    }
    return true;
}

void Pop3Client::forgetWholeFiles() {
    while (iWholeBytes > iWholeCacheBytes && sWholeOrder.size() > 1) {
        const QString sKey = sWholeOrder.takeFirst();
        if (sKey == sCurrentKey) {
            sWholeOrder.append(sKey);
            continue;
        }
        Cached& entry = cache[sKey];
        iWholeBytes -= QFileInfo(entry.sFullFile).size();
        QFile::remove(entry.sFullFile);
        entry.sFullFile.clear();
    }
}

MailMessage* Pop3Client::current() {
    if (iCurrent < 1)
        return nullptr;
    if (!message && !currentWhole.isNull())
        return ensureWhole() ? message.get() : nullptr;
    if (!message) {
        // The header only, even from a whole copy: what needs more goes through ensureWhole().
        const Cached entry = cache.value(sCurrentKey);
        message = std::make_unique<MailMessage>();
        if (!message->load(entry.sFullFile.isEmpty() ? entry.sHeaderFile : entry.sFullFile, true)) {
            message.reset();
            fail(FileError, QStringLiteral("the message cannot be read"));
            return nullptr;
        }
        bMessageWhole = false;
    }
    return message.get();
}

qint32 Pop3Client::ParseMessage() {
    return current() ? 1 : 0;
}

qint32 Pop3Client::EndMessage() {
    message.reset();
    // A copy held in memory goes with its message; an entry without any copy would only mislead the next
    // visit.
    if (!currentWhole.isNull()) {
        currentWhole = QByteArray();
        const auto it = cache.constFind(sCurrentKey);
        if (it != cache.cend() && it->sFullFile.isEmpty() && it->sHeaderFile.isEmpty())
            cache.erase(it);
    }
    bMessageWhole = false;
    iCurrent = 0;
    sCurrentKey.clear();
    return 1;
}

qint32 Pop3Client::Quit() {
    if (!socket.isConnected())
        return 0;
    QByteArray reply;
    const bool ok = command("QUIT", reply);
    bLoggedIn = bStatOk = false;
    return ok ? 1 : 0;
}

qint32 Pop3Client::Disconnect() {
    socket.close();
    bLoggedIn = bStatOk = false;
    return 1;
}

QString Pop3Client::FromName() {
    return current() ? message->FromName() : QString();
}
QString Pop3Client::FromAddress() {
    return current() ? message->FromAddress() : QString();
}
QString Pop3Client::ReplyTo() {
    return current() ? message->ReplyTo() : QString();
}
QString Pop3Client::Subject() {
    return current() ? message->Subject() : QString();
}
qint32 Pop3Client::ToCount() {
    return current() ? message->ToCount() : 0;
}
QString Pop3Client::ToName(qint32 k) {
    return current() ? message->ToName(k) : QString();
}
QString Pop3Client::ToAddress(qint32 k) {
    return current() ? message->ToAddress(k) : QString();
}
qint32 Pop3Client::CcCount() {
    return current() ? message->CcCount() : 0;
}
QString Pop3Client::CcName(qint32 k) {
    return current() ? message->CcName(k) : QString();
}
QString Pop3Client::CcAddress(qint32 k) {
    return current() ? message->CcAddress(k) : QString();
}
qint32 Pop3Client::BccCount() {
    return current() ? message->BccCount() : 0;
}
QString Pop3Client::BccName(qint32 k) {
    return current() ? message->BccName(k) : QString();
}
QString Pop3Client::BccAddress(qint32 k) {
    return current() ? message->BccAddress(k) : QString();
}
qint32 Pop3Client::HeaderCount() {
    return current() ? message->HeaderCount() : 0;
}
QString Pop3Client::HeaderLine(qint32 k) {
    return current() ? message->HeaderLine(k) : QString();
}

QString Pop3Client::Body() {
    return current() && ensureWhole() ? message->Body() : QString();
}
bool Pop3Client::PartsCut() {
    return current() && bMessageWhole && message->partsCut();
}
qint32 Pop3Client::AttachmentCount() {
    return current() && ensureWhole() ? message->AttachmentCount() : 0;
}
QString Pop3Client::AttachmentName(qint32 k) {
    return current() && ensureWhole() ? message->AttachmentName(k) : QString();
}
qint32 Pop3Client::AttachmentSize(qint32 k) {
    return current() && ensureWhole() ? qint32(qMin<qint64>(message->AttachmentSize(k), INT32_MAX)) : 0;
}
qint32 Pop3Client::SaveAttachment(qint32 k, const QString& sFolder) {
    if (!current() || !ensureWhole())
        return 0;
    sSavedFileName.clear();
    if (!message->SaveAttachment(k, sFolder))
        return 0;
    sSavedFileName = QFileInfo(message->lastSavedPath()).fileName();
    return 1;
}
