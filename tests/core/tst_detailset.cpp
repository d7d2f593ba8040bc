#include "TestSupport.h"

#include "settings/SettingsStore.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <QTest>

namespace {
const QString sApp = QStringLiteral("Q-Post");
const QStringList sSections = {"FIL1", "FIL2", "FIL3", "FIL4", "SRV1",
                               "SRV2", "WTH1", "WTH2", "PAS1", "OPT1"};

using TestSupport::stored;

QByteArray fileBytes(const QString& sPath) {
    QFile file(sPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The sections of records 1 to iLast hold a "Val1", the others none.
void expectWrittenUpTo(int iLast) {
    for (int i = 0; i < sSections.size(); ++i)
        QCOMPARE(stored(sSections[i], "Val1") != QStringLiteral("<missing>"), i < iLast);
}

void registerServers(clsSet1& set) {
    set.SRV1().additionValue(0, {"pop", "id", "pw", "me@example.com"});
    set.SRV2().additionValue(0, {"smtp", "", "", "phone@example.jp", "", ""});
}
} // namespace

class tst_DetailSet : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        TestSupport::clearStore();
        clsSet1& set = clsSet1::instance();
        set.setDefault(0);
        set.setLastSetError(0);
        QVERIFY(set.loadRegistory(0, sApp));
    }

    void memoAndScreenSaverLoadDefaultsAndRoundTrip() {
        clsSet1& set = clsSet1::instance();
        QCOMPARE(set.OPT1().getValue(1), QVariant(1));
        QCOMPARE(set.OPT1().getValue(2), QVariant(0));
        QCOMPARE(set.PAS1().getValue(1), QVariant(1));
        QCOMPARE(set.PAS1().getValue(4), QVariant(QString()));

        QVERIFY(set.OPT1().setValue(1, {0}) && set.OPT1().setValue(2, {1}) && set.PAS1().setValue(1, {0}));
        QVERIFY(set.PAS1().setValue(2, {"kept"}) && set.PAS1().setValue(3, {"stars"}));
        QVERIFY(set.PAS1().setValue(4, {"/usr/lib/savers"}));
        QVERIFY(set.saveRegistory(9, sApp) && set.saveRegistory(10, sApp));
        QCOMPARE(stored("OPT1", "Val1"), QStringLiteral("0"));
        set.setDefault(0);
        QVERIFY(set.loadRegistory(9, sApp) && set.loadRegistory(10, sApp));
        QCOMPARE(set.OPT1().getValue(1), QVariant(1)); // the memo goes back to the head
        QCOMPARE(set.OPT1().getValue(2), QVariant(1));
        QCOMPARE(set.PAS1().getValue(1), QVariant(0));
        QCOMPARE(set.PAS1().getValue(2), QVariant(QStringLiteral("kept")));

        // Reset empties PAS1 item 2 only, and reaches OPT1 as the last record.
        set.OPT1().setValue(1, {0});
        set.setDefault(0);
        QCOMPARE(set.PAS1().getValue(2), QVariant(QString()));
        QCOMPARE(set.PAS1().getValue(3), QVariant(QStringLiteral("stars")));
        QCOMPARE(set.OPT1().getValue(1), QVariant(1));
    }

    // The command PIN is kept scrambled, reads back as typed, and is gone after a reset.
    void commandPinRoundTripsScrambled() {
        clsSet1& set = clsSet1::instance();
        QCOMPARE(set.Remote().commandPin(), QString());
        set.Remote().setCommandPin(QStringLiteral("4711"));
        QVERIFY(set.saveRegistory(11, sApp));
        QVERIFY(!stored("REMOTE", "CommandPin").contains(QStringLiteral("4711")));
        SettingsStore::reset();
        set.setDefault(0);
        QCOMPARE(set.Remote().commandPin(), QString());
        QVERIFY(set.loadRegistory(0, sApp));
        QCOMPARE(set.Remote().commandPin(), QStringLiteral("4711"));
        for (const char* sPin : {"a b", "１２３", "4711!", "123456789012345678901234567890123"})
            QVERIFY2(!clsRemote::isValidPin(QString::fromUtf8(sPin)), sPin);
    }

    // Counts and sizes edited by hand beyond what the records hold are brought into range, and said.
    void handEditedCountsAreBroughtIntoRange() {
        const QList<QStringList> edits = {{"SRV1", "Val1", "32767", "20"}, {"SRV2", "Val1", "-1", "0"},
                                          {"FIL3", "Val2", "99", "30"},    {"WTH2", "Val2", "9", "5"},
                                          {"FIL1", "Val4", "-5", "0"},     {"FIL1", "Val6", "100", "30"},
                                          {"ESET", "Val8", "-5", "0"}};
        for (const QStringList& e : edits)
            SettingsStore::saveSetting(sApp, e[0], e[1], e[2]);
        SettingsStore::takeCorrections();
        clsSet1& set = clsSet1::instance();
        QVERIFY(set.loadRegistory(0, sApp) && clsSet2::instance().loadRegistory(sApp));
        QCOMPARE(set.SRV1().getValue(1), QVariant(20));
        QCOMPARE(set.SRV2().getValue(1), QVariant(0));
        QCOMPARE(set.FIL3().getValue(2), QVariant(30));
        QCOMPARE(set.WTH2().getValue(2), QVariant(5));
        QCOMPARE(set.FIL1().getValue(4), QVariant(0));
        QCOMPARE(set.FIL1().getValue(6), QVariant(30));
        QCOMPARE(clsSet2::instance().getValue(8), QVariant(0));
        QStringList expected;
        for (const QStringList& e : edits)
            expected << QStringLiteral("[%1] %2=%3 → %4").arg(e[0], e[1], e[2], e[3]);
        QStringList got = SettingsStore::takeCorrections();
        got.sort();
        expected.sort();
        QCOMPARE(got, expected);
    }

