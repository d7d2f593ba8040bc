#include "engine/MailMessage.h"

#include "engine/mdlCharset.h"
#include "engine/mdlGMime.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QStringDecoder>
#include <QStringList>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <gmime/gmime.h>
#include <mutex>
#include <vector>

namespace {

struct GObjectUnref {
    void operator()(gpointer p) const {
        if (p)
            g_object_unref(p);
    }
};
template <typename T> using GPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};
using GString8 = std::unique_ptr<char, GFree>;

struct Address {
    QString sName;
    QString sAddress;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isAscii(const QByteArray& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<uchar>(c) < 0x80; });
}

QByteArray unfolded(const char* sRaw) {
    if (!sRaw)
        return {};
    GString8 s(g_mime_utils_header_unfold(sRaw));
    return QByteArray(s.get());
}

// ---- encoded words -------------------------------------------------------------------------------------

QByteArray bareCharset(QByteArray sCharset) {
    const qsizetype iStar = sCharset.indexOf('*'); // RFC 2231 language suffix
    if (iStar >= 0)
        sCharset.truncate(iStar);
    return sCharset.trimmed().toLower();
}

bool iconvKnows(const QByteArray& sCharset) {
    static std::mutex mutex;
    static QHash<QByteArray, bool> known;
    const std::lock_guard<std::mutex> lock(mutex);
    auto it = known.constFind(sCharset);
    if (it != known.constEnd())
        return *it;
    bool bKnown = false;
    if (!sCharset.isEmpty()) {
        iconv_t cd = g_mime_iconv_open("UTF-8", sCharset.constData());
        bKnown = cd != reinterpret_cast<iconv_t>(-1);
        if (bKnown)
            g_mime_iconv_close(cd);
    }
    // The labels come from the mail, so a table of every one seen would grow with each new label for as long
    // as the program runs; the few real charsets are in it long before it is full.
    if (known.size() < 256)
        known.insert(sCharset, bKnown);
    return bKnown;
}

// GMime's base64 step drops a last group of 2 or 3 characters that lacks its "=" padding, though the group
// still holds 1 or 2 bytes (the end of a JPEG, the escape back to ASCII of a Japanese text). The step keeps
// the count of pending characters in the low byte of its state, the count of pads above it, their bits in
// save.
QByteArray base64Tail(int iState, guint32 iSave) {
    const int iPending = iState & 0xff;
    const int iBytes = (iPending == 3 ? 2 : iPending == 2 ? 1 : 0) - ((iState >> 8) & 0xff);
    if (iBytes <= 0)
        return {};
    const char tail[2] = {static_cast<char>(iPending == 3 ? iSave >> 10 : iSave >> 4),
                          static_cast<char>(iSave >> 2)};
    return QByteArray(tail, iBytes);
}

struct EncodedWord {
    qsizetype iBegin = 0;
    qsizetype iEnd = 0;
    QByteArray sCharset;
    QByteArray bytes;
};

QByteArray wordPayload(char cEncoding, QByteArray payload) {
    QByteArray out(payload.size() + 4, Qt::Uninitialized);
    int iState = 0;
    guint32 iSave = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(payload.constData());
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    size_t n;
    if (cEncoding == 'B' || cEncoding == 'b') {
        n = g_mime_encoding_base64_decode_step(in, payload.size(), o, &iState, &iSave);
        out.truncate(static_cast<qsizetype>(n));
        return out + base64Tail(iState, iSave);
    } else {
        payload.replace('_', ' '); // Q encoding's own rule; "=5F" still gives an underscore
        in = reinterpret_cast<const unsigned char*>(payload.constData());
        n = g_mime_encoding_quoted_decode_step(in, payload.size(), o, &iState, &iSave);
    }
    out.truncate(static_cast<qsizetype>(n));
    return out;
}

// The encoded words of a header value, in order (RFC 2047 form; the charset may be empty or unknown).
QList<EncodedWord> encodedWords(const QByteArray& s) {
    QList<EncodedWord> words;
    qsizetype iFrom = 0;
    while ((iFrom = s.indexOf("=?", iFrom)) >= 0) {
        const qsizetype iCharset = iFrom + 2;
        const qsizetype iQ1 = s.indexOf('?', iCharset);
        if (iQ1 < 0)
            break;
        const QByteArray sCharset = s.mid(iCharset, iQ1 - iCharset);
        const char cEncoding = iQ1 + 1 < s.size() ? s[iQ1 + 1] : '\0';
        const bool bForm =
            QByteArrayView("BbQq").contains(cEncoding) && iQ1 + 2 < s.size() && s[iQ1 + 2] == '?';
        const bool bCharsetOk = std::none_of(sCharset.begin(), sCharset.end(), isBlank);
        const qsizetype iPayload = iQ1 + 3;
        const qsizetype iClose = bForm ? s.indexOf("?=", iPayload) : -1;
        if (!bForm || !bCharsetOk || iClose < 0) {
            iFrom += 2;
            continue;
        }
        const QByteArray payload = s.mid(iPayload, iClose - iPayload);
        if (std::any_of(payload.begin(), payload.end(), isBlank)) {
            iFrom += 2;
            continue;
        }
        words.append({iFrom, iClose + 2, bareCharset(sCharset), wordPayload(cEncoding, payload)});
        iFrom = iClose + 2;
    }
    return words;
}

