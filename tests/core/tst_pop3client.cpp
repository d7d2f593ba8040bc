#include "MailServers.h"
#include "TestSupport.h"

#include "engine/MailMessage.h"
#include "engine/Pop3Client.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

namespace {
const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");

QString server(quint16 iPort) {
    return QStringLiteral("127.0.0.1:%1").arg(iPort);
}

QByteArray readFile(const QString& sPath) {
    QFile f(sPath);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList corpusFiles() {
    QDir dir(TestSupport::testDataDir() + QStringLiteral("/mail"));
    QStringList files;
    for (const QString& sName : dir.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name))
        files << dir.filePath(sName);
    return files;
}

// Opens a mailbox visit up to the message count; answers the count, or -1.
qint32 openVisit(Pop3Client& pop, quint16 iPort) {
    if (!pop.Connect(server(iPort)) || !pop.Login(sUser, sPassword) || !pop.Stat() || pop.StatusCode() != 1)
        return -1;
    return pop.MessageCount(1);
}

void closeVisit(Pop3Client& pop) {
    pop.Quit();
    pop.Disconnect();
}
} // namespace

class tst_Pop3Client : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestCertificates::trustTestCa(); }

    // Whatever Dovecot and the dialogue do on the way, each message must read as the file itself reads.
    void corpusReadsTheSameThroughTheServer() {
        DovecotServer dovecot;
        QVERIFY(dovecot.start());
        const QStringList files = corpusFiles();
        QVERIFY(files.size() > 80);
        for (const QString& sFile : files)
            QVERIFY(!dovecot.addMessage(sUser, readFile(sFile)).isEmpty());

        Pop3Client pop;
        QCOMPARE(openVisit(pop, dovecot.port()), qint32(files.size()));
        for (qint32 k = 1; k <= files.size(); ++k) {
            const QString sFile = files.at(k - 1);
            // A POP3 server sends every line, the last one too, with CR LF; the file may have neither.
            QTemporaryFile copy;
            QVERIFY(copy.open());
            QByteArray raw = readFile(sFile).replace("\r\n", "\n").replace('\n', "\r\n");
            if (!raw.endsWith('\n'))
                raw += "\r\n";
            copy.write(raw);
            copy.flush();
            MailMessage reference;
            QVERIFY(reference.load(copy.fileName(), false));
            QVERIFY(pop.Retrieve(k));
            QVERIFY(pop.ParseMessage());
            const QString sWhere = QFileInfo(sFile).fileName();
            QVERIFY2(pop.FromAddress() == reference.FromAddress(), qPrintable(sWhere));
            QVERIFY2(pop.FromName() == reference.FromName(), qPrintable(sWhere));
            QVERIFY2(pop.Subject() == reference.Subject(), qPrintable(sWhere));
            QVERIFY2(pop.HeaderCount() == reference.HeaderCount(), qPrintable(sWhere));
            for (qint32 h = 1; h <= reference.HeaderCount(); ++h)
                QVERIFY2(pop.HeaderLine(h) == reference.HeaderLine(h), qPrintable(sWhere));
            QVERIFY2(pop.ToCount() == reference.ToCount() && pop.CcCount() == reference.CcCount(),
                     qPrintable(sWhere));
            for (qint32 t = 1; t <= reference.ToCount(); ++t)
                QVERIFY2(pop.ToAddress(t) == reference.ToAddress(t), qPrintable(sWhere));
            QVERIFY2(pop.Body() == reference.Body(), qPrintable(sWhere));
            QVERIFY2(pop.AttachmentCount() == reference.AttachmentCount(), qPrintable(sWhere));
            for (qint32 a = 1; a <= reference.AttachmentCount(); ++a) {
                QVERIFY2(pop.AttachmentName(a) == reference.AttachmentName(a), qPrintable(sWhere));
                QVERIFY2(pop.AttachmentSize(a) == reference.AttachmentSize(a), qPrintable(sWhere));
            }
            QVERIFY(pop.EndMessage());
        }
        closeVisit(pop);
    }

    // What the program already holds costs only the header once, and nothing at the next visit.
    void heldMessagesAreNotDownloadedAgain() {
        DovecotServer dovecot;
        QVERIFY(dovecot.start());
        const QStringList files = corpusFiles();
        qint64 iMailboxSize = 0;
        for (int i = 0; i < 100; ++i) {
            const QByteArray raw = readFile(files.at(i % files.size()));
            iMailboxSize += raw.size();
            QVERIFY(!dovecot.addMessage(sUser, raw).isEmpty());
        }
        QTemporaryDir traceDir;
        Pop3Client pop;
        pop.LogFile = traceDir.filePath(QStringLiteral("PLPop3.log"));
        auto visit = [&](bool bBody) {
            const qint64 iBefore = pop.bytesReceived();
            if (openVisit(pop, dovecot.port()) != 100) {
                qWarning("visit: %s", qPrintable(pop.LastErrorText()));
                return qint64(-1);
            }
            for (qint32 k = 1; k <= 100; ++k) {
                if (!pop.Retrieve(k) || !pop.ParseMessage()) {
                    qWarning("message %d: %s", k, qPrintable(pop.LastErrorText()));
                    return qint64(-1);
                }
                pop.HeaderLine(1);
                if (bBody)
                    pop.Body();
                pop.EndMessage();
            }
            closeVisit(pop);
            return pop.bytesReceived() - iBefore;
        };
        const qint64 iFirst = visit(false);
        const qint64 iSecond = visit(false);
        QVERIFY(iFirst > 0 && iSecond > 0);
        QVERIFY2(iFirst < iMailboxSize / 2,
                 qPrintable(QStringLiteral("%1 of %2").arg(iFirst).arg(iMailboxSize)));
        // Only the greeting, capabilities, login, STAT and the id list remain.
        QVERIFY2(iSecond < 8 * 1024, qPrintable(QString::number(iSecond)));
        qInfo("mailbox of 100 messages, %lld octets: first visit %lld octets, second visit %lld octets",
              iMailboxSize, iFirst, iSecond);
        // Bodies come once; asking again reads the copy on disk.
        QVERIFY(visit(true) > 0);
        const qint64 iAgain = visit(true);
        QVERIFY2(iAgain < iMailboxSize / 4, qPrintable(QString::number(iAgain)));

        // Messages stay on the server.
        QCOMPARE(openVisit(pop, dovecot.port()), 100);
        closeVisit(pop);
        QVERIFY(!readFile(pop.LogFile).contains("DELE"));
    }

    // A reader that wants every text anyway gets each new message in one download: the same text, fewer
    // octets, no TOP; and a message held since costs nothing at the next visit.
    void wholeAtOnceFetchesANewMessageOnce() {
        DovecotServer dovecot;
        QVERIFY(dovecot.start());
        const QStringList files = corpusFiles();
        for (int i = 0; i < 20; ++i)
            QVERIFY(!dovecot.addMessage(sUser, readFile(files.at(i % files.size()))).isEmpty());
        QTemporaryDir traceDir;
        auto readAll = [&](Pop3Client& pop, QStringList& bodies) {
            const qint64 iBefore = pop.bytesReceived();
            bodies.clear();
            if (openVisit(pop, dovecot.port()) != 20)
                return qint64(-1);
            for (qint32 k = 1; k <= 20; ++k) {
                if (!pop.Retrieve(k) || !pop.ParseMessage())
                    return qint64(-1);
                bodies << pop.Subject() + pop.Body();
                pop.EndMessage();
            }
            closeVisit(pop);
            return pop.bytesReceived() - iBefore;
        };
        Pop3Client headerFirst;
        QStringList expected;
        const qint64 iHeaderFirst = readAll(headerFirst, expected);
        Pop3Client whole;
        whole.WholeAtOnce = true;
        whole.LogFile = traceDir.filePath(QStringLiteral("PLPop3.log"));
        QStringList bodies;
        const qint64 iWhole = readAll(whole, bodies);
        QVERIFY(iHeaderFirst > 0 && iWhole > 0);
        QCOMPARE(bodies, expected);
        QVERIFY2(iWhole < iHeaderFirst, qPrintable(QStringLiteral("%1 / %2").arg(iWhole).arg(iHeaderFirst)));
        QVERIFY(!readFile(whole.LogFile).contains("C: TOP"));
        // A copy read whole is not kept once its message is done with; asked again, it comes again, the same.
        QVERIFY(readAll(whole, bodies) > 0);
        QCOMPARE(bodies, expected);
    }

    void tlsAndLogin_data() {
        QTest::addColumn<int>("tls");
        QTest::addColumn<bool>("wrongHost");
        QTest::addColumn<bool>("connects");
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("no TLS offered") << int(TestTls::None) << false << true << false;
        QTest::newRow("STLS") << int(TestTls::StartTls) << false << true << true;
        QTest::newRow("implicit TLS") << int(TestTls::Implicit) << false << true << true;
        QTest::newRow("STLS, certificate for another host")
            << int(TestTls::StartTls) << true << false << false;
        QTest::newRow("implicit, certificate for another host")
            << int(TestTls::Implicit) << true << false << false;
    }
    void tlsAndLogin() {
        QFETCH(int, tls);
        QFETCH(bool, wrongHost);
        QFETCH(bool, connects);
        QFETCH(bool, encrypted);
        DovecotServer dovecot;
        DovecotServer::Options options;
        options.tls = TestTls(tls);
        options.wrongHostCertificate = wrongHost;
        options.disablePlaintextAuth = tls == int(TestTls::StartTls);
        QVERIFY(dovecot.start(options));
        dovecot.addMessage(sUser, "Subject: hello\r\n\r\nbody\r\n");

        QTemporaryDir traceDir;
        Pop3Client pop;
        pop.LogFile = traceDir.filePath(QStringLiteral("PLPop3.log"));
        pop.setImplicitTls(tls == int(TestTls::Implicit));
        QCOMPARE(pop.Connect(server(dovecot.port())) != 0, connects);
        if (!connects) {
            QCOMPARE(pop.LastError(), qint32(Pop3Client::TlsFailed));
            QVERIFY(!pop.Login(sUser, sPassword));
            return;
        }
        QCOMPARE(pop.isEncrypted(), encrypted);
        QVERIFY(!pop.Login(sUser, QStringLiteral("wrong")));
        QCOMPARE(pop.LastError(), qint32(Pop3Client::LoginFailed));
        pop.Disconnect();
        QVERIFY(pop.Connect(server(dovecot.port())));
        QVERIFY2(pop.Login(sUser, sPassword), qPrintable(pop.LastErrorText()));
        QVERIFY(pop.Stat());
        QCOMPARE(pop.MessageCount(1), 1);
        QVERIFY(pop.Retrieve(1));
        QCOMPARE(pop.Subject(), QStringLiteral("hello"));
        QCOMPARE(pop.Body(), QStringLiteral("body\r\n"));
        closeVisit(pop);
        const QByteArray trace = readFile(pop.LogFile);
        QVERIFY(trace.contains("STAT"));
        QVERIFY(!trace.contains(sPassword.toUtf8()));
        QVERIFY(!trace.contains(QByteArray(sPassword.toUtf8()).toBase64()));
    }

    void unreachableAndSilentServersEndInTime() {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 iClosedPort = closed.serverPort();
        closed.close();
        Pop3Client pop;
        pop.ConnectTimeout = 2;
        pop.ReplyTimeout = 2;
        QVERIFY(!pop.Connect(server(iClosedPort)));
        QCOMPARE(pop.LastError(), qint32(Pop3Client::ConnectFailed));
        QVERIFY(!pop.Connect(QStringLiteral("127.0.0.1:notaport")));
        QCOMPARE(pop.LastError(), qint32(Pop3Client::BadServerName));

        Pop3FaultServer silent;
        QVERIFY(silent.start(QStringLiteral("silent")));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!pop.Connect(server(silent.port())));
        QCOMPARE(pop.LastError(), qint32(Pop3Client::Timeout));
        QVERIFY(timer.elapsed() < 10000);
    }

    // Lines that end in a bare CR are lines: the header is not one long field, nor the text lost in it.
    void bareCrEndsALine() {
        DovecotServer dovecot;
        QVERIFY(dovecot.start());
        dovecot.addMessage(
            sUser, "From: a@example.com\rSubject: bare\rTo: b@example.com\r\rthe body\rsecond line\r");
        Pop3Client pop;
        pop.WholeAtOnce = true;
        QCOMPARE(openVisit(pop, dovecot.port()), 1);
        QVERIFY(pop.Retrieve(1));
        QCOMPARE(pop.Subject(), QStringLiteral("bare"));
        QCOMPARE(pop.ToAddress(1), QStringLiteral("b@example.com"));
        QCOMPARE(pop.Body(), QStringLiteral("the body\r\nsecond line\r\n"));
        closeVisit(pop);
    }

    // Many servers announce APOP or CRAM-MD5 and then refuse them: the next method offered is tried, and the
    // mailbox stays readable.
    void aRefusedLoginMethodGivesWayToTheNext() {
        Pop3FaultServer peer;
        QVERIFY(peer.start(QStringLiteral("methods-refused")));
        Pop3Client pop;
        pop.ReplyTimeout = 2;
        pop.LogFile = TestSupport::sandboxDir() + QStringLiteral("/methods.log");
        QCOMPARE(openVisit(pop, peer.port()), 0);
        const QByteArray trace = readFile(pop.LogFile);
        QVERIFY(trace.contains("C: AUTH CRAM-MD5"));
        QVERIFY(trace.contains("C: APOP"));
        QVERIFY(trace.contains("C: PASS ****"));
    }

    void aMessageCutShortIsNotTakenForWhole_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("wholeAtOnce");
        QTest::newRow("dropped") << "drop-in-retr" << int(Pop3Client::Dropped) << false;
        QTest::newRow("stalled") << "stall-in-retr" << int(Pop3Client::Timeout) << false;
        QTest::newRow("dropped, whole at once") << "drop-in-retr" << int(Pop3Client::Dropped) << true;
    }
    void aMessageCutShortIsNotTakenForWhole() {
        QFETCH(QString, mode);
        QFETCH(int, error);
        QFETCH(bool, wholeAtOnce);
        Pop3FaultServer peer;
        QVERIFY(peer.start(mode));
        Pop3Client pop;
        pop.ConnectTimeout = 2;
        pop.ReplyTimeout = 2;
        pop.WholeAtOnce = wholeAtOnce;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(openVisit(pop, peer.port()), 1);
        if (wholeAtOnce) {
            // The header would come from the broken download, so there is no message at all.
            QVERIFY(!pop.Retrieve(1));
            QCOMPARE(pop.LastError(), qint32(error));
            QCOMPARE(pop.Subject(), QString());
        } else {
            QVERIFY(pop.Retrieve(1));
            QCOMPARE(pop.Subject(), QStringLiteral("fault"));
        }
        QCOMPARE(pop.Body(), QString());
        QCOMPARE(pop.LastError(), qint32(error));
        QCOMPARE(pop.AttachmentCount(), 0);
        closeVisit(pop);
        QVERIFY(timer.elapsed() < 15000);
    }

    void largeMessageIsStreamedToDisk() {
        constexpr int iAttachmentBytes = 38 * 1024 * 1024; // about 50 MiB once in base64
        QByteArray attachment(iAttachmentBytes, Qt::Uninitialized);
        for (int i = 0; i < attachment.size(); ++i)
            attachment[i] = char((i * 131) ^ (i >> 9));
        QByteArray raw =
            "From: big@example.com\r\nTo: alice@example.com\r\nSubject: large\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
            "Content-Type: text/plain; charset=us-ascii\r\n\r\nsee attached\r\n--b\r\n"
            "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n";
        const QByteArray encoded = attachment.toBase64();
        for (qsizetype i = 0; i < encoded.size(); i += 76)
            raw += encoded.mid(i, 76) + "\r\n";
        raw += "--b--\r\n";
        const qint64 iRawSize = raw.size();
        QVERIFY(iRawSize > 50 * 1024 * 1024);

        DovecotServer dovecot;
        QVERIFY(dovecot.start());
        QVERIFY(!dovecot.addMessage(sUser, raw).isEmpty());
        raw.clear();
        raw.squeeze();
        const QByteArray sum = QCryptographicHash::hash(attachment, QCryptographicHash::Sha256);
        attachment.clear();
        attachment.squeeze();

        QTemporaryDir target;
        const qint64 iBefore = TestSupport::resetPeakMemory();
        {
            Pop3Client pop;
            QCOMPARE(openVisit(pop, dovecot.port()), 1);
            QVERIFY(pop.Retrieve(1));
            QCOMPARE(pop.Body(), QStringLiteral("see attached"));
            QCOMPARE(pop.AttachmentCount(), 1);
            QCOMPARE(pop.AttachmentName(1), QStringLiteral("data.bin"));
            QCOMPARE(pop.AttachmentSize(1), qint32(iAttachmentBytes));
            QVERIFY(pop.SaveAttachment(1, target.path()));
            closeVisit(pop);
        }
        const qint64 iGrowth = TestSupport::peakMemory() - iBefore;
        qInfo("message of %lld octets: peak memory grew by %lld octets", iRawSize, iGrowth);
        QVERIFY2(iGrowth < iRawSize, qPrintable(QString::number(iGrowth)));
        QFile saved(target.filePath(QStringLiteral("data.bin")));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCryptographicHash got(QCryptographicHash::Sha256);
        QVERIFY(got.addData(&saved));
        QCOMPARE(got.result(), sum);
    }
};

QTEST_GUILESS_MAIN(tst_Pop3Client)
#include "tst_pop3client.moc"
