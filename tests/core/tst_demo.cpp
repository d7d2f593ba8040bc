#include "TestSupport.h"

#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsSimpleCycle.h"
#include "settings/SettingsStore.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

// scripts/demo.py, behind "scripts/run --demo": its store must let the start button run at once, its mailbox
// must reach the phone, and however the demo ends, nothing it started may stay behind.

namespace {
const QString sApp = QStringLiteral("Q-Post");

QString demoScript() {
    return QDir::cleanPath(QString::fromLocal8Bit(qgetenv("PELIMO_TEST_SERVERS")) + "/../../scripts/demo.py");
}

QString readFile(const QString& sPath) {
    QFile file(sPath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool portOpen(int iPort) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(iPort));
    return socket.waitForConnected(1000);
}

// The demo's folder goes into the sandbox, so that even a failed test leaves nothing in /tmp. As root,
// Dovecot's own users must pass through the owner-only sandbox to the maildir.
QString demoTmp() {
    const QString sTmp = TestSupport::sandboxDir() + QStringLiteral("/demo-tmp");
    QDir().mkpath(sTmp);
    if (::geteuid() == 0)
        for (const QString& sDir : {TestSupport::sandboxDir(), sTmp})
            ::chmod(QFile::encodeName(sDir).constData(), 0711);
    return sTmp;
}

void startDriver(QProcess& driver, const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), demoTmp());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    driver.setProcessEnvironment(env);
    driver.start(QStringLiteral("/usr/bin/python3"), QStringList{demoScript()} + args);
}
} // namespace

