#include "engine/mdlCharset.h"

#include <QList>
#include <QStringDecoder>
#include <algorithm>
#include <optional>

namespace {
enum class Family { Jis, ShiftJis, EucJp, Unlabelled, Other };

struct Decoded {
    QString sText;
    bool bClean = true;
};

// Lower case, without quotes, blanks or an RFC 2231 language suffix ("iso-2022-jp*ja").
QByteArray normalisedLabel(const QByteArray& sCharset) {
    QByteArray s = sCharset.trimmed();
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        s = s.mid(1, s.size() - 2).trimmed();
    const qsizetype iStar = s.indexOf('*');
    if (iStar >= 0)
        s.truncate(iStar);
    return s.toLower();
}

Family familyOf(const QByteArray& sLabel) {
    static const QList<QByteArray> jis = {
        "iso-2022-jp",  "csiso2022jp",   "iso-2022-jp-1",  "iso-2022-jp-2",
        "csiso2022jp2", "iso-2022-jp-3", "iso-2022-jp-ms", "iso-2022-jp-2004",
        "iso2022jp",    "jis",           "x-iso-2022-jp"};
    static const QList<QByteArray> sjis = {"shift_jis",     "shift-jis",   "sjis",           "x-sjis",
                                           "ms_kanji",      "csshiftjis",  "windows-31j",    "cswindows31j",
                                           "cp932",         "ms932",       "x-ms-cp932",     "shift_jis-2004",
                                           "x-sjis-docomo", "x-sjis-kddi", "x-sjis-softbank"};
    static const QList<QByteArray> euc = {
        "euc-jp",   "x-euc-jp",  "eucjp",   "x-eucjp",     "cseucpkdfmtjapanese",
        "eucjp-ms", "euc-jp-ms", "cp51932", "euc-jis-2004"};
    static const QList<QByteArray> none = {"",          "us-ascii", "ascii",   "unknown-8bit",
                                           "x-unknown", "unknown",  "default", "x-user-defined",
                                           "8bit",      "7bit"};
    if (jis.contains(sLabel))
        return Family::Jis;
    if (sjis.contains(sLabel))
        return Family::ShiftJis;
    if (euc.contains(sLabel))
        return Family::EucJp;
    if (none.contains(sLabel))
        return Family::Unlabelled;
    return Family::Other;
}

Decoded decodeWith(QStringDecoder& decoder, const QByteArray& bytes) {
    Decoded out;
    out.sText = decoder.decode(bytes);
    out.bClean = !decoder.hasError();
    // ICU reports a character cut off at the end as an error but leaves no mark for it.
    if (!out.bClean && !out.sText.contains(QChar::ReplacementCharacter))
        out.sText += QChar::ReplacementCharacter;
    return out;
}

Decoded decodeWith(const char* sName, const QByteArray& bytes) {
    QStringDecoder decoder(sName, QStringConverter::Flag::Stateless);
    return decodeWith(decoder, bytes);
}

// Collects bytes for one ICU decoder at a time: CP932 for ASCII, JIS X 0201 and JIS X 0208 (as Shift_JIS),
// EUC-JP for the JIS X 0212 characters that CP932 cannot hold.
class JapaneseSink {
public:
    void ascii(uchar c) { put(false, c); }
    void kana(uchar c) { put(false, c); } // half-width katakana, 0xA1 to 0xDF as in Shift_JIS
    // One JIS X 0208 character (row and cell bytes 0x21 to 0x7E) as its Shift_JIS pair. Rows 13 and 89 to 92
    // land on CP932's NEC and NEC-selected IBM extensions.
    void jis0208(uchar j1, uchar j2) {
        const uchar s1 = static_cast<uchar>(((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0));
        const uchar s2 = static_cast<uchar>((j1 & 1) ? j2 + (j2 >= 0x60 ? 0x20 : 0x1F) : j2 + 0x7E);
        put(false, s1);
        put(false, s2);
    }
    void jis0212(uchar j1, uchar j2) {
        put(true, 0x8F);
        put(true, j1 | 0x80);
        put(true, j2 | 0x80);
    }
    void bad() {
        flush();
        out.sText += QChar::ReplacementCharacter;
        out.bClean = false;
    }
    void taint() { out.bClean = false; }
    Decoded finish() {
        flush();
        return out;
    }

private:
    void put(bool bEuc, uchar c) {
        if (bEuc != bPendingEuc)
            flush();
        bPendingEuc = bEuc;
        pending.append(static_cast<char>(c));
    }
    void flush() {
        if (pending.isEmpty())
            return;
        const Decoded part = decodeWith(bPendingEuc ? "EUC-JP" : "CP932", pending);
        out.sText += part.sText;
        out.bClean = out.bClean && part.bClean;
        pending.clear();
    }

    Decoded out;
    QByteArray pending;
    bool bPendingEuc = false;
};

bool inRange(int c, int lo, int hi) {
    return c >= lo && c <= hi;
}

Decoded decodeJis(const QByteArray& bytes) {
    enum class Mode { Ascii, Kana, Jis0208, Jis0212 };
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    const qsizetype n = bytes.size();
    auto at = [&](qsizetype k) { return k < n ? int(p[k]) : -1; };
    JapaneseSink sink;
    Mode mode = Mode::Ascii;
    Mode beforeShiftOut = Mode::Ascii;
    qsizetype i = 0;
    while (i < n) {
        const uchar c = p[i];
        if (c == 0x1B) {
            const int a = at(i + 1), b = at(i + 2), e = at(i + 3);
            std::optional<Mode> next;
            int iLength = 3;
            bool bOtherSet = false;
            if (a == '(' && (b == 'B' || b == 'J'))
                next = Mode::Ascii; // JIS X 0201 Roman is read as ASCII, as Windows does
            else if (a == '(' && b == 'I')
                next = Mode::Kana;
            else if (a == '$' && (b == '@' || b == 'B'))
                next = Mode::Jis0208;
            else if (a == '$' && b == '(') {
                iLength = 4;
                if (e == '@' || e == 'B' || e == 'O' || e == 'Q')
                    next = Mode::Jis0208; // JIS X 0213 plane 1 shares JIS X 0208's layout
                else if (e == 'D')
                    next = Mode::Jis0212;
                else
                    bOtherSet = e == 'C';
            } else if (a == '&' && b == '@')
                next = mode; // JIS X 0208-1990 announcer, followed by ESC $ B
            else if ((a == '$' && (b == 'A' || b == ')')) || a == '.' || a == 'N')
                bOtherSet = true;
            if (next) {
                mode = *next;
                i += iLength;
                continue;
            }
            // Sets beyond Japanese (ISO-2022-JP-2 carries Chinese, Korean, Latin) are ICU's business.
            if (bOtherSet)
                return decodeWith("ISO-2022-JP-2", bytes);
            sink.bad();
            if (a < 0 || b < 0 || (a == '$' && b == '(' && e < 0))
                break; // a sequence cut off at the end
            ++i;
            continue;
        }
        if (c == 0x0E) { // SO: half-width katakana until SI
            if (mode != Mode::Kana)
                beforeShiftOut = mode;
            mode = Mode::Kana;
            ++i;
            continue;
        }
        if (c == 0x0F) {
            if (mode == Mode::Kana)
                mode = beforeShiftOut == Mode::Kana ? Mode::Ascii : beforeShiftOut;
            ++i;
            continue;
        }
        if (c >= 0x80) {
            // No 8-bit byte belongs here; broken mailers mean half-width katakana by A1 to DF.
            if (inRange(c, 0xA1, 0xDF)) {
                sink.kana(c);
                sink.taint();
            } else {
                sink.bad();
            }
            ++i;
            continue;
        }
        if (mode == Mode::Ascii || c < 0x21 || c == 0x7F) {
            sink.ascii(c); // controls and blanks pass in every mode
            ++i;
        } else if (mode == Mode::Kana) {
            if (c <= 0x5F)
                sink.kana(static_cast<uchar>(c + 0x80));
            else
                sink.bad();
            ++i;
        } else if (inRange(at(i + 1), 0x21, 0x7E)) {
            if (mode == Mode::Jis0208)
                sink.jis0208(c, p[i + 1]);
            else
                sink.jis0212(c, p[i + 1]);
            i += 2;
        } else {
            sink.bad();
            ++i;
        }
    }
    return sink.finish();
}

Decoded decodeEucJp(const QByteArray& bytes) {
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    const qsizetype n = bytes.size();
    auto at = [&](qsizetype k) { return k < n ? int(p[k]) : -1; };
    JapaneseSink sink;
    qsizetype i = 0;
    while (i < n) {
        const uchar c = p[i];
        if (c < 0x80) {
            sink.ascii(c);
            ++i;
        } else if (c == 0x8E && inRange(at(i + 1), 0xA1, 0xDF)) {
            sink.kana(p[i + 1]);
            i += 2;
        } else if (c == 0x8F && inRange(at(i + 1), 0xA1, 0xFE) && inRange(at(i + 2), 0xA1, 0xFE)) {
            sink.jis0212(p[i + 1] & 0x7F, p[i + 2] & 0x7F);
            i += 3;
        } else if (inRange(c, 0xA1, 0xFE) && inRange(at(i + 1), 0xA1, 0xFE)) {
            sink.jis0208(c & 0x7F, p[i + 1] & 0x7F);
            i += 2;
        } else {
            sink.bad();
            ++i;
        }
    }
    return sink.finish();
}

// CP932 reads almost any run of 8-bit bytes without error, so its reading needs a second look: EUC-JP kana
// come out as half-width katakana only, and Latin-1 letters as user-defined (private use) characters.
bool onlyHalfWidthKana(const QString& s) {
    bool bAny = false;
    for (QChar ch : s) {
        if (ch.unicode() < 0x80)
            continue;
        if (!inRange(ch.unicode(), 0xFF61, 0xFF9F))
            return false;
        bAny = true;
    }
    return bAny;
}

bool plausibleCp932(const QString& s) {
    bool bPrivate = false;
    bool bJapanese = false;
    for (QChar ch : s) {
        const int u = ch.unicode();
        bPrivate = bPrivate || inRange(u, 0xE000, 0xF8FF);
        bJapanese = bJapanese || inRange(u, 0x3040, 0x30FF) || inRange(u, 0x4E00, 0x9FFF);
    }
    return !bPrivate || bJapanese;
}

// A reading that decodes without a fault, if the bytes allow one.
std::optional<QString> cleanGuess(const QByteArray& bytes) {
    const bool bEscape = hasIso2022JpEscape(bytes);
    const bool bAscii = isAscii(bytes);
    if (bAscii && !bEscape)
        return QString::fromLatin1(bytes);
    // Seven-bit text with JIS escapes is ISO-2022-JP even when damaged (a sequence cut off at the end).
    if (bEscape) {
        const Decoded jis = decodeJis(bytes);
        if (jis.bClean || bAscii)
            return jis.sText;
    }
    const Decoded utf8 = decodeWith("UTF-8", bytes);
    if (utf8.bClean)
        return utf8.sText;
    const Decoded euc = decodeEucJp(bytes);
    const Decoded sjis = decodeWith("CP932", bytes);
    if (euc.bClean && (!sjis.bClean || onlyHalfWidthKana(sjis.sText)))
        return euc.sText;
    if (sjis.bClean && plausibleCp932(sjis.sText))
        return sjis.sText;
    if (euc.bClean)
        return euc.sText;
    return std::nullopt;
}

int japaneseCount(const QString& s) {
    return static_cast<int>(std::count_if(s.begin(), s.end(), [](QChar ch) {
        return inRange(ch.unicode(), 0x3040, 0x30FF) || inRange(ch.unicode(), 0x4E00, 0x9FFF);
    }));
}

// A guess strong enough to overrule a declared charset: UTF-8, JIS escapes, or a Japanese reading with some
// kana or kanji in it (a single stray byte read as one kanji is no proof).
std::optional<QString> convincingGuess(const QByteArray& bytes) {
    std::optional<QString> s = cleanGuess(bytes);
    if (s && (hasIso2022JpEscape(bytes) || decodeWith("UTF-8", bytes).bClean || japaneseCount(*s) >= 2))
        return s;
    return std::nullopt;
}

QString guess(const QByteArray& bytes) {
    if (std::optional<QString> s = cleanGuess(bytes))
        return *s;
    if (hasIso2022JpEscape(bytes))
        return decodeJis(bytes).sText;
    return QString::fromLatin1(bytes);
}
} // namespace

bool isAscii(const QByteArray& bytes) {
    for (char c : bytes)
        if (static_cast<uchar>(c) >= 0x80)
            return false;
    return true;
}

bool hasIso2022JpEscape(const QByteArray& bytes) {
    qsizetype i = bytes.indexOf('\x1b');
    while (i >= 0 && i + 2 < bytes.size()) {
        const char a = bytes[i + 1], b = bytes[i + 2];
        if (a == '$' && (b == 'B' || b == '@'))
            return true;
        if (a == '$' && b == '(' && i + 3 < bytes.size() && QByteArrayView("@BDOQ").contains(bytes[i + 3]))
            return true;
        if (a == '(' && (b == 'I' || b == 'J'))
            return true;
        i = bytes.indexOf('\x1b', i + 1);
    }
    return false;
}

bool isJapaneseCharset(const QByteArray& sCharset) {
    const Family family = familyOf(normalisedLabel(sCharset));
    return family == Family::Jis || family == Family::ShiftJis || family == Family::EucJp;
}

bool isVagueCharset(const QByteArray& sCharset) {
    return familyOf(normalisedLabel(sCharset)) == Family::Unlabelled;
}

QString decodeCharset(const QByteArray& bytes, const QByteArray& sCharset) {
    if (bytes.isEmpty())
        return {};
    const QByteArray sLabel = normalisedLabel(sCharset);
    Decoded labelled;
    switch (familyOf(sLabel)) {
    case Family::Unlabelled:
        return guess(bytes);
    case Family::Jis:
        labelled = decodeJis(bytes);
        break;
    case Family::ShiftJis:
        labelled = decodeWith("CP932", bytes);
        break;
    case Family::EucJp:
        labelled = decodeEucJp(bytes);
        break;
    case Family::Other: {
        QStringDecoder decoder(sLabel.constData(), QStringConverter::Flag::Stateless);
        if (!decoder.isValid())
            return guess(bytes);
        labelled = decodeWith(decoder, bytes);
        break;
    }
    }
    // Seven-bit bytes cannot prove a seven-bit label wrong.
    if (labelled.bClean || (familyOf(sLabel) == Family::Jis && isAscii(bytes)))
        return labelled.sText;
    // Faults under the declared charset mean the label is wrong more often than the bytes are broken; a
    // convincing reading without faults wins, else the declared one stands with its replacement characters.
    if (std::optional<QString> s = convincingGuess(bytes))
        return *s;
    return labelled.sText;
}

QString toCrLf(const QString& sText) {
    QString out;
    out.reserve(sText.size() + sText.size() / 16);
    const qsizetype n = sText.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = sText[i];
        if (c == u'\r') {
            out += u"\r\n";
            if (i + 1 < n && sText[i + 1] == u'\n')
                ++i;
        } else if (c == u'\n') {
            out += u"\r\n";
        } else {
            out += c;
        }
    }
    return out;
}
