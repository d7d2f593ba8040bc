#include "settings/TextIniFormat.h"

#include <QIODevice>
#include <QStringList>
#include <algorithm>

namespace {
const QString sGeneral = QStringLiteral("General");

int hexValue(char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

bool isHexDigit(char32_t c) {
    return c < 128 && hexValue(char(c)) >= 0;
}

// Section and key names: "%XX" and "%UXXXX" codes, and "\" for the "/" inside a key.
QString unescapedKey(QByteArrayView raw) {
    QString out;
    QByteArray bytes;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const bool bLong = i + 1 < raw.size() && raw[i + 1] == 'U';
        const qsizetype iFrom = i + (bLong ? 2 : 1);
        const qsizetype iDigits = bLong ? 4 : 2;
        char16_t code = 0;
        bool bCode = raw[i] == '%' && iFrom + iDigits <= raw.size();
        for (qsizetype k = 0; bCode && k < iDigits; ++k) {
            const int v = hexValue(raw[iFrom + k]);
            bCode = v >= 0;
            code = char16_t(code * 16 + v);
        }
        if (!bCode) {
            bytes += raw[i] == '\\' ? '/' : raw[i];
            continue;
        }
        out += QString::fromUtf8(bytes) + QChar(code);
        bytes.clear();
        i = iFrom + iDigits - 1;
    }
    return out + QString::fromUtf8(bytes);
}

QByteArray escapedKey(const QString& sKey) {
    QByteArray out;
    for (const QChar qc : sKey) {
        const char16_t c = qc.unicode();
        if (c == u'/')
            out += '\\';
        else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                 c == u'_' || c == u'-' || c == u'.')
            out += char(c);
        else if (c <= 0xff)
            out += '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        else
            out += "%U" + QByteArray::number(c, 16).toUpper().rightJustified(4, '0');
    }
    return out;
}

// A value as text: quotes taken away, escapes undone, unquoted blanks at both ends dropped. Commas stay
// commas: a value is never a list.
QString unescapedValue(QByteArrayView raw) {
    static const char named[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                    {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                    {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    QString out;
    QByteArray bytes;  // literal UTF-8 not yet decoded
    QByteArray blanks; // unquoted blanks that count only when something follows
    bool bQuoted = false;
    bool bStarted = false;
    auto take = [&](auto&& append) {
        if (bStarted)
            bytes += blanks;
        blanks.clear();
        bStarted = true;
        append();
    };
    auto flush = [&] {
        out += QString::fromUtf8(bytes);
        bytes.clear();
    };
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char ch = raw[i];
        if (ch == '"') {
            take([] {});
            bQuoted = !bQuoted;
        } else if (!bQuoted && (ch == ' ' || ch == '\t')) {
            blanks += ch;
        } else if (ch != '\\') {
            take([&] { bytes += ch; });
        } else if (i + 1 < raw.size()) {
            const char code = raw[++i];
            if (code == '\n' || code == '\r') {
                // A line continued: the break and its other half, if any, are dropped.
                if (i + 1 < raw.size() && (raw[i + 1] == '\n' || raw[i + 1] == '\r') && raw[i + 1] != code)
                    ++i;
                continue;
            }
            char16_t value = 0;
            bool bValue = false;
            for (const auto& escape : named) {
                if (code == escape[0]) {
                    value = char16_t(escape[1]);
                    bValue = true;
                }
            }
            if (code == 'x' || (code >= '0' && code <= '7')) {
                const int iBase = code == 'x' ? 16 : 8;
                value = code == 'x' ? 0 : char16_t(code - '0');
                bValue = code != 'x';
                // Long codes wrap around in 16 bits, as in Qt.
                while (i + 1 < raw.size() && hexValue(raw[i + 1]) >= 0 && hexValue(raw[i + 1]) < iBase) {
                    value = char16_t(value * iBase + hexValue(raw[++i]));
                    bValue = true;
                }
            }
            if (bValue) {
                take([&] {
                    flush();
                    out += QChar(value);
                });
            }
        }
    }
    flush();
    return out;
}

QByteArray escapedValue(const QString& sValue) {
    QString s = sValue;
    // Qt's marks for values that are not plain text; a text that begins like one is told apart.
    if (s.contains(QChar(0)))
        s = QStringLiteral("@String(") + s + u')';
    else if (s.startsWith(u'@'))
        s.prepend(u'@');
    QByteArray out;
    bool bQuotes = false;
    bool bEscapeHexDigit = false;
    auto code = [&](char32_t c) {
        out += "\\x" + QByteArray::number(uint(c), 16);
        bEscapeHexDigit = true;
    };
    for (qsizetype i = 0; i < s.size(); ++i) {
        char32_t c = s[i].unicode();
        const bool bPair = QChar::isHighSurrogate(c) && i + 1 < s.size() && s[i + 1].isLowSurrogate();
        if (bPair) {
            c = QChar::surrogateToUcs4(s[i], s[i + 1]);
            ++i;
        }
        bQuotes = bQuotes || c == u';' || c == u',' || c == u'=';
        if (bEscapeHexDigit && isHexDigit(c)) {
            code(c);
            continue;
        }
        bEscapeHexDigit = false;
        switch (c) {
        case 0:
            out += "\\0";
            bEscapeHexDigit = true;
            break;
        case '\a':
            out += "\\a";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\v':
            out += "\\v";
            break;
        case '"':
        case '\\':
            out += '\\';
            out += char(c);
            break;
        default:
            // A lone surrogate has no UTF-8; its code keeps it.
            if (c <= 0x1f || QChar::isSurrogate(c))
                code(c);
            else
                out += QString::fromUcs4(&c, 1).toUtf8();
        }
    }
    if (bQuotes || out.startsWith(' ') || out.endsWith(' '))
        out = '"' + out + '"';
    return out;
}

// The logical lines of the file: a line ending in an escaping backslash goes on in the next.
QList<QByteArrayView> logicalLines(QByteArrayView data) {
    QList<QByteArrayView> lines;
    qsizetype iStart = 0;
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data[i] == '\\') {
            // The escaped character, or both halves of an escaped line break.
            i += i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n' ? 2 : 1;
            continue;
        }
        if (data[i] == '\n' || data[i] == '\r') {
            lines << data.sliced(iStart, i - iStart);
            iStart = i + 1;
        }
    }
    if (iStart < data.size())
        lines << data.sliced(iStart);
    return lines;
}
} // namespace

