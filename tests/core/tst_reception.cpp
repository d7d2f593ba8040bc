#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/clsMailTransfer.h"
#include "settings/clsSet1.h"
#include "settings/clsSystem.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>
#include <stdexcept>

namespace {
const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");

QByteArray plainMail(int n, const QByteArray& extraHeaders = QByteArray(),
                     const QByteArray& body = "hello\r\n") {
    return "From: Sender " + QByteArray::number(n) + " <sender" + QByteArray::number(n) +
           "@example.com>\r\nTo: alice@example.jp\r\nSubject: mail " + QByteArray::number(n) +
           "\r\nMessage-ID: <m" + QByteArray::number(n) + "@example.com>\r\n" + extraHeaders + "\r\n" + body;
}
} // namespace

class tst_Reception : public QObject {
    Q_OBJECT

    DovecotServer dovecot;
    QTemporaryDir logDir;
    clsMailTransfer& store = clsMailTransfer::instance();

    qint32 visit(Pop3Client& pop, const QString& sTempDir = QString()) {
        return store.mailRecive(pop, QStringLiteral("127.0.0.1:%1").arg(dovecot.port()), sUser, sPassword,
                                sTempDir);
    }

    void restartServer() {
        dovecot.stop();
        QVERIFY(dovecot.start());
    }

private Q_SLOTS:
    void initTestCase() { setProgramFolder(logDir.path()); }

    void init() {
        restartServer();
        store.clearClass();
        TestSupport::clearStore();
        clsSet1::instance().setDefault(0);
        clsSystem::instance().RunLog = false;
        QFile::remove(logPath(QStringLiteral("recvmail.log")));
    }

    void aMailboxIsStoredOnceAcrossVisits() {
        for (int n = 1; n <= 3; ++n)
            dovecot.addMessage(sUser, plainMail(n));
        Pop3Client pop;
        QCOMPARE(visit(pop), 3);
        QCOMPARE(store.getReciveMailTotal(), 3);
        QCOMPARE(store.getReciveMailNum(), 3);
        for (int s = 0; s < 3; ++s) {
            QVERIFY(store.getRegister(s));
            QVERIFY(!store.getTrans(s));
            QCOMPARE(store.getSbuject(s), QStringLiteral("mail %1").arg(s + 1));
            QCOMPARE(store.getFrom(s), QStringLiteral("sender%1@example.com").arg(s + 1));
            QCOMPARE(store.getNickName(s), QStringLiteral("Sender %1").arg(s + 1));
            // No fixed sender, the user not among the recipients: the comment is just a line end.
            QCOMPARE(store.getBody(s), QStringLiteral("\r\nhello\r\n"));
            QCOMPARE(store.getExMsg(s, 0),
                     QStringLiteral("From: Sender %1 <sender%1@example.com>").arg(s + 1));
            QCOMPARE(store.getExMsgCount(s), 4);
        }
        QCOMPARE(visit(pop), 3);
        QCOMPARE(store.getReciveMailTotal(), 3);
        // A new client (the test window, a restart of the component) knows nothing, the store still does.
        Pop3Client fresh;
        QCOMPARE(visit(fresh), 3);
        QCOMPARE(store.getReciveMailTotal(), 3);
        QVERIFY(!store.getRegister(3));
    }

    void mailThatSharesMostHeaderLinesIsStillNew() {
        const QByteArray received =
            "Received: from list.example.org by mx.example.jp; Mon, 1 Jan 2024 00:00:00\r\n";
        QByteArray listHeader;
        for (int i = 0; i < 25; ++i)
            listHeader += received;
        // Same first 25 lines, differing only past the twentieth kept line.
        dovecot.addMessage(sUser, listHeader + "Subject: a\r\n\r\none\r\n");
        dovecot.addMessage(sUser, listHeader + "Subject: b\r\n\r\ntwo\r\n");
        // No header at all, and two with the same single line.
        dovecot.addMessage(sUser, "\r\nbare one\r\n");
        dovecot.addMessage(sUser, "\r\nbare two\r\n");
        dovecot.addMessage(sUser, "X-Only: 1\r\n\r\nfirst\r\n");
        dovecot.addMessage(sUser, "X-Only: 1\r\n\r\nsecond\r\n");
        Pop3Client pop;
        QCOMPARE(visit(pop), 6);
        QCOMPARE(store.getReciveMailTotal(), 5);
        QCOMPARE(store.getExMsgCount(0), 20);
        QCOMPARE(store.getSbuject(1), QStringLiteral("b"));
        QCOMPARE(visit(pop), 6);
        QCOMPARE(store.getReciveMailTotal(), 5);
    }

