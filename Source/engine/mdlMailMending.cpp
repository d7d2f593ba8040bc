#include "engine/mdlMailMending.h"

#include <QByteArray>
#include <cstring>
#include <gmime/gmime.h>

namespace mdlMailMending {

namespace {
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
} // namespace

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
} // namespace mdlMailMending