    void refusalStopsTheSaveAtTheRefusingRecord() {
        clsSet1& set = clsSet1::instance();
        set.FIL3().setValue(1, {0});
        registerServers(set);
        {
            MessageRecorder rec;
            QVERIFY(!set.saveRegistory(0, sApp));
            QCOMPARE(rec.shown.size(), 1);
        }
        QCOMPARE(set.LastSetError(), 3);
        expectWrittenUpTo(2);
        QCOMPARE(stored("FIL2", "Val4"), QStringLiteral("1"));
        QCOMPARE(set.FIL3().getValue(1), QVariant(0)); // memory keeps what the dialog put there

        // A later success leaves the old number.
        set.FIL3().setValue(1, {1});
        QVERIFY(set.saveRegistory(0, sApp));
        QCOMPARE(set.LastSetError(), 3);
        expectWrittenUpTo(10);
    }

    void missingServersStopAtTheirRecord() {
        clsSet1& set = clsSet1::instance();
        MessageRecorder rec;
        QVERIFY(!set.saveRegistory(0, sApp));
        QCOMPARE(set.LastSetError(), 5);
        QCOMPARE(rec.shown.value(0).sTitle, QStringLiteral("受信サーバー設定エラー"));
        expectWrittenUpTo(4);
        set.SRV1().additionValue(0, {"pop", "id", "pw", "me@example.com"});
        QVERIFY(!set.saveRegistory(0, sApp));
        QCOMPARE(set.LastSetError(), 6);
    }

    void loadingAllGoesPastAFailingRecord() {
        clsSet1& set = clsSet1::instance();
        SettingsStore::saveSetting(sApp, "FIL1", "Val3", "0");
        SettingsStore::saveSetting(sApp, "FIL1", "Val4", "abc");
        SettingsStore::saveSetting(sApp, "FIL1", "Val5", "0");
        SettingsStore::saveSetting(sApp, "OPT1", "Val2", "1");
        QVERIFY(!set.loadRegistory(1, sApp));
        QVERIFY(set.loadRegistory(0, sApp));
        QCOMPARE(set.FIL1().getValue(3), QVariant(0));
        QCOMPARE(set.FIL1().getValue(5), QVariant(1)); // after the bad key: as before
        QCOMPARE(set.OPT1().getValue(2), QVariant(1));
    }

    // Every section the program keeps, as the version before the records became tables wrote them.
    void aFileOfTheLastVersionIsWrittenBackUnchanged() {
        const QString sFile = SettingsStore::fileName(sApp);
        QFile::remove(sFile);
        QDir().mkpath(QFileInfo(sFile).path());
        QVERIFY(
            QFile::copy(TestSupport::testDataDir() + QStringLiteral("/settings/Q-Post-2.0.1.conf"), sFile));
        SettingsStore::reset();
        QVERIFY(QDir().mkpath(clsSystem::ownTempDir()));
        clsSet1& set = clsSet1::instance();
        clsSet2& simple = clsSet2::instance();
        clsSystem& sys = clsSystem::instance();
        QVERIFY(sys.loadRegistory(sApp) && set.loadRegistory(0, sApp) && simple.loadRegistory(sApp));
        const QByteArray before = fileBytes(sFile);
        // Removed, so what is compared is all written anew from what was read.
        QVERIFY(QFile::remove(sFile));
        QVERIFY(set.saveRegistory(0, sApp) && simple.saveRegistory(sApp));
        for (qint16 iID : {clsSystem::ID_DETAIL, clsSystem::ID_SIMPLE})
            QVERIFY(sys.saveRegTest(sApp, iID) && sys.saveRegSetting(sApp, iID));
        QVERIFY(sys.saveRegSetSelect(sApp));
        // The PIN is scrambled anew, with other salt, at every save.
        static const QRegularExpression pin(QStringLiteral("CommandPin=[^\\n]*"));
        QCOMPARE(QString::fromUtf8(fileBytes(sFile)).replace(pin, QString()),
                 QString::fromUtf8(before).replace(pin, QString()));
        QCOMPARE(set.Remote().commandPin(), QStringLiteral("abc123"));
    }

    void unknownRecordIdsTouchNothing() {
        clsSet1& set = clsSet1::instance();
        registerServers(set);
        QVERIFY(!set.saveRegistory(12, sApp) && !set.saveRegistory(-1, sApp));
        expectWrittenUpTo(0);
        SettingsStore::saveSetting(sApp, "SRV1", "Val1", "0");
        QVERIFY(!set.loadRegistory(-1, sApp) && !set.loadRegistory(12, sApp));
        set.setDefault(12);
        QCOMPARE(set.SRV1().getValue(1), QVariant(1));
    }
};

QTEST_GUILESS_MAIN(tst_DetailSet)
#include "tst_detailset.moc"
