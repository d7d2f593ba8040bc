#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsDetailCycle.h"
#include "engine/clsMailTransfer.h"
#include "engine/clsSimpleCycle.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

// What the program does when its surroundings fail: a server away for a while, a folder or a log it cannot
// write, a mailbox far beyond the store's hundred slots.

namespace {
const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");
const QString sPhone = QStringLiteral("phone@example.jp");

QByteArray mail(int n, const QByteArray& extraHeaders = QByteArray(), const QByteArray& body = "hello\r\n") {
    return "From: Sender <sender@example.com>\r\nTo: alice@example.jp\r\nSubject: fault mail " +
           QByteArray::number(n) + "\r\nMessage-ID: <fault" + QByteArray::number(n) + "@example.com>\r\n" +
           extraHeaders + "\r\n" + body;
}

QByteArray mailWithAttachment(int n) {
    return mail(
        n, "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n",
        "--b\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nsee the file\r\n"
        "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
        "filename=\"data.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\nAAECAwQFBgcICQ==\r\n--b--\r\n");
}

// Every one of n mails reached the phone's server exactly once.
#define VERIFY_EACH_SENT_ONCE(n)                                                                             \
    do {                                                                                                     \
        const QString sProblem = notEachOnce(sentCounts(), n);                                               \
        QVERIFY2(sProblem.isEmpty(), qPrintable(sProblem));                                                  \
    } while (false)

QString readLog(const QString& sName) {
    QFile file(logPath(sName));
    return file.open(QIODevice::ReadOnly) ? QStringDecoder(QStringDecoder::System).decode(file.readAll())
                                          : QString();
}
} // namespace

class tst_Faults : public QObject {
    Q_OBJECT

    DovecotServer dovecot;
    SmtpTestServer smtpServer;
    std::unique_ptr<QTemporaryDir> workDir;
    std::unique_ptr<Pop3Client> pop;
    std::unique_ptr<SmtpClient> smtp;
    std::unique_ptr<clsSimpleCycle> cycle;
    clsMailTransfer& store = clsMailTransfer::instance();
    qsizetype iSentBefore = 0;
    QByteArray sTmpDirBefore;
    QString sCurrentBefore;

    // Mails that reached the server since the test began, by subject.
    QMap<QString, int> sentCounts() const {
        QMap<QString, int> counts;
        for (const SmtpTestServer::Message& m : smtpServer.messages().mid(iSentBefore))
            ++counts[m.facts.value(QStringLiteral("subject")).toString()];
        return counts;
    }
    int sentTotal() const { return int(smtpServer.messages().size() - iSentBefore); }

    // What keeps the n mails from having reached the server exactly once each; empty when nothing does.
    static QString notEachOnce(const QMap<QString, int>& counts, int n) {
        QStringList problems;
        if (counts.size() != n)
            problems << QStringLiteral("%1 different mails sent, not %2").arg(counts.size()).arg(n);
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            if (it.value() != 1)
                problems << QStringLiteral("%1 sent %2 times").arg(it.key()).arg(it.value());
        return problems.join(QStringLiteral("; "));
    }

    // One account, one send entry to the phone, a check at every tick.
    void useDetailedSettings() {
        clsSet1& set = clsSet1::instance();
        set.setDefault(0);
        set.WTH1().setValue(2, {1});
        QVERIFY(set.SRV1().additionValue(0, {QStringLiteral("127.0.0.1:%1").arg(dovecot.port()),
                                             encodePassWord(sUser), encodePassWord(sPassword),
                                             QStringLiteral("alice@example.jp")}));
        QVERIFY(set.SRV2().additionValue(0, {QStringLiteral("127.0.0.1:%1").arg(smtpServer.port()), QString(),
                                             QString(), sPhone, QString(), QString()}));
        QVERIFY(set.SRV2().setValue(1, {1}));
    }

    void newComponents() {
        cycle.reset();
        pop = std::make_unique<Pop3Client>();
        smtp = std::make_unique<SmtpClient>();
        for (qint32* limit :
             {&pop->ConnectTimeout, &pop->ReplyTimeout, &smtp->ConnectTimeout, &smtp->ReplyTimeout})
            *limit = 10;
        cycle = std::make_unique<clsSimpleCycle>(*pop, *smtp);
        cycle->start();
    }

private Q_SLOTS:
    void initTestCase() {
        sTmpDirBefore = qgetenv("TMPDIR");
        sCurrentBefore = QDir::currentPath();
        SmtpTestServer::Options options;
        options.sUser = sUser;
        options.sPassword = sPassword;
        QVERIFY(smtpServer.start(options));
    }