bool TextIniFormat::read(QIODevice& device, QSettings::SettingsMap& map) {
    const QByteArray data = device.readAll();
    QString sSection;
    for (QByteArrayView line : logicalLines(data)) {
        line = line.trimmed();
        if (line.isEmpty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            const qsizetype iClose = line.indexOf(']');
            sSection = unescapedKey(line.sliced(1, (iClose < 0 ? line.size() : iClose) - 1).trimmed());
            if (sSection == sGeneral)
                sSection.clear();
            continue;
        }
        const qsizetype iEquals = line.indexOf('=');
        if (iEquals <= 0)
            continue;
        const QString sKey = unescapedKey(line.first(iEquals).trimmed());
        QString sValue = unescapedValue(line.sliced(iEquals + 1));
        if (sValue == u"@Invalid()")
            continue;
        if (sValue.startsWith(u"@@"))
            sValue.remove(0, 1);
        else if (sValue.startsWith(u"@String(") && sValue.endsWith(u')'))
            sValue = sValue.sliced(8).chopped(1);
        map.insert(sSection.isEmpty() ? sKey : sSection + u'/' + sKey, sValue);
    }
    return true;
}

bool TextIniFormat::write(QIODevice& device, const QSettings::SettingsMap& map) {
    QByteArray out;
    QString sSection = QStringLiteral("\n"); // no section is named so
    auto keys = map.keys();
    // Keys outside every section come first, under "General", as Qt writes them.
    std::stable_partition(keys.begin(), keys.end(), [](const QString& s) { return !s.contains(u'/'); });
    for (const QString& sFull : keys) {
        const qsizetype iSlash = sFull.indexOf(u'/');
        const QString sThis = iSlash < 0 ? QString() : sFull.left(iSlash);
        if (sThis != sSection) {
            if (!out.isEmpty())
                out += '\n';
            out += '[' + (sThis.isEmpty() ? sGeneral.toLatin1() : escapedKey(sThis)) + "]\n";
            sSection = sThis;
        }
        out += escapedKey(sFull.mid(iSlash + 1)) + '=' + escapedValue(map.value(sFull).toString()) + '\n';
    }
    return device.write(out) == out.size();
}

QSettings::Format TextIniFormat::format() {
    static const QSettings::Format registered =
        QSettings::registerFormat(QStringLiteral("conf"), &TextIniFormat::read, &TextIniFormat::write);
    return registered;
}
