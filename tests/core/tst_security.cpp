// What an attacker on the network or in a mail could aim at. Checks that live next to the code they guard:
//   attachment names with "../", absolute paths, back slashes, control characters, links, never overwriting:
//       tst_mailmessage (saveAttachmentStaysInFolder, saveAttachmentNeverOverwrites)
//   a server certificate for another name is refused, POP3 (STLS and implicit TLS) and SMTP (STARTTLS and
//       implicit TLS): tst_pop3client (tlsAndLogin), tst_smtpclient (encryptionAndLogin)
//   the settings file is readable and writable by its owner alone after a save: tst_systemsettings
//       (storeFileIsPrivate)
// Here: names of 1,000 characters, no secret in any log with every log switch on, STLS and STARTTLS that are
// offered and then fail (also with clear text slipped in behind the go-ahead), and a settings file that was
// made with wider rights.

#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "engine/MailMessage.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsMailTransfer.h"
#include "engine/clsSimpleCycle.h"
#include "settings/SettingsStore.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace {
const QString sUser = QStringLiteral("alice");
// Distinctive, so that finding it in a log cannot be chance.
const QString sPassword = QStringLiteral("Tulip7Quartz-2x");

const QStringList sLogNames = {QStringLiteral("clsMailTransfer.log"), QStringLiteral("sendmail.log"),
                               QStringLiteral("recvmail.log"),        QStringLiteral("PLSmtp.log"),
                               QStringLiteral("PLPop3.log"),          QStringLiteral("PLRun.log")};

// Every form in which the password could leak: as typed, in each encoding a log may use, and inside the
// base64 of AUTH PLAIN and AUTH LOGIN. A CRAM-MD5 answer is a keyed hash and may be shown.
QList<QByteArray> passwordForms(const QString& sPass) {
    const QByteArray user = sUser.toUtf8();
    const QByteArray pass = sPass.toUtf8();
    return {pass,
            QStringEncoder(QStringEncoder::System).encode(sPass),
            QStringEncoder(QStringEncoder::Utf16LE).encode(sPass),
            pass.toBase64(),
            (QByteArray(1, '\0') + user + '\0' + pass).toBase64(),
            (user + '\0' + pass).toBase64()};
}

QByteArray readFile(const QString& sPath) {
    QFile file(sPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One connection from the client under test, served on a thread of its own so the blocking client can run
// here: greets, answers every line with what the script gives and records what it read. It stops when the
// client hangs up, and after fifteen seconds at the latest.
class ScriptedPeer {
public:
    using Script = std::function<QByteArray(const QByteArray& line)>;

    ScriptedPeer(QByteArray greeting, Script script) {
        std::promise<quint16> ready;
        std::future<quint16> port = ready.get_future();
        worker = std::thread([this, &ready, greeting = std::move(greeting), script = std::move(script)] {
            run(ready, greeting, script);
        });
        if (port.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
            iPort = port.get();
    }
    ~ScriptedPeer() { finish(); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(iPort); }
    quint16 port() const { return iPort; }

    QList<QByteArray> linesRead() {
        finish();
        return lines;
    }

private:
    void finish() {
        if (worker.joinable())
            worker.join();
    }

    void run(std::promise<quint16>& ready, const QByteArray& greeting, const Script& script) {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost)) {
            ready.set_value(0);
            return;
        }
        ready.set_value(server.serverPort());
        if (!server.waitForNewConnection(15000))
            return;
        QTcpSocket* socket = server.nextPendingConnection();
        socket->write(greeting);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 15000) {
            while (socket->canReadLine()) {
                QByteArray line = socket->readLine();
                while (line.endsWith('\n') || line.endsWith('\r'))
                    line.chop(1);
                lines.append(line);
                socket->write(script(line));
            }
            if (socket->state() != QAbstractSocket::ConnectedState)
                break;
            socket->waitForBytesWritten(100);
            socket->waitForReadyRead(100);
        }
    }

    std::thread worker;
    quint16 iPort = 0;
    QList<QByteArray> lines; // written by the worker only, read after it ended
};

bool isLoginLine(const QByteArray& line) {
    const QByteArray upper = line.toUpper();
    for (const char* sCommand : {"USER", "PASS", "APOP", "AUTH", "MAIL", "RCPT", "DATA"}) {
        if (upper.startsWith(sCommand))
            return true;
    }
    return false;
}