// GMime decodes encoded words with iconv, which fails on the Japanese extended characters and on labels it
// does not know, and it joins neighbouring B words by their base64 text, which breaks at the padding of the
// first word. So such words are decoded here and put back as one UTF-8 word: every word of a Japanese or
// unknown charset, and every run of neighbouring words of one charset, joined as bytes first because
// senders split a character, or an ISO-2022-JP escape, between words.
QByteArray rewriteEncodedWords(const QByteArray& s) {
    const QList<EncodedWord> words = encodedWords(s);
    auto ours = [](const EncodedWord& w) {
        return isJapaneseCharset(w.sCharset) || isVagueCharset(w.sCharset) || !iconvKnows(w.sCharset);
    };
    auto adjacent = [&](qsizetype j) {
        const QByteArray between = s.mid(words[j - 1].iEnd, words[j].iBegin - words[j - 1].iEnd);
        return words[j].sCharset == words[j - 1].sCharset &&
               std::all_of(between.begin(), between.end(), isBlank);
    };
    QByteArray out;
    qsizetype iCopied = 0;
    for (qsizetype i = 0; i < words.size();) {
        QByteArray bytes = words[i].bytes;
        qsizetype j = i + 1;
        for (; j < words.size() && adjacent(j); ++j)
            bytes += words[j].bytes;
        if (ours(words[i]) || j - i > 1) {
            out += s.mid(iCopied, words[i].iBegin - iCopied);
            out += "=?UTF-8?B?" + decodeCharset(bytes, words[i].sCharset).toUtf8().toBase64() + "?=";
            iCopied = words[j - 1].iEnd;
        }
        i = j;
    }
    if (iCopied == 0)
        return s;
    out += s.mid(iCopied);
    return out;
}

// A raw header value made fit for GMime's decoders: unencoded 8-bit text and raw ISO-2022-JP become UTF-8
// (GMime's fallback list reads EUC-JP as CP932 half-width kana), Japanese encoded words become UTF-8 words.
QByteArray preparedHeader(const QByteArray& value) {
    QByteArray s = value;
    if (!isAscii(s) || hasIso2022JpEscape(s))
        s = decodeCharset(s, QByteArray()).toUtf8();
    return rewriteEncodedWords(s);
}

QString utf8Text(const char* s) {
    if (!s)
        return {};
    const QByteArray bytes(s);
    return decodeCharset(bytes, QByteArrayLiteral("UTF-8"));
}

// ---- parts ---------------------------------------------------------------------------------------------

// The transfer encoding the part's header names, read leniently ("quoted printable", "base64;").
GMimeContentEncoding transferEncoding(GMimeObject* part) {
    const char* sRaw = g_mime_object_get_header(part, "Content-Transfer-Encoding");
    if (!sRaw)
        return GMIME_CONTENT_ENCODING_DEFAULT;
    QByteArray s = QByteArray(sRaw).toLower();
    for (char cStop : {';', '('})
        if (s.contains(cStop))
            s.truncate(s.indexOf(cStop));
    s = s.replace('"', "").simplified().replace(' ', '-').replace('_', '-');
    return g_mime_content_encoding_from_string(s.constData());
}

// Streams the decoded content of a leaf part to sink in blocks, so no content is held whole in memory.
// False when reading fails or the sink refuses a block.
template <typename Sink> bool readContent(GMimePart* part, Sink&& sink) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* raw = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (!raw)
        return true;
    if (g_mime_stream_reset(raw) < 0)
        return false;
    const GMimeContentEncoding encoding = transferEncoding(GMIME_OBJECT(part));
    const bool bBase64 = encoding == GMIME_CONTENT_ENCODING_BASE64;
    GPtr<GMimeStream> filtered;
    if (encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE || encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
        filtered.reset(g_mime_stream_filter_new(raw));
        GPtr<GMimeFilter> decoder(g_mime_filter_basic_new(encoding, FALSE));
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), decoder.get());
    }
    GMimeStream* source = filtered ? filtered.get() : raw;
    constexpr size_t iBlock = 64 * 1024;
    std::vector<char> in(iBlock);
    std::vector<unsigned char> out(bBase64 ? iBlock : 0);
    int iState = 0;
    guint32 iSave = 0;
    bool bOk = true;
    int iIdle = 0;
    // A bounded stream answers -1 once it is through, so the end is asked for before every read; a filter may
    // swallow a whole block (soft line breaks) and answer 0 before its end.
    while (!g_mime_stream_eos(source)) {
        const ssize_t n = g_mime_stream_read(source, in.data(), in.size());
        if (n < 0) {
            bOk = g_mime_stream_eos(source);
            break;
        }
        if (n == 0) {
            if (++iIdle > 1000)
                break;
            continue;
        }
        iIdle = 0;
        if (bBase64) {
            const size_t m =
                g_mime_encoding_base64_decode_step(reinterpret_cast<const unsigned char*>(in.data()),
                                                   static_cast<size_t>(n), out.data(), &iState, &iSave);
            bOk = sink(reinterpret_cast<const char*>(out.data()), static_cast<qsizetype>(m));
        } else {
            bOk = sink(in.data(), static_cast<qsizetype>(n));
        }
        if (!bOk)
            break;
    }
    if (bOk && bBase64) {
        const QByteArray tail = base64Tail(iState, iSave);
        if (!tail.isEmpty())
            bOk = sink(tail.constData(), tail.size());
    }
    g_mime_stream_reset(raw);
    return bOk;
}

QByteArray contentBytes(GMimePart* part) {
    QByteArray bytes;
    readContent(part, [&](const char* p, qsizetype n) {
        bytes.append(p, n);
        return true;
    });
    return bytes;
}

QString partText(GMimePart* part) {
    const char* sCharset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
    return decodeCharset(contentBytes(part), sCharset ? QByteArray(sCharset) : QByteArray());
}

bool hasMediaType(GMimeObject* object, const char* sType, const char* sSubtype = "*") {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    return type && g_mime_content_type_is_type(type, sType, sSubtype);
}

