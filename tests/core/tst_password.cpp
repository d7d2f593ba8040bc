#include "TestSupport.h"
#include "settings/mdlPassWord.h"

#include <QSet>
#include <QTest>
#include <algorithm>

namespace {
// Checks the encoded layout against the value and answers k (0 when the layout is wrong).
int checkLayout(const QString& sEncoded, const QString& sValue) {
    static const QString sAlphabet =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ123456789");
    const qsizetype L = sValue.size();
    const int k = sEncoded.back().unicode() - u'0';
    if (k < 1 || k > 9 || sEncoded.size() != k + L + 3 * L * (L + 1) / 2)
        return 0;
    QString sFillers = sEncoded.left(k - 1);
    for (qsizetype j = 1, p = k; j <= L; p += 3 * j + 1, ++j) {
        if (sEncoded.at(p - 1) != sValue.at(L - j))
            return 0;
        sFillers += sEncoded.mid(p, 3 * j);
    }
    for (QChar c : sFillers)
        if (!sAlphabet.contains(c))
            return 0;
    return k;
}
} // namespace

class tst_password : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void roundTrip_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("empty") << QString();
        QTest::newRow("one char") << QStringLiteral("x"); // k - 1 fillers, x, 3 fillers, k
        QTest::newRow("user id") << QStringLiteral("taro.yamada@example.jp");
        QTest::newRow("ends in digits") << QStringLiteral("secret2024");
        QTest::newRow("blanks and signs") << QStringLiteral(" p@ss w0rd!\t");
        QTest::newRow("145 chars") << QString(145, u'Q');
    }

    void roundTrip() {
        QFETCH(QString, value);
        const QString sFirst = encodePassWord(value);
        QCOMPARE(decodePassWord(sFirst), value);
        if (value.isEmpty()) {
            QCOMPARE(sFirst, QString());
            return;
        }
        QVERIFY(checkLayout(sFirst, value) != 0);
        // Random k and fillers: storing the same password twice does not give the same text.
        const QString sSecond = encodePassWord(value);
        QVERIFY(sSecond != sFirst);
        QCOMPARE(decodePassWord(sSecond), value);
    }

    void everyKDecodes() {
        QSet<int> seen;
        for (int i = 0; i < 300; ++i) {
            const QString sEncoded = encodePassWord(QStringLiteral("pw9"));
            const int k = checkLayout(sEncoded, QStringLiteral("pw9"));
            QVERIFY2(k != 0, qPrintable(sEncoded));
            QCOMPARE(decodePassWord(sEncoded), QStringLiteral("pw9"));
            seen.insert(k);
        }
        QCOMPARE(seen.size(), 9);
    }

    void positionLimit() {
        // 146 characters still encode, but the step after the final digit would pass 32767.
        const QString sValue(146, u'z');
        const QString sEncoded = encodePassWord(sValue);
        QVERIFY(checkLayout(sEncoded, sValue) != 0);
        QCOMPARE(decodePassWord(sEncoded), sEncoded);

        const QString sLongPlain = QString(40000, u'a') + u'1';
        QCOMPARE(decodePassWord(sLongPlain), sLongPlain);
        const QString sHuge(10923, u'h');
        QCOMPARE(encodePassWord(sHuge), sHuge);
    }

    void doubleByteTextUnchanged() {
        for (const QString& s :
             {QStringLiteral("山田太郎"), QStringLiteral("yamadaたろう"), QStringLiteral("パス1")}) {
            QCOMPARE(encodePassWord(s), s);
            QCOMPARE(decodePassWord(s), s);
        }
    }

    // Texts that were never encoded, several of them too short for their trailing k.
    void plainTextDecoding_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("only k") << QStringLiteral("5") << QString();
        QTest::newRow("only 9") << QStringLiteral("9") << QString();
        QTest::newRow("k beyond end") << QStringLiteral("a9") << QString();
        QTest::newRow("k on the digit") << QStringLiteral("ab3") << QString();
        QTest::newRow("three letters and 1") << QStringLiteral("abc1") << QString();
        QTest::newRow("walk stops early") << QStringLiteral("abcdefg1") << QStringLiteral("a");
        QTest::newRow("digit 0") << QStringLiteral("abc0") << QStringLiteral("abc0");
        QTest::newRow("no digit") << QStringLiteral("abc") << QStringLiteral("abc");
        QTest::newRow("empty") << QString() << QString();
    }

    void plainTextDecoding() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(decodePassWord(text), expected);
    }

    void randomHelpers() {
        QCOMPARE(getRandomChar(0), u'a');
        QCOMPARE(getRandomChar(27), u'A');
        QCOMPARE(getRandomChar(61), u'9');
        QCOMPARE(getRandomChar(70), u'9');
        QCOMPARE(getRandomNumber(0), qint16(1));
        QSet<qint16> seen;
        for (int i = 0; i < 2000; ++i)
            seen.insert(getRandomNumber(61));
        QCOMPARE(seen.size(), 61);
        QCOMPARE(*std::min_element(seen.begin(), seen.end()), qint16(1));
        QCOMPARE(*std::max_element(seen.begin(), seen.end()), qint16(61));
    }
};

QTEST_GUILESS_MAIN(tst_password)
#include "tst_password.moc"
