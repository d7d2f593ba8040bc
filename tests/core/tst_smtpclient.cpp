#include "MailServers.h"
#include "TestSupport.h"

#include "engine/SmtpClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTcpServer>
#include <QTest>

namespace {
QString address(const SmtpTestServer& server) {
    return QStringLiteral("127.0.0.1:%1").arg(server.port());
}

// The text as the receiver reads it back: LF line ends, and the last line ended.
QString asRead(QString s) {
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return s.endsWith(QLatin1Char('\n')) ? s : s + QLatin1Char('\n');
}

QJsonObject onlyMessage(const SmtpTestServer& server) {
    const QList<SmtpTestServer::Message> stored = server.messages();
    return stored.size() == 1 ? stored.first().facts : QJsonObject();
}

QStringList strings(const QJsonValue& value) {
    QStringList out;
    for (const QJsonValue& v : value.toArray())
        out << v.toString();
    return out;
}
} // namespace

class tst_smtpclient : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        QVERIFY(!TestCertificates::dir().isEmpty());
        TestCertificates::trustTestCa();
    }

    void textsArriveAsWritten_data() {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("charset");
        QTest::newRow("japanese") << u"会議の件について、"_qs.repeated(30)
                                  << u"山田様\r\nお世話になっております。\r\n"_qs << "iso-2022-jp";
        QTest::newRow("outside JIS") << u"①㈱髙橋"_qs << u"①番 ㈱髙島屋\r\n～ ∥ －\r\n"_qs << "utf-8";
        // ICU's table has these, the standard one that phones read by has not.
        QTest::newRow("Windows-only characters") << u"①の件"_qs << u"①番 ㈱ ～ －\r\n"_qs << "utf-8";
        QTest::newRow("half-width katakana") << u"ﾃｽﾄ"_qs << u"ｶﾞｯｺｳ ﾒｰﾙ\r\n"_qs << "utf-8";
        QTest::newRow("english") << "Meeting"
                                 << "Hello,\r\nsee you at 10.\r\n"
                                 << "us-ascii";
        QTest::newRow("mixed with emoji") << u"返信 Re: 😀"_qs << u"了解です 👍 café\r\n"_qs << "utf-8";
        QTest::newRow("dots, lone LF, no last line end") << "dots"
                                                         << ".\r\n..two\r\n.leading\nlone LF\n."
                                                         << "us-ascii";
        QTest::newRow("long lines") << QString(300, QChar(u'長'))
                                    << QString(5000, QLatin1Char('x')) + u"\r\n"_qs +
                                           QString(5000, QChar(u'字'))
                                    << "utf-8";
    }
    void textsArriveAsWritten() {
        QFETCH(QString, subject);
        QFETCH(QString, body);
        QFETCH(QString, charset);
        SmtpTestServer server;
        QVERIFY(server.start());
        SmtpClient smtp;
        QCOMPARE(
            smtp.SendMail(address(server), u"phone@example.net"_qs, u"pc@example.jp"_qs, subject, body, {}),
            1);
        QCOMPARE(smtp.LastError(), 0);
        const QJsonObject facts = onlyMessage(server);
        QCOMPARE(facts[u"subject"_qs].toString(), subject);
        QCOMPARE(facts[u"body"_qs].toString(), asRead(body));
        QCOMPARE(facts[u"charset"_qs].toString(), charset);
        if (charset == u"iso-2022-jp"_qs)
            QCOMPARE(facts[u"content_transfer_encoding"_qs].toString(), u"7bit"_qs);
        QVERIFY(facts[u"max_line_octets"_qs].toInt() <= 998);
        QVERIFY(!facts[u"bare_cr_or_lf"_qs].toBool());
        QVERIFY(!facts[u"eight_bit"_qs].toBool());
        QCOMPARE(facts[u"defects"_qs].toArray().size(), 0);
        for (const char* sKey : {"date", "message_id", "mime_version"})
            QVERIFY2(!facts[QLatin1String(sKey)].toString().isEmpty(), sKey);
        QCOMPARE(strings(facts[u"rcpt_tos"_qs]), QStringList{u"phone@example.net"_qs});
    }

    void stepByStepSend() {
        SmtpTestServer server;
        QVERIFY(server.start());
        SmtpClient smtp;
        QCOMPARE(smtp.ConnectAddress(address(server)), 1);
        smtp.AddTo(u"to@example.net"_qs, u"携帯 太郎"_qs);
        smtp.AddBcc(u"hidden@example.net"_qs);
        smtp.AddCc(u"cc@example.net"_qs);
        smtp.SetFrom(u"pc@example.jp"_qs, u"自宅"_qs);
        smtp.SetSubject(u"転送"_qs);
        const QList<qint32> results = {smtp.Helo(address(server)),
                                       smtp.MailFrom(u"pc@example.jp"_qs),
                                       smtp.RcptTo(u"to@example.net"_qs),
                                       smtp.RcptTo(u"cc@example.net"_qs),
                                       smtp.RcptTo(u"hidden@example.net"_qs),
                                       smtp.Data(u"本文\r\n"_qs),
                                       smtp.Quit(),
                                       smtp.Release(),
                                       smtp.Destroy()};
        QCOMPARE(results, QList<qint32>(9, 1));
        QCOMPARE(smtp.LastError(), 0);
        const SmtpTestServer::Message message = server.messages().value(0);
        QCOMPARE(strings(message.facts[u"rcpt_tos"_qs]),
                 (QStringList{u"to@example.net"_qs, u"cc@example.net"_qs, u"hidden@example.net"_qs}));
        QCOMPARE(message.facts[u"to"_qs].toString(), u"携帯 太郎 <to@example.net>"_qs);
        QCOMPARE(message.facts[u"cc"_qs].toString(), u"cc@example.net"_qs);
        QCOMPARE(message.facts[u"from"_qs].toString(), u"自宅 <pc@example.jp>"_qs);
        QVERIFY(!message.raw.contains("hidden"));

        // Release forgot the header entries of the first send.
        QCOMPARE(smtp.ConnectHost(address(server)), 1);
        QCOMPARE(smtp.Helo(address(server)) + smtp.MailFrom(u"pc@example.jp"_qs) +
                     smtp.RcptTo(u"other@example.net"_qs) + smtp.Data(u"second"_qs) + smtp.Quit(),
                 5);
        const QJsonObject second = server.messages().value(1).facts;
        QVERIFY(second[u"cc"_qs].isNull());
        QVERIFY(second[u"subject"_qs].isNull());
        QCOMPARE(second[u"from"_qs].toString(), u"pc@example.jp"_qs);
    }

    void addressesGoAsGiven() {
        SmtpTestServer server;
        QVERIFY(server.start());
        SmtpClient smtp;
        // Older phone addresses break the address grammar but are real.
        QCOMPARE(
            smtp.SendMail(address(server), u"taro..yamada.@docomo.ne.jp"_qs, QString(), u"s"_qs, u"b"_qs, {}),
            1);
        const QJsonObject facts = onlyMessage(server);
        QCOMPARE(strings(facts[u"rcpt_tos"_qs]), QStringList{u"taro..yamada.@docomo.ne.jp"_qs});
        QVERIFY(server.messages().value(0).raw.contains("\r\nTo: taro..yamada.@docomo.ne.jp\r\n"));
        // An empty sender is the null path, and the message then names no sender.
        QCOMPARE(facts[u"mail_from"_qs].toString(), u"<>"_qs);
        QVERIFY(facts[u"from"_qs].isNull());
    }

    void encryptionAndLogin_data() {
        QTest::addColumn<int>("tls");
        QTest::addColumn<bool>("wrongHost");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("error");
        const int start = int(TestTls::StartTls), implicit = int(TestTls::Implicit),
                  none = int(TestTls::None);
        QTest::newRow("STARTTLS") << start << false << u"secret"_qs << 0;
        QTest::newRow("implicit TLS") << implicit << false << u"secret"_qs << 0;
        QTest::newRow("no TLS offered: clear text") << none << false << u"secret"_qs << 0;
        // The send goes on without AUTH once, as before AUTH existed; this server wants it, so MAIL is
        // refused.
        QTest::newRow("wrong password") << start << false << u"wrong"_qs << int(SmtpClient::MailRefused);
        QTest::newRow("STARTTLS, other host") << start << true << u"secret"_qs << int(SmtpClient::TlsFailed);
        QTest::newRow("implicit, other host")
            << implicit << true << u"secret"_qs << int(SmtpClient::TlsFailed);
    }
    void encryptionAndLogin() {
        QFETCH(int, tls);
        QFETCH(bool, wrongHost);
        QFETCH(QString, password);
        QFETCH(int, error);
        SmtpTestServer server;
        QVERIFY(server.start({TestTls(tls), wrongHost, u"alice"_qs, u"secret"_qs}));
        SmtpClient smtp;
        smtp.LogFile = TestSupport::sandboxDir() + u"/PLSmtp.log"_qs;
        QFile::remove(smtp.LogFile);
        smtp.setImplicitTls(tls == int(TestTls::Implicit));
        smtp.setCredentials(u"alice"_qs, password);
        const qint32 sent = smtp.SendMail(address(server), u"phone@example.net"_qs, u"pc@example.jp"_qs,
                                          u"s"_qs, u"b"_qs, {});
        QCOMPARE(smtp.LastError(), error);
        if (error == int(SmtpClient::MailRefused))
            QVERIFY2(smtp.LastErrorText().contains(u"after AUTH was refused: 535"_qs),
                     qPrintable(smtp.LastErrorText()));
        QCOMPARE(sent, error == 0 ? 1 : 0);
        QCOMPARE(server.messages().size(), sent);
        if (sent) {
            QCOMPARE(onlyMessage(server)[u"tls"_qs].toBool(), tls != int(TestTls::None));
            QCOMPARE(onlyMessage(server)[u"auth_user"_qs].toString(), u"alice"_qs);
        }

        QFile trace(smtp.LogFile);
        QVERIFY(trace.open(QIODevice::ReadOnly));
        const QByteArray text = trace.readAll();
        QVERIFY(text.contains(wrongHost ? "TLS" : "EHLO"));
        for (const QByteArray& secret :
             {password.toUtf8(), QByteArray("\0alice\0", 7).append(password.toUtf8()).toBase64(),
              QByteArray("alice").toBase64(), password.toUtf8().toBase64()})
            QVERIFY2(!text.contains(secret), secret.constData());
    }

    void stepsAfterAFailureStillAnswer() {
        SmtpTestServer server;
        QVERIFY(server.start());
        server.setControl({{u"refuse_rcpt"_qs, QJsonArray{u"gone@example.net"_qs}}});
        SmtpClient smtp;
        smtp.ConnectHost(address(server));
        QCOMPARE(smtp.Helo(address(server)) + smtp.MailFrom(u"pc@example.jp"_qs), 2);
        QCOMPARE(smtp.RcptTo(u"gone@example.net"_qs), 0);
        QCOMPARE(smtp.ReplyCode(), 550);
        QCOMPARE(smtp.LastError(), int(SmtpClient::RcptRefused));
        // Nobody accepted: the server refuses DATA, and the text must not follow as commands.
        QCOMPARE(smtp.Data(u"QUIT\r\nbody"_qs), 0);
        QCOMPARE(smtp.LastError(), int(SmtpClient::DataRefused));
        QCOMPARE(smtp.Quit(), 1);
        QCOMPARE(smtp.Release(), 1);
        QCOMPARE(smtp.LastError(), 0);
        QCOMPARE(server.messages().size(), 0);

        // A refused copy recipient leaves the main one served.
        smtp.ConnectHost(address(server));
        QCOMPARE(smtp.Helo(address(server)) + smtp.MailFrom(u"pc@example.jp"_qs) +
                     smtp.RcptTo(u"to@example.net"_qs) + smtp.RcptTo(u"gone@example.net"_qs) +
                     smtp.Data(u"body"_qs) + smtp.Quit(),
                 5);
        QCOMPARE(strings(onlyMessage(server)[u"rcpt_tos"_qs]), QStringList{u"to@example.net"_qs});

        // What could smuggle a command in never reaches the server.
        QCOMPARE(smtp.RcptTo(QString()), 0);
        QCOMPARE(smtp.RcptTo(u"a@b>\r\nRSET"_qs), 0);
        QCOMPARE(smtp.LastError(), int(SmtpClient::BadAddress));
    }

    void dataRefusedThenAccepted() {
        SmtpTestServer server;
        QVERIFY(server.start());
        server.setControl({{u"fail_data"_qs, 2}, {u"fail_data_at"_qs, u"command"_qs}});
        SmtpClient smtp;
        smtp.ConnectHost(address(server));
        smtp.Helo(address(server));
        smtp.MailFrom(u"pc@example.jp"_qs);
        smtp.RcptTo(u"to@example.net"_qs);
        QCOMPARE(smtp.Data(u"body"_qs), 0);
        QCOMPARE(smtp.ReplyCode(), 451);
        QCOMPARE(smtp.Quit(), 1); // still in step with the server
        smtp.Release();

        server.setControl({{u"fail_data"_qs, 1}});
        const auto send = [&] {
            return smtp.SendMail(address(server), u"to@example.net"_qs, u"pc@example.jp"_qs, u"s"_qs, u"b"_qs,
                                 {});
        };
        QCOMPARE(send(), 0);
        QCOMPARE(smtp.LastError(), int(SmtpClient::DataRefused));
        QCOMPARE(send(), 1);
        QCOMPARE(smtp.LastError(), 0);
        QCOMPARE(server.messages().size(), 1);
    }

    void brokenServersEndInTime_data() {
        QTest::addColumn<QJsonObject>("control");
        QTest::addColumn<int>("error");
        QTest::newRow("refused") << QJsonObject() << int(SmtpClient::ConnectFailed);
        QTest::newRow("silent") << QJsonObject{{u"silent"_qs, true}} << int(SmtpClient::Timeout);
        QTest::newRow("drop on RCPT") << QJsonObject{{u"drop_on"_qs, u"RCPT"_qs}} << int(SmtpClient::Dropped);
        QTest::newRow("drop after text")
            << QJsonObject{{u"drop_on"_qs, u"DATA_END"_qs}} << int(SmtpClient::Dropped);
    }
    void brokenServersEndInTime() {
        QFETCH(QJsonObject, control);
        QFETCH(int, error);
        SmtpTestServer server;
        QVERIFY(server.start());
        server.setControl(control);
        QString sServer = address(server);
        if (error == int(SmtpClient::ConnectFailed)) {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            sServer = QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
            closed.close();
        }
        SmtpClient smtp;
        smtp.ConnectTimeout = 2;
        smtp.ReplyTimeout = 2;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(smtp.SendMail(sServer, u"to@example.net"_qs, u"pc@example.jp"_qs, u"s"_qs, u"b"_qs, {}), 0);
        QCOMPARE(smtp.LastError(), error);
        QVERIFY(!smtp.LastErrorText().isEmpty());
        // Only a text whose answer was lost may have been taken: the server kept it before hanging up.
        const bool bAfterText = control[u"drop_on"_qs] == u"DATA_END"_qs;
        QCOMPARE(smtp.isUnconfirmed(), bAfterText);

        // The whole step-by-step walk: each step answers at once once the connection is gone.
        smtp.ConnectHost(sServer);
        smtp.Helo(sServer);
        smtp.MailFrom(u"pc@example.jp"_qs);
        const qint32 rcpt = smtp.RcptTo(u"to@example.net"_qs);
        QCOMPARE(smtp.Data(u"b"_qs), 0);
        QVERIFY(smtp.LastError() != 0);
        smtp.Quit();
        QCOMPARE(smtp.Release() + smtp.Destroy(), 2);
        QCOMPARE(smtp.LastError(), 0);
        QVERIFY2(clock.elapsed() < 12000, qPrintable(QString::number(clock.elapsed())));
        if (error == int(SmtpClient::Dropped) && control[u"drop_on"_qs] == u"RCPT"_qs)
            QCOMPARE(rcpt, 0);
        QCOMPARE(server.messages().size(), bAfterText ? 2 : 0);
    }

    // Mails sent with a kept session share one connection and its one login, across releases, until keeping
    // is turned off; a failure ends the session, and a session the server ended meanwhile is replaced
    // without losing the mail.
    void keptSessionCarriesMailsUntilAFailure() {
        SmtpTestServer server;
        SmtpTestServer::Options options;
        options.tls = TestTls::StartTls;
        options.sUser = u"user"_qs;
        options.sPassword = u"secret"_qs;
        QVERIFY(server.start(options));
        SmtpClient smtp;
        smtp.setCredentials(u"user"_qs, u"secret"_qs);
        smtp.KeepSession = true;
        const auto send = [&](const QString& sSubject) {
            return smtp.SendMail(address(server), u"to@example.net"_qs, u"pc@example.jp"_qs, sSubject,
                                 u"b"_qs, {});
        };
        QCOMPARE(send(u"1"_qs), 1);
        QCOMPARE(send(u"2"_qs), 1);
        QVERIFY(smtp.usedTls());
        server.setControl({{u"fail_data"_qs, 1}});
        QCOMPARE(send(u"refused"_qs), 0);
        QCOMPARE(smtp.LastError(), int(SmtpClient::DataRefused));
        QCOMPARE(send(u"3"_qs), 1);
        QVERIFY(server.restart());
        QCOMPARE(send(u"4"_qs), 1);
        QCOMPARE(smtp.LastError(), 0);
        // A release between mails ends the mail, not the session.
        QCOMPARE(smtp.Release(), 1);
        QCOMPARE(send(u"5"_qs), 1);

        // Another login may not ride on a session signed in as someone else.
        smtp.setCredentials(u"other"_qs, u"wrong"_qs);
        QCOMPARE(send(u"6"_qs), 0);
        QCOMPARE(smtp.LastError(), int(SmtpClient::MailRefused));
        smtp.setCredentials(u"user"_qs, u"secret"_qs);
        QCOMPARE(send(u"7"_qs), 1);
        smtp.KeepSession = false;
        QCOMPARE(smtp.Release(), 1);
        QCOMPARE(send(u"8"_qs), 1);

        QStringList seen;
        for (const SmtpTestServer::Message& m : server.messages())
            seen << m.facts[u"subject"_qs].toString() + u'@' +
                        QString::number(m.facts[u"session"_qs].toInt());
        // The restarted server numbers its sessions from 1 again.
        QCOMPARE(seen,
                 QStringList({u"1@1"_qs, u"2@1"_qs, u"3@2"_qs, u"4@1"_qs, u"5@1"_qs, u"7@3"_qs, u"8@4"_qs}));
    }

    void manySendsInARow() {
        SmtpTestServer server;
        QVERIFY(server.start());
        SmtpClient smtp;
        const int n = 20;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < n; ++i)
            QCOMPARE(smtp.SendMail(address(server), u"to@example.net"_qs, u"pc@example.jp"_qs, u"件名"_qs,
                                   u"本文の行\r\n"_qs.repeated(40), {}),
                     1);
        const double perMessage = double(clock.elapsed()) / n;
        qInfo("%.1f ms per message", perMessage);
        // A delayed acknowledgement per command would cost 40 ms or more each.
        QVERIFY(perMessage < 200);
        QCOMPARE(server.messages().size(), n);
    }
};

QTEST_GUILESS_MAIN(tst_smtpclient)
#include "tst_smtpclient.moc"