// A Content-Type without a "type/subtype" is read as plain text, as RFC 2045 recommends; GMime makes it
// application/octet-stream.
bool hasInvalidType(GMimeObject* object) {
    const char* sRaw = g_mime_object_get_header(object, "Content-Type");
    return sRaw && !QByteArray(sRaw).split(';').front().contains('/');
}

bool isAttachmentDisposition(GMimeObject* object) {
    const char* s = g_mime_object_get_disposition(object);
    return s && g_ascii_strcasecmp(s, GMIME_DISPOSITION_ATTACHMENT) == 0;
}

// ---- HTML ----------------------------------------------------------------------------------------------

QString entity(const QString& sName) {
    static const QHash<QString, char16_t> named = {
        {"amp", u'&'},         {"lt", u'<'},         {"gt", u'>'},          {"quot", u'"'},
        {"apos", u'\''},       {"nbsp", u' '},       {"copy", u'\u00A9'},   {"reg", u'\u00AE'},
        {"yen", u'\u00A5'},    {"euro", u'\u20AC'},  {"hellip", u'\u2026'}, {"mdash", u'\u2014'},
        {"ndash", u'\u2013'},  {"laquo", u'\u00AB'}, {"raquo", u'\u00BB'},  {"lsquo", u'\u2018'},
        {"rsquo", u'\u2019'},  {"ldquo", u'\u201C'}, {"rdquo", u'\u201D'},  {"bull", u'\u2022'},
        {"middot", u'\u00B7'}, {"times", u'\u00D7'}, {"trade", u'\u2122'},  {"deg", u'\u00B0'}};
    if (sName.startsWith(u'#')) {
        bool bOk = false;
        const bool bHex = sName.size() > 1 && (sName[1] == u'x' || sName[1] == u'X');
        const uint u = bHex ? sName.mid(2).toUInt(&bOk, 16) : sName.mid(1).toUInt(&bOk, 10);
        if (!bOk || u == 0 || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF))
            return QString(QChar::ReplacementCharacter);
        const char32_t c = u;
        return QString::fromUcs4(&c, 1);
    }
    auto it = named.constFind(sName.toLower());
    return it == named.constEnd() ? QString() : QString(QChar(*it));
}

// The readable text of an HTML part: tags removed, block elements as line breaks, script and style dropped,
// entities decoded. A phone shows this in place of a missing plain-text part.
QString htmlToText(const QString& sHtml) {
    static const QStringList blocks = {"p",  "div", "tr", "li", "ul", "ol", "table",
                                       "h1", "h2",  "h3", "h4", "h5", "h6", "blockquote",
                                       "hr", "pre", "dl", "dt", "dd"};
    static const QStringList dropped = {"script", "style", "head", "title"};
    QString out;
    bool bPre = false;
    auto lineBreak = [&] {
        if (!out.isEmpty() && !out.endsWith(u'\n'))
            out += u'\n';
    };
    const qsizetype n = sHtml.size();
    for (qsizetype i = 0; i < n;) {
        const QChar c = sHtml[i];
        if (c == u'<') {
            if (sHtml.mid(i, 4) == u"<!--") {
                const qsizetype iEnd = sHtml.indexOf(u"-->", i + 4);
                i = iEnd < 0 ? n : iEnd + 3;
                continue;
            }
            qsizetype j = i + 1;
            QChar quote;
            while (j < n && (sHtml[j] != u'>' || !quote.isNull())) {
                if (quote.isNull() && (sHtml[j] == u'"' || sHtml[j] == u'\''))
                    quote = sHtml[j];
                else if (sHtml[j] == quote)
                    quote = QChar();
                ++j;
            }
            const QString sTag = sHtml.mid(i + 1, j - i - 1);
            i = j + 1;
            const bool bClosing = sTag.startsWith(u'/');
            qsizetype k = bClosing ? 1 : 0;
            QString sName;
            while (k < sTag.size() && sTag[k].isLetterOrNumber())
                sName += sTag[k++].toLower();
            if (!bClosing && dropped.contains(sName)) {
                const qsizetype iEnd = sHtml.indexOf(QStringLiteral("</") + sName, i, Qt::CaseInsensitive);
                const qsizetype iClose = iEnd < 0 ? -1 : sHtml.indexOf(u'>', iEnd);
                i = iClose < 0 ? n : iClose + 1;
                continue;
            }
            if (sName == u"br")
                out += u'\n';
            else if (blocks.contains(sName))
                lineBreak();
            else if ((sName == u"td" || sName == u"th") && bClosing)
                out += u' ';
            if (sName == u"pre")
                bPre = !bClosing;
            continue;
        }
        if (c == u'&') {
            qsizetype j = i + 1;
            while (j < n && j - i <= 10 && (sHtml[j].isLetterOrNumber() || sHtml[j] == u'#'))
                ++j;
            const QString sDecoded = entity(sHtml.mid(i + 1, j - i - 1));
            if (!sDecoded.isEmpty()) {
                out += sDecoded;
                i = (j < n && sHtml[j] == u';') ? j + 1 : j;
                continue;
            }
            out += c;
            ++i;
            continue;
        }
        if (c.isSpace() && !bPre) {
            if (!out.isEmpty() && !out.back().isSpace())
                out += u' ';
        } else {
            out += c;
        }
        ++i;
    }
    // Tidy the lines: no blanks at their ends, at most one empty line in a row.
    QStringList lines = out.split(u'\n');
    QStringList kept;
    for (QString& sLine : lines) {
        while (!sLine.isEmpty() && sLine.back().isSpace())
            sLine.chop(1);
        while (!bPre && !sLine.isEmpty() && sLine.front() == u' ')
            sLine.remove(0, 1);
        if (sLine.isEmpty() && (kept.isEmpty() || kept.back().isEmpty()))
            continue;
        kept.append(sLine);
    }
    while (!kept.isEmpty() && kept.back().isEmpty())
        kept.removeLast();
    return kept.join(u'\n');
}