class tst_demo : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        // Logs land in the current folder.
        QVERIFY(QDir::setCurrent(TestSupport::sandboxDir()));
    }

    void storeRunsTheSimpleSetAndTheMailboxReachesThePhone() {
        QProcess driver;
        startDriver(driver, {QStringLiteral("--servers-only")});
        QVERIFY(driver.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(driver.canReadLine(), 30000);
        const QJsonObject ready = QJsonDocument::fromJson(driver.readLine()).object();
        const int iPop3 = ready.value(QStringLiteral("pop3_port")).toInt();
        const int iSmtp = ready.value(QStringLiteral("smtp_port")).toInt();
        const QString sPhone = ready.value(QStringLiteral("destination")).toString();

        // Loaded the way the program starts.
        TestSupport::clearStore();
        const QString sStore = SettingsStore::fileName(sApp);
        QVERIFY(QDir().mkpath(QFileInfo(sStore).absolutePath()));
        QVERIFY(QFile::copy(ready.value(QStringLiteral("config")).toString() + "/PelimoMail/Q-Post.conf",
                            sStore));
        SettingsStore::reset();
        clsSystem& sys = clsSystem::instance();
        clsSet2& set = clsSet2::instance();
        QVERIFY(sys.loadRegistory(sApp) && clsSet1::instance().loadRegistory(0, sApp) &&
                set.loadRegistory(sApp));
        QCOMPARE(sys.currentSetId(), clsSystem::ID_SIMPLE);
        QVERIFY(sys.getValueSetting(clsSystem::ID_SIMPLE) && sys.getValueTest(clsSystem::ID_SIMPLE));
        QCOMPARE(set.getValue(1).toString(), QStringLiteral("127.0.0.1:%1").arg(iPop3));
        QCOMPARE(decodePassWord(set.getValue(2).toString()), ready.value(QStringLiteral("user")).toString());
        QCOMPARE(decodePassWord(set.getValue(3).toString()),
                 ready.value(QStringLiteral("password")).toString());
        QCOMPARE(set.getValue(4).toString(), QStringLiteral("127.0.0.1:%1").arg(iSmtp));
        QCOMPARE(set.getValue(5).toString(), sPhone);
        QCOMPARE(set.getValue(6).toInt(), 1);
        QVERIFY(set.getValue(8).toInt() >= 100); // the least page size the settings dialog takes

        // With a one-minute interval the first tick checks.
        {
            Pop3Client pop;
            SmtpClient smtp;
            clsSimpleCycle cycle(pop, smtp);
            cycle.start();
            QCOMPARE(cycle.tick(), CheckOutcome::CarryOn);
        }
        QStringList subjects;
        const QDir phone(ready.value(QStringLiteral("phone")).toString());
        for (const QString& sName :
             phone.entryList({QStringLiteral("[0-9]*.json")}, QDir::Files, QDir::Name)) {
            const QJsonObject facts =
                QJsonDocument::fromJson(readFile(phone.filePath(sName)).toUtf8()).object();
            QCOMPARE(facts.value(QStringLiteral("rcpt_tos")).toArray(), QJsonArray{sPhone});
            subjects << facts.value(QStringLiteral("subject")).toString();
        }
        const QString sLong = QStringLiteral("大阪出張のご報告（6月3日〜5日）");
        QVERIFY2(subjects.count(sLong) >= 3, qPrintable(subjects.join(u'|')));
        subjects.removeDuplicates();
        subjects.sort();
        QCOMPARE(subjects, QStringList({QStringLiteral("Lunch on Friday?"), sLong,
                                        QStringLiteral("明日の打ち合わせについて"),
                                        QStringLiteral("見積書をお送りします")}));

        // Every page is shown; Ctrl-C then stops both servers and removes the folder.
        QByteArray shown;
        QTRY_VERIFY((shown += driver.readAllStandardOutput()).count("件名 Subject: " + sLong.toUtf8()) >= 3);
        ::kill(pid_t(driver.processId()), SIGINT);
        QVERIFY(driver.waitForFinished(20000));
        QCOMPARE(driver.exitCode(), 128 + SIGINT);
        QVERIFY(!QFileInfo::exists(ready.value(QStringLiteral("folder")).toString()));
        QVERIFY(!portOpen(iPop3) && !portOpen(iSmtp));
    }

    void programRunsOnTheThrowawayStoreAndTheDemoEndsWithIt() {
        const QString sProgram = QString::fromLocal8Bit(qgetenv("PELIMO_PROGRAM"));
        if (sProgram.isEmpty())
            QSKIP("PELIMO_PROGRAM names no program");
        const QString sTmp = demoTmp();
        TestSupport::clearStore();
        QProcess driver;
        startDriver(driver, {QStringLiteral("--program"), sProgram});

        // Started in the demo's folder: its one-instance lock and its TmpFiles folder are there.
        QString sFolder;
        auto started = [&] {
            const QStringList found = QDir(sTmp).entryList({QStringLiteral("pelimo-demo-*")}, QDir::Dirs);
            sFolder = found.isEmpty() ? QString() : sTmp + u'/' + found.first();
            return !sFolder.isEmpty() && QFile::exists(sFolder + "/runtime/PelimoMail.lock") &&
                   readFile(sFolder + "/config/PelimoMail/Q-Post.conf")
                       .contains("TempDir=" + sFolder + "/cache/");
        };
        QTRY_VERIFY_WITH_TIMEOUT(started(), 60000);
        QVERIFY(!QFile::exists(SettingsStore::fileName(sApp)));
        QVERIFY(!QFile::exists(TestSupport::sandboxDir() + "/runtime/PelimoMail.lock"));
        const QString sStore = readFile(sFolder + "/config/PelimoMail/Q-Post.conf");
        const int iPop3 =
            QRegularExpression(QStringLiteral("Val1=127.0.0.1:(\\d+)")).match(sStore).captured(1).toInt();
        QVERIFY(portOpen(iPop3));

        // The program ending ends the demo.
        const qint64 iProgram =
            readFile(sFolder + "/runtime/PelimoMail.lock").section(u'\n', 0, 0).toLongLong();
        QVERIFY(iProgram > 0);
        QCOMPARE(::kill(pid_t(iProgram), SIGTERM), 0);
        QVERIFY(driver.waitForFinished(20000));
        QVERIFY(driver.readAllStandardOutput().contains("PelimoMail ended"));
        QVERIFY(!QFileInfo::exists(sFolder));
        QVERIFY(!portOpen(iPop3));
    }
};

QTEST_GUILESS_MAIN(tst_demo)
#include "tst_demo.moc"
