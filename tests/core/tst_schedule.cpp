#include "TestSupport.h"

#include "settings/SettingsStore.h"
#include "settings/clsSet1.h"

#include <QTest>

namespace {
const QString sApp = QStringLiteral("Q-Post");

using TestSupport::stored;

int field(const clsWTH2& wth, int w, int f) {
    return wth.getValue(3, {w, f}).toInt();
}

// Windows on, periodic off, so that only the windows decide.
clsWTH2& windowsOnly(const QList<QVariantList>& windows) {
    clsSet1& set = clsSet1::instance();
    set.WTH1().setValue(1, {1});
    clsWTH2& wth = set.WTH2();
    wth.setValue(1, {0});
    for (int w = 0; w < windows.size(); ++w)
        wth.additionValue(qint16(w), windows[w]);
    return wth;
}

QList<bool> decisions(const QTime& tFrom, int iMinutes) {
    QList<bool> bDue;
    for (int i = 0; i < iMinutes; ++i)
        bDue.append(clsSet1::instance().checkMailReciveTime(0, tFrom.addSecs(60 * i)));
    return bDue;
}
} // namespace

class tst_Schedule : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        TestSupport::clearStore();
        clsSet1& set = clsSet1::instance();
        set.setDefault(0);
        QVERIFY(set.loadRegistory(0, sApp));
        set.WTH2().clearTimerCounter(5);
    }

    void switchesAreForcedByStoreAndLoad() {
        clsSet1& set = clsSet1::instance();
        QCOMPARE(set.WTH1().getValue(1), QVariant(0));
        QCOMPARE(set.WTH1().getValue(2), QVariant(60));
        QCOMPARE(set.WTH2().getValue(1), QVariant(1));

        QVERIFY(set.WTH1().setValue(1, {1}) && set.WTH1().setValue(2, {"15"}));
        clsWTH2& wth = windowsOnly({{9, 0, 9, 5, 2}, {22, 30, 23, 0, 10}});
        QVERIFY(wth.deleteValue(1)); // leaves -1 in window 4
        QVERIFY(set.saveRegistory(7, sApp) && set.saveRegistory(8, sApp));
        QCOMPARE(stored("WTH1", "Val1"), QStringLiteral("0"));
        QCOMPARE(stored("WTH2", "Val1"), QStringLiteral("1"));
        QCOMPARE(stored("WTH2", "Val3_4_4"), QStringLiteral("-1"));

        set.setDefault(8);
        QVERIFY(set.loadRegistory(7, sApp) && set.loadRegistory(8, sApp));
        QCOMPARE(set.WTH1().getValue(1), QVariant(0));
        QCOMPARE(set.WTH1().getValue(2), QVariant(15));
        QCOMPARE(wth.getValue(1), QVariant(1));
        QCOMPARE(wth.getValue(2), QVariant(1));
        QCOMPARE(field(wth, 0, 3), 5);
        QCOMPARE(field(wth, 4, 0), -1);

        SettingsStore::saveSetting(sApp, "WTH2", "Val3_0_1", "x");
        QVERIFY(!set.loadRegistory(8, sApp));
    }

    void windowListEditsAndCounters() {
        clsWTH2& wth = windowsOnly({{1, 0, 1, 0, 1}, {2, 0, 2, 0, 2}, {3, 0, 3, 0, 3}});
        QVERIFY(wth.setValue(3, {"7", 3, 0}));
        QVERIFY(!wth.additionValue(3, {1, 2, 3, "x", 5}));
        QCOMPARE(wth.countUpTimerCount(1), 1);
        QVERIFY(wth.deleteValue(1));
        QCOMPARE(wth.getValue(2), QVariant(2));
        QCOMPARE(field(wth, 1, 4), 3);
        QCOMPARE(field(wth, 2, 0), 7);
        for (int f = 0; f < 5; ++f)
            QCOMPARE(field(wth, 4, f), -1);
        QCOMPARE(wth.getTimerCount(1), 1); // counters stay with the window numbers
        wth.setValue(2, {0});
        QVERIFY(!wth.deleteValue(0));

        for (qint16 i : {-1, 6}) {
            QCOMPARE(wth.countUpTimerCount(i), -1);
            QCOMPARE(wth.getTimerCount(i), -1);
            QCOMPARE(wth.clearTimerCounter(i), -1);
        }
        QCOMPARE(wth.countUpTimerCount(5), 1);
        QCOMPARE(wth.clearTimerCounter(5), 0);
        QCOMPARE(wth.getTimerCount(5), 0);
    }

    void periodicCheck() {
        clsSet1& set = clsSet1::instance();
        const QTime tNoon(12, 0);
        QVERIFY(!set.checkMailReciveTime(59, tNoon));
        QVERIFY(set.checkMailReciveTime(60, tNoon));
        set.WTH1().setValue(2, {0});
        for (qint16 i = 1; i < 100; ++i)
            QVERIFY(!set.checkMailReciveTime(i, tNoon));
    }

    void windowFiresAfterItsInterval() {
        windowsOnly({{9, 0, 9, 5, 2}});
        QCOMPARE(decisions(QTime(8, 59), 8),
                 QList<bool>({false, false, false, true, false, false, true, false}));
        QCOMPARE(clsSet1::instance().WTH2().getTimerCount(0), 0);
    }

    void windowAcrossMidnightIsCurrentOnlyAtItsEnds() {
        clsWTH2& wth = windowsOnly({{22, 0, 6, 0, 0}});
        QVERIFY(clsSet1::instance().checkMailReciveTime(0, QTime(22, 0)));
        QVERIFY(clsSet1::instance().checkMailReciveTime(0, QTime(6, 0)));
        for (const QTime& t : {QTime(22, 1), QTime(23, 59), QTime(0, 0), QTime(3, 0), QTime(5, 59)})
            QVERIFY(!clsSet1::instance().checkMailReciveTime(0, t));
        QCOMPARE(wth.getTimerCount(0), 0);
    }

    void firstCurrentWindowWins() {
        clsWTH2& wth = windowsOnly({{10, 0, 11, 0, 0}, {10, 30, 12, 0, 5}});
        QCOMPARE(decisions(QTime(10, 30), 3), QList<bool>({true, true, true}));
        QCOMPARE(wth.getTimerCount(1), 0); // never reached while window 0 fires

        QVERIFY(wth.setValue(3, {1, 0, 4}));
        QCOMPARE(decisions(QTime(10, 40), 2), QList<bool>({false, true}));
        QCOMPARE(wth.getTimerCount(0), 0);
        QCOMPARE(wth.getTimerCount(1), 1);
    }

    void windowThatIsNoTimeOfDayIsSkipped() {
        // 08:75 is no time; read as a number it would make 09:00 the window's end and fire it.
        clsWTH2& wth = windowsOnly({{8, 75, 9, 0, 0}, {9, 0, 9, 5, 1}});
        QVERIFY(!clsSet1::instance().checkMailReciveTime(0, QTime(9, 0)));
        QCOMPARE(wth.getTimerCount(0), 0);
        QCOMPARE(wth.getTimerCount(1), 1);
        QVERIFY(clsSet1::instance().checkMailReciveTime(0, QTime(9, 1)));
    }
};

QTEST_GUILESS_MAIN(tst_Schedule)
#include "tst_schedule.moc"