// ---- attachment names ----------------------------------------------------------------------------------

// A parameter value from GMime: UTF-8, except an RFC 2231 value whose charset iconv could not convert,
// which GMime leaves as raw bytes (and raw ISO-2022-JP, which is ASCII). Those are read here.
QString paramText(GMimeParam* param) {
    const char* sValue = param ? g_mime_param_get_value(param) : nullptr;
    if (!sValue)
        return {};
    const QByteArray value(sValue);
    const char* sCharset = g_mime_param_get_charset(param);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString sUtf8 = utf8.decode(value);
    if (sCharset && *sCharset && (utf8.hasError() || hasIso2022JpEscape(value)))
        return decodeCharset(value, sCharset);
    return utf8.hasError() ? decodeCharset(value, QByteArray()) : sUtf8;
}

// The file name a part carries: Content-Disposition filename, else Content-Type name. The raw header values
// are parsed again so that Japanese names get the same decoding as every other text.
QString partFileName(GMimeParserOptions* options, GMimeObject* part) {
    GMimeHeaderList* headers = g_mime_object_get_header_list(part);
    if (GMimeHeader* header = g_mime_header_list_get_header(headers, "Content-Disposition")) {
        GPtr<GMimeContentDisposition> disposition(g_mime_content_disposition_parse(
            options, preparedHeader(unfolded(g_mime_header_get_raw_value(header))).constData()));
        if (disposition) {
            const QString s = paramText(g_mime_param_list_get_parameter(
                g_mime_content_disposition_get_parameters(disposition.get()), "filename"));
            if (!s.isEmpty())
                return s;
        }
    }
    if (GMimeHeader* header = g_mime_header_list_get_header(headers, "Content-Type")) {
        GPtr<GMimeContentType> type(g_mime_content_type_parse(
            options, preparedHeader(unfolded(g_mime_header_get_raw_value(header))).constData()));
        if (type)
            return paramText(
                g_mime_param_list_get_parameter(g_mime_content_type_get_parameters(type.get()), "name"));
    }
    return {};
}

bool carriesFileName(GMimeObject* part) {
    return g_mime_object_get_content_disposition_parameter(part, "filename") ||
           g_mime_object_get_content_type_parameter(part, "name");
}

// What may safely be created inside the target folder: the last path element only, without control,
// formatting or reserved characters, not hidden, not too long for a file system.
QString safeFileName(const QString& sName, qint32 k) {
    QString s = sName;
    s.replace(u'\\', u'/');
    s = s.section(u'/', -1);
    QString sClean;
    for (QChar c : s) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || c.category() == QChar::Other_Format)
            continue;
        sClean += QStringLiteral("<>:\"|?*").contains(c) ? QChar(u'_') : c;
    }
    sClean = sClean.trimmed();
    while (sClean.startsWith(u'.'))
        sClean.remove(0, 1);
    while (sClean.endsWith(u'.') || sClean.endsWith(u' '))
        sClean.chop(1);
    if (sClean.isEmpty())
        return QStringLiteral("attachment-%1").arg(k);
    // 255 bytes is the usual limit of a name; keep room for " (n)" and the extension.
    const qsizetype iDot = sClean.lastIndexOf(u'.');
    QString sExt = iDot > 0 && sClean.size() - iDot <= 16 ? sClean.mid(iDot) : QString();
    QString sStem = sClean.left(sClean.size() - sExt.size());
    while (!sStem.isEmpty() && (sStem + sExt).toUtf8().size() > 200)
        sStem.chop(sStem.size() > 1 && sStem.back().isLowSurrogate() ? 2 : 1);
    return sStem.isEmpty() ? QStringLiteral("attachment-%1").arg(k) + sExt : sStem + sExt;
}
} // namespace

struct MailMessage::Impl {
    GMimeParserOptions* options = nullptr;
    GPtr<GMimeStream> stream;
    GPtr<GMimeParser> parser;
    GPtr<GMimeMessage> message;
    std::vector<GPtr<GObject>> kept; // streams and messages of encoded message/rfc822 parts
    bool bLoaded = false;
    bool bHeaderOnly = false;
    bool bPartsCut = false;

    QString sFromName, sFromAddress, sReplyTo, sSubject, sBody;
    QList<Address> to, cc, bcc;
    QStringList headerLines;

    struct Attachment {
        GMimePart* part = nullptr;
        QString sName;
        qint64 iSize = -1; // worked out when first asked for
    };
    QList<Attachment> attachments;
    QString sLastSaved;

    ~Impl() {
        kept.clear();
        message.reset();
        parser.reset();
        stream.reset();
        if (options)
            g_mime_parser_options_free(options);
    }

