#include "engine/clsMailTransfer.h"

#include "settings/clsSet1.h"

#include <QMetaType>
#include <QStringView>
#include <QVariant>
#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace {
constexpr QChar cCR = u'\r';
constexpr QChar cLF = u'\n';

// Where the character at iPos ends. A character outside the BMP is a surrogate pair in a QString: it
// counts as one and a page never ends between its halves.
qsizetype nextChar(const QString& s, qsizetype iPos) {
    if (s.at(iPos).isHighSurrogate() && iPos + 1 < s.size() && s.at(iPos + 1).isLowSurrogate())
        return iPos + 2;
    return iPos + 1;
}

// The characters of s, counted no further than iLimit.
qint32 countChars(const QString& s, qint32 iLimit) {
    qint32 n = 0;
    for (qsizetype i = 0; i < s.size() && n < iLimit; i = nextChar(s, i))
        ++n;
    return n;
}

// At least two digits, as 01 or 100.
QString pageNumber(qint16 iPage) {
    const QString sDigits = QString::number(std::abs(int(iPage))).rightJustified(2, u'0');
    return iPage < 0 ? u'-' + sDigits : sDigits;
}

// n / b for n >= 0 and b > 0, a half going to the even neighbour.
qint32 roundHalfEven(qint32 n, qint32 b) {
    qint32 q = n / b;
    const qint32 r2 = 2 * (n % b);
    if (r2 > b || (r2 == b && q % 2 != 0))
        ++q;
    return q;
}

// Finds line ends from left to right. The next CR and LF are remembered while they lie ahead, so a long
// body of LF-only lines is not searched to its end once per line.
class LineWalker {
public:
    explicit LineWalker(const QString& sText) : s(sText) {}

    // A line ends at the next CR (with the LF right after it, if any); only when no CR follows does an LF
    // end it; with neither it runs to the end.
    qsizetype lineEnd(qsizetype iPos) {
        const qsizetype iCR = next(iNextCR, cCR, iPos);
        if (iCR >= 0)
            return iCR + 1 < s.size() && s.at(iCR + 1) == cLF ? iCR + 2 : iCR + 1;
        const qsizetype iLF = next(iNextLF, cLF, iPos);
        return iLF >= 0 ? iLF + 1 : s.size();
    }

private:
    qsizetype next(qsizetype& iCached, QChar c, qsizetype iPos) {
        if (iCached != iNone && iCached < iPos)
            iCached = s.indexOf(c, iPos);
        return iCached;
    }

    static constexpr qsizetype iNone = -1;
    const QString& s;
    qsizetype iNextCR = -2; // -2: not searched yet, which any position passes
    qsizetype iNextLF = -2;
};

// The record answers false for an item it cannot give.
bool readInt(const clsFIL1& fil1, qint16 iID, qint32& iValue) {
    const QVariant v = fil1.getValue(iID);
    bool bOk = false;
    iValue = v.typeId() == QMetaType::Bool ? 0 : v.toInt(&bOk);
    return bOk;
}
} // namespace

QString clsMailTransfer::addSign(const QString& sTarget, qint16 iNowPage, qint16 iEndPage,
                                 qint16 iPosition) const {
    const QString sMark = QStringLiteral("ペリモ ") + pageNumber(iNowPage) + u'/' + pageNumber(iEndPage);
    const QString sCRLF = QStringLiteral("\r\n");
    return iPosition == 1 ? sMark + sCRLF + sTarget : sTarget + sCRLF + sMark;
}

qint16 clsMailTransfer::mailDivideCul(const QString& sSentence, qint16 iUnitDivide, qint16 iTransMaxSize,
                                      qint16 iPosition) {
    const QString sEmptyMark = addSign(QString(), 0, 0, 0);
    const qint32 s = countChars(sEmptyMark, qint32(sEmptyMark.size()));
    // The count stops at the largest forward, but the text itself is never cut.
    const qint32 n = countChars(sSentence, std::max<qint32>(iTransMaxSize, 0));

    QStringList sPages;
    qint32 p = 1;
    // A page size that leaves no room beside the mark (a hand-edited one, say) would cut nothing useful:
    // the text goes whole, as one page.
    const qint32 b = qint32(iUnitDivide) - s;
    if (n + s <= iUnitDivide || b < 1) {
        sPages.append(addSign(sSentence, 1, 1, iPosition));
    } else {
        // The text still goes out whole, p never exceeds n (at most 32767), and an empty text still gets
        // its one page.
        p = std::max(roundHalfEven(n, b), 1);
        sPages.reserve(p + 1);
        qsizetype iPos = 0;
        qint32 iCounted = 0;
        for (qint32 i = 0; i < p; ++i) {
            const qsizetype iStart = iPos;
            if (i < p - 1) {
                for (qint32 k = 0; k < b && iCounted < n; ++k, ++iCounted)
                    iPos = nextChar(sSentence, iPos);
            } else {
                iPos = sSentence.size(); // the last page also takes what lies beyond the counted part
            }
            sPages.append(addSign(sSentence.mid(iStart, iPos - iStart), qint16(i + 1), qint16(p), iPosition));
        }
    }
    sPages.append(QString());

    sDividePages = std::move(sPages);
    iDividePageCount = qint16(p);
    return iDividePageCount;
}

QString clsMailTransfer::getMailDivide(qint16 iIndex) const {
    if (iIndex < 0 || iIndex >= sDividePages.size())
        throw std::out_of_range("page out of range");
    return sDividePages.at(iIndex);
}

bool clsMailTransfer::DeleteQuotation(qint32 lIndex) {
    try {
        const clsFIL1& fil1 = clsSet1::instance().FIL1();
        qint32 iBlankDelete = 0;
        qint32 iQuoteCount = 0;
        if (!readInt(fil1, 8, iBlankDelete) || !readInt(fil1, 6, iQuoteCount))
            return false;
        QStringList sQuotes;
        for (qint32 i = 0; i < iQuoteCount; ++i) {
            const QVariant vQuote = fil1.getValue(7, {i});
            if (vQuote.typeId() != QMetaType::QString)
                return false;
            // An empty mark would match every line and leave nothing to forward.
            if (!vQuote.toString().isEmpty())
                sQuotes.append(vQuote.toString());
        }

        Slot& slot = slotAt(lIndex);
        const QString& sBody = slot.sBody;
        QString sKept;
        sKept.reserve(sBody.size());
        LineWalker walker(sBody);
        for (qsizetype iPos = 0; iPos < sBody.size();) {
            const qsizetype iEnd = walker.lineEnd(iPos);
            const QStringView line = QStringView(sBody).mid(iPos, iEnd - iPos);
            const bool bBlank = line.front() == cCR || line.front() == cLF;
            const bool bQuoted = std::any_of(sQuotes.cbegin(), sQuotes.cend(), [&](const QString& sQuote) {
                return line.startsWith(sQuote, Qt::CaseSensitive);
            });
            if (!(bQuoted || (iBlankDelete == 1 && bBlank)))
                sKept += line;
            iPos = iEnd;
        }
        slot.sBody = sKept;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
