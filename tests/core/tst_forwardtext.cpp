#include "TestSupport.h"

#include "engine/clsMailTransfer.h"
#include "settings/clsSet1.h"

#include <QTest>
#include <stdexcept>

namespace {
const QString sCRLF = QStringLiteral("\r\n");

// n characters that differ from their neighbours, so a misplaced cut shows.
QString text(qsizetype n, const QString& sAlphabet = QStringLiteral("abcdefghijklmnopqrstuvwxyz")) {
    QString s;
    for (qsizetype i = 0; i < n; ++i)
        s += sAlphabet[i % sAlphabet.size()];
    return s;
}

// Divides with the mark on top and answers the page texts without their marks, checking each mark.
QStringList divide(const QString& sSentence, qint16 iUnit, qint16 iMax = 2000) {
    clsMailTransfer& mt = clsMailTransfer::instance();
    const qint16 p = mt.mailDivideCul(sSentence, iUnit, iMax, 1);
    QStringList sTexts;
    for (qint16 i = 0; i < p; ++i) {
        const QString sMark = mt.addSign(QString(), qint16(i + 1), p, 1);
        const QString sPage = mt.getMailDivide(i);
        if (!sPage.startsWith(sMark))
            return {QStringLiteral("bad mark on page %1: ").arg(i) + sPage};
        sTexts.append(sPage.mid(sMark.size()));
    }
    if (mt.getMailDividePage() != p || !mt.getMailDivide(p).isEmpty())
        return {QStringLiteral("bad page list")};
    return sTexts;
}

QList<qsizetype> lengths(const QStringList& sTexts) {
    QList<qsizetype> n;
    for (const QString& s : sTexts)
        n.append(s.size());
    return n;
}

void setQuotes(qint16 iBlank, const QStringList& sQuotes) {
    clsFIL1& fil1 = clsSet1::instance().FIL1();
    fil1.setValue(8, {iBlank});
    fil1.setValue(6, {int(sQuotes.size())});
    for (int i = 0; i < sQuotes.size(); ++i)
        fil1.setValue(7, {sQuotes[i], i});
}
} // namespace

