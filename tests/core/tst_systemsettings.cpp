#include "TestSupport.h"

#include "settings/SettingsStore.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString sApp = QStringLiteral("Q-Post");

using TestSupport::stored;
} // namespace

class tst_SystemSettings : public QObject {
    Q_OBJECT

    QTemporaryDir workDir;
    QString sOldDir;

private Q_SLOTS:
    void init() {
        TestSupport::clearStore();
        clsSystem::instance().setDefault();
        clsSet2::instance().setDefault();
        sOldDir = QDir::currentPath();
        QDir::setCurrent(workDir.path());
        QDir(workDir.path() + QStringLiteral("/TmpFiles")).removeRecursively();
    }
    void cleanup() { QDir::setCurrent(sOldDir); }

    void freshStoreReadsDefaultsAndCreatesTempFolderOnce() {
        clsSystem& sys = clsSystem::instance();
        QVERIFY(sys.loadRegistory(sApp));
        QCOMPARE(sys.getValueSetSelect(), 0);
        for (qint16 id : {clsSystem::ID_DETAIL, clsSystem::ID_SIMPLE}) {
            QVERIFY(!sys.getValueTest(id));
            QVERIFY(!sys.getValueSetting(id));
        }
        QVERIFY(!sys.RunLog && !sys.SmtpLog && !sys.Pop3Log);
        QString sTemp = workDir.path() + QStringLiteral("/TmpFiles");
        QCOMPARE(sys.getValueTempDir(), sTemp);
        QVERIFY(QFileInfo(sTemp).isDir());
        QCOMPARE(stored("SYSTEM", "TempDir"), sTemp);

        // Written only when the folder is created, never again.
        SettingsStore::saveSetting(sApp, "SYSTEM", "TempDir", "changed");
        QVERIFY(sys.loadRegistory(sApp));
        QCOMPARE(stored("SYSTEM", "TempDir"), QStringLiteral("changed"));
    }