// Fails the test when a line went out that logs in or sends mail, or that holds the password in any form.
bool noSecretSent(const QList<QByteArray>& lines) {
    for (const QByteArray& line : lines) {
        if (isLoginLine(line)) {
            qWarning("sent in clear: %s", line.constData());
            return false;
        }
        for (const QByteArray& form : passwordForms(sPassword)) {
            if (line.contains(form)) {
                qWarning("password sent in clear: %s", line.constData());
                return false;
            }
        }
    }
    return true;
}

QByteArray pop3Answer(const QByteArray& line, const QByteArray& sStlsAnswer) {
    if (line == "CAPA")
        return "+OK\r\nSTLS\r\nUSER\r\nSASL PLAIN LOGIN\r\nUIDL\r\n.\r\n";
    if (line == "STLS")
        return sStlsAnswer;
    return "+OK\r\n";
}

QByteArray smtpAnswer(const QByteArray& line, const QByteArray& sStartTlsAnswer) {
    const QByteArray upper = line.toUpper();
    if (upper.startsWith("EHLO"))
        return "250-peer\r\n250-STARTTLS\r\n250 AUTH PLAIN LOGIN\r\n";
    if (upper == "STARTTLS")
        return sStartTlsAnswer;
    if (upper.startsWith("AUTH"))
        return "235 ok\r\n";
    if (upper == "DATA")
        return "354 go on\r\n";
    if (upper == "QUIT")
        return "221 bye\r\n";
    return "250 ok\r\n";
}
} // namespace

class tst_Security : public QObject {
    Q_OBJECT

    QTemporaryDir temp;
    int iFile = 0;

    QString writeMessage(const QByteArray& bytes) {
        const QString sPath = temp.filePath(QStringLiteral("msg-%1.eml").arg(++iFile));
        QFile file(sPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return sPath;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(temp.isValid());
        TestCertificates::trustTestCa();
    }

    // A name that long arrives folded into RFC 2231 sections; the file made must still fit a file system's
    // 255 bytes, keep its extension, stay whole UTF-16 and leave room for the " (2)" of a second copy.
    void longAttachmentNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("ASCII") << QString(996, u'a') + QStringLiteral(".txt") << QStringLiteral(".txt");
        QTest::newRow("kana, three bytes each")
            << QString(996, u'あ') + QStringLiteral(".pdf") << QStringLiteral(".pdf");
        QTest::newRow("outside the BMP, a cut must not halve one")
            << QStringLiteral("😀").repeated(996) + QStringLiteral(".png") << QStringLiteral(".png");
        QTest::newRow("parent walks")
            << QStringLiteral("../").repeated(332) + QStringLiteral("x.sh") << QStringLiteral(".sh");
        QTest::newRow("absolute, controls")
            << QStringLiteral("/etc/") + QString(988, QChar(0x07)) + QStringLiteral("evil.sh")
            << QStringLiteral(".sh");
    }