    void init() {
        QVERIFY(dovecot.start());
        workDir = std::make_unique<QTemporaryDir>();
        QVERIFY(workDir->isValid());
        setProgramFolder(workDir->path());
        TestSupport::clearStore();
        pointSimpleSetAt(dovecot, smtpServer, sUser, sPassword, sPhone, 1, 0);
        clsSystem::instance().RunLog = true;
        smtpServer.setControl({});
        iSentBefore = smtpServer.messages().size();
        newComponents();
    }

    void cleanup() {
        cycle.reset();
        store.clearClass();
        if (sTmpDirBefore.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", sTmpDirBefore);
        QDir::setCurrent(sCurrentBefore);
        if (!smtpServer.isRunning())
            QVERIFY(smtpServer.restart());
        if (QTest::currentTestFailed())
            qDebug().noquote() << readLog(QStringLiteral("PLRun.log")).right(3000);
    }

    // While the phone's server is away the mail piles up, more than the store holds; when it is back every
    // mail goes, once.
    void smtpServerAwayForTenChecks() {
        int n = 0;
        QVERIFY(smtpServer.isRunning());
        smtpServer.stop();
        for (int iCheck = 0; iCheck < 10; ++iCheck) {
            for (int i = 0; i < 12; ++i)
                QVERIFY(!dovecot.addMessage(sUser, mail(++n)).isEmpty());
            QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
            QCOMPARE(cycle->minuteCount(), qint16(0));
        }
        QVERIFY(readLog(QStringLiteral("sendmail.log")).contains(QStringLiteral("----->送信結果:NG")));
        QVERIFY(smtpServer.restart());
        QCOMPARE(sentTotal(), 0);

        for (int iCheck = 0; iCheck < 5 && sentTotal() < n; ++iCheck)
            QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        VERIFY_EACH_SENT_ONCE(n);
    }

    // The same in the detailed mode, at the smallest: a store full of mail that could not go.
    void smtpServerAwayWhileTheDetailedStoreFills() {
        useDetailedSettings();
        clsDetailCycle detail(*pop, *smtp);
        detail.start();
        smtpServer.stop();
        for (int n = 1; n <= clsMailTransfer::iSlots + 1; ++n)
            QVERIFY(!dovecot.addMessage(sUser, mail(n)).isEmpty());
        QCOMPARE(detail.tick(), CheckOutcome::CarryOn);
        QVERIFY(smtpServer.restart());
        for (int iCheck = 0; iCheck < 3; ++iCheck)
            QCOMPARE(detail.tick(), CheckOutcome::CarryOn);
        VERIFY_EACH_SENT_ONCE(clsMailTransfer::iSlots + 1);
    }

    // The POP3 component keeps what it reads in the temporary folder. Where that is a file, no mail can be
    // read: it stays on the server, the run log says why, and it goes once the folder is usable again.
    void temporaryFolderUnusable() {
        const QString sNotAFolder = workDir->filePath(QStringLiteral("tmp-is-a-file"));
        QFile file(sNotAFolder);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        qputenv("TMPDIR", QFile::encodeName(sNotAFolder));
        newComponents();
        dovecot.addMessage(sUser, mail(1));
        dovecot.addMessage(sUser, mail(2));

        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sentTotal(), 0);
        QVERIFY(!store.getRegister(0));
        QVERIFY2(readLog(QStringLiteral("PLRun.log"))
                     .contains(QStringLiteral("POP3: 127.0.0.1:%1 ").arg(dovecot.port())),
                 qPrintable(readLog(QStringLiteral("PLRun.log"))));

        const QString sFolder = workDir->filePath(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(sFolder));
        qputenv("TMPDIR", QFile::encodeName(sFolder));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        VERIFY_EACH_SENT_ONCE(2);

        // A cleaner of old temporary files takes the folder away while the program runs.
        const QStringList caches = QDir(sFolder).entryList({QStringLiteral("pelimo-pop3-*")}, QDir::Dirs);
        QCOMPARE(caches.size(), 1);
        QVERIFY(QDir(sFolder + u'/' + caches.front()).removeRecursively());
        dovecot.addMessage(sUser, mail(3));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        VERIFY_EACH_SENT_ONCE(3);
    }