    const char* rawHeader(const char* sName) const {
        GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message.get()));
        GMimeHeader* header = g_mime_header_list_get_header(headers, sName);
        return header ? g_mime_header_get_raw_value(header) : nullptr;
    }

    QList<Address> addresses(const char* sName) const {
        QList<Address> out;
        const char* sRaw = rawHeader(sName);
        if (!sRaw)
            return out;
        GPtr<InternetAddressList> list(
            internet_address_list_parse(options, preparedHeader(unfolded(sRaw)).constData()));
        if (list)
            flatten(list.get(), out, 0);
        return out;
    }

    static void flatten(InternetAddressList* list, QList<Address>& out, int iDepth) {
        const int n = internet_address_list_length(list);
        for (int i = 0; i < n; ++i) {
            InternetAddress* address = internet_address_list_get_address(list, i);
            if (INTERNET_ADDRESS_IS_GROUP(address)) {
                if (iDepth < 8)
                    flatten(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out,
                            iDepth + 1);
            } else if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
                out.append({utf8Text(internet_address_get_name(address)).trimmed(),
                            utf8Text(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)))});
            }
        }
    }

    // The first mailbox of a sender field. When no address can be read from it (a lone encoded word is taken
    // for an address by GMime), the field's raw text, which still names its charset, and its decoded text
    // as the name.
    void sender(const char* sName, QString& sAddress, QString* psDisplayName) const {
        const char* sRaw = rawHeader(sName);
        if (!sRaw)
            return;
        const QList<Address> list = addresses(sName);
        for (const Address& a : list) {
            if (!a.sAddress.isEmpty() && !a.sAddress.contains(QStringLiteral("=?")) &&
                !a.sAddress.contains(u' ')) {
                sAddress = a.sAddress;
                if (psDisplayName)
                    *psDisplayName = a.sName;
                return;
            }
        }
        sAddress = decodeCharset(unfolded(sRaw), QByteArray()).trimmed();
        if (psDisplayName) {
            GString8 s(g_mime_utils_header_decode_text(options, preparedHeader(unfolded(sRaw)).constData()));
            *psDisplayName = utf8Text(s.get()).trimmed();
        }
    }

    void readHeaderLines() {
        struct Line {
            gint64 iOffset;
            GMimeHeader* header;
        };
        std::vector<Line> lines;
        auto collect = [&](GMimeObject* object) {
            GMimeHeaderList* headers = g_mime_object_get_header_list(object);
            const int n = headers ? g_mime_header_list_get_count(headers) : 0;
            for (int i = 0; i < n; ++i) {
                GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
                lines.push_back({g_mime_header_get_offset(header), header});
            }
        };
        // GMime keeps the Content-* fields of the top level with the body part; the offsets restore the
        // order of the file.
        collect(GMIME_OBJECT(message.get()));
        if (GMimeObject* body = g_mime_message_get_mime_part(message.get()))
            collect(body);
        std::stable_sort(lines.begin(), lines.end(),
                         [](const Line& a, const Line& b) { return a.iOffset < b.iOffset; });
        for (const Line& line : lines) {
            if (line.iOffset < 0)
                continue; // made up by GMime, not in the file
            QString sName = decodeCharset(QByteArray(g_mime_header_get_raw_name(line.header)), QByteArray());
            if (headerLines.isEmpty() && sName.startsWith(QChar(0xFEFF)))
                sName.remove(0, 1);
            const QString sValue =
                decodeCharset(unfolded(g_mime_header_get_raw_value(line.header)), QByteArray());
            headerLines.append(sName + QStringLiteral(": ") + sValue);
        }
    }

    // A leaf of the MIME tree: a part, or a multipart that lost its boundary and so holds its text as its
    // prologue.
    struct Leaf {
        GMimePart* part = nullptr;
        GMimeMultipart* bare = nullptr;
    };

    // Leaves in depth-first order, descending into forwarded messages.
    void collectLeaves(GMimeObject* object, QList<Leaf>& leaves, int iDepth) {
        if (object && iDepth > 64)
            bPartsCut = true;
        if (!object || iDepth > 64)
            return;
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            const int n = g_mime_multipart_get_count(multipart);
            if (n == 0 && !g_mime_object_get_content_type_parameter(object, "boundary"))
                leaves.append({nullptr, multipart});
            for (int i = 0; i < n; ++i)
                collectLeaves(g_mime_multipart_get_part(multipart, i), leaves, iDepth + 1);
        } else if (GMIME_IS_MESSAGE_PART(object)) {
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
            if (inner)
                collectLeaves(g_mime_message_get_mime_part(inner), leaves, iDepth + 1);
        } else if (GMIME_IS_PART(object)) {
            GMimePart* part = GMIME_PART(object);
            // A forwarded message sent in base64 or quoted-printable is a plain part to GMime; decode and
            // read it like any other forwarded message.
            if (hasMediaType(object, "message", "rfc822") || hasMediaType(object, "message", "global")) {
                if (GMimeMessage* inner = parseEmbedded(part)) {
                    collectLeaves(g_mime_message_get_mime_part(inner), leaves, iDepth + 1);
                    return;
                }
            }
            leaves.append({part, nullptr});
        }
    }

    GMimeMessage* parseEmbedded(GMimePart* part) {
        GPtr<GMimeStream> memory(g_mime_stream_mem_new());
        const bool bRead = readContent(part, [&](const char* p, qsizetype n) {
            return g_mime_stream_write(memory.get(), p, static_cast<size_t>(n)) == n;
        });
        if (!bRead)
            return nullptr;
        g_mime_stream_reset(memory.get());
        GPtr<GMimeParser> innerParser(g_mime_parser_new_with_stream(memory.get()));
        GMimeMessage* inner = g_mime_parser_construct_message(innerParser.get(), options);
        if (!inner)
            return nullptr;
        kept.emplace_back(G_OBJECT(memory.release()));
        kept.emplace_back(G_OBJECT(innerParser.release()));
        kept.emplace_back(G_OBJECT(inner));
        return inner;
    }

    void readParts() {
        QList<Leaf> leaves;
        collectLeaves(g_mime_message_get_mime_part(message.get()), leaves, 0);
        const Leaf* plain = nullptr;
        GMimePart* html = nullptr;
        for (const Leaf& leaf : leaves) {
            if (leaf.bare) {
                const char* sText = g_mime_multipart_get_prologue(leaf.bare);
                if (!plain && sText && !QByteArray(sText).trimmed().isEmpty())
                    plain = &leaf;
                continue;
            }
            GMimeObject* object = GMIME_OBJECT(leaf.part);
            const bool bAttached = isAttachmentDisposition(object);
            const bool bPlain = hasMediaType(object, "text", "plain") || hasInvalidType(object);
            if (!plain && !bAttached && bPlain) {
                plain = &leaf;
                continue;
            }
            if (!html && !bAttached && hasMediaType(object, "text", "html"))
                html = leaf.part;
            if (bAttached || carriesFileName(object) ||
                !(bPlain || hasMediaType(object, "text") || hasMediaType(object, "message")))
                attachments.append({leaf.part, partFileName(options, object), -1});
        }
        if (plain && plain->part) {
            sBody = toCrLf(partText(plain->part));
        } else if (plain) {
            const char* sCharset =
                g_mime_object_get_content_type_parameter(GMIME_OBJECT(plain->bare), "charset");
            sBody = toCrLf(decodeCharset(QByteArray(g_mime_multipart_get_prologue(plain->bare)),
                                         sCharset ? QByteArray(sCharset) : QByteArray()));
        } else if (html) {
            sBody = toCrLf(htmlToText(partText(html)));
        }
    }
};

