#include "MailServers.h"
#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTest>
#include <algorithm>
#include <optional>

namespace {
// A blocking line-based client, enough to check what the servers answer.
class Peer {
public:
    bool connect(quint16 port, bool bImplicitTls = false) {
        if (bImplicitTls) {
            socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
            return socket.waitForEncrypted(5000);
        }
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        return socket.waitForConnected(5000);
    }
    // Without the line end; nothing when no full line came in time.
    std::optional<QByteArray> line(int timeoutMs = 5000) {
        QDeadlineTimer deadline(timeoutMs);
        while (!socket.canReadLine() && !deadline.hasExpired() &&
               socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())))) {
        }
        if (!socket.canReadLine())
            return std::nullopt;
        QByteArray l = socket.readLine();
        return l.left(l.endsWith("\r\n") ? l.size() - 2 : l.size());
    }
    // The last line of a (possibly multi-line) SMTP reply, or the POP3 status line.
    QByteArray reply() {
        QByteArray last = line().value_or(QByteArray());
        while (last.size() > 3 && last.at(3) == '-')
            last = line().value_or(QByteArray());
        return last;
    }
    QByteArray command(const QByteArray& text) {
        socket.write(text + "\r\n");
        return reply();
    }
    // Lines of a POP3 multi-line answer, dot-stuffing undone.
    QList<QByteArray> multiLine() {
        QList<QByteArray> lines;
        for (std::optional<QByteArray> l = line(); l && *l != "."; l = line())
            lines.append(l->startsWith("..") ? l->mid(1) : *l);
        return lines;
    }
    bool startTls() {
        socket.startClientEncryption();
        return socket.waitForEncrypted(5000);
    }
    bool closedByPeer() {
        return !socket.waitForReadyRead(3000) && socket.state() != QAbstractSocket::ConnectedState;
    }
    QSslSocket socket;
};

const QByteArray sampleMail = "From: Taro <taro@example.jp>\r\n"
                              "To: phone@example.net\r\n"
                              "Subject: hello\r\n"
                              "\r\n"
                              "first line\r\n"
                              ".starts with a dot\r\n";
} // namespace