    void fullStoreTakesOnlyWhatFits() {
        for (int n = 1; n <= 70; ++n)
            dovecot.addMessage(sUser, plainMail(n));
        Pop3Client pop;
        QCOMPARE(visit(pop), 70);
        for (int n = 71; n <= 120; ++n)
            dovecot.addMessage(sUser, plainMail(n));
        visit(pop);
        QCOMPARE(store.getReciveMailTotal(), 100);
        QCOMPARE(store.getSbuject(99), QStringLiteral("mail 100"));
        QCOMPARE(store.getReciveMailNum(), 100);
    }

    void moreThanAHundredMailsAreForwardedExactlyOnce() {
        for (int n = 1; n <= 150; ++n)
            dovecot.addMessage(sUser, plainMail(n));
        Pop3Client pop;
        QSet<QString> forwarded;
        auto forwardAll = [&] {
            for (qint32 s = 0; s < store.getReciveMailTotal(); ++s) {
                if (store.getRegister(s) && !store.getTrans(s) && !store.getStop(s)) {
                    const QString sSubject = store.getSbuject(s);
                    if (forwarded.contains(sSubject))
                        return false;
                    forwarded.insert(sSubject);
                    store.setTrans(s, true);
                }
            }
            return true;
        };
        visit(pop);
        QCOMPARE(store.getReciveMailTotal(), 100);
        QVERIFY(forwardAll());
        QCOMPARE(forwarded.size(), 100);
        visit(pop);
        QVERIFY(forwardAll());
        QCOMPARE(forwarded.size(), 150);
        for (int n = 151; n <= 153; ++n)
            dovecot.addMessage(sUser, plainMail(n));
        visit(pop);
        QVERIFY(forwardAll());
        visit(pop);
        QVERIFY(forwardAll());
        QCOMPARE(forwarded.size(), 153);
        QCOMPARE(store.getTransAll(), 153);
        QCOMPARE(store.getReciveMailTotal(), 100);
    }