    void storeFileIsPrivate() {
        clsSystem::instance().setValueSetSelect(1);
        QVERIFY(clsSystem::instance().saveRegSetSelect(sApp));
        QString sFile = SettingsStore::fileName(sApp);
        QVERIFY2(sFile.endsWith(QStringLiteral("/config/PelimoMail/Q-Post.conf")), qPrintable(sFile));
        QFile::Permissions perms = QFile::permissions(sFile);
        QVERIFY(perms.testFlag(QFile::ReadOwner) && perms.testFlag(QFile::WriteOwner));
        QVERIFY(!(perms & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther)));
    }

    // A hand-written value in Qt's serialised form could make Qt allocate gigabytes; the load refuses it.
    void serialisedValueIsRefusedNotRead() {
        const QString sFile = SettingsStore::fileName(sApp);
        TestSupport::clearStore();
        QVERIFY(QDir().mkpath(QFileInfo(sFile).absolutePath()));
        QFile::remove(sFile);
        QVERIFY(QFile::copy(TestSupport::testDataDir() +
                                QStringLiteral("/fuzz/settings/serialised-variant-huge-length.conf"),
                            sFile));
        SettingsStore::reset();
        QVERIFY(!clsSystem::instance().loadRegistory(sApp));
        QVERIFY(!clsSet2::instance().loadRegistory(sApp));
        QVERIFY(!clsSystem::instance().saveRegSetSelect(sApp));
        QVERIFY(QFile::remove(sFile));
        SettingsStore::reset();
    }

    void badSetSelectStopsLoadBeforeTempFolder() {
        SettingsStore::saveSetting(sApp, "SYSTEM", "Test1", "True");
        SettingsStore::saveSetting(sApp, "SYSTEM", "Setting2", "-1");
        SettingsStore::saveSetting(sApp, "SYSTEM", "SetSelect", "abc");
        SettingsStore::saveSetting(sApp, "SYSTEM", "RunLog", "True");
        clsSystem& sys = clsSystem::instance();
        QVERIFY(!sys.loadRegistory(sApp));
        QVERIFY(sys.getValueTest(clsSystem::ID_DETAIL));
        QVERIFY(sys.getValueSetting(clsSystem::ID_SIMPLE));
        QVERIFY(!sys.RunLog);
        QVERIFY(sys.getValueTempDir().isEmpty());
        QVERIFY(!QFileInfo::exists(workDir.path() + QStringLiteral("/TmpFiles")));
    }

    void logSwitchesAcceptNumbersAndWords_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("on");
        QTest::newRow("-1") << "-1" << true;
        QTest::newRow("True") << "True" << true;
        QTest::newRow("true") << "true" << true;
        QTest::newRow("5") << "5" << true;
        QTest::newRow("0") << "0" << false;
        QTest::newRow("False") << "False" << false;
    }
    void logSwitchesAcceptNumbersAndWords() {
        QFETCH(QString, stored);
        QFETCH(bool, on);
        SettingsStore::saveSetting(sApp, "SYSTEM", "RunLog", stored);
        QVERIFY(clsSystem::instance().loadRegistory(sApp));
        QCOMPARE(clsSystem::instance().RunLog, on);
    }

    void flagsAreSavedPerSetAndUnknownIdsRefused() {
        clsSystem& sys = clsSystem::instance();
        QVERIFY(sys.setValueTest(true, clsSystem::ID_SIMPLE));
        QVERIFY(sys.setValueSetting(true, clsSystem::ID_DETAIL));
        QVERIFY(!sys.setValueTest(true, 2));
        QVERIFY(!sys.getValueTest(2));
        QVERIFY(sys.saveRegTest(sApp, clsSystem::ID_SIMPLE));
        QVERIFY(sys.saveRegSetting(sApp, clsSystem::ID_DETAIL));
        QVERIFY(!sys.saveRegTest(sApp, 5));
        QCOMPARE(stored("SYSTEM", "Test2"), QStringLiteral("True"));
        QCOMPARE(stored("SYSTEM", "Setting1"), QStringLiteral("True"));
        QCOMPARE(stored("SYSTEM", "Test1"), QStringLiteral("<missing>"));

        sys.setDefault();
        QVERIFY(sys.loadRegistory(sApp));
        QVERIFY(sys.getValueTest(clsSystem::ID_SIMPLE) && !sys.getValueTest(clsSystem::ID_DETAIL));
        QVERIFY(sys.getValueSetting(clsSystem::ID_DETAIL) && !sys.getValueSetting(clsSystem::ID_SIMPLE));

        QVERIFY(sys.setValueSetSelect(7));
        QCOMPARE(sys.currentSetId(), clsSystem::ID_SIMPLE);
        sys.setValueSetSelect(1);
        QCOMPARE(sys.currentSetId(), clsSystem::ID_DETAIL);
    }

    void deleteTempFilesEmptiesOnlyFiles() {
        clsSystem& sys = clsSystem::instance();
        QVERIFY(sys.loadRegistory(sApp));
        QDir temp(sys.getValueTempDir());
        for (const char* name : {"a.txt", "noext", ".hidden"}) {
            QFile f(temp.filePath(QString::fromLatin1(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QVERIFY(temp.mkdir(QStringLiteral("sub")));
        QFile inner(temp.filePath(QStringLiteral("sub/keep.txt")));
        QVERIFY(inner.open(QIODevice::WriteOnly));
        inner.close();

        sys.deleteTempFiles(QString());
        QCOMPARE(temp.entryList(QDir::Files | QDir::Hidden).size(), 3);
        sys.deleteTempFiles(QStringLiteral("*.*"));
        QVERIFY(temp.entryList(QDir::Files | QDir::Hidden).isEmpty());
        QVERIFY(QFileInfo::exists(inner.fileName()));
        sys.deleteTempFiles(QStringLiteral("*.*")); // an empty folder is no error
    }

    void simpleSetDefaultsAndRoundTrip() {
        clsSet2& set = clsSet2::instance();
        QVERIFY(set.loadRegistory(sApp));
        QCOMPARE(set.getValue(6).toInt(), 60);
        QCOMPARE(set.getValue(6).typeId(), QMetaType::Int);
        QCOMPARE(set.getValue(8).toInt(), 0);
        for (qint16 id : {1, 2, 3, 4, 5, 7, 9, 10, 11})
            QCOMPARE(set.getValue(id).toString(), QString());
        QCOMPARE(set.getValue(12), QVariant(false));

        const QStringList texts = {"",
                                   "pop.example.jp:995",
                                   "enc-id",
                                   "enc-pw",
                                   "smtp.example.jp",
                                   "phone@example.jp",
                                   "",
                                   "res",
                                   "",
                                   "saver",
                                   "/usr/lib/saver",
                                   "me-encoded"};
        for (qint16 id : {1, 2, 3, 4, 5, 7, 9, 10, 11})
            QVERIFY(set.setValue(id, {texts[id]}));
        QVERIFY(set.setValue(6, {15}));
        QVERIFY(set.setValue(8, {QStringLiteral("250")}));
        QVERIFY(!set.setValue(8, {QStringLiteral("abc")}));
        QVERIFY(!set.setValue(6, {70000}));
        QVERIFY(!set.setValue(12, {QStringLiteral("x")}));
        QVERIFY(!set.setValue(1, {}));
        QCOMPARE(set.getValue(8).toInt(), 250);
        QVERIFY(set.saveRegistory(sApp));
        QCOMPARE(stored("ESET", "Val11"), QString());
        QCOMPARE(stored("ESET", "Val6"), QStringLiteral("15"));

        set.setDefault();
        QVERIFY(set.loadRegistory(sApp));
        for (qint16 id : {1, 2, 3, 4, 5, 7, 9, 10})
            QCOMPARE(set.getValue(id).toString(), texts[id]);
        QCOMPARE(set.getValue(6).toInt(), 15);
        QCOMPARE(set.getValue(8).toInt(), 250);
        QCOMPARE(set.getValue(11).toString(), QString()); // held in memory only
    }

    void simpleSetBadIntegerKeepsEarlierValues() {
        clsSet2& set = clsSet2::instance();
        SettingsStore::saveSetting(sApp, "ESET", "Val1", "pop.example.jp");
        SettingsStore::saveSetting(sApp, "ESET", "Val7", "seven");
        SettingsStore::saveSetting(sApp, "ESET", "Val8", "40000");
        SettingsStore::saveSetting(sApp, "ESET", "Val9", "saver");
        QVERIFY(!set.loadRegistory(sApp));
        QCOMPARE(set.getValue(1).toString(), QStringLiteral("pop.example.jp"));
        QCOMPARE(set.getValue(7).toString(), QStringLiteral("seven"));
        QCOMPARE(set.getValue(8).toInt(), 0);
        QCOMPARE(set.getValue(9).toString(), QString());
    }

    void japaneseValuesSurviveTheStore() {
        const QString sValue = QStringLiteral("山田①㈱髙 テスト");
        QVERIFY(SettingsStore::saveSetting(sApp, "ESET", "Val9", sValue));
        SettingsStore::sync(sApp);
        SettingsStore::reset();
        QCOMPARE(stored("ESET", "Val9"), sValue);
    }
};

QTEST_GUILESS_MAIN(tst_SystemSettings)
#include "tst_systemsettings.moc"