class tst_mailservers : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        QVERIFY(!TestCertificates::dir().isEmpty());
        TestCertificates::trustTestCa();
    }

    void pop3Session() {
        DovecotServer dovecot;
        QVERIFY(dovecot.start());
        QVERIFY(!dovecot.addMessage(QStringLiteral("alice"), sampleMail).isEmpty());
        QVERIFY(!dovecot.addMessage(QStringLiteral("alice"), "Subject: second\n\nLF only\n").isEmpty());
        QVERIFY(dovecot.addUser(QStringLiteral("bob"), QStringLiteral("pw2")));
        QVERIFY(!dovecot.addMessage(QStringLiteral("bob"), "Subject: for bob\r\n\r\nx\r\n").isEmpty());

        QByteArray firstUidl;
        for (int session = 0; session < 2; ++session) {
            Peer pop;
            QVERIFY(pop.connect(dovecot.port()));
            QVERIFY(pop.reply().startsWith("+OK"));
            QVERIFY(pop.command("USER alice").startsWith("+OK"));
            QVERIFY(pop.command("PASS secret").startsWith("+OK"));
            QVERIFY(pop.command("UIDL").startsWith("+OK"));
            const QList<QByteArray> uidl = pop.multiLine();
            QCOMPARE(uidl.size(), 2);
            if (session == 0)
                firstUidl = uidl.at(0);
            QCOMPARE(uidl.at(0), firstUidl); // the same message keeps its id across sessions
            QVERIFY(pop.command("TOP 1 0").startsWith("+OK"));
            QCOMPARE(pop.multiLine().join('\n'),
                     QByteArray("From: Taro <taro@example.jp>\nTo: phone@example.net\nSubject: hello\n"));
            QVERIFY(pop.command("RETR 1").startsWith("+OK"));
            QCOMPARE(pop.multiLine().mid(4), QList<QByteArray>({"first line", ".starts with a dot"}));
            QVERIFY(pop.command("TOP 2 0").startsWith("+OK"));
            QCOMPARE(pop.multiLine().value(0), QByteArray("Subject: second"));
            QVERIFY(pop.command("QUIT").startsWith("+OK"));
        }
        Peer bob;
        QVERIFY(bob.connect(dovecot.port()));
        bob.reply();
        QVERIFY(bob.command("USER bob").startsWith("+OK"));
        QVERIFY(bob.command("PASS pw2").startsWith("+OK"));
        QVERIFY(bob.command("STAT").startsWith("+OK 1 "));
    }

    void pop3Tls_data() {
        QTest::addColumn<TestTls>("tls");
        QTest::addColumn<bool>("wrongHost");
        QTest::newRow("STLS") << TestTls::StartTls << false;
        QTest::newRow("implicit") << TestTls::Implicit << false;
        QTest::newRow("STLS, certificate for another host") << TestTls::StartTls << true;
        QTest::newRow("implicit, certificate for another host") << TestTls::Implicit << true;
    }

    void pop3Tls() {
        QFETCH(TestTls, tls);
        QFETCH(bool, wrongHost);
        DovecotServer dovecot;
        QVERIFY(dovecot.start({.tls = tls, .wrongHostCertificate = wrongHost}));
        Peer pop;
        bool bEncrypted = pop.connect(dovecot.port(), tls == TestTls::Implicit);
        if (tls == TestTls::StartTls) {
            QVERIFY(pop.socket.state() == QAbstractSocket::ConnectedState);
            QVERIFY(pop.reply().startsWith("+OK"));
            QVERIFY(pop.command("CAPA").startsWith("+OK"));
            QVERIFY(pop.multiLine().contains("STLS"));
            QVERIFY(pop.command("STLS").startsWith("+OK"));
            bEncrypted = pop.startTls();
        }
        QCOMPARE(bEncrypted, !wrongHost);
        if (wrongHost) {
            const QList<QSslError> errors = pop.socket.sslHandshakeErrors();
            QCOMPARE(errors.size(), 1); // the test CA is trusted: only the name is wrong
            QCOMPARE(errors.at(0).error(), QSslError::HostNameMismatch);
            return;
        }
        if (tls == TestTls::Implicit)
            QVERIFY(pop.reply().startsWith("+OK"));
        QVERIFY(pop.command("USER alice").startsWith("+OK"));
        QVERIFY(pop.command("PASS secret").startsWith("+OK"));
        // Dovecot's log process writes a moment after the client has its answer.
        QTRY_VERIFY(dovecot.log().contains(
            QRegularExpression(QStringLiteral("Login: user=<alice>, method=PLAIN.*, TLS,"))));
    }

    void pop3PlaintextOnlyAfterTls() {
        DovecotServer dovecot;
        QVERIFY(dovecot.start({.tls = TestTls::StartTls, .disablePlaintextAuth = true}));
        Peer pop;
        QVERIFY(pop.connect(dovecot.port()));
        QVERIFY(pop.reply().startsWith("+OK"));
        QVERIFY(pop.command("USER alice").startsWith("-ERR"));
        QVERIFY(pop.command("STLS").startsWith("+OK"));
        QVERIFY(pop.startTls());
        QVERIFY(pop.command("USER alice").startsWith("+OK"));
        QVERIFY(pop.command("PASS secret").startsWith("+OK"));
    }

    void smtpRecordsMessage() {
        SmtpTestServer smtp;
        QVERIFY(smtp.start({.tls = TestTls::StartTls,
                            .sUser = QStringLiteral("sender"),
                            .sPassword = QStringLiteral("pw")}));
        Peer client;
        QVERIFY(client.connect(smtp.port()));
        QVERIFY(client.reply().startsWith("220"));
        QVERIFY(client.command("EHLO pelimo.test").startsWith("250"));
        QVERIFY(client.command("AUTH PLAIN " + QByteArray("\0sender\0pw", 10).toBase64()).startsWith("538"));
        QVERIFY(client.command("STARTTLS").startsWith("220"));
        QVERIFY(client.startTls());
        QVERIFY(client.command("EHLO pelimo.test").startsWith("250"));
        QVERIFY(client.command("MAIL FROM:<taro@example.jp>").startsWith("530")); // AUTH comes first
        QVERIFY(client.command("AUTH PLAIN " + QByteArray("\0sender\0pw", 10).toBase64()).startsWith("235"));
        QVERIFY(client.command("MAIL FROM:<taro@example.jp>").startsWith("250"));
        QVERIFY(client.command("RCPT TO:<phone@example.net>").startsWith("250"));
        QVERIFY(client.command("DATA").startsWith("354"));
        QByteArray wire = sampleMail;
        wire.replace("\r\n.", "\r\n..");
        QVERIFY(client.command(wire + ".").startsWith("250"));
        QVERIFY(smtp.waitForMessages(1));

        const QList<SmtpTestServer::Message> stored = smtp.messages();
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored.at(0).raw, sampleMail);
        const QJsonObject facts = stored.at(0).facts;
        QCOMPARE(facts.value("rcpt_tos").toArray(), QJsonArray({"phone@example.net"}));
        QCOMPARE(facts.value("auth_user").toString(), QStringLiteral("sender"));
        QVERIFY(facts.value("tls").toBool());
        QCOMPARE(facts.value("subject").toString(), QStringLiteral("hello"));
        QCOMPARE(facts.value("body").toString(), QStringLiteral("first line\n.starts with a dot\n"));
        QVERIFY(facts.value("bcc").isNull());
        QCOMPARE(facts.value("max_line_octets").toInt(), 28);
    }

    void smtpFaults() {
        SmtpTestServer smtp;
        QVERIFY(smtp.start());
        const auto greeted = [&](Peer& client) {
            return client.connect(smtp.port()) && client.reply().startsWith("220") &&
                   client.command("HELO pelimo.test").startsWith("250") &&
                   client.command("MAIL FROM:<a@example.jp>").startsWith("250");
        };
        {
            smtp.setControl({{"refuse_rcpt", QJsonArray({"no@example.net"})}, {"fail_data", 1}});
            Peer client;
            QVERIFY(greeted(client));
            QVERIFY(client.command("RCPT TO:<no@example.net>").startsWith("550"));
            QVERIFY(client.command("RCPT TO:<yes@example.net>").startsWith("250"));
            QVERIFY(client.command("DATA").startsWith("354"));
            QVERIFY(client.command("Subject: 1\r\n\r\nx\r\n.").startsWith("451"));
            QVERIFY(client.command("MAIL FROM:<a@example.jp>").startsWith("250"));
            QVERIFY(client.command("RCPT TO:<yes@example.net>").startsWith("250"));
            QVERIFY(client.command("DATA").startsWith("354"));
            QVERIFY(client.command("Subject: 2\r\n\r\nx\r\n.").startsWith("250")); // one failure only
            QVERIFY(smtp.waitForMessages(1));
            QCOMPARE(smtp.messages().value(0).facts.value("subject").toString(), QStringLiteral("2"));
        }
        {
            smtp.setControl({{"drop_on", "RCPT"}});
            Peer client;
            QVERIFY(greeted(client));
            client.socket.write("RCPT TO:<yes@example.net>\r\n");
            QVERIFY(client.closedByPeer());
            QVERIFY(client.socket.readAll().isEmpty());
        }
        {
            smtp.setControl({{"silent", true}});
            Peer client;
            QVERIFY(client.connect(smtp.port()));
            QVERIFY(!client.line(700));
        }
        QCOMPARE(smtp.messages().size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_mailservers)
#include "tst_mailservers.moc"
