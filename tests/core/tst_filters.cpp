#include "TestSupport.h"

#include "settings/SettingsStore.h"
#include "settings/clsSet1.h"

#include <QTest>

namespace {
const QString sApp = QStringLiteral("Q-Post");

using TestSupport::stored;

template <typename Record> QList<int> items(const Record& rec, const QList<qint16>& iIDs) {
    QList<int> iValues;
    for (qint16 id : iIDs)
        iValues.append(rec.getValue(id).toInt());
    return iValues;
}

template <typename Record> void fillList(Record& rec, const QStringList& sEntries) {
    rec.setValue(1, {0});
    rec.setValue(2, {int(sEntries.size())});
    for (int i = 0; i < sEntries.size(); ++i)
        rec.setValue(3, {sEntries[i], i});
}
} // namespace

class tst_Filters : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        TestSupport::clearStore();
        clsSet1::instance().setDefault(0);
        QVERIFY(clsSet1::instance().loadRegistory(0, sApp));
    }

    void freshStoreReadsLoadDefaultsNotResetValues() {
        clsSet1& set = clsSet1::instance();
        QCOMPARE(items(set.FIL1(), {1, 2, 3, 4, 5, 6, 8}), QList<int>({1, 1, 1, 250, 1, 1, 0}));
        QCOMPARE(set.FIL1().getValue(7, {0}), QVariant(QString()));
        QCOMPARE(items(set.FIL2(), {1, 2, 3, 4}), QList<int>({1, 1, 1, 1}));
        QCOMPARE(items(set.FIL3(), {1, 2}), QList<int>({1, 0}));
        QCOMPARE(items(set.FIL4(), {1, 2}), QList<int>({1, 0}));

        // Reset gives 0 quote characters in use but keeps the characters themselves.
        set.FIL1().setValue(7, {">", 0});
        set.FIL1().setDefault();
        QCOMPARE(set.FIL1().getValue(6), QVariant(0));
        QCOMPARE(set.FIL1().getValue(7, {0}), QVariant(QStringLiteral(">")));
    }

    void roundTripsThroughTheStore() {
        clsFIL1 fil1;
        for (qint16 id : {1, 2, 3, 5, 6, 8})
            QVERIFY(fil1.setValue(id, {id == 6 ? 2 : 0}));
        QVERIFY(fil1.setValue(4, {"120"}) && fil1.setValue(7, {"|", 29}) && fil1.setValue(7, {"#", 30}));
        QVERIFY(fil1.saveRegistory(sApp));
        QCOMPARE(stored("FIL1", "Val7_29"), QStringLiteral("|"));
        QCOMPARE(stored("FIL1", "Val7_30"), QStringLiteral("<missing>"));
        clsFIL1 fil1Back;
        QVERIFY(fil1Back.loadRegistory(sApp));
        QCOMPARE(items(fil1Back, {1, 2, 3, 4, 5, 6, 8}), QList<int>({0, 0, 0, 120, 0, 2, 0}));
        QCOMPARE(fil1Back.getValue(7, {29}), QVariant(QStringLiteral("|")));

        // The To setting stays 1 in memory and against a hand-edited store.
        clsFIL2 fil2;
        for (qint16 id = 1; id <= 4; ++id)
            QVERIFY(fil2.setValue(id, {0}));
        QVERIFY(fil2.saveRegistory(sApp));
        QCOMPARE(stored("FIL2", "Val2"), QStringLiteral("1"));
        SettingsStore::saveSetting(sApp, "FIL2", "Val2", "0");
        clsFIL2 fil2Back;
        QVERIFY(fil2Back.loadRegistory(sApp));
        QCOMPARE(items(fil2Back, {1, 2, 3, 4}), QList<int>({0, 1, 0, 0}));

        clsFIL4 fil4;
        fillList(fil4, {"sale", "", "end"});
        QVERIFY(fil4.saveRegistory(sApp));
        clsFIL4 fil4Back;
        QVERIFY(fil4Back.loadRegistory(sApp));
        QCOMPARE(items(fil4Back, {1, 2}), QList<int>({0, 3}));
        QCOMPARE(fil4Back.getValue(3, {2}), QVariant(QStringLiteral("end")));
    }

    void listEntries() {
        clsFIL1 fil1;
        QVERIFY(fil1.setValue(7, {">", 0}) && fil1.setValue(7, {"", 0}));
        QCOMPARE(fil1.getValue(7, {0}), QVariant(QStringLiteral(">")));
        QVERIFY(!fil1.setValue(7, {">", 31}));
        QCOMPARE(fil1.getValue(7, {31}), QVariant(false));
        QVERIFY(!fil1.setValue(4, {40000}));

        clsFIL3 fil3;
        QVERIFY(fil3.setValue(3, {"a@example.com", 4}) && fil3.setValue(3, {"", 4}));
        QCOMPARE(fil3.getValue(3, {4}), QVariant(QString()));
        // Reset empties the stored entries only.
        QVERIFY(fil3.setValue(3, {"x", 29}) && fil3.setValue(3, {"y", 30}));
        fil3.setDefault();
        QCOMPARE(fil3.getValue(3, {29}), QVariant(QString()));
        QCOMPARE(fil3.getValue(3, {30}), QVariant(QStringLiteral("y")));
    }

    void emptyListsAreRefused() {
        clsSet1& set = clsSet1::instance();
        QVERIFY(set.FIL3().setValue(1, {0}) && set.FIL4().setValue(1, {0}));
        MessageRecorder rec;
        QVERIFY(!set.saveRegistory(3, sApp) && !set.saveRegistory(4, sApp));
        QCOMPARE(rec.shown.size(), 2);
        QCOMPARE(rec.shown[0].sText, QStringLiteral("少なくても１つのfrom:アドレスを設定してください"));
        QCOMPARE(rec.shown[0].sTitle, QStringLiteral("フィルター３設定エラー"));
        QCOMPARE(rec.shown[1].sText, QStringLiteral("少なくても１つの文字列を設定してください"));
        QCOMPARE(rec.shown[1].sTitle, QStringLiteral("フィルター４設定エラー"));
        QVERIFY(rec.shown[0].icon == MsgIcon::Exclamation && rec.shown[0].buttons == MsgButtons::Ok);
        QCOMPARE(stored("FIL3", "Val1"), QStringLiteral("<missing>"));
        QCOMPARE(stored("FIL4", "Val3_0"), QStringLiteral("<missing>"));
    }

    void attachmentsAndOwnAddress() {
        clsSet1& set = clsSet1::instance();
        QVERIFY(set.judgeDoTransferFromFilter1(0));
        QVERIFY(!set.judgeDoTransferFromFilter1(2));
        set.FIL1().setValue(1, {0});
        QVERIFY(set.judgeDoTransferFromFilter1(2));

        const QString sMe = QStringLiteral("me@example.com");
        const QStringList sOther = {QStringLiteral("x@example.com")};
        QVERIFY(set.judgeDoTransferFromFilter2(0, {}, 1, {sMe})); // filter off
        for (qint16 id : {1, 3, 4})
            set.FIL2().setValue(id, {0});
        // No receive server: nothing to compare, the Bcc setting decides.
        QVERIFY(!set.judgeDoTransferFromFilter2(1, {sMe}, 0, {}));
        set.FIL2().setValue(4, {1});
        QVERIFY(set.judgeDoTransferFromFilter2(1, {sMe}, 0, {}));
        set.FIL2().setValue(4, {0});

        set.SRV1().additionValue(0, {"pop", "id", "pw", "other@example.com"});
        set.SRV1().additionValue(1, {"pop", "id", "pw", sMe});
        QVERIFY(!set.judgeDoTransferFromFilter2(1, sOther, 1, {sMe}));
        QVERIFY(set.judgeDoTransferFromFilter2(1, {sMe}, 1, {sMe}));
        QVERIFY(!set.judgeDoTransferFromFilter2(1, sOther, 0, {}));
        QVERIFY(!set.judgeDoTransferFromFilter2(5, sOther, 9, {sMe})); // counts beyond the lists
        // An address still encoded stops the scan before the own address is seen.
        QVERIFY(set.judgeDoTransferFromFilter2(0, {}, 2, {"=?iso-2022-jp?B?GyRC?= <a@b>", sMe}));
        set.FIL2().setValue(3, {1});
        QVERIFY(set.judgeDoTransferFromFilter2(1, sOther, 1, {sMe}));
    }

    void refusedSendersAndWords() {
        clsSet1& set = clsSet1::instance();
        fillList(set.FIL3(), {"a@example.com", "b@example.com"});
        QVERIFY(!set.judgeDoTransferFromFilter3(QStringLiteral("b@example.com")));
        QVERIFY(set.judgeDoTransferFromFilter3(QStringLiteral("B@example.com")));
        QVERIFY(set.judgeDoTransferFromFilter3(QStringLiteral("=?ISO-2022-JP?B?x?= <b@example.com>")));
        // Unlike the words, an empty entry holds back mail without a sender.
        fillList(set.FIL3(), {"a@example.com", ""});
        QVERIFY(!set.judgeDoTransferFromFilter3(QString()));
        // A hand-edited count beyond the list must not compare with what a refused read answers.
        set.FIL3().setValue(2, {32000});
        QVERIFY(set.judgeDoTransferFromFilter3(QStringLiteral("false")));

        fillList(set.FIL4(), {"", "sale"});
        QVERIFY(!set.judgeDoTransferFromFilter4(QStringLiteral("Big sale today")));
        QVERIFY(set.judgeDoTransferFromFilter4(QStringLiteral("Big SALE today")));
        QVERIFY(set.judgeDoTransferFromFilter4(QString()));
        fillList(set.FIL4(), {"x", "sale"});
        QVERIFY(set.judgeDoTransferFromFilter4(QStringLiteral("=?iso-2022-jp?B?sale?=")));
    }
};

QTEST_GUILESS_MAIN(tst_Filters)
#include "tst_filters.moc"
