#include "engine/SmtpClient.h"

#include "engine/mdlGMime.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QSysInfo>
#include <QUrl>
#include <gmime/gmime.h>

namespace {

constexpr int kMaxReplyLines = 200;
constexpr qsizetype kMaxLineOctets = 998;
constexpr int kDataEndSeconds = 600;
constexpr int kQuitSeconds = 10;

// Owns one GObject reference.
template <typename T> struct GRef {
    T* p = nullptr;
    explicit GRef(T* q) : p(q) {}
    ~GRef() {
        if (p)
            g_object_unref(p);
    }
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
};

bool isAscii(const QString& s) {
    for (QChar c : s)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

// ISO-2022-JP bytes for the text, or false when the text does not survive in it. ICU's table follows the
// Windows one (～ and the NEC row of ① ㈱ are in it); phones and most readers use the standard JIS table,
// which is also what GMime encodes the subject with, so both must read back the same text.
bool encodeIso2022Jp(const QString& sText, QByteArray& out) {
    QStringEncoder encoder("ISO-2022-JP");
    if (!encoder.isValid())
        return false;
    out = encoder.encode(sText);
    if (encoder.hasError())
        return false;
    QStringDecoder decoder("ISO-2022-JP");
    if (QString(decoder.decode(out)) != sText || decoder.hasError())
        return false;
    iconv_t cd = g_mime_iconv_open("iso-2022-jp", "UTF-8");
    if (cd == (iconv_t)-1)
        return false;
    char* standard = g_mime_iconv_strdup(cd, sText.toUtf8().constData());
    g_mime_iconv_close(cd);
    if (!standard)
        return false;
    QStringDecoder check("ISO-2022-JP");
    bool bSame = QString(check.decode(QByteArray(standard))) == sText && !check.hasError();
    g_free(standard);
    return bSame;
}

bool linesFit(const QByteArray& text) {
    qsizetype iStart = 0;
    while (iStart <= text.size()) {
        qsizetype iEnd = text.indexOf('\n', iStart);
        if (iEnd < 0)
            iEnd = text.size();
        if (iEnd - iStart > kMaxLineOctets)
            return false;
        iStart = iEnd + 1;
    }
    return true;
}

QString bareAddress(const QString& s) {
    QString sAddress = s.trimmed();
    if (sAddress.startsWith(QLatin1Char('<')) && sAddress.endsWith(QLatin1Char('>')))
        sAddress = sAddress.mid(1, sAddress.size() - 2).trimmed();
    return sAddress;
}

// The address as it goes between the angle brackets of MAIL FROM / RCPT TO. Anything that could end the
// command early is refused rather than sent; an international domain goes in its ASCII form.
bool envelopeAddress(const QString& s, QByteArray& out, QString& sWhy) {
    QString sAddress = bareAddress(s);
    for (QChar c : sAddress) {
        if (c.unicode() <= 0x20 || c == QLatin1Char('<') || c == QLatin1Char('>') || c.unicode() == 0x7f) {
            sWhy = QStringLiteral("invalid address: %1").arg(s);
            return false;
        }
    }
    qsizetype iAt = sAddress.lastIndexOf(QLatin1Char('@'));
    QString sLocal = iAt < 0 ? sAddress : sAddress.left(iAt);
    if (!isAscii(sLocal)) {
        sWhy = QStringLiteral("address with a non-ASCII local part: %1").arg(s);
        return false;
    }
    out = sLocal.toLatin1();
    if (iAt >= 0) {
        QString sDomain = sAddress.mid(iAt + 1);
        QByteArray ace = isAscii(sDomain) ? sDomain.toLatin1() : QUrl::toAce(sDomain);
        if (ace.isEmpty()) {
            sWhy = QStringLiteral("invalid address: %1").arg(s);
            return false;
        }
        out += '@' + ace;
    }
    return true;
}

QString domainOf(const QString& sAddress) {
    qsizetype iAt = sAddress.lastIndexOf(QLatin1Char('@'));
    return iAt < 0 ? QString() : sAddress.mid(iAt + 1);
}

void addMailboxes(GMimeMessage* message, GMimeAddressType type, const QList<QPair<QString, QString>>& boxes,
                  const char* sCharset) {
    InternetAddressList* list = g_mime_message_get_addresses(message, type);
    for (const auto& box : boxes) {
        InternetAddress* address =
            internet_address_mailbox_new(box.first.toUtf8().constData(), box.second.toUtf8().constData());
        internet_address_set_charset(address, sCharset);
        internet_address_list_add(list, address);
        g_object_unref(address);
    }
}

} // namespace

SmtpClient::SmtpClient() {
    ensureGMime();
}

SmtpClient::~SmtpClient() = default;

void SmtpClient::setCredentials(const QString& sUserId, const QString& sPass) {
    // A kept session signed in as someone else must not carry the next mail.
    if (sUserId != sUser || sPass != sPassword)
        sKeptServer.clear();
    sUser = sUserId;
    sPassword = sPass;
}

QString SmtpClient::ehloName() {
    // Letters, digits and inner hyphens only: a name with an underscore or a blank may be refused.
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    const QString sName = QString::fromLatin1(QUrl::toAce(QSysInfo::machineHostName()));
    bool bValid = !sName.isEmpty() && sName.size() <= 253;
    for (const QString& sLabel : sName.split(QLatin1Char('.')))
        bValid = bValid && label.match(sLabel).hasMatch();
    return bValid ? sName : QStringLiteral("localhost");
}

// ---- state -------------------------------------------------------------------------------------------

void SmtpClient::applySettings() {
    socket.setTimeouts(ConnectTimeout, ReplyTimeout);
    socket.setTraceFile(LogFile);
}

void SmtpClient::startSession() {
    applySettings();
    dropConnection();
    clearVerdict();
    bUsedTls = false;
}

void SmtpClient::clearVerdict() {
    bUnconfirmed = false;
    eError = NoError;
    sErrorText.clear();
    iReplyCode = 0;
    sReplyText.clear();
}

bool SmtpClient::fail(Error e, const QString& sText) {
    eError = e;
    sErrorText = sText;
    if (!sAuthRefusal.isEmpty())
        sErrorText += QStringLiteral(" (after AUTH was refused: ") + sAuthRefusal + u')';
    socket.trace("!", sText.toUtf8());
    return false;
}

// After a timeout or a broken connection the dialogue cannot be trusted to be in step any more.
bool SmtpClient::failFromSocket() {
    Error e = Dropped;
    switch (socket.error()) {
    case MailSocket::ConnectFailed:
        e = ConnectFailed;
        break;
    case MailSocket::TlsFailed:
        e = TlsFailed;
        break;
    case MailSocket::Timeout:
        e = Timeout;
        break;
    case MailSocket::BadServerName:
        e = BadServerName;
        break;
    default:
        e = Dropped;
        break;
    }
    eError = e;
    sErrorText = socket.errorText();
    dropConnection();
    return false;
}

void SmtpClient::dropConnection() {
    socket.close();
    sAuthRefusal.clear();
    sKeptServer.clear();
    bHeloDone = false;
    bTlsOffered = false;
    sCapabilities.clear();
}

void SmtpClient::closeQuietly() {
    if (socket.isConnected())
        socket.writeLine("QUIT"); // a courtesy; the answer is not awaited
    dropConnection();
}

void SmtpClient::resetSession() {
    closeQuietly();
    envelope = Envelope();
    sEnvelopeFrom.clear();
    bUnconfirmed = false;
    eError = NoError;
    sErrorText.clear();
    iReplyCode = 0;
    sReplyText.clear();
}

// ---- dialogue ----------------------------------------------------------------------------------------

bool SmtpClient::readReply() {
    iReplyCode = 0;
    sReplyText.clear();
    sReplyLines.clear();
    for (int i = 0; i < kMaxReplyLines; ++i) {
        QByteArray line;
        if (!socket.readLine(line))
            return failFromSocket();
        bool ok = line.size() >= 3 && (line.size() == 3 || line.at(3) == ' ' || line.at(3) == '-');
        int iCode = ok ? line.left(3).toInt(&ok) : 0;
        if (!ok || iCode < 100 || iCode > 599) {
            fail(ServerError, QStringLiteral("not an SMTP answer: ") + QString::fromUtf8(line.left(200)));
            dropConnection();
            return false;
        }
        sReplyLines.append(QString::fromUtf8(line.mid(4)));
        if (line.size() == 3 || line.at(3) == ' ') {
            iReplyCode = iCode;
            sReplyText = QString::number(iCode) + QLatin1Char(' ') + sReplyLines.join(QStringLiteral(" / "));
            return true;
        }
    }
    fail(ServerError, QStringLiteral("the server's answer does not end"));
    dropConnection();
    return false;
}

bool SmtpClient::notConnected() {
    // Keeps the reason the connection went, which is what the run log needs.
    if (eError == NotConnected)
        return false;
    return fail(NotConnected, sErrorText.isEmpty() ? QStringLiteral("not connected")
                                                   : QStringLiteral("not connected (%1)").arg(sErrorText));
}

bool SmtpClient::command(const QByteArray& line, const QByteArray& sTraceText) {
    if (!socket.isConnected())
        return notConnected();
    if (!socket.writeLine(line, sTraceText))
        return failFromSocket();
    return readReply();
}

bool SmtpClient::connectServer(const QString& sServer) {
    QString sHost;
    quint16 iPort = 25;
    if (!MailSocket::parseServer(sServer, 25, sHost, iPort))
        return fail(BadServerName, QStringLiteral("bad server name: \"%1\"").arg(sServer));
    if (!socket.connectTo(sHost, iPort, bImplicitTls || iPort == 465))
        return failFromSocket();
    if (!readReply())
        return false;
    if (iReplyCode != 220) {
        fail(ConnectFailed, QStringLiteral("the server refused the session: ") + sReplyText);
        dropConnection();
        return false;
    }
    return true;
}

void SmtpClient::readCapabilities() {
    sCapabilities = sReplyLines.mid(1);
    for (const QString& s : sCapabilities)
        if (s.trimmed().compare(QStringLiteral("STARTTLS"), Qt::CaseInsensitive) == 0)
            bTlsOffered = true;
}

bool SmtpClient::greet() {
    if (!socket.isConnected())
        return notConnected();
    if (bHeloDone)
        return true;
    const QByteArray name = ehloName().toLatin1();
    if (!command("EHLO " + name))
        return false;
    if (iReplyCode == 250) {
        readCapabilities();
        // Offered means required: falling back to clear text here would hand the password to anyone between.
        if (bTlsOffered && !socket.isEncrypted()) {
            if (!command("STARTTLS"))
                return false;
            if (iReplyCode != 220) {
                fail(TlsFailed, QStringLiteral("STARTTLS refused: ") + sReplyText);
                dropConnection();
                return false;
            }
            if (!socket.startTls())
                return failFromSocket();
            if (!command("EHLO " + name))
                return false;
            if (iReplyCode != 250)
                return fail(HeloRefused, QStringLiteral("EHLO refused after STARTTLS: ") + sReplyText);
            readCapabilities();
        }
    } else {
        if (!command("HELO " + name))
            return false;
        if (iReplyCode != 250)
            return fail(HeloRefused, QStringLiteral("HELO refused: ") + sReplyText);
        sCapabilities.clear();
    }
    bUsedTls = socket.isEncrypted();
    bHeloDone = true;
    return authenticate();
}

bool SmtpClient::authenticate() {
    if (sUser.isEmpty())
        return true;
    QStringList sMechanisms;
    for (const QString& s : sCapabilities) {
        QString sLine = s.trimmed().toUpper();
        if (sLine.startsWith(QStringLiteral("AUTH ")) || sLine.startsWith(QStringLiteral("AUTH=")))
            sMechanisms += sLine.mid(5).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    if (sMechanisms.isEmpty()) {
        socket.trace("*", "no AUTH offered; going on without it");
        return true;
    }
    const bool bClearAllowed = socket.isEncrypted() || !bTlsOffered;
    const QByteArray user = sUser.toUtf8();
    const QByteArray pass = sPassword.toUtf8();
    if (sMechanisms.contains(QStringLiteral("CRAM-MD5"))) {
        if (!command("AUTH CRAM-MD5"))
            return false;
        if (iReplyCode == 334) {
            QByteArray challenge = QByteArray::fromBase64(sReplyLines.value(0).trimmed().toLatin1());
            QByteArray digest =
                QMessageAuthenticationCode::hash(challenge, pass, QCryptographicHash::Md5).toHex();
            if (!command((user + ' ' + digest).toBase64(), "****"))
                return false;
        }
    } else if (bClearAllowed && sMechanisms.contains(QStringLiteral("PLAIN"))) {
        QByteArray token = QByteArray(1, '\0') + user + QByteArray(1, '\0') + pass;
        if (!command("AUTH PLAIN " + token.toBase64(), "AUTH PLAIN ****"))
            return false;
    } else if (bClearAllowed && sMechanisms.contains(QStringLiteral("LOGIN"))) {
        if (!command("AUTH LOGIN"))
            return false;
        if (iReplyCode == 334 && !command(user.toBase64(), "****"))
            return false;
        if (iReplyCode == 334 && !command(pass.toBase64(), "****"))
            return false;
    } else {
        socket.trace("*", "no usable AUTH mechanism; going on without it");
        return true;
    }
    if (iReplyCode != 235) {
        const QString sRefusal = sReplyText;
        if (iReplyCode == 334 && !command("*")) // cancels an exchange the server still expects more of
            return false;
        if (iReplyCode / 100 == 5 || iReplyCode / 100 == 4) {
            // The receive account's login need not be the send server's: the server may take the mail without
            // it, as it did before this client knew AUTH. Its answer, and this one, go with any later
            // failure.
            sAuthRefusal = sRefusal;
            socket.trace("*", "AUTH refused; going on without it");
            return true;
        }
        return fail(AuthFailed, QStringLiteral("authentication failed: ") + sRefusal);
    }
    return true;
}

bool SmtpClient::mailFrom(const QString& sFrom) {
    QByteArray address;
    QString sWhy;
    if (!envelopeAddress(sFrom, address, sWhy))
        return fail(BadAddress, sWhy);
    if (!command("MAIL FROM:<" + address + '>'))
        return false;
    if (iReplyCode != 250)
        return fail(MailRefused, QStringLiteral("MAIL FROM refused: ") + sReplyText);
    return true;
}

bool SmtpClient::rcptTo(const QString& sAddress) {
    QByteArray address;
    QString sWhy;
    if (bareAddress(sAddress).isEmpty())
        return fail(BadAddress, QStringLiteral("no recipient address"));
    if (!envelopeAddress(sAddress, address, sWhy))
        return fail(BadAddress, sWhy);
    if (!command("RCPT TO:<" + address + '>'))
        return false;
    if (iReplyCode != 250 && iReplyCode != 251)
        return fail(RcptRefused, QStringLiteral("RCPT TO refused: ") + sReplyText);
    return true;
}

// ---- the message -------------------------------------------------------------------------------------

namespace {

// The message as it goes after DATA: CR LF line ends, dots stuffed, the end marker included, so the whole
// text leaves in one write.
QByteArray composeForWire(const QList<QPair<QString, QString>>& to, const QList<QPair<QString, QString>>& cc,
                          const QPair<QString, QString>& from, const QString& sSubject,
                          const QString& sBodyIn, const QString& sIdDomain) {
    QString sBody = sBodyIn;
    sBody.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    sBody.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    // The last line must end too: the end marker needs its own line, and ISO-2022-JP must be back in ASCII.
    if (!sBody.endsWith(QLatin1Char('\n')))
        sBody += QLatin1Char('\n');

    QString sAllText = sSubject + QLatin1Char('\n') + from.first + QLatin1Char('\n') + sBody;
    for (const auto& box : to + cc)
        sAllText += box.first + QLatin1Char('\n');
    const char* sCharset = "utf-8";
    QByteArray bodyBytes;
    if (isAscii(sAllText)) {
        sCharset = "us-ascii";
        bodyBytes = sBody.toLatin1();
    } else if (QByteArray jis;
               encodeIso2022Jp(sAllText, jis) && encodeIso2022Jp(sBody, jis) && linesFit(jis)) {
        sCharset = "iso-2022-jp";
        bodyBytes = jis;
    } else {
        bodyBytes = sBody.toUtf8();
    }

    GRef<GMimeMessage> message(g_mime_message_new(TRUE));
    if (!from.first.isEmpty() || !from.second.isEmpty())
        addMailboxes(message.p, GMIME_ADDRESS_TYPE_FROM, {from}, sCharset);
    addMailboxes(message.p, GMIME_ADDRESS_TYPE_TO, to, sCharset);
    addMailboxes(message.p, GMIME_ADDRESS_TYPE_CC, cc, sCharset);
    if (!sSubject.isEmpty())
        g_mime_message_set_subject(message.p, sSubject.toUtf8().constData(), sCharset);
    GDateTime* now = g_date_time_new_now_local();
    g_mime_message_set_date(message.p, now);
    g_date_time_unref(now);
    char* sId = g_mime_utils_generate_message_id(sIdDomain.toUtf8().constData());
    g_mime_message_set_message_id(message.p, sId);
    g_free(sId);

    GRef<GMimeTextPart> part(g_mime_text_part_new_with_subtype("plain"));
    g_mime_text_part_set_charset(part.p, sCharset);
    GRef<GMimeStream> content(
        g_mime_stream_mem_new_with_buffer(bodyBytes.constData(), size_t(bodyBytes.size())));
    GRef<GMimeDataWrapper> wrapper(
        g_mime_data_wrapper_new_with_stream(content.p, GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(GMIME_PART(part.p), wrapper.p);
    g_mime_part_set_content_encoding(
        GMIME_PART(part.p),
        qstrcmp(sCharset, "iso-2022-jp") == 0
            ? GMIME_CONTENT_ENCODING_7BIT
            : g_mime_part_get_best_content_encoding(GMIME_PART(part.p), GMIME_ENCODING_CONSTRAINT_7BIT));
    g_mime_message_set_mime_part(message.p, GMIME_OBJECT(part.p));

    GMimeFormatOptions* options = g_mime_format_options_clone(nullptr);
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    GRef<GMimeStream> wire(g_mime_stream_mem_new());
    {
        GRef<GMimeStream> stuffed(g_mime_stream_filter_new(wire.p));
        GRef<GMimeFilter> dots(g_mime_filter_smtp_data_new());
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(stuffed.p), dots.p);
        g_mime_object_write_to_stream(GMIME_OBJECT(message.p), options, stuffed.p);
        g_mime_stream_flush(stuffed.p);
    }
    g_mime_format_options_free(options);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(wire.p));
    QByteArray out(reinterpret_cast<const char*>(bytes->data), qsizetype(bytes->len));
    if (!out.endsWith("\r\n"))
        out += "\r\n";
    return out + ".\r\n";
}

QList<QPair<QString, QString>> pairs(const auto& boxes) {
    QList<QPair<QString, QString>> out;
    for (const auto& box : boxes)
        out.append({box.sName, bareAddress(box.sAddress)});
    return out;
}

} // namespace

bool SmtpClient::data(const Envelope& env, const QString& sMailFrom, const QString& sBody) {
    if (!command("DATA"))
        return false;
    // Only a 354 lets the text go: anything else means the server would read it as commands.
    if (iReplyCode != 354)
        return fail(DataRefused, QStringLiteral("DATA refused: ") + sReplyText);
    Mailbox from = env.from;
    if (from.sAddress.trimmed().isEmpty() && from.sName.isEmpty())
        from.sAddress = sMailFrom;
    QString sFromAddress = bareAddress(from.sAddress);
    QString sIdDomain = domainOf(sFromAddress);
    if (sIdDomain.isEmpty() || sIdDomain.contains(QLatin1Char(' ')))
        sIdDomain = ehloName();
    QByteArray wire = composeForWire(pairs(env.to), pairs(env.cc), {from.sName, sFromAddress}, env.sSubject,
                                     sBody, sIdDomain);
    socket.trace("C:", QByteArray("<message, ") + QByteArray::number(wire.size()) + " octets>");
    if (!socket.writeData(wire))
        return failFromSocket();
    // A server may take its time over a whole message (RFC 5321 4.5.3.2.6: ten minutes); from here on, a lost
    // answer leaves it unknown whether the mail was taken.
    socket.setTimeouts(ConnectTimeout, qMax(ReplyTimeout, kDataEndSeconds));
    const bool bAnswered = readReply();
    applySettings();
    if (!bAnswered) {
        bUnconfirmed = eError == Dropped || eError == Timeout;
        return false;
    }
    if (iReplyCode != 250)
        return fail(DataRefused, QStringLiteral("message refused: ") + sReplyText);
    return true;
}

bool SmtpClient::quit() {
    if (!socket.isConnected())
        return notConnected();
    Error eBefore = eError;
    QString sBefore = sErrorText;
    if (!socket.writeLine("QUIT"))
        return failFromSocket();
    // Nothing depends on the goodbye: it is not worth the whole reply limit.
    socket.setTimeouts(ConnectTimeout, qMin(ReplyTimeout, kQuitSeconds));
    bool bAnswered = readReply();
    applySettings();
    bool bHungUp = !bAnswered && eError == Dropped;
    dropConnection();
    // A server that hangs up on QUIT has still ended the session as asked.
    if (bHungUp) {
        eError = eBefore;
        sErrorText = sBefore;
        return true;
    }
    if (!bAnswered)
        return false;
    if (iReplyCode / 100 != 2)
        return fail(ServerError, QStringLiteral("QUIT refused: ") + sReplyText);
    return true;
}

// ---- the operations ----------------------------------------------------------------------------------

qint32 SmtpClient::SendMail(const QString& sServer, const QString& sTo, const QString& sFrom,
                            const QString& sSubject, const QString& sBody, const QString&) {
    // One address as typed: phone addresses such as "taro..yamada@docomo.ne.jp" break the address grammar,
    // and a header parser would silently drop them.
    Envelope one;
    one.to.append({QString(), sTo});
    one.from = {QString(), sFrom};
    one.sSubject = sSubject;

    bool bSent = false;
    bool bFresh = true;
    if (KeepSession && !sKeptServer.isNull() && sKeptServer == sServer && socket.isConnected()) {
        applySettings();
        clearVerdict();
        // A kept session the server has ended meanwhile, or one refusing a new mail, gives way to a new
        // session: nothing of this mail has reached the server yet.
        if (mailFrom(sFrom)) {
            bFresh = false;
            bSent = rcptTo(sTo) && data(one, sFrom, sBody);
        }
    }
    if (bFresh) {
        startSession();
        bSent =
            connectServer(sServer) && greet() && mailFrom(sFrom) && rcptTo(sTo) && data(one, sFrom, sBody);
    }
    sKeptServer.clear();
    if (bSent && KeepSession) {
        sKeptServer = sServer;
        return 1;
    }
    if (bSent) {
        // The server has the mail; a failed goodbye does not undo that.
        Error eKept = eError;
        QString sKept = sErrorText;
        quit();
        eError = eKept;
        sErrorText = sKept;
    }
    closeQuietly();
    return bSent ? 1 : 0;
}

qint32 SmtpClient::ConnectHost(const QString& sServer) {
    startSession();
    return connectServer(sServer) ? 1 : 0;
}

qint32 SmtpClient::ConnectAddress(const QString& sServer) {
    // A literal address and a host name need nothing different from the socket.
    return ConnectHost(sServer);
}

qint32 SmtpClient::AddTo(const QString& sAddress, const QString& sName) {
    envelope.to.append({sName, sAddress});
    return 1;
}

qint32 SmtpClient::AddCc(const QString& sAddress, const QString& sName) {
    envelope.cc.append({sName, sAddress});
    return 1;
}

qint32 SmtpClient::AddBcc(const QString&, const QString&) {
    // Blind copies live only in the envelope: the caller gives them to RcptTo.
    return 1;
}

qint32 SmtpClient::SetFrom(const QString& sAddress, const QString& sName) {
    envelope.from = {sName, sAddress};
    return 1;
}

qint32 SmtpClient::SetSubject(const QString& sSubject) {
    envelope.sSubject = sSubject;
    return 1;
}

qint32 SmtpClient::Helo(const QString&) {
    applySettings();
    return greet() ? 1 : 0;
}

qint32 SmtpClient::MailFrom(const QString& sFrom) {
    applySettings();
    sEnvelopeFrom = bareAddress(sFrom);
    return mailFrom(sFrom) ? 1 : 0;
}

qint32 SmtpClient::RcptTo(const QString& sAddress) {
    applySettings();
    return rcptTo(sAddress) ? 1 : 0;
}

qint32 SmtpClient::Data(const QString& sBody) {
    applySettings();
    return data(envelope, sEnvelopeFrom, sBody) ? 1 : 0;
}

qint32 SmtpClient::Rset() {
    applySettings();
    if (!command("RSET"))
        return 0;
    return iReplyCode == 250 ? 1 : (fail(ServerError, QStringLiteral("RSET refused: ") + sReplyText), 0);
}

qint32 SmtpClient::Quit() {
    applySettings();
    return quit() ? 1 : 0;
}

qint32 SmtpClient::Release() {
    applySettings();
    // While sessions are kept, a release ends the mail, not the session the next mail will use.
    if (KeepSession && !sKeptServer.isNull() && socket.isConnected()) {
        envelope = Envelope();
        sEnvelopeFrom.clear();
        clearVerdict();
        return 1;
    }
    resetSession();
    return 1;
}

qint32 SmtpClient::Destroy() {
    return Release();
}