MailMessage::MailMessage() : d(std::make_unique<Impl>()) {
    ensureGMime();
}

MailMessage::~MailMessage() = default;

void MailMessage::clear() {
    d = std::make_unique<Impl>();
}

bool MailMessage::loadData(const QByteArray& data) {
    clear();
    // The stream keeps its own copy, so the caller's may go.
    return parse(g_mime_stream_mem_new_with_buffer(data.constData(), size_t(data.size())), false);
}

bool MailMessage::load(const QString& sPath, bool bHeaderOnly) {
    clear();
    GPtr<GMimeStream> stream;
    if (bHeaderOnly) {
        // The header is all that is read: a check tells the mail it already holds by its header alone, and
        // parsing the text and attachments of each such mail again was most of the work of a check.
        QFile file(sPath);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        QByteArray header;
        char line[4096];
        bool bLineStart = true;
        for (;;) {
            const qint64 n = file.readLine(line, sizeof line);
            if (n <= 0)
                break;
            header.append(line, qsizetype(n));
            const bool bBlank =
                bLineStart && (line[0] == '\n' || (n == 2 && line[0] == '\r' && line[1] == '\n'));
            if (bBlank)
                break;
            bLineStart = line[n - 1] == '\n';
        }
        stream.reset(g_mime_stream_mem_new_with_buffer(header.constData(), size_t(header.size())));
    } else {
        const QByteArray sNative = QFile::encodeName(sPath);
        GError* error = nullptr;
        stream.reset(g_mime_stream_fs_open(sNative.constData(), O_RDONLY, 0, &error));
        if (error)
            g_error_free(error);
    }
    return parse(stream.release(), bHeaderOnly);
}

namespace {
// What a first reading of the whole mail finds before GMime builds it.
struct Survey {
    // Where a message would hold more parts than are read; -1 when it holds fewer. GMime builds every part
    // it finds, and a few hundred thousand tiny parts take gigabytes.
    gint64 iCut = -1;
    // The header blocks, [start, end): the mail's own and each part's.
    QList<std::pair<gint64, gint64>> headers;
    // Where a header runs straight into text: GMime would take that text for broken header lines and drop
    // it, so an empty line goes there.
    QList<gint64> breaks;
    // GMime ends a header value at a NUL, losing the rest of it.
    bool bHeaderNul = false;
};

class Surveyor {
public:
    Surveyor(Survey& result, bool bHeaderOnly) : r(result), bHeaderOnly(bHeaderOnly) {}

    // False once the cut is found: nothing after it matters.
    bool feed(const char* p, gssize n) {
        while (n > 0) {
            const auto* eol = static_cast<const char*>(memchr(p, '\n', size_t(n)));
            const gssize iLength = eol ? eol - p : n;
            take(p, iLength);
            iOffset += iLength;
            if (!eol)
                return true;
            ++iOffset;
            if (!endLine())
                return false;
            p += iLength + 1;
            n -= iLength + 1;
        }
        return true;
    }

    void finish() {
        if (r.iCut < 0 && iOffset > iLineStart)
            endLine();
        // A header cut off by the end of a header-only copy is whole as far as anyone can tell.
        if (bHeader)
            closeHeader(r.iCut >= 0 ? r.iCut : iOffset, r.iCut < 0 && !bHeaderOnly && iText >= 0);
    }

private:
    static constexpr int iMaxBoundaries = 1000;
    static constexpr qsizetype iPrefix = 8192;

    // Keeps a line's first bytes: all of them in a header, otherwise enough to tell a boundary.
    void take(const char* p, gssize n) {
        if (bHeader && n > 0) {
            bColon = bColon || memchr(p, ':', size_t(n));
            bNul = bNul || memchr(p, '\0', size_t(n));
        }
        if (line.size() < 2) {
            const gssize k = qMin<gssize>(n, 2 - line.size());
            line.append(p, k);
            p += k;
            n -= k;
        }
        if (n > 0 && line.size() < iPrefix && (bHeader || line.startsWith("--")))
            line.append(p, qMin<gssize>(n, iPrefix - line.size()));
    }

