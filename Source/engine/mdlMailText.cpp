#include "engine/mdlMailText.h"

#include "engine/mdlCharset.h"
#include "engine/mdlMailContent.h"

#include <QHash>
#include <QList>
#include <QStringDecoder>
#include <QStringList>
#include <algorithm>
#include <mutex>

namespace mdlMailText {

using mdlMailContent::base64Tail;
using mdlMailContent::contentBytes;
using mdlMailContent::GPtr;
using mdlMailContent::GString8;

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

QByteArray unfolded(const char* sRaw) {
    if (!sRaw)
        return {};
    GString8 s(g_mime_utils_header_unfold(sRaw));
    return QByteArray(s.get());
}

// ---- encoded words -------------------------------------------------------------------------------------

namespace {

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
} // namespace

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

QString partText(GMimePart* part) {
    const char* sCharset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
    return decodeCharset(contentBytes(part), sCharset ? QByteArray(sCharset) : QByteArray());
}

// ---- HTML ----------------------------------------------------------------------------------------------

namespace {

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
} // namespace

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

namespace {

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
} // namespace

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
} // namespace mdlMailText
