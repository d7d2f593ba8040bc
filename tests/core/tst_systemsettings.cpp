#include "TestSupport.h"

#include "settings/SettingsStore.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
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

    static void writeStore(const QByteArray& text, const QDateTime& modified = QDateTime()) {
        const QString sFile = SettingsStore::fileName(sApp);
        TestSupport::clearStore();
        QVERIFY(QDir().mkpath(QFileInfo(sFile).absolutePath()));
        QFile file(sFile);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size());
        QVERIFY(file.flush());
        if (modified.isValid())
            QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
        file.close();
        SettingsStore::reset();
    }

    static QByteArray storeText() {
        QFile file(SettingsStore::fileName(sApp));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QByteArray fuzzInput(const QString& sName) {
        QFile file(TestSupport::testDataDir() + QStringLiteral("/fuzz/settings/") + sName);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Nothing is read from the store and nothing written over it.
    static void refusesStoreHolding(const QByteArray& text) {
        writeStore(text);
        QVERIFY(!clsSystem::instance().loadRegistory(sApp));
        QVERIFY(!clsSet2::instance().loadRegistory(sApp));
        QVERIFY(!clsSystem::instance().saveRegSetSelect(sApp));
        SettingsStore::reset();
        QFile file(SettingsStore::fileName(sApp));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), text);
        QVERIFY(file.remove());
        SettingsStore::reset();
    }

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

    // A hand-written value in Qt's serialised form could make Qt allocate gigabytes; the load refuses it,
    // however the value is spelled. Each spelling is first shown to be one that Qt would unpack.
    void serialisedValueIsRefusedNotRead_data() {
        QTest::addColumn<QByteArray>("line");
        const QByteArray five = R"(\0\0\0\x2\0\0\0\0\x5))"; // an int of 5 in Qt's stream form
        QTest::newRow("plain") << "Pop3Log=@Variant(" + five;
        QTest::newRow("hex at sign") << "Pop3Log=\\x40Variant(" + five;
        QTest::newRow("octal at sign") << "Pop3Log=\\100Variant(" + five;
        QTest::newRow("hex code wrapping 16 bits") << "Pop3Log=\\x10040Variant(" + five;
        QTest::newRow("quotes inside") << "Pop3Log=\"@\"Variant(" + five;
        QTest::newRow("skipped character") << "Pop3Log=@\\zVariant(" + five;
        QTest::newRow("line continued") << "Pop3Log=@Vari\\\nant(" + five;
        QTest::newRow("list item") << "Pop3Log=a, @Variant(" + five;
        QTest::newRow("after a lone surrogate code") << "SmtpLog=\\xdc00\nPop3Log=@Variant(" + five;
        QTest::newRow("date and time") << QByteArray("Pop3Log=@DateTime(\\0\\0\\0\\x2\\0\\0\\0\\0\\x5)");
    }
    void serialisedValueIsRefusedNotRead() {
        QFETCH(QByteArray, line);
        const QByteArray text = "[SYSTEM]\nSetSelect=0\n" + line + "\n";
        if (!QByteArray(QTest::currentDataTag()).startsWith("date")) {
            const QString sProbe = workDir.path() + QStringLiteral("/probe.conf");
            QFile probe(sProbe);
            QVERIFY(probe.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    probe.write(text) == text.size());
            probe.close();
            const QVariant v =
                QSettings(sProbe, QSettings::IniFormat).value(QStringLiteral("SYSTEM/Pop3Log"));
            const QVariant item = v.typeId() == QMetaType::QVariantList ? v.toList().value(1) : v;
            QCOMPARE(item.typeId(), int(QMetaType::Int));
        }
        refusesStoreHolding(text);
    }

    // Inputs the settings fuzzer found: a length of 48 GB, and the same after a code that wraps around to a
    // lone surrogate.
    void fuzzedSerialisedValueIsRefused() {
        refusesStoreHolding(fuzzInput(QStringLiteral("serialised-variant-huge-length.conf")));
        refusesStoreHolding(fuzzInput(QStringLiteral("serialised-value-and-wrapped-surrogate-code.conf")));
    }

    // The fuzzer found this one after the one above, written over it with the same size in the same
    // millisecond: Qt kept what it had read and would have unpacked the old value.
    void fileOfSameSizeAndTimeIsJudgedAsQtSeesIt() {
        const QByteArray seed = fuzzInput(QStringLiteral("serialised-variant-huge-length.conf"));
        const QByteArray found = fuzzInput(QStringLiteral("same-size-as-serialised-seed.conf"));
        QCOMPARE(found.size(), seed.size());
        QVERIFY(!found.contains("@Variant("));
        const QDateTime when = QDateTime::currentDateTime().addSecs(-60);
        writeStore(seed, when);
        QVERIFY(!clsSystem::instance().loadRegistory(sApp));
        writeStore(found, when);
        QVERIFY(!clsSystem::instance().loadRegistory(sApp));
        QCOMPARE(storeText(), found);

        // The same with a harmless value, which Qt would show as 0: once the time changed, Qt reads the file
        // again, and its text is read.
        const QByteArray serialised = "[SYSTEM]\nPop3Log=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\0\\x5)\n";
        QByteArray plain = serialised;
        plain.replace('@', 'x');
        QString sValue;
        writeStore(serialised, when);
        QVERIFY(!SettingsStore::readText(sApp, "SYSTEM", "Pop3Log", QString(), sValue));
        writeStore(plain, when);
        QVERIFY(!SettingsStore::readText(sApp, "SYSTEM", "Pop3Log", QString(), sValue));
        writeStore(plain, when.addSecs(1));
        QVERIFY(SettingsStore::readText(sApp, "SYSTEM", "Pop3Log", QString(), sValue));
        QVERIFY2(sValue.startsWith(QStringLiteral("xVariant(")), qPrintable(sValue));
        QVERIFY(QFile::remove(SettingsStore::fileName(sApp)));
        SettingsStore::reset();
    }

    // Put in by hand while the program runs: the next save is refused, and nothing is written over it.
    void serialisedValueAddedWhileRunningStopsTheSave() {
        writeStore("[SYSTEM]\nSetSelect=1\n");
        QVERIFY(clsSystem::instance().loadRegistory(sApp));
        QVERIFY(SettingsStore::saveSetting(sApp, "SYSTEM", "RunLog", "True"));
        {
            QFile file(SettingsStore::fileName(sApp));
            QVERIFY(file.open(QIODevice::Append));
            QVERIFY(file.write("Pop3Log=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\0\\x5)\n") > 0);
        }
        const QByteArray edited = storeText();
        QVERIFY(!SettingsStore::sync(sApp));
        QVERIFY(!clsSystem::instance().saveRegSetSelect(sApp));
        SettingsStore::reset();
        QCOMPARE(storeText(), edited);
        QVERIFY(QFile::remove(SettingsStore::fileName(sApp)));
        SettingsStore::reset();
    }

    // Addresses and values starting with "@" are the program's own; they load.
    void atSignsOfPlainValuesLoad() {
        writeStore("[SYSTEM]\nSetSelect=1\n[ESET]\nVal3=\"@@Variant(x)\"\nVal4=me@example.jp\n");
        QVERIFY(clsSystem::instance().loadRegistory(sApp));
        QVERIFY(clsSet2::instance().loadRegistory(sApp));
        QString sValue;
        QVERIFY(SettingsStore::readText(sApp, "ESET", "Val3", QString(), sValue));
        QCOMPARE(sValue, QStringLiteral("@Variant(x)"));
        QVERIFY(SettingsStore::readText(sApp, "ESET", "Val4", QString(), sValue));
        QCOMPARE(sValue, QStringLiteral("me@example.jp"));
        QVERIFY(QFile::remove(SettingsStore::fileName(sApp)));
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