    bool endLine() {
        const bool bDashes = line.startsWith("--");
        if (bDashes && ++iDashLines > iMaxBoundaries) {
            r.iCut = iLineStart;
            return false;
        }
        const int iBoundary = bDashes ? boundaryKind() : 0;
        if (bHeader) {
            if (iBoundary)
                closeHeader(iLineStart, true);
            else if (line.isEmpty() || line == "\r")
                closeHeader(iLineStart, false);
            else if (isField()) {
                iText = -1;
                r.bHeaderNul = r.bHeaderNul || bNul;
                collectBoundary();
            } else if (iText < 0) {
                iText = iLineStart;
            }
        }
        if (iBoundary == 1) {
            bHeader = true;
            iHeaderStart = iOffset;
        }
        line.resize(0); // keeps the buffer: a mail has a million lines
        bColon = bNul = false;
        iLineStart = iOffset;
        return true;
    }

    // A folded line goes on a header line, not text; a line with a colon after text (an mbox "From " line
    // opens some mails) shows the header goes on.
    bool isField() const {
        const bool bFolded = line[0] == ' ' || line[0] == '\t';
        return iText < 0 ? bColon || bFolded : bColon && !bFolded;
    }

    // A block that ends without an empty line gets one before its first text line, or before the boundary.
    void closeHeader(gint64 iEnd, bool bBreak) {
        if (bBreak && iText >= 0)
            iEnd = iText;
        if (bBreak)
            r.breaks.append(iEnd);
        r.headers.append({iHeaderStart, iEnd});
        bHeader = false;
        iText = -1;
    }

    // 1 for a line that opens a part, 2 for one that closes a multipart, 0 for any other.
    int boundaryKind() const {
        for (const QByteArray& b : boundaries) {
            if (line.size() < 2 + b.size() || line.mid(2, b.size()) != b)
                continue;
            const QByteArray rest = line.mid(2 + b.size()).trimmed();
            if (rest.isEmpty())
                return 1;
            if (rest == "--")
                return 2;
        }
        return 0;
    }

    void collectBoundary() {
        const qsizetype iAt = line.toLower().indexOf("boundary");
        if (iAt < 0 || boundaries.size() >= iMaxBoundaries)
            return;
        qsizetype i = iAt + 8;
        auto skipBlanks = [&] {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
                ++i;
        };
        skipBlanks();
        if (i >= line.size() || line[i] != '=')
            return;
        ++i;
        skipBlanks();
        QByteArray b;
        if (i < line.size() && line[i] == '"') {
            const qsizetype iClose = line.indexOf('"', i + 1);
            b = line.mid(i + 1, iClose < 0 ? -1 : iClose - i - 1);
        } else {
            const qsizetype iStart = i;
            while (i < line.size() && line[i] != ';' && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
                ++i;
            b = line.mid(iStart, i - iStart);
        }
        if (!b.isEmpty() && !boundaries.contains(b))
            boundaries.append(b);
    }

    Survey& r;
    const bool bHeaderOnly;
    gint64 iOffset = 0;
    gint64 iLineStart = 0;
    QByteArray line;
    bool bColon = false;
    bool bNul = false;
    bool bHeader = true;
    gint64 iHeaderStart = 0;
    gint64 iText = -1; // where text begins in the current header block, as far as it has been read
    int iDashLines = 0;
    QList<QByteArray> boundaries;
};

Survey survey(GMimeStream* stream, bool bHeaderOnly) {
    Survey result;
    Surveyor lines(result, bHeaderOnly);
    char buffer[65536];
    for (;;) {
        const gssize n = g_mime_stream_read(stream, buffer, sizeof buffer);
        if (n <= 0 || !lines.feed(buffer, n))
            break;
    }
    lines.finish();
    g_mime_stream_reset(stream);
    return result;
}

// The mail up to the cut in memory, with an empty line at each break and without NULs in its headers.
GMimeStream* mended(GMimeStream* stream, const Survey& found) {
    QByteArray bytes;
    gint64 iOffset = 0;
    qsizetype iHeader = 0;
    qsizetype iBreak = 0;
    char buffer[65536];
    while (found.iCut < 0 || iOffset < found.iCut) {
        const gssize n = g_mime_stream_read(stream, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (gssize i = 0; i < n && (found.iCut < 0 || iOffset < found.iCut); ++i, ++iOffset) {
            if (iBreak < found.breaks.size() && found.breaks[iBreak] == iOffset) {
                bytes.append(bytes.endsWith('\n') && !bytes.endsWith("\r\n") ? "\n" : "\r\n");
                ++iBreak;
            }
            while (iHeader < found.headers.size() && found.headers[iHeader].second <= iOffset)
                ++iHeader;
            const bool bInHeader = iHeader < found.headers.size() && found.headers[iHeader].first <= iOffset;
            if (buffer[i] != '\0' || !bInHeader)
                bytes.append(buffer[i]);
        }
    }
    return g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size()));
}
} // namespace

