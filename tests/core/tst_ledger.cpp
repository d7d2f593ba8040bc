#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsForwardLedger.h"
#include "engine/clsMailTransfer.h"
#include "engine/clsSimpleCycle.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <memory>

// Mail left on the server reaches the phone once, whatever happens to the program in between: a pause and a
// new start, a stop, a restart, the process killed between checks or in the middle of a send, and servers
// whose ids are shared, missing or the same in two mailboxes.
namespace {
const QString sAppName = QStringLiteral("Q-Post");
const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");
const QString sPhone = QStringLiteral("phone@example.jp");
const char* const sChildVariable = "PELIMO_LEDGER_CHILD";

QByteArray mail(const QString& sSubject, const QByteArray& from = "Sender <sender@example.com>",
                const QByteArray& body = "hello there\r\n") {
    static int n = 0;
    return "From: " + from + "\r\nTo: alice@example.jp\r\nSubject: " + sSubject.toUtf8() +
           "\r\nMessage-ID: <l" + QByteArray::number(++n) + "@example.com>\r\n\r\n" + body;
}

// Sixty distinct characters: three pages at a page size of 32.
const QByteArray sThreePages = "aaaaaaaaaabbbbbbbbbbccccccccccddddddddddeeeeeeeeeeffffffff\r\n";

// The program as a process of its own, for the tests that kill it: one check with the stored settings, then
// it waits to be killed.
int runChild() {
    setProgramFolder(qEnvironmentVariable("PELIMO_CHILD_LOGS"));
    clsSystem::instance().loadRegistory(sAppName);
    if (!clsSet2::instance().loadRegistory(sAppName))
        return 3;
    Pop3Client pop;
    SmtpClient smtp;
    clsSimpleCycle cycle(pop, smtp);
    cycle.start();
    cycle.check();
    std::fputs("checked\n", stdout);
    std::fflush(stdout);
    QThread::sleep(60);
    return 0;
}
} // namespace

class tst_ledger : public QObject {
    Q_OBJECT

    DovecotServer dovecot;
    SmtpTestServer smtpServer;
    QTemporaryDir logDir;
    std::unique_ptr<Pop3Client> pop;
    std::unique_ptr<SmtpClient> smtp;
    std::unique_ptr<clsSimpleCycle> cycle;
    qsizetype iSentBefore = 0;

    // The program started anew: nothing of the last run is in memory.
    void startProgram() {
        clsForwardLedger::instance().close();
        cycle.reset();
        pop = std::make_unique<Pop3Client>();
        smtp = std::make_unique<SmtpClient>();
        cycle = std::make_unique<clsSimpleCycle>(*pop, *smtp);
        cycle->start();
    }

    void pointAt(const QString& sServer, qint16 iPageSize = 0) {
        pointSimpleSetAt(dovecot, smtpServer, sUser, sPassword, sPhone, 1, iPageSize);
        clsSet2::instance().setValue(1, {sServer});
    }
    QString dovecotAddress() const { return QStringLiteral("127.0.0.1:%1").arg(dovecot.port()); }

    // Subjects the phone got since the test began, a divided mail's pages with their marks.
    QStringList received() const {
        QStringList out;
        const QList<SmtpTestServer::Message> all = smtpServer.messages();
        static const QRegularExpression mark(QStringLiteral("^ペリモ (\\d\\d/\\d\\d)"));
        for (qsizetype i = iSentBefore; i < all.size(); ++i) {
            const QJsonObject& facts = all.at(i).facts;
            const QRegularExpressionMatch m = mark.match(facts.value(QStringLiteral("body")).toString());
            out << facts.value(QStringLiteral("subject")).toString() +
                       (m.hasMatch() ? u' ' + m.captured(1) : QString());
        }
        return out;
    }