class tst_ForwardText : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void pageListFailsOutsideTheLatestDivision() {
        clsMailTransfer& mt = clsMailTransfer::instance();
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, mt.getMailDivide(0)); // nothing divided yet
        QCOMPARE(mt.mailDivideCul(text(267), 100, 2000, 1), qint16(3));
        QCOMPARE(mt.mailDivideCul(text(50), 100, 2000, 1), qint16(1));
        QCOMPARE(mt.getMailDivide(0), QStringLiteral("ペリモ 01/01\r\n") + text(50));
        QCOMPARE(mt.getMailDivide(1), QString());
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, mt.getMailDivide(2));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, mt.getMailDivide(-1));
    }

    void pageMarks() {
        const clsMailTransfer& mt = clsMailTransfer::instance();
        QCOMPARE(mt.addSign(QString(), 0, 0, 0).size(), qsizetype(11));
        QCOMPARE(mt.addSign(QStringLiteral("x"), 12, 12, 1), QStringLiteral("ペリモ 12/12\r\nx"));
        QCOMPARE(mt.addSign(QStringLiteral("x"), 2, 5, 0), QStringLiteral("x\r\nペリモ 02/05"));
        QCOMPARE(mt.addSign(QStringLiteral("x"), 7, 123, 1), QStringLiteral("ペリモ 07/123\r\nx"));

        clsMailTransfer::instance().mailDivideCul(text(200), 100, 2000, 0);
        QCOMPARE(mt.getMailDivide(0), text(89) + QStringLiteral("\r\nペリモ 01/02"));
    }

    void division_data() {
        QTest::addColumn<QString>("sSentence");
        QTest::addColumn<int>("iUnit");
        QTest::addColumn<int>("iMax");
        QTest::addColumn<QList<qsizetype>>("expected");
        QTest::newRow("2.25 rounds down, last takes rest")
            << text(200) << 100 << 2000 << QList<qsizetype>{89, 111};
        QTest::newRow("exact 3") << text(267) << 100 << 2000 << QList<qsizetype>{89, 89, 89};
        QTest::newRow("2.5 to 2") << text(25) << 21 << 2000 << QList<qsizetype>{10, 15};
        QTest::newRow("2.6 to 3") << text(26) << 21 << 2000 << QList<qsizetype>{10, 10, 6};
        QTest::newRow("3.5 to 4") << text(35) << 21 << 2000 << QList<qsizetype>{10, 10, 10, 5};
        QTest::newRow("4.5 to 4") << text(45) << 21 << 2000 << QList<qsizetype>{10, 10, 10, 15};
        QTest::newRow("CR and LF count one each")
            << QString(text(8) + sCRLF + text(10)) << 21 << 2000 << QList<qsizetype>{10, 10};
        QTest::newRow("count stops at max, one page") << text(3000) << 2011 << 2000 << QList<qsizetype>{3000};
        QTest::newRow("count stops at max, last page beyond it")
            << text(3000) << 1011 << 2000 << QList<qsizetype>{1000, 2000};
        QTest::newRow("Japanese") << text(200, QStringLiteral("日本語のメール本文")) << 100 << 2000
                                  << QList<qsizetype>{89, 111};
        // 150 emoji are 300 UTF-16 units: still 150 characters, so 2 pages of 89 + 61 emoji.
        QTest::newRow("surrogate pairs")
            << text(300, QStringLiteral("😀🎉")) << 100 << 2000 << QList<qsizetype>{178, 122};
        QTest::newRow("pair on a cut") << QString(QStringLiteral("a😀") + text(8)) << 12 << 2000
                                       << QList<qsizetype>{1, 2, 1, 1, 1, 1, 1, 1, 1, 1};
        QTest::newRow("empty text") << QString() << 100 << 2000 << QList<qsizetype>{0};
        // Page sizes without room beside the mark: the text goes whole.
        for (int iUnit : {11, 0, -3})
            QTest::addRow("unit %d", iUnit) << text(4) << iUnit << 2000 << QList<qsizetype>{4};
        QTest::newRow("empty text, tiny unit") << QString() << 3 << 2000 << QList<qsizetype>{0};
        QTest::newRow("no max") << text(4) << 3 << 0 << QList<qsizetype>{4};
    }

    void division() {
        QFETCH(QString, sSentence);
        QFETCH(int, iUnit);
        QFETCH(int, iMax);
        QFETCH(QList<qsizetype>, expected);
        const QStringList sTexts = divide(sSentence, qint16(iUnit), qint16(iMax));
        QCOMPARE(lengths(sTexts), expected);
        QCOMPARE(sTexts.join(QString()), sSentence);
        for (const QString& s : sTexts)
            QVERIFY(s.isEmpty() || !s.front().isLowSurrogate());
    }

    void manyPagesGetThreeDigitMarks() {
        const QString sSentence = text(2000);
        const QStringList sTexts = divide(sSentence, 12); // every page checked for its mark
        QCOMPARE(sTexts.size(), qsizetype(2000));
        QCOMPARE(sTexts.join(QString()), sSentence);
        const clsMailTransfer& mt = clsMailTransfer::instance();
        QCOMPARE(mt.getMailDivide(0), QStringLiteral("ペリモ 01/2000\r\na"));
        QCOMPARE(mt.getMailDivide(99), QStringLiteral("ペリモ 100/2000\r\n") + sSentence[99]);
    }

    void deleteQuotation_data() {
        QTest::addColumn<QString>("sBody");
        QTest::addColumn<QStringList>("sQuotes");
        QTest::addColumn<int>("iBlank");
        QTest::addColumn<QString>("expected");
        const QStringList gt{QStringLiteral(">")};
        QTest::newRow("three lines") << "> q\r\n\r\nplain\r\n" << gt << 1 << "plain\r\n";
        QTest::newRow("blank kept when off") << "> q\r\n\r\nplain" << gt << 0 << "\r\nplain";
        QTest::newRow("blanks are not empty") << "a\r\n \r\nb" << QStringList() << 1 << "a\r\n \r\nb";
        QTest::newRow("last quoted, no end") << "keep\r\n>last" << gt << 0 << "keep\r\n";
        QTest::newRow("last kept, no end") << ">q\r\nlast" << gt << 0 << "last";
        QTest::newRow("CR only") << ">a\rb\r\r>c" << gt << 1 << "b\r";
        QTest::newRow("LF only") << "a\n>b\n\nc\n" << gt << 1 << "a\nc\n";
        // An LF ends a line only when no CR follows anywhere after it.
        QTest::newRow("LF before a later CR") << "a\n>b\r\n>c\n" << gt << 0 << "a\n>b\r\n";
        QTest::newRow("half-width mark") << "＞全角\r\n>半角\r\n" << gt << 0 << "＞全角\r\n";
        QTest::newRow("full-width mark") << "＞全角\r\n>半角\r\n"
                                         << QStringList{QStringLiteral("＞")} << 0 << ">半角\r\n";
        QTest::newRow("case-sensitive, several marks")
            << "Re: x\r\n| y\r\nre: z\r\n"
            << QStringList{QStringLiteral("|"), QStringLiteral("Re:")} << 0 << "re: z\r\n";
        QTest::newRow("all dropped") << ">a\r\n\r\n" << gt << 1 << "";
    }

    void deleteQuotation() {
        QFETCH(QString, sBody);
        QFETCH(QStringList, sQuotes);
        QFETCH(int, iBlank);
        QFETCH(QString, expected);
        setQuotes(qint16(iBlank), sQuotes);
        clsMailTransfer& mt = clsMailTransfer::instance();
        mt.setBodyForTest(3, sBody);
        QVERIFY(mt.DeleteQuotation(3));
        QCOMPARE(mt.getBody(3), expected);
    }

    void emptyQuoteMarkIsSkipped() {
        clsFIL1& fil1 = clsSet1::instance().FIL1();
        for (int i = 2; i < 5; ++i)
            QCOMPARE(fil1.getValue(7, {i}), QVariant(QString())); // never set by this program
        setQuotes(0, {QStringLiteral("#"), QStringLiteral(">")});
        fil1.setValue(6, {5});
        clsMailTransfer& mt = clsMailTransfer::instance();
        mt.setBodyForTest(3, QStringLiteral("plain\r\n>q\r\n#c\r\nend"));
        QVERIFY(mt.DeleteQuotation(3));
        QCOMPARE(mt.getBody(3), QStringLiteral("plain\r\nend"));
    }

    void errorsLeaveTheBody() {
        clsMailTransfer& mt = clsMailTransfer::instance();
        setQuotes(1, {QStringLiteral(">")});
        QVERIFY(!mt.DeleteQuotation(-1));
        QVERIFY(!mt.DeleteQuotation(clsMailTransfer::iSlots + 1));

        // Entries past the list cannot be read.
        clsSet1::instance().FIL1().setValue(6, {40});
        mt.setBodyForTest(4, QStringLiteral(">q\r\n\r\nplain"));
        QVERIFY(!mt.DeleteQuotation(4));
        QCOMPARE(mt.getBody(4), QStringLiteral(">q\r\n\r\nplain"));
    }
};

QTEST_GUILESS_MAIN(tst_ForwardText)
#include "tst_forwardtext.moc"