    // The detailed mode keeps attachments in its temporary folder; they never go to the phone. Where the
    // folder is a file the mail still goes, once, and the run log names what was not kept.
    void attachmentFolderIsAFile() {
        QDir(clsSystem::ownTempDir()).removeRecursively();
        QVERIFY(QDir().mkpath(QFileInfo(clsSystem::ownTempDir()).absolutePath()));
        QFile blocker(clsSystem::ownTempDir());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        clsSystem::instance().makeTempDir(QStringLiteral("Q-Post"));
        QCOMPARE(clsSystem::instance().getValueTempDir(), blocker.fileName());

        useDetailedSettings();
        clsDetailCycle detail(*pop, *smtp);
        detail.start();
        dovecot.addMessage(sUser, mailWithAttachment(1));

        QCOMPARE(detail.tick(), CheckOutcome::CarryOn);
        QCOMPARE(detail.tick(), CheckOutcome::CarryOn);
        VERIFY_EACH_SENT_ONCE(1);
        QVERIFY(QFileInfo(blocker.fileName()).isFile());
        QVERIFY(blocker.remove());
        QVERIFY2(readLog(QStringLiteral("PLRun.log")).contains(QStringLiteral("data.bin")),
                 qPrintable(readLog(QStringLiteral("PLRun.log"))));
        clsSystem::instance().setDefault();
    }

    // Logs that cannot be opened (a folder where each file should be, which root cannot write either) are
    // passed over: the check forwards as ever.
    void logsNotWritable() {
        for (const char* sName : {"PLRun.log", "sendmail.log", "recvmail.log", "PLPop3.log", "PLSmtp.log"})
            QVERIFY(QDir().mkpath(logPath(QLatin1String(sName))));
        pop->LogFile = logPath(QStringLiteral("PLPop3.log"));
        smtp->LogFile = logPath(QStringLiteral("PLSmtp.log"));
        clsSet2::instance().setValue(8, {QStringLiteral("40")});
        dovecot.addMessage(sUser, mail(1, QByteArray(), QByteArray(100, 'x') + "\r\n"));

        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QVERIFY(sentTotal() > 1);
        QCOMPARE(sentCounts().size(), 1);
        QVERIFY(store.getTrans(0));
    }

    // Two thousand messages: each check takes what the hundred slots allow, and across checks every one
    // goes once.
    void mailboxOfTwoThousand() {
        constexpr int iMessages = 2000;
        for (int n = 1; n <= iMessages; ++n)
            QVERIFY(!dovecot.addMessage(sUser, mail(n)).isEmpty());
        int iChecks = 0;
        for (; iChecks < 25 && sentTotal() < iMessages; ++iChecks) {
            const int iBefore = sentTotal();
            QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
            QVERIFY(store.getReciveMailTotal() <= clsMailTransfer::iSlots);
            QVERIFY2(sentTotal() - iBefore <= clsMailTransfer::iSlots,
                     qPrintable(QString::number(sentTotal() - iBefore)));
        }
        QCOMPARE(iChecks, iMessages / clsMailTransfer::iSlots);
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        VERIFY_EACH_SENT_ONCE(iMessages);
        QCOMPARE(store.getTransAll(), iMessages);
    }

    // More mail left on the server than the POP3 component keeps whole copies of: what it holds costs no
    // download at the next checks.
    void mailboxBeyondTheWholeCopies() {
        // A megabyte each, nearly all of it an attachment, which is not forwarded.
        QByteArray lines;
        for (int i = 0; i < 1024 * 1024 / 78; ++i)
            lines += QByteArray(76, 'A') + "\r\n";
        const QByteArray headers = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n";
        const QByteArray body = "--b\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nsee the file\r\n"
                                "--b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: "
                                "base64\r\n\r\n" +
                                lines + "--b--\r\n";
        for (int n = 1; n <= 70; ++n)
            QVERIFY(!dovecot.addMessage(sUser, mail(n, headers, body)).isEmpty());
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        const qint64 iBefore = pop->bytesReceived();
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        const qint64 iIdle = pop->bytesReceived() - iBefore;
        QVERIFY2(iIdle < 64 * 1024, qPrintable(QString::number(iIdle)));
        VERIFY_EACH_SENT_ONCE(70);
    }

    // One POP3 component reads every account. Accounts made in the same second get the same unique ids from
    // Dovecot, as many servers give plain numbers: each account's mail is its own all the same.
    void twoAccountsWithTheSameUniqueIds() {
        DovecotServer twins;
        DovecotServer::Options options;
        options.users = {{QStringLiteral("alice"), sPassword}, {QStringLiteral("bob"), sPassword}};
        QVERIFY(twins.start(options));
        twins.addMessage(QStringLiteral("alice"), mail(1));
        twins.addMessage(QStringLiteral("bob"), mail(2));
        const QString sServer = QStringLiteral("127.0.0.1:%1").arg(twins.port());
        QCOMPARE(store.mailRecive(*pop, sServer, QStringLiteral("alice"), sPassword, QString()), 1);
        QCOMPARE(store.mailRecive(*pop, sServer, QStringLiteral("bob"), sPassword, QString()), 1);
        QCOMPARE(store.getReciveMailTotal(), 2);
        QCOMPARE(store.getSbuject(1), QStringLiteral("fault mail 2"));
    }
};

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
