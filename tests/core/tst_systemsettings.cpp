#include "TestSupport.h"

#include "settings/SettingsStore.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
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
        QDir(clsSystem::ownTempDir()).removeRecursively();
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

    void freshStoreReadsDefaultsAndCreatesTempFolderOnce() {
        clsSystem& sys = clsSystem::instance();
        QVERIFY(sys.loadRegistory(sApp));
        QCOMPARE(sys.getValueSetSelect(), 0);
        for (qint16 id : {clsSystem::ID_DETAIL, clsSystem::ID_SIMPLE}) {
            QVERIFY(!sys.getValueTest(id));
            QVERIFY(!sys.getValueSetting(id));
        }
        QVERIFY(!sys.RunLog && !sys.SmtpLog && !sys.Pop3Log);
        const QString sTemp = clsSystem::ownTempDir();
        QVERIFY(sTemp.startsWith(TestSupport::sandboxDir() + QStringLiteral("/cache/")));
        QCOMPARE(sys.getValueTempDir(), sTemp);
        QVERIFY(QFileInfo(sTemp).isDir());
        const QFile::Permissions perms = QFile::permissions(sTemp);
        QVERIFY(perms.testFlags(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) && !(perms & 0x0077));
        QCOMPARE(stored("SYSTEM", "TempDir"), sTemp);
        // A TmpFiles folder where the program was started is the user's, and is left alone.
        QVERIFY(QDir(workDir.path()).mkdir(QStringLiteral("TmpFiles")));
        QFile mine(workDir.path() + QStringLiteral("/TmpFiles/important.txt"));
        QVERIFY(mine.open(QIODevice::WriteOnly));
        mine.close();
        sys.deleteTempFiles(QStringLiteral("*.*"));
        QVERIFY(mine.exists());

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

    // A hand-written value in Qt's serialised form could make Qt allocate gigabytes; it is read as the text
    // it is, however it is spelled, and a later save keeps that text. Each spelling is first shown to be one
    // that Qt would unpack.
    void serialisedValueIsReadAsText_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("text");
        const QByteArray five = R"(\0\0\0\x2\0\0\0\0\x5))"; // an int of 5 in Qt's stream form
        const QString sFive = QStringLiteral("Variant(") + QString(QChar(0)).repeated(3) + QChar(2) +
                              QString(QChar(0)).repeated(4) + QChar(5) + u')';
        QTest::newRow("plain") << "Val9=@Variant(" + five << u'@' + sFive;
        QTest::newRow("hex at sign") << "Val9=\\x40Variant(" + five << u'@' + sFive;
        QTest::newRow("octal at sign") << "Val9=\\100Variant(" + five << u'@' + sFive;
        QTest::newRow("quotes inside") << "Val9=\"@\"Variant(" + five << u'@' + sFive;
        QTest::newRow("line continued") << "Val9=@Vari\\\nant(" + five << u'@' + sFive;
        QTest::newRow("list item") << "Val9=a, @Variant(" + five << "a, @" + sFive;
    }
    void serialisedValueIsReadAsText() {
        QFETCH(QByteArray, line);
        QFETCH(QString, text);
        const QByteArray file = "[SYSTEM]\nSetSelect=0\n[ESET]\n" + line + "\n";
        const QString sProbe = workDir.path() + QStringLiteral("/probe.conf");
        QFile probe(sProbe);
        QVERIFY(probe.open(QIODevice::WriteOnly | QIODevice::Truncate) && probe.write(file) == file.size());
        probe.close();
        const QVariant v = QSettings(sProbe, QSettings::IniFormat).value(QStringLiteral("ESET/Val9"));
        const QVariant item = v.typeId() == QMetaType::QVariantList ? v.toList().value(1) : v;
        QCOMPARE(item.typeId(), int(QMetaType::Int));

        writeStore(file);
        QVERIFY(clsSystem::instance().loadRegistory(sApp) && clsSet2::instance().loadRegistory(sApp));
        QCOMPARE(clsSet2::instance().getValue(9).toString(), text);
        QVERIFY(clsSystem::instance().saveRegSetSelect(sApp));
        SettingsStore::reset();
        QCOMPARE(stored("ESET", "Val9"), text);
    }

    // Inputs the settings fuzzer found, a length of 48 GB among them: read as text, in little memory.
    void fuzzedSerialisedValuesAreText() {
        for (const char* sName :
             {"serialised-variant-huge-length.conf", "serialised-value-and-wrapped-surrogate-code.conf",
              "same-size-as-serialised-seed.conf"}) {
            const qint64 iBefore = TestSupport::resetPeakMemory();
            writeStore(fuzzInput(QString::fromLatin1(sName)));
            clsSystem::instance().loadRegistory(sApp);
            clsSet2::instance().loadRegistory(sApp);
            QVERIFY2(TestSupport::peakMemory() - iBefore < 16 * 1024 * 1024, sName);
        }
    }

    // Texts a user may type, through the save the dialogs use, a restart and a load: the same texts come
    // back, and a second save in the same run works. Files the program wrote with Qt's own format before
    // read the same, and Qt reads what is written now.
    void userTextsRoundTrip() {
        QStringList texts = {QStringLiteral("特売,@Variant("),
                             QStringLiteral("=@DateTime("),
                             QStringLiteral("@"),
                             QStringLiteral("@@x"),
                             QStringLiteral("\"quoted\""),
                             QStringLiteral("a\\b\\"),
                             QStringLiteral(" lead"),
                             QStringLiteral("tail "),
                             QStringLiteral("a,b;c=d"),
                             QStringLiteral("#x"),
                             QStringLiteral("[x]"),
                             QStringLiteral("😀①髙")};
        const QString sAlphabet = QStringLiteral(" ,;=@\"\\#[]%x0aé特①😀\t\n");
        QRandomGenerator random(15);
        while (texts.size() < 30) {
            QString s;
            for (int n = random.bounded(1, 12); n > 0; --n) {
                const qsizetype k = random.bounded(sAlphabet.size());
                s += sAlphabet[k].isSurrogate() ? sAlphabet.mid(sAlphabet.indexOf(u"😀"), 2)
                                                : QString(sAlphabet[k]);
            }
            texts << s;
        }
        clsFIL4& words = clsSet1::instance().FIL4();
        for (int iSave = 0; iSave < 2; ++iSave) {
            QVERIFY(words.setValue(2, {int(texts.size())}));
            for (int n = 0; n < texts.size(); ++n)
                QVERIFY(words.setValue(3, {texts[n], n}));
            QVERIFY(words.saveRegistory(sApp));
        }
        SettingsStore::reset();
        words.setDefault();
        QVERIFY(words.loadRegistory(sApp));
        const QSettings qt(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("PelimoMail"), sApp);
        for (int n = 0; n < texts.size(); ++n) {
            QCOMPARE(words.getValue(3, {n}).toString(), texts[n]);
            QCOMPARE(qt.value(QStringLiteral("FIL4/Val3_%1").arg(n)).toString(), texts[n]);
        }

        TestSupport::clearStore();
        {
            QSettings old(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("PelimoMail"), sApp);
            QCOMPARE(old.fileName(), SettingsStore::fileName(sApp));
            for (int n = 0; n < texts.size(); ++n)
                old.setValue(QStringLiteral("FIL4/Val3_%1").arg(n), texts[n]);
        }
        SettingsStore::reset();
        for (int n = 0; n < texts.size(); ++n)
            QCOMPARE(stored("FIL4", QStringLiteral("Val3_%1").arg(n)), texts[n]);
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
        QVERIFY(!QFileInfo::exists(clsSystem::ownTempDir()));
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