    void longAttachmentNames() {
        QFETCH(QString, name);
        QFETCH(QString, suffix);
        QVERIFY(name.size() >= 1000);
        QByteArray m =
            "From: a@example.com\r\nSubject: long\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=XX\r\n\r\n--XX\r\nContent-Type: text/plain\r\n"
            "\r\nsee file\r\n--XX\r\nContent-Type: application/octet-stream\r\n"
            "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment";
        // Sections of whole escapes, about 60 octets each.
        QList<QByteArray> sections{QByteArray()};
        for (const char c : name.toUtf8()) {
            if (sections.last().size() >= 60)
                sections.append(QByteArray());
            sections.last() += QByteArray(1, c).toPercentEncoding();
        }
        for (qsizetype n = 0; n < sections.size(); ++n)
            m +=
                ";\r\n filename*" + QByteArray::number(n) + "*=" + (n == 0 ? "utf-8''" : "") + sections.at(n);
        m += "\r\n\r\n" + QByteArray("payload").toBase64() + "\r\n--XX--\r\n";

        MailMessage mail;
        QVERIFY(mail.load(writeMessage(m)));
        QCOMPARE(mail.AttachmentCount(), 1);
        QCOMPARE(mail.AttachmentName(1), name);
        QTemporaryDir folder;
        for (int copy = 1; copy <= 2; ++copy) {
            QVERIFY(mail.SaveAttachment(1, folder.path()));
            const QFileInfo saved(mail.lastSavedPath());
            QCOMPARE(saved.absolutePath(), QFileInfo(folder.path()).absoluteFilePath());
            const QString sFile = saved.fileName();
            QVERIFY2(sFile.toUtf8().size() <= 255, qPrintable(QString::number(sFile.toUtf8().size())));
            QVERIFY(sFile.isValidUtf16());
            QVERIFY2(sFile.endsWith(suffix), qPrintable(sFile));
            QVERIFY(!sFile.startsWith(u'.'));
            QCOMPARE(readFile(saved.filePath()), QByteArray("payload"));
        }
        QCOMPARE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(),
                 2);
    }

    // A whole check of the simple mode with every log switch on, once accepted and once with the SMTP
    // server refusing the login (the failure paths log server answers): no log holds the password or its
    // stored form.
    void noSecretInAnyLog_data() {
        QTest::addColumn<QString>("smtpPassword");
        QTest::newRow("accepted") << sPassword;
        QTest::newRow("SMTP login refused") << QStringLiteral("other-password");
    }

    void noSecretInAnyLog() {
        QFETCH(QString, smtpPassword);
        DovecotServer dovecot;
        DovecotServer::Options pop3Options;
        pop3Options.users = {{sUser, sPassword}};
        QVERIFY(dovecot.start(pop3Options));
        SmtpTestServer smtpServer;
        SmtpTestServer::Options smtpOptions;
        smtpOptions.sUser = sUser;
        smtpOptions.sPassword = smtpPassword;
        QVERIFY(smtpServer.start(smtpOptions));
        QVERIFY(!dovecot
                     .addMessage(sUser, "From: Sender <sender@example.com>\r\nTo: alice@example.jp\r\n"
                                        "Subject: hello\r\nMessage-ID: <s1@example.com>\r\n\r\nhi\r\n")
                     .isEmpty());

        QTemporaryDir logDir;
        setProgramFolder(logDir.path());
        TestSupport::clearStore();
        clsSet2& set = clsSet2::instance();
        set.setDefault();
        const QString sStoredUser = encodePassWord(sUser);
        const QString sStoredPassword = encodePassWord(sPassword);
        QVERIFY(set.setValue(1, {QStringLiteral("127.0.0.1:%1").arg(dovecot.port())}));
        QVERIFY(set.setValue(2, {sStoredUser}));
        QVERIFY(set.setValue(3, {sStoredPassword}));
        QVERIFY(set.setValue(4, {QStringLiteral("127.0.0.1:%1").arg(smtpServer.port())}));
        QVERIFY(set.setValue(5, {QStringLiteral("phone@example.jp")}));
        QVERIFY(set.setValue(6, {1}));
        QVERIFY(set.setValue(8, {QStringLiteral("0")}));

        clsSystem& sys = clsSystem::instance();
        sys.RunLog = sys.SmtpLog = sys.Pop3Log = true;
        rotateLogs();
        Pop3Client pop;
        SmtpClient smtp;
        // As the main window hands the trace files to the components.
        writeStartLogLines(smtp.LogFile, pop.LogFile);
        QVERIFY(!pop.LogFile.isEmpty() && !smtp.LogFile.isEmpty());
        {
            clsSimpleCycle cycle(pop, smtp);
            cycle.start();
            QCOMPARE(cycle.tick(), CheckOutcome::CarryOn);
        }
        clsMailTransfer::instance().clearClass();
        sys.RunLog = sys.SmtpLog = sys.Pop3Log = false;
        setProgramFolder(QString());
        const bool bAccepted = smtpPassword == sPassword;
        QCOMPARE(smtpServer.messages().size(), bAccepted ? 1 : 0);

        QList<QByteArray> forbidden = passwordForms(sPassword);
        forbidden << sStoredPassword.toUtf8() << sStoredUser.toUtf8();
        for (const QString& sName : sLogNames) {
            const QByteArray log = readFile(logDir.filePath(sName));
            // The check wrote every log but the store's own, which nothing writes any more.
            if (sName != QLatin1String("clsMailTransfer.log"))
                QVERIFY2(!log.isEmpty(), qPrintable(sName));
            for (const QByteArray& secret : std::as_const(forbidden))
                QVERIFY2(!log.contains(secret), qPrintable(sName + QStringLiteral(": ") + secret));
        }
        QVERIFY(readFile(logDir.filePath(QStringLiteral("PLSmtp.log"))).contains("AUTH PLAIN ****"));
        if (!bAccepted)
            QVERIFY(readFile(logDir.filePath(QStringLiteral("PLRun.log"))).contains("SMTP: "));
    }

    // Forms of POP3 login Dovecot does not use here (it offers CRAM-MD5): the trace still masks them.
    void pop3TraceMasksClearLogins_data() {
        QTest::addColumn<QByteArray>("capabilities");
        QTest::addColumn<QByteArray>("firstLoginLine");
        QTest::newRow("USER and PASS") << QByteArray("USER") << QByteArray("USER alice");
        QTest::newRow("SASL PLAIN") << QByteArray("SASL PLAIN") << QByteArray("AUTH PLAIN");
    }

    void pop3TraceMasksClearLogins() {
        QFETCH(QByteArray, capabilities);
        QFETCH(QByteArray, firstLoginLine);
        ScriptedPeer peer("+OK ready\r\n", [&](const QByteArray& line) -> QByteArray {
            if (line == "CAPA")
                return "+OK\r\n" + capabilities + "\r\n.\r\n";
            if (line == "AUTH PLAIN")
                return "+ \r\n";
            return "+OK\r\n";
        });
        QVERIFY(peer.port() != 0);
        Pop3Client pop;
        pop.ConnectTimeout = pop.ReplyTimeout = 5;
        pop.LogFile = temp.filePath(QStringLiteral("trace-%1.log").arg(++iFile));
        QVERIFY(pop.Connect(peer.address()));
        QVERIFY2(pop.Login(sUser, sPassword), qPrintable(pop.LastErrorText()));
        pop.Quit();
        pop.Disconnect();
        QVERIFY(peer.linesRead().contains(firstLoginLine));
        const QByteArray trace = readFile(pop.LogFile);
        QVERIFY(trace.contains("****"));
        for (const QByteArray& secret : passwordForms(sPassword))
            QVERIFY2(!trace.contains(secret), secret.constData());
    }

    // Once TLS is offered, a failed upgrade ends the visit: nothing that logs in is sent in clear, not even
    // when the caller goes on to Login.
    void pop3StlsOfferedAndFailing_data() {
        QTest::addColumn<QByteArray>("stlsAnswer");
        QTest::newRow("STLS refused") << QByteArray("-ERR not now\r\n");
        QTest::newRow("no TLS after +OK") << QByteArray("+OK begin\r\nthis is no TLS record\r\n");
        // Anyone on the path can append a whole clear-text session, down to a stop command, to the go-ahead.
        QTest::newRow("clear text behind +OK") << QByteArray(
            "+OK Begin TLS\r\n+OK\r\nUSER\r\nUIDL\r\n.\r\n+OK\r\n+OK\r\n+OK 1 99\r\n+OK\r\n1 x\r\n"
            ".\r\n+OK\r\nFrom: phone@example.jp\r\nSubject: STOP_MAIL\r\n\r\n.\r\n");
    }

    void pop3StlsOfferedAndFailing() {
        QFETCH(QByteArray, stlsAnswer);
        // A time stamp in the greeting offers APOP as well.
        ScriptedPeer peer("+OK ready <1.2@peer>\r\n",
                          [&](const QByteArray& line) { return pop3Answer(line, stlsAnswer); });
        QVERIFY(peer.port() != 0);
        Pop3Client pop;
        pop.ConnectTimeout = pop.ReplyTimeout = 5;
        QVERIFY(!pop.Connect(peer.address()));
        QCOMPARE(pop.LastError(), qint32(Pop3Client::TlsFailed));
        if (QTest::currentDataTag() == QLatin1String("clear text behind +OK"))
            QVERIFY2(pop.LastErrorText().contains(QStringLiteral("before the handshake")),
                     qPrintable(pop.LastErrorText()));
        QVERIFY(!pop.Login(sUser, sPassword));
        QVERIFY(!pop.Stat());
        QCOMPARE(pop.MessageCount(), 0);
        pop.Disconnect();
        const QList<QByteArray> lines = peer.linesRead();
        QVERIFY(lines.contains("STLS"));
        QVERIFY(noSecretSent(lines));
    }

    // The same against Dovecot, whose certificate names another host: its log shows no login attempt.
    void pop3StlsWithCertificateForAnotherName() {
        DovecotServer dovecot;
        DovecotServer::Options options;
        options.tls = TestTls::StartTls;
        options.wrongHostCertificate = true;
        options.users = {{sUser, sPassword}};
        QVERIFY(dovecot.start(options));
        Pop3Client pop;
        pop.ConnectTimeout = pop.ReplyTimeout = 10;
        pop.LogFile = temp.filePath(QStringLiteral("trace-%1.log").arg(++iFile));
        QVERIFY(!pop.Connect(QStringLiteral("127.0.0.1:%1").arg(dovecot.port())));
        QCOMPARE(pop.LastError(), qint32(Pop3Client::TlsFailed));
        QVERIFY(!pop.Login(sUser, sPassword));
        pop.Disconnect();
        const QByteArray trace = readFile(pop.LogFile);
        QVERIFY(trace.contains("C: STLS"));
        for (const QByteArray& line : trace.split('\n')) {
            const qsizetype iSent = line.indexOf(" C: ");
            QVERIFY2(iSent < 0 || !isLoginLine(line.mid(iSent + 4)), line.constData());
        }
        QTRY_VERIFY_WITH_TIMEOUT(dovecot.log().contains(QStringLiteral("TLS handshaking")), 10000);
        const QString sLog = dovecot.log();
        for (const QString& sLine : sLog.split(u'\n')) {
            if (sLine.contains(QStringLiteral("pop3-login")))
                QVERIFY2(sLine.contains(QStringLiteral("no auth attempts")), qPrintable(sLine));
        }
    }

    void smtpStartTlsOfferedAndFailing_data() {
        QTest::addColumn<QByteArray>("startTlsAnswer");
        QTest::newRow("STARTTLS refused") << QByteArray("454 4.7.0 TLS not available\r\n");
        QTest::newRow("no TLS after 220") << QByteArray("220 go ahead\r\nthis is no TLS record\r\n");
        QTest::newRow("clear text behind 220")
            << QByteArray("220 Ready to start TLS\r\n250-peer\r\n250 AUTH PLAIN\r\n");
    }

    void smtpStartTlsOfferedAndFailing() {
        QFETCH(QByteArray, startTlsAnswer);
        ScriptedPeer peer("220 peer ESMTP\r\n",
                          [&](const QByteArray& line) { return smtpAnswer(line, startTlsAnswer); });
        QVERIFY(peer.port() != 0);
        SmtpClient smtp;
        smtp.ConnectTimeout = smtp.ReplyTimeout = 5;
        smtp.setCredentials(sUser, sPassword);
        QCOMPARE(smtp.SendMail(peer.address(), QStringLiteral("phone@example.jp"),
                               QStringLiteral("a@example.jp"), QStringLiteral("s"), QStringLiteral("b")),
                 0);
        QCOMPARE(smtp.LastError(), qint32(SmtpClient::TlsFailed));
        if (QTest::currentDataTag() == QLatin1String("clear text behind 220"))
            QVERIFY2(smtp.LastErrorText().contains(QStringLiteral("before the handshake")),
                     qPrintable(smtp.LastErrorText()));
        smtp.Release();
        const QList<QByteArray> lines = peer.linesRead();
        QVERIFY(lines.contains("STARTTLS"));
        QVERIFY(noSecretSent(lines));
    }

    // A settings file made by hand or copied in with the usual rights is narrowed by the first save.
    void settingsFileMadeWiderIsNarrowedToOwner() {
        TestSupport::clearStore();
        const QString sApp = QStringLiteral("Q-Post");
        const QString sFile = SettingsStore::fileName(sApp);
        QVERIFY(QDir().mkpath(QFileInfo(sFile).absolutePath()));
        {
            QFile file(sFile);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[SYSTEM]\nSetSelect=0\n");
        }
        QVERIFY(::chmod(QFile::encodeName(sFile).constData(), 0644) == 0);
        SettingsStore::reset();
        clsSystem::instance().setValueSetSelect(1);
        QVERIFY(clsSystem::instance().saveRegSetSelect(sApp));
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(sFile).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0600));
        QCOMPARE(TestSupport::stored(QStringLiteral("SYSTEM"), QStringLiteral("SetSelect")),
                 QStringLiteral("1"));
    }
};

QTEST_GUILESS_MAIN(tst_Security)
#include "tst_security.moc"