    // The program run again as a child process sharing this one's folders; answers once its check is done,
    // or once the SMTP server stalls in it.
    bool startChild(QProcess& child, const QString& sWaitFor) {
        if (!clsSet2::instance().saveRegistory(sAppName))
            return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(sChildVariable), QStringLiteral("1"));
        env.insert(QStringLiteral("PELIMO_TEST_SANDBOX"), TestSupport::sandboxDir());
        env.insert(QStringLiteral("PELIMO_CHILD_LOGS"), logDir.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        if (!child.waitForStarted(10000))
            return false;
        QDeadlineTimer deadline(30000);
        while (!deadline.hasExpired()) {
            if (sWaitFor.isEmpty() ? child.readAllStandardOutput().contains("checked")
                                   : smtpServer.log().contains(sWaitFor))
                return true;
            child.waitForReadyRead(100);
        }
        return false;
    }

    static void killChild(QProcess& child) {
        child.kill(); // SIGKILL: no destructor, no shutdown step runs
        child.waitForFinished(10000);
    }

private Q_SLOTS:
    void initTestCase() {
        setProgramFolder(logDir.path());
        // The receive account also signs in to the SMTP server.
        QVERIFY(smtpServer.start(SmtpTestServer::Options::login(sUser, sPassword)));
    }

    void init() {
        TestSupport::clearStore();
        clsSystem::instance().RunLog = true;
        rotateLogs();
        smtpServer.setControl({});
        iSentBefore = smtpServer.messages().size();
        if (!dovecot.isRunning())
            QVERIFY(dovecot.start());
        pointAt(dovecotAddress());
        startProgram();
    }

    void cleanup() { dovecot.stop(); }

    // After a pause by mail and a new start, after a stop and a restart: nothing old, no command twice, and
    // a pause that came with a stop does not act at the next start.
    void pauseStopAndRestartForwardNothingOld() {
        dovecot.addMessage(sUser, mail(QStringLiteral("one")));
        dovecot.addMessage(sUser, mail(QStringLiteral("two")));
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        dovecot.addMessage(sUser, mail(QStringLiteral("PAUSE_MAIL"), sPhone.toUtf8()));
        QCOMPARE(cycle->check(), CheckOutcome::Pause);

        cycle->start();
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        dovecot.addMessage(sUser, mail(QStringLiteral("PAUSE_MAIL again"), sPhone.toUtf8()));
        dovecot.addMessage(sUser, mail(QStringLiteral("STOP_MAIL"), sPhone.toUtf8()));
        QCOMPARE(cycle->check(), CheckOutcome::Stop);

        startProgram();
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        dovecot.addMessage(sUser, mail(QStringLiteral("three")));
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(received(), (QStringList{u"one"_qs, u"two"_qs, u"ペリモメール中断通知"_qs,
                                          u"ペリモメール終了通知"_qs, u"three"_qs}));
    }

    // Killed between two checks, then in the middle of a divided mail: after the restart the phone has had
    // every page once.
    void killedProgramRepeatsNothing() {
        pointAt(dovecotAddress(), 32);
        dovecot.addMessage(sUser, mail(QStringLiteral("first"), "Sender <sender@example.com>", sThreePages));
        QProcess child;
        QVERIFY(startChild(child, QString()));
        killChild(child);
        startProgram();
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(received(), (QStringList{u"first 03/03"_qs, u"first 02/03"_qs, u"first 01/03"_qs}));

        dovecot.addMessage(sUser, mail(QStringLiteral("second"), "Sender <sender@example.com>", sThreePages));
        smtpServer.setControl({{u"stall_on"_qs, u"DATA_END"_qs}, {u"faults_after"_qs, 2}});
        QProcess stalled;
        QVERIFY2(startChild(stalled, QStringLiteral("stalling on DATA_END")), qPrintable(smtpServer.log()));
        killChild(stalled);
        smtpServer.setControl({});
        startProgram();
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(received().mid(3),
                 (QStringList{u"second 03/03"_qs, u"second 02/03"_qs, u"second 01/03"_qs}));
    }