bool MailMessage::parse(GMimeStream* source, bool bHeaderOnly) {
    GPtr<GMimeStream> stream(source);
    if (!stream)
        return false;
    // The text found before a cut is kept; the caller can say that more was left unread.
    const Survey found = survey(stream.get(), bHeaderOnly);
    d->bPartsCut = found.iCut >= 0;
    if (found.bHeaderNul || !found.breaks.isEmpty())
        stream.reset(mended(stream.get(), found));
    else if (d->bPartsCut)
        stream.reset(g_mime_stream_substream(stream.get(), 0, found.iCut));
    d->options = g_mime_parser_options_new();
    // Raw 8-bit text that reaches GMime untouched (rare after preparedHeader) is tried in this order.
    const char* fallback[] = {"UTF-8", "CP932", "ISO-8859-1", nullptr};
    g_mime_parser_options_set_fallback_charsets(d->options, fallback);
    g_mime_parser_options_set_address_compliance_mode(d->options, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_parameter_compliance_mode(d->options, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_rfc2047_compliance_mode(d->options, GMIME_RFC_COMPLIANCE_LOOSE);

    // The parser keeps the file as the source of every part's content, so large attachments stay on disk.
    d->parser.reset(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_persist_stream(d->parser.get(), TRUE);
    g_mime_parser_set_format(d->parser.get(), GMIME_FORMAT_MESSAGE);
    d->message.reset(g_mime_parser_construct_message(d->parser.get(), d->options));
    d->stream = std::move(stream);
    if (!d->message) {
        clear();
        return false;
    }
    d->bLoaded = true;
    d->bHeaderOnly = bHeaderOnly;

    d->sender("From", d->sFromAddress, &d->sFromName);
    d->sender("Reply-To", d->sReplyTo, nullptr);
    if (const char* sRaw = d->rawHeader("Subject")) {
        GString8 s(g_mime_utils_header_decode_text(d->options, preparedHeader(unfolded(sRaw)).constData()));
        d->sSubject = utf8Text(s.get());
    }
    d->to = d->addresses("To");
    d->cc = d->addresses("Cc");
    d->bcc = d->addresses("Bcc");
    d->readHeaderLines();
    if (!bHeaderOnly)
        d->readParts();
    return true;
}

bool MailMessage::partsCut() const {
    return d->bPartsCut;
}

bool MailMessage::isLoaded() const {
    return d->bLoaded;
}

bool MailMessage::isHeaderOnly() const {
    return d->bHeaderOnly;
}

QString MailMessage::FromName() const {
    return d->sFromName;
}

QString MailMessage::FromAddress() const {
    return d->sFromAddress;
}

QString MailMessage::ReplyTo() const {
    return d->sReplyTo;
}

QString MailMessage::Subject() const {
    return d->sSubject;
}

QString MailMessage::Body() const {
    return d->sBody;
}

namespace {
const Address* entry(const QList<Address>& list, qint32 k) {
    return k >= 1 && k <= list.size() ? &list[k - 1] : nullptr;
}
} // namespace

qint32 MailMessage::ToCount() const {
    return static_cast<qint32>(d->to.size());
}

QString MailMessage::ToName(qint32 k) const {
    const Address* a = entry(d->to, k);
    return a ? a->sName : QString();
}

QString MailMessage::ToAddress(qint32 k) const {
    const Address* a = entry(d->to, k);
    return a ? a->sAddress : QString();
}

qint32 MailMessage::CcCount() const {
    return static_cast<qint32>(d->cc.size());
}

QString MailMessage::CcName(qint32 k) const {
    const Address* a = entry(d->cc, k);
    return a ? a->sName : QString();
}

QString MailMessage::CcAddress(qint32 k) const {
    const Address* a = entry(d->cc, k);
    return a ? a->sAddress : QString();
}

qint32 MailMessage::BccCount() const {
    return static_cast<qint32>(d->bcc.size());
}

QString MailMessage::BccName(qint32 k) const {
    const Address* a = entry(d->bcc, k);
    return a ? a->sName : QString();
}

QString MailMessage::BccAddress(qint32 k) const {
    const Address* a = entry(d->bcc, k);
    return a ? a->sAddress : QString();
}

qint32 MailMessage::HeaderCount() const {
    return static_cast<qint32>(d->headerLines.size());
}

QString MailMessage::HeaderLine(qint32 k) const {
    return k >= 1 && k <= d->headerLines.size() ? d->headerLines[k - 1] : QString();
}

qint32 MailMessage::AttachmentCount() const {
    return static_cast<qint32>(d->attachments.size());
}

QString MailMessage::AttachmentName(qint32 k) const {
    return k >= 1 && k <= d->attachments.size() ? d->attachments[k - 1].sName : QString();
}

qint64 MailMessage::AttachmentSize(qint32 k) const {
    if (k < 1 || k > d->attachments.size())
        return 0;
    Impl::Attachment& attachment = d->attachments[k - 1];
    if (attachment.iSize < 0) {
        qint64 iSize = 0;
        const bool bOk = readContent(attachment.part, [&](const char*, qsizetype n) {
            iSize += n;
            return true;
        });
        attachment.iSize = bOk ? iSize : 0;
    }
    return attachment.iSize;
}

bool MailMessage::SaveAttachment(qint32 k, const QString& sFolder) const {
    if (k < 1 || k > d->attachments.size() || d->bHeaderOnly || sFolder.isEmpty())
        return false;
    const QFileInfo folder(sFolder);
    if (!folder.isDir() || !folder.isWritable())
        return false;
    const QDir dir(folder.absoluteFilePath());
    const QString sBase = safeFileName(d->attachments[k - 1].sName, k);
    const qsizetype iDot = sBase.lastIndexOf(u'.');
    const QString sStem = iDot > 0 ? sBase.left(iDot) : sBase;
    const QString sExt = iDot > 0 ? sBase.mid(iDot) : QString();
    for (int n = 1; n <= 9999; ++n) {
        const QString sName = n == 1 ? sBase : QStringLiteral("%1 (%2)%3").arg(sStem).arg(n).arg(sExt);
        const QString sPath = dir.filePath(sName);
        QFile file(sPath);
        // NewOnly creates exclusively (O_EXCL): an existing file or link is never opened, let alone
        // truncated.
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            const QFileInfo existing(sPath);
            if (existing.exists() || existing.isSymLink())
                continue;
            return false;
        }
        const bool bOk = readContent(d->attachments[k - 1].part, [&](const char* p, qsizetype iSize) {
            return file.write(p, iSize) == iSize;
        });
        file.close();
        if (!bOk || file.error() != QFileDevice::NoError) {
            file.remove();
            return false;
        }
        d->sLastSaved = sPath;
        return true;
    }
    return false;
}

QString MailMessage::lastSavedPath() const {
    return d->sLastSaved;
}
