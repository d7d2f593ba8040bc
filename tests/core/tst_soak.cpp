#include "SoakRun.h"

#include <QTest>

// A short stretch of the soak run of bench/ (bench_soak runs 1,000 checks): the same faults and invariants.
class tst_Soak : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void checksUnderRandomFaultsLoseNothingAndSendNothingTwice() {
        SoakOptions options;
        options.iChecks = 120;
        options.iMeasureAt = 40;
        options.iSeed = 7;
        const SoakResult result = runSoak(options);
        qInfo("%s", qPrintable(result.sSummary));
        QVERIFY2(result.failures.isEmpty(), qPrintable(result.failures.join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(tst_Soak)
#include "tst_soak.moc"
