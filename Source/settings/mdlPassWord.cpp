#include "settings/mdlPassWord.h"

#include <QRandomGenerator>
#include <QStringEncoder>
#include <algorithm>
#include <exception>
#include <limits>

namespace {
const QString sFillers = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ123456789");

constexpr int iMaxPosition = std::numeric_limits<qint16>::max();

QChar fillerChar() {
    return getRandomChar(getRandomNumber(static_cast<qint16>(sFillers.size())));
}
} // namespace

bool isSingleByteText(const QString& sText) {
    if (sText.isEmpty())
        return false;
    try {
        QStringEncoder encoder(QStringEncoder::System);
        const QByteArray bytes = encoder.encode(sText);
        return !encoder.hasError() && bytes.size() == sText.size();
    } catch (const std::exception&) {
        return false;
    }
}

qint16 getRandomNumber(qint16 iCount) {
    if (iCount < 1)
        return 1;
    // 24 random bits give a float in [0, 1) exactly, so the product below never rounds up to iCount + 1 by
    // way of a double that was rounded to 1.0f; the clamp guards the last rounding of the sum.
    const float r = static_cast<float>(QRandomGenerator::global()->generate() >> 8) * (1.0f / 16777216.0f);
    const auto iValue = static_cast<qint16>(static_cast<float>(iCount) * r + 1.0f);
    return iValue > iCount ? iCount : iValue;
}

QChar getRandomChar(qint16 iIndex) {
    const qsizetype iLast = sFillers.size();
    const qsizetype n = iIndex < 1 ? 1 : (iIndex > iLast ? iLast : iIndex);
    return sFillers.at(n - 1);
}

QString encodePassWord(const QString& sValue) {
    if (!isSingleByteText(sValue))
        return sValue;
    // The filler count 3 × j is a 16-bit number; a longer value cannot be encoded.
    if (3 * sValue.size() > iMaxPosition)
        return sValue;
    try {
        const qint16 k = getRandomNumber(9);
        const qsizetype L = sValue.size();
        QString sOut;
        sOut.reserve(k + L + 3 * L * (L + 1) / 2);
        for (int i = 1; i < k; ++i)
            sOut += fillerChar();
        for (qsizetype j = 1; j <= L; ++j) {
            sOut += sValue.at(L - j);
            for (qsizetype m = 0; m < 3 * j; ++m)
                sOut += fillerChar();
        }
        sOut += QChar(u'0' + k);
        return sOut;
    } catch (const std::exception&) {
        return sValue;
    }
}

QString decodePassWord(const QString& sEncoded) {
    if (!isSingleByteText(sEncoded))
        return sEncoded;
    const QChar cLast = sEncoded.back();
    if (cLast < u'1' || cLast > u'9')
        return sEncoded;
    try {
        const qsizetype iLength = sEncoded.size();
        // Positions are 1-based, as in the layout.
        int p = cLast.unicode() - u'0';
        QString sCollected;
        if (p <= iLength)
            sCollected += sEncoded.at(p - 1);
        for (int i = 1;; ++i) {
            const int q = p + 3 * i + 1;
            // Positions are 16-bit: one past 32767 ends decoding even when the text would still go on.
            if (q > iMaxPosition)
                return sEncoded;
            if (q > iLength)
                break;
            sCollected += sEncoded.at(q - 1);
            p = q;
        }
        // The last character collected is the trailing digit k.
        sCollected.chop(1);
        std::reverse(sCollected.begin(), sCollected.end());
        return sCollected;
    } catch (const std::exception&) {
        return sEncoded;
    }
}