    // Two servers giving the same ids, one mailbox giving one id to every mail, a server with no ids at
    // all: every mail arrives, once.
    void sharedSameOrMissingIds() {
        dovecot.stop();
        DovecotServer::Options sameIds;
        sameIds.sUidlFormat = QStringLiteral("%u");
        QVERIFY(dovecot.start(sameIds));
        DovecotServer other;
        QVERIFY(other.start(sameIds));
        dovecot.addMessage(sUser, mail(QStringLiteral("for alice")));
        other.addMessage(sUser, mail(QStringLiteral("for alice elsewhere")));
        for (int iRun = 0; iRun < 2; ++iRun) {
            for (const DovecotServer* server : {&dovecot, &other}) {
                pointAt(QStringLiteral("127.0.0.1:%1").arg(server->port()));
                QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
            }
            startProgram();
        }
        QCOMPARE(received(), (QStringList{u"for alice"_qs, u"for alice elsewhere"_qs}));

        dovecot.stop();
        DovecotServer::Options oneId;
        oneId.sUidlFormat = QStringLiteral("%v");
        QVERIFY(dovecot.start(oneId));
        pointAt(dovecotAddress());
        dovecot.addMessage(sUser, mail(QStringLiteral("shared 1")));
        dovecot.addMessage(sUser, mail(QStringLiteral("shared 2")));
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        startProgram();
        dovecot.addMessage(sUser, mail(QStringLiteral("shared 3")));
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(received().mid(2), (QStringList{u"shared 1"_qs, u"shared 2"_qs, u"shared 3"_qs}));

        Pop3FaultServer noIds;
        QVERIFY(noIds.start(QStringLiteral("no-uidl")));
        pointAt(QStringLiteral("127.0.0.1:%1").arg(noIds.port()));
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        startProgram();
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(received().mid(5), (QStringList{u"no id 1"_qs, u"no id 2"_qs}));
    }

    // A record that cannot be read is kept aside; what is on the server then is taken as dealt with, and only
    // mail that comes later is forwarded. The record follows the mailbox down when mail is deleted.
    void damagedOrShrinkingRecord() {
        for (const char* sSubject : {"kept 1", "kept 2", "kept 3"})
            dovecot.addMessage(sUser, mail(QString::fromLatin1(sSubject)));
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        clsForwardLedger& ledger = clsForwardLedger::instance();
        const QString sAccount = dovecotAddress() + u'\n' + sUser;
        QCOMPARE(ledger.entryCount(sAccount), 3);
        // Readable by its owner alone.
        QCOMPARE(int(QFile::permissions(ledger.filePath()) & 0x0077), 0);
        // Dovecot has moved the mails it served to cur/.
        const QDir cur(dovecot.maildir(sUser) + QStringLiteral("/cur"));
        const QStringList files = cur.entryList(QDir::Files, QDir::Name);
        QCOMPARE(files.size(), 3);
        QVERIFY(QFile::remove(cur.filePath(files.at(0))) && QFile::remove(cur.filePath(files.at(1))));
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(ledger.entryCount(sAccount), 1);

        ledger.close();
        QFile file(ledger.filePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray(4096, 'x'));
        file.close();
        dovecot.addMessage(sUser, mail(QStringLiteral("while damaged")));
        const QString sNote = ledger.open();
        QVERIFY2(sNote.contains(QStringLiteral("別名で残しました")), qPrintable(sNote));
        const QStringList aside =
            QFileInfo(ledger.filePath())
                .dir()
                .entryList({QFileInfo(ledger.filePath()).fileName() + u".damaged-*"_qs});
        QCOMPARE(aside.size(), 1);
        startProgram();
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        dovecot.addMessage(sUser, mail(QStringLiteral("after")));
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(received(), (QStringList{u"kept 1"_qs, u"kept 2"_qs, u"kept 3"_qs, u"after"_qs}));
        QFile runLog(logPath(QStringLiteral("PLRun.log")));
        QVERIFY(runLog.open(QIODevice::ReadOnly));
        QVERIFY(
            QString::fromLocal8Bit(runLog.readAll()).contains(u"2件のメールを転送済みとして扱いました"_qs));
    }
};

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(sChildVariable))
        return runChild();
    tst_ledger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ledger.moc"