    void recipientsAreCappedButAllLogged() {
        QByteArray to = "To: ";
        for (int k = 1; k <= 25; ++k)
            to += (k > 1 ? ", " : "") + QByteArray("R") + QByteArray::number(k) + " <r" +
                  QByteArray::number(k) + "@example.jp>";
        dovecot.addMessage(sUser, "From: a@example.com\r\n" + to +
                                      "\r\nCc: c1@example.jp\r\nSubject: many\r\n\r\nbody\r\n");
        clsSystem::instance().RunLog = true;
        Pop3Client pop;
        QCOMPARE(visit(pop), 1);
        QCOMPARE(store.getToCount(0), 20);
        QCOMPARE(store.getToMailAddr(0, 19), QStringLiteral("r20@example.jp"));
        QCOMPARE(store.getToNickName(0, 20), QString());
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, store.getToNickName(0, 21));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, store.getBcMailAddr(0, 11));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, store.getAFileName(0, 31));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, store.getSbuject(101));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, store.setTrans(-1, true));
        QCOMPARE(store.getCcMailAddr(0, 0), QStringLiteral("c1@example.jp"));
        QFile log(logPath(QStringLiteral("recvmail.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(text.contains("To:\xe3\x82\xa2\xe3\x83\x89\xe3\x83\xac\xe3\x82\xb9"
                              "25:r25@example.jp\r\n"));
    }

    void attachmentsAreKeptOnlyWhenSaved() {
        const QByteArray mail =
            "From: a@example.com\r\nTo: b@example.jp\r\nSubject: files\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=x\r\n\r\n--x\r\n"
            "Content-Type: text/plain\r\n\r\ntext\r\n--x\r\n"
            "Content-Type: application/octet-stream; name=\"a.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\nAAECAw==\r\n--x\r\n"
            "Content-Type: application/octet-stream; name=\"../../b.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\nBAUG\r\n--x--\r\n";
        dovecot.addMessage(sUser, mail);
        Pop3Client pop;
        QCOMPARE(visit(pop), 1);
        QCOMPARE(store.getAFileCount(0), 0);
        // Unsaved, every kept name lands at index 0, as the mail gives it.
        QCOMPARE(store.getAFileName(0, 0), QStringLiteral("../../b.bin"));

        store.clearClass();
        QTemporaryDir temp;
        QFile existing(temp.filePath(QStringLiteral("a.bin")));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("keep");
        existing.close();
        QCOMPARE(visit(pop, temp.path()), 1);
        QCOMPARE(store.getAFileCount(0), 2);
        QCOMPARE(store.getAFileSize(0, 0), 4);
        QCOMPARE(store.getAFileSize(0, 1), 3);
        // The existing file stays; the stored names are those of the files written.
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("keep"));
        for (qint16 k = 0; k < 2; ++k)
            QVERIFY(QFile::exists(temp.filePath(store.getAFileName(0, k))));
        QCOMPARE(QDir(temp.path()).entryList(QDir::Files).size(), 3);
        QVERIFY(!QFile::exists(temp.filePath(QStringLiteral("../b.bin"))));
    }

    void headerCommentVariants() {
        clsSet1& set = clsSet1::instance();
        set.SRV1().additionValue(
            0, {QStringLiteral("pop"), QString(), QString(), QStringLiteral("me@example.jp")});
        dovecot.addMessage(
            sUser,
            "From: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=\r\nTo: me@example.jp\r\nSubject: a\r\n\r\nx\r\n");
        dovecot.addMessage(
            sUser, "From: s@example.com\r\nTo: o@example.jp\r\nCc: me@example.jp\r\nSubject: b\r\n\r\nx\r\n");
        dovecot.addMessage(sUser, "From: s@example.com\r\nTo: me@example.jp\r\nSubject: c\r\n\r\nx\r\n");
        Pop3Client pop;
        QCOMPARE(visit(pop), 3);
        QCOMPARE(store.getBody(0),
                 QStringLiteral("※送信者のアドレスがデコードできません※\r\nToメール\r\nx\r\n"));
        QCOMPARE(store.getBody(1), QStringLiteral("Ccメール\r\nx\r\n"));
        QCOMPARE(store.getBody(2), QStringLiteral("Toメール\r\nx\r\n"));

        store.clearClass();
        set.SRV2().additionValue(0, {QStringLiteral("smtp"), QStringLiteral(" fixed@example.jp "), QString(),
                                     QStringLiteral("phone@example.jp"), QString(), QString()});
        QCOMPARE(visit(pop), 3);
        QCOMPARE(store.getBody(1), QStringLiteral("s@example.comよりCcメール\r\nx\r\n"));
        QCOMPARE(store.getBody(0).left(4), QStringLiteral("※送信者"));
    }

    void receiveLogRecord() {
        dovecot.addMessage(sUser,
                           "From: =?UTF-8?B?5bGx55Sw?= <yamada@example.com>\r\nTo: T1 <t1@example.jp>\r\n"
                           "Cc: c@example.jp\r\nSubject: =?UTF-8?B?5Lu25ZCN?=\r\n\r\n本文です\r\n");
        clsSystem::instance().RunLog = true;
        Pop3Client pop;
        QCOMPARE(visit(pop), 1);
        QFile log(logPath(QStringLiteral("recvmail.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString sText = QStringDecoder(QStringDecoder::System).decode(log.readAll());
        const QString sExpected = QStringLiteral("---- HH:MM:SS 受信データ -----------------\r\n"
                                                 "送信者アドレス    :yamada@example.com\r\n"
                                                 "送信者ニックネーム:山田\r\n"
                                                 "To:ニックネーム1:T1\r\n"
                                                 "To:アドレス1:t1@example.jp\r\n"
                                                 "Cc:ニックネーム1:\r\n"
                                                 "Cc:アドレス1:c@example.jp\r\n"
                                                 "添付ファイルなし\r\n"
                                                 "拡張ヘッダーあり:4\r\n"
                                                 "件名:件名\r\n"
                                                 "本文:\r\n"
                                                 "本文です\r\n\r\n");
        QString sActual = sText;
        sActual.replace(QRegularExpression(QStringLiteral("^---- \\d\\d:\\d\\d:\\d\\d ")),
                        QStringLiteral("---- HH:MM:SS "));
        QCOMPARE(sActual, sExpected);

        // A long body is cut at 4 KiB in the log, with how much was left out.
        log.close();
        QVERIFY(log.remove());
        dovecot.addMessage(sUser,
                           "From: a@example.com\r\nSubject: long\r\n\r\n" + QByteArray(10000, 'x') + "\r\n");
        QCOMPARE(visit(pop), 2);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString sLong = QStringDecoder(QStringDecoder::System).decode(log.readAll());
        QVERIFY2(sLong.contains(QString(4096, u'x') +
                                QStringLiteral("\r\n(本文の残り5906文字は省略しました)\r\n")),
                 qPrintable(sLong.right(200)));
    }

    // Nothing of a download that broke off reaches the store, and the visit ends there instead of reading
    // the rest of that message as the answer to the next command.
    void aMessageCutShortIsNotStored() {
        Pop3FaultServer peer;
        QVERIFY(peer.start(QStringLiteral("drop-in-retr")));
        Pop3Client pop;
        pop.ReplyTimeout = 2;
        QCOMPARE(store.mailRecive(pop, QStringLiteral("127.0.0.1:%1").arg(peer.port()), sUser, sPassword,
                                  QString()),
                 1);
        QCOMPARE(store.getReciveMailTotal(), 0);
        QVERIFY(!store.getRegister(0));
        // The visit's setting does not stay behind for the next user of the client.
        QVERIFY(!pop.WholeAtOnce);
    }

    // A server that never ends a line, an answer or a message, or that trickles a byte at a time, or claims
    // millions of messages it does not list: each visit ends within the limits, in time and in memory, and a
    // message too large to read is passed over for good rather than at every check.
    void brokenServersAreBoundedInTimeAndMemory_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("error");
        QTest::newRow("endless line") << "endless-line" << -1 << int(Pop3Client::TooLarge);
        QTest::newRow("trickle") << "trickle" << -1 << int(Pop3Client::Timeout);
        QTest::newRow("endless UIDL") << "endless-uidl" << -1 << int(Pop3Client::TooLarge);
        QTest::newRow("endless RETR") << "huge-retr" << 1 << int(Pop3Client::TooLarge);
        QTest::newRow("unlisted millions") << "huge-stat" << 1000 << int(Pop3Client::NoError);
    }
    void brokenServersAreBoundedInTimeAndMemory() {
        QFETCH(QString, mode);
        QFETCH(int, result);
        QFETCH(int, error);
        Pop3FaultServer peer;
        QVERIFY(peer.start(mode));
        const QString sServer = QStringLiteral("127.0.0.1:%1").arg(peer.port());
        Pop3Client pop;
        pop.ReplyTimeout = 2;
        pop.MaxMessageBytes = 1024 * 1024;
        clsSystem::instance().RunLog = true;
        const qint64 iMemoryBefore = TestSupport::resetPeakMemory();
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(store.mailRecive(pop, sServer, sUser, sPassword, QString()), result);
        QCOMPARE(pop.LastError(), error);
        QVERIFY2(timer.elapsed() < 20000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY2(TestSupport::peakMemory() - iMemoryBefore < 64 * 1024 * 1024,
                 qPrintable(QString::number(TestSupport::peakMemory() - iMemoryBefore)));
        if (mode == u"huge-retr"_qs) {
            QFile runLog(logPath(QStringLiteral("PLRun.log")));
            QVERIFY(runLog.open(QIODevice::ReadOnly));
            QVERIFY(
                QString::fromLocal8Bit(runLog.readAll()).contains(u"受信できないメールを飛ばしました"_qs));
            const qint64 iBytes = pop.bytesReceived();
            QCOMPARE(store.mailRecive(pop, sServer, sUser, sPassword, QString()), 1);
            QVERIFY2(pop.bytesReceived() - iBytes < 1024,
                     qPrintable(QString::number(pop.bytesReceived() - iBytes)));
        }
    }

    void unreadableMailboxIsMinusOne() {
        Pop3Client pop;
        QCOMPARE(store.mailRecive(pop, QStringLiteral("127.0.0.1:%1").arg(dovecot.port()), sUser,
                                  QStringLiteral("wrong"), QString()),
                 -1);
        QCOMPARE(store.getReciveMailNum(), 0);
        QCOMPARE(store.getReciveMailTotal(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_Reception)
#include "tst_reception.moc"
