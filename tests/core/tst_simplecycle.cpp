#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsMailTransfer.h"
#include "engine/clsRunStatus.h"
#include "engine/clsSimpleCycle.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <stdexcept>

namespace {
const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");
const QString sPhone = QStringLiteral("phone@example.jp");
const QByteArray sUndecoded = "=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=";

QByteArray mail(const QByteArray& from, const QByteArray& subject, const QByteArray& body) {
    static int n = 0;
    ++n;
    return "From: " + from + "\r\nTo: alice@example.jp\r\nSubject: " + subject + "\r\nMessage-ID: <m" +
           QByteArray::number(n) + "@example.com>\r\n\r\n" + body;
}

QByteArray plain(const QByteArray& subject = "hello", const QByteArray& body = "hello there\r\n") {
    return mail("Sender <sender@example.com>", subject, body);
}

// Sixty distinct characters: three pages of twenty beside the page mark.
const QByteArray sThreePages = "aaaaaaaaaabbbbbbbbbbccccccccccddddddddddeeeeeeeeeeffffffff\r\n";
constexpr qint16 iThreePageSize = 32;

QString stamp() {
    return QStringLiteral("\\d\\d:\\d\\d:\\d\\d ");
}
} // namespace

class tst_SimpleCycle : public QObject {
    Q_OBJECT

    DovecotServer dovecot;
    SmtpTestServer smtpServer;
    QTemporaryDir logDir;
    std::unique_ptr<Pop3Client> pop;
    std::unique_ptr<SmtpClient> smtp;
    std::unique_ptr<clsSimpleCycle> cycle;
    qsizetype iSentBefore = 0;

    void setSetting(qint16 iID, const QVariant& vValue) {
        QVERIFY(clsSet2::instance().setValue(iID, {vValue}));
    }

    void startCycle(qint16 iInterval = 1) {
        setSetting(6, iInterval);
        cycle->start();
    }

    QList<SmtpTestServer::Message> sent() const { return smtpServer.messages().mid(iSentBefore); }

    QStringList sentField(const QString& sKey) const {
        QStringList out;
        for (const SmtpTestServer::Message& m : sent())
            out << m.facts.value(sKey).toVariant().toString();
        return out;
    }

    static QString readLog(const QString& sName) {
        QFile file(logPath(sName));
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QStringDecoder(QStringDecoder::System).decode(file.readAll());
    }

    static QString pageText(const QString& sBody) {
        QString s = sBody;
        return s.remove(QRegularExpression(QStringLiteral("^ペリモ \\d\\d/\\d\\d\n"))).remove(u'\n');
    }

private Q_SLOTS:
    void initTestCase() {
        setProgramFolder(logDir.path());
        // The receive account also signs in to the SMTP server.
        QVERIFY(smtpServer.start(SmtpTestServer::Options::login(sUser, sPassword)));
    }

    void init() {
        QVERIFY(dovecot.start());
        TestSupport::clearStore();
        clsSet2& set = clsSet2::instance();
        set.setDefault();
        clsSet1::instance().Remote().setDefault();
        setSetting(1, QStringLiteral("127.0.0.1:%1").arg(dovecot.port()));
        setSetting(2, encodePassWord(sUser));
        setSetting(3, encodePassWord(sPassword));
        setSetting(4, QStringLiteral("127.0.0.1:%1").arg(smtpServer.port()));
        setSetting(5, sPhone);
        setSetting(8, QStringLiteral("0"));
        setSetting(11, QString());
        clsSystem::instance().RunLog = true;
        rotateLogs();
        smtpServer.setControl({});
        iSentBefore = smtpServer.messages().size();
        // A fresh component for every test: the POP3 one remembers what it read.
        pop = std::make_unique<Pop3Client>();
        smtp = std::make_unique<SmtpClient>();
        cycle = std::make_unique<clsSimpleCycle>(*pop, *smtp);
        startCycle();
    }

    void cleanup() {
        cycle.reset();
        clsMailTransfer::instance().clearClass();
    }

    void checkComesDueExactlyOnTheIntervalTick() {
        dovecot.addMessage(sUser, plain());
        startCycle(3);
        QCOMPARE(cycle->tick(), CheckOutcome::NotDue);
        QCOMPARE(cycle->tick(), CheckOutcome::NotDue);
        QVERIFY(sent().isEmpty());
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
        // The next interval counts from the end of the check.
        QCOMPARE(cycle->minuteCount(), qint16(0));
        QCOMPARE(cycle->tick(), CheckOutcome::NotDue);
        QCOMPARE(cycle->tick(), CheckOutcome::NotDue);
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
    }

    void counterWrapsAndAZeroIntervalNeverComesDue() {
        startCycle(0);
        for (int i = 0; i < 33000; ++i) {
            if (cycle->tick() != CheckOutcome::NotDue)
                QFAIL(qPrintable(QStringLiteral("due at tick %1").arg(i + 1)));
            QVERIFY(cycle->minuteCount() >= 1 && cycle->minuteCount() <= 32001);
        }
    }

    void emptyOrUnreadableMailboxOnlyLogsTheCount() {
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QVERIFY(QRegularExpression(QStringLiteral("^") + stamp() + QStringLiteral("受信ﾒｰﾙ数=0\r\n$"))
                    .match(readLog(QStringLiteral("PLRun.log")))
                    .hasMatch());
        QVERIFY(!QFile::exists(logPath(QStringLiteral("sendmail.log"))));

        dovecot.stop();
        rotateLogs();
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QVERIFY(readLog(QStringLiteral("PLRun.log")).contains(QStringLiteral("-受信ﾒｰﾙ数=1\r\n")));
        QVERIFY(!QFile::exists(logPath(QStringLiteral("sendmail.log"))));
        QVERIFY(sent().isEmpty());
    }

    void pagesGoLastFirstAndOnlyOnce() {
        setSetting(8, QString::number(iThreePageSize));
        dovecot.addMessage(sUser, plain("three pages", sThreePages));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);

        QList<SmtpTestServer::Message> pages = sent();
        QCOMPARE(pages.size(), 3);
        QString sJoined;
        for (int k = 0; k < 3; ++k) {
            const QString sBody = pages.at(k).facts.value(QStringLiteral("body")).toString();
            QVERIFY2(sBody.startsWith(QStringLiteral("ペリモ %1/03\n").arg(3 - k, 2, 10, QLatin1Char('0'))),
                     qPrintable(sBody));
            sJoined.prepend(pageText(sBody));
        }
        QCOMPARE(sJoined, QString::fromLatin1(sThreePages).remove(QStringLiteral("\r\n")));
        QCOMPARE(sentField(QStringLiteral("subject")), QStringList(3, QStringLiteral("three pages")));
        QCOMPARE(sentField(QStringLiteral("mail_from")),
                 QStringList(3, QStringLiteral("sender@example.com")));
        QCOMPARE(pages.at(0).facts.value(QStringLiteral("rcpt_tos")).toArray(), QJsonArray{sPhone});
        QCOMPARE(sentField(QStringLiteral("auth_user")), QStringList(3, sUser));
        // One session and one login carry the pages of a check.
        const QString sSession = sentField(QStringLiteral("session")).first();
        QCOMPARE(sentField(QStringLiteral("session")), QStringList(3, sSession));

        // Still on the server, already forwarded: counted, not sent again.
        rotateLogs();
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 3);
        QVERIFY(readLog(QStringLiteral("PLRun.log")).contains(QStringLiteral("受信ﾒｰﾙ数=1\r\n")));
        QVERIFY(!QFile::exists(logPath(QStringLiteral("sendmail.log"))));

        // The session ended with its check.
        dovecot.addMessage(sUser, plain("next", "one page"));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 4);
        QVERIFY(sentField(QStringLiteral("session")).last() != sSession);
    }

    void aPageFailingThriceHoldsTheMailForTheNextCheck() {
        setSetting(8, QString::number(iThreePageSize));
        dovecot.addMessage(sUser, plain("three pages", sThreePages));
        smtpServer.setControl({{QStringLiteral("fail_data"), 3}});
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QVERIFY(sent().isEmpty());
        QVERIFY(!clsMailTransfer::instance().getTrans(0));

        const QString sSendLog = readLog(QStringLiteral("sendmail.log"));
        QStringList results;
        for (const QString& sLine : sSendLog.split(QStringLiteral("\r\n")))
            if (sLine.contains(QStringLiteral("送信結果")))
                results << sLine.mid(9);
        QCOMPARE(results, (QStringList{QStringLiteral("-->送信結果:NG -->ﾘﾄﾗｲ= 1"),
                                       QStringLiteral("-->送信結果:NG -->ﾘﾄﾗｲ= 2"),
                                       QStringLiteral("-->送信結果:NG -->ﾘﾄﾗｲ= 3"),
                                       QStringLiteral("----->送信結果:NG")}));
        // Only the last page was tried, so one send-data block.
        QCOMPARE(sSendLog.count(QStringLiteral("送信ﾃﾞｰﾀ")), 1);
        QVERIFY(QRegularExpression(QStringLiteral("lRet=0 LastError=[1-9]\\d*:送信NG\r\n"))
                    .match(readLog(QStringLiteral("PLRun.log")))
                    .hasMatch());

        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 3);
        QCOMPARE(sentField(QStringLiteral("session")),
                 QStringList(3, sentField(QStringLiteral("session")).first()));
        QVERIFY(sent()
                    .at(0)
                    .facts.value(QStringLiteral("body"))
                    .toString()
                    .startsWith(QStringLiteral("ペリモ 03/03")));
        QVERIFY(clsMailTransfer::instance().getTrans(0));
    }

    void divisionOffSendsTheWholeMail() {
        QByteArray body;
        for (int i = 0; i < 60; ++i)
            body += "line " + QByteArray::number(i) + " of a long mail, no page mark on it\r\n";
        dovecot.addMessage(sUser, plain("long", body));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
        const QString sBody = sent().at(0).facts.value(QStringLiteral("body")).toString();
        QVERIFY(!sBody.contains(QStringLiteral("ペリモ")));
        QVERIFY(
            sBody.contains(QString::fromLatin1(body).replace(QStringLiteral("\r\n"), QStringLiteral("\n"))));
    }

    void senderRules_data() {
        QTest::addColumn<int>("pageSize");
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QString>("ownAddress");
        QTest::addColumn<QString>("expected"); // "%pop" stands for the POP3 server setting

        const QByteArray sPlain = "Sender <sender@example.com>";
        QTest::newRow("division, own address wins") << 200 << sPlain << "me@example.jp"
                                                    << "me@example.jp";
        QTest::newRow("division, no own address") << 200 << sPlain << ""
                                                  << "sender@example.com";
        QTest::newRow("division, undecoded sender, no own address") << 200 << sUndecoded << ""
                                                                    << "";
        QTest::newRow("division, undecoded sender, own address blank") << 200 << sUndecoded << "  "
                                                                       << "  ";
        QTest::newRow("no division, own address ignored") << 0 << sPlain << "me@example.jp"
                                                          << "sender@example.com";
        QTest::newRow("no division, undecoded sender") << 0 << sUndecoded << ""
                                                       << "alice@%pop";
        QTest::newRow("no division, undecoded sender in lower case") << 0 << sUndecoded.toLower() << ""
                                                                     << "alice@%pop";
    }
    void senderRules() {
        QFETCH(int, pageSize);
        QFETCH(QByteArray, from);
        QFETCH(QString, ownAddress);
        QFETCH(QString, expected);
        setSetting(8, QString::number(pageSize));
        setSetting(11, encodePassWord(ownAddress));
        expected.replace(QStringLiteral("%pop"), clsSet2::instance().getValue(1).toString());
        dovecot.addMessage(sUser, mail(from, "rules", "short\r\n"));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QVERIFY(readLog(QStringLiteral("sendmail.log"))
                    .contains(QStringLiteral("\r\n送信元メールアドレス : %1\r\n").arg(expected)));
        QVERIFY(readLog(QStringLiteral("PLRun.log"))
                    .contains(QStringLiteral("%1:%2:rules\r\n").arg(sPhone, expected)));
    }

    void stopAndPauseCommands_data() {
        QTest::addColumn<QByteArrayList>("subjects");
        QTest::addColumn<CheckOutcome>("outcome");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<QString>("action");
        QTest::newRow("stop") << QByteArrayList{"STOP_MAIL"} << CheckOutcome::Stop
                              << QStringLiteral("ペリモメール終了通知") << QStringLiteral("終了");
        QTest::newRow("pause") << QByteArrayList{"PAUSE_MAIL please"} << CheckOutcome::Pause
                               << QStringLiteral("ペリモメール中断通知") << QStringLiteral("中断");
        QTest::newRow("stop wins over an earlier pause")
            << QByteArrayList{"PAUSE_MAIL", "STOP_MAIL"} << CheckOutcome::Stop
            << QStringLiteral("ペリモメール終了通知") << QStringLiteral("終了");
    }
    void stopAndPauseCommands() {
        QFETCH(QByteArrayList, subjects);
        QFETCH(CheckOutcome, outcome);
        QFETCH(QString, notice);
        QFETCH(QString, action);
        dovecot.addMessage(sUser, plain("ordinary mail"));
        for (const QByteArray& subject : subjects)
            dovecot.addMessage(sUser, mail(sPhone.toLatin1(), subject, "x\r\n"));
        QCOMPARE(cycle->tick(), outcome);

        // Only the notice goes out: nothing is forwarded once a command is obeyed.
        QCOMPARE(sentField(QStringLiteral("subject")), QStringList{notice});
        QCOMPARE(sentField(QStringLiteral("mail_from")), QStringList{sPhone});
        QCOMPARE(sent().at(0).facts.value(QStringLiteral("rcpt_tos")).toArray(), QJsonArray{sPhone});
        const QString sBody = sent().at(0).facts.value(QStringLiteral("body")).toString();
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^\\d{4}年\\d\\d月\\d{1,2}日 \\d{1,2}時\\d{1,2}分 ペリモメールを") +
                     action + QStringLiteral("しました\\s*$"))
                     .match(sBody)
                     .hasMatch(),
                 qPrintable(sBody));
    }

    // A command whose sender the receiving server failed (on its topmost verdict), or without the PIN, is no
    // command: it is logged and forwarded, its PIN masked, and the PIN is never in a log or a mail.
    void forgedOrPinlessCommandsAreForwarded_data() {
        QTest::addColumn<QByteArray>("verdict");
        QTest::addColumn<QByteArray>("subject");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QString>("refusal");
        const QByteArray fail =
            "Authentication-Results: mx.example.jp; spf=pass smtp.mailfrom=phone@example.jp;\r\n"
            " dmarc=fail (p=none; dis=none) header.from=example.jp\r\n";
        QTest::newRow("no verdict") << QByteArray() << QByteArray("STOP_MAIL") << QString() << QString();
        QTest::newRow("dmarc fail on top") << fail << QByteArray("STOP_MAIL") << QString()
                                           << QStringLiteral("差出人の認証に失敗 (dmarc=fail)");
        QTest::newRow("forged pass below a real fail")
            << fail + "Received: from x\r\nAuthentication-Results: mx.example.jp; dmarc=pass\r\n"
            << QByteArray("STOP_MAIL") << QString() << QStringLiteral("差出人の認証に失敗 (dmarc=fail)");
        QTest::newRow("forged fail below a pass")
            << QByteArray("Authentication-Results: mx.example.jp; dmarc=pass\r\nAuthentication-Results: x; "
                          "dmarc=fail\r\n")
            << QByteArray("STOP_MAIL") << QString() << QString();
        QTest::newRow("spf fail, no dmarc")
            << QByteArray(
                   "Authentication-Results: mx.example.jp; SPF = fail smtp.mailfrom=phone@example.jp\r\n")
            << QByteArray("STOP_MAIL") << QString() << QStringLiteral("差出人の認証に失敗 (spf=fail)");
        QTest::newRow("dkim fail of another domain")
            << QByteArray("Authentication-Results: mx.example.jp; dkim=fail header.d=list.example.org\r\n")
            << QByteArray("STOP_MAIL") << QString() << QString();
        QTest::newRow("pin missing") << QByteArray() << QByteArray("STOP_MAIL") << QStringLiteral("kP47q")
                                     << QStringLiteral("暗証番号がありません");
        QTest::newRow("pin wrong") << QByteArray() << QByteArray("STOP_MAIL kP48q now")
                                   << QStringLiteral("kP47q") << QStringLiteral("暗証番号が違います");
        QTest::newRow("pin right") << QByteArray() << QByteArray("STOP_MAIL kP47q") << QStringLiteral("kP47q")
                                   << QString();
        QTest::newRow("pin right, sender failed")
            << fail << QByteArray("STOP_MAIL kP47q") << QStringLiteral("kP47q")
            << QStringLiteral("差出人の認証に失敗 (dmarc=fail)");
    }
    void forgedOrPinlessCommandsAreForwarded() {
        QFETCH(QByteArray, verdict);
        QFETCH(QByteArray, subject);
        QFETCH(QString, pin);
        QFETCH(QString, refusal);
        clsSet1::instance().Remote().setCommandPin(pin);
        dovecot.addMessage(sUser, verdict + mail(sPhone.toLatin1(), subject, "x\r\n"));
        const CheckOutcome outcome = cycle->tick();
        const QString sLog = readLog(QStringLiteral("PLRun.log"));
        if (refusal.isEmpty()) {
            QCOMPARE(outcome, CheckOutcome::Stop);
            QCOMPARE(sentField(QStringLiteral("subject")),
                     QStringList{QStringLiteral("ペリモメール終了通知")});
            QVERIFY(!sLog.contains(QStringLiteral("コマンドメールを無視しました")));
        } else {
            QCOMPARE(outcome, CheckOutcome::CarryOn);
            const QString sShown =
                QString::fromLatin1(subject).replace(QRegularExpression("kP4\\dq"), "****");
            QCOMPARE(sentField(QStringLiteral("subject")), QStringList{sShown});
            QCOMPARE(sLog.count(QStringLiteral("コマンドメールを無視しました: ") + refusal +
                                QStringLiteral(": ") + sShown),
                     1);
        }
        if (pin.isEmpty())
            return;
        QStringList everything{sLog, readLog(QStringLiteral("sendmail.log")),
                               readLog(QStringLiteral("recvmail.log"))};
        for (const SmtpTestServer::Message& m : sent())
            everything << QString::fromUtf8(QJsonDocument(m.facts).toJson());
        for (const QString& s : everything)
            QVERIFY2(!s.contains(QStringLiteral("kP4")), qPrintable(s));
    }

    void runLogOffWritesNothingButSendsTheSame() {
        clsSystem::instance().RunLog = false;
        setSetting(8, QString::number(iThreePageSize));
        dovecot.addMessage(sUser, plain("three pages", sThreePages));
        smtpServer.setControl({{QStringLiteral("fail_data"), 1}});
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 3);
        QVERIFY(clsMailTransfer::instance().getTrans(0));
        QVERIFY(!QFile::exists(logPath(QStringLiteral("sendmail.log"))));
        QVERIFY(!QFile::exists(logPath(QStringLiteral("PLRun.log"))));
    }

    void oneSendIsLoggedExactly() {
        dovecot.addMessage(sUser, plain("log me", "  body with blanks around  \r\n"));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        const QString sBody = clsMailTransfer::instance().getBody(0);
        QVERIFY(sBody.contains(QStringLiteral("  body with blanks around  ")));
        const QString sExpected =
            QStringLiteral("^---- \\d\\d:\\d\\d:\\d\\d 送信ﾃﾞｰﾀ -----------------\r\n") +
            QRegularExpression::escape(QStringLiteral("サーバホスト名 : 127.0.0.1:%1\r\n"
                                                      "送信先メールアドレス : %2\r\n"
                                                      "送信元メールアドレス : sender@example.com\r\n"
                                                      "件名 : log me\r\n"
                                                      "本文 : ")
                                           .arg(smtpServer.port())
                                           .arg(sPhone) +
                                       sBody) +
            (sBody.endsWith(QStringLiteral("\r\n")) ? QString() : QStringLiteral("\r\n")) + stamp() +
            QStringLiteral("----->送信結果:OK\r\n$");
        const QString sSendLog = readLog(QStringLiteral("sendmail.log"));
        QVERIFY2(QRegularExpression(sExpected).match(sSendLog).hasMatch(), qPrintable(sSendLog));
        const QString sRunLog = readLog(QStringLiteral("PLRun.log"));
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^") + stamp() + QStringLiteral("受信ﾒｰﾙ数=1\r\n") + stamp() +
                     QRegularExpression::escape(sPhone + QStringLiteral(":sender@example.com:log me")) +
                     QStringLiteral("\r\n") + stamp() + QStringLiteral("lRet=1 LastError=0:送信OK\r\n$"))
                     .match(sRunLog)
                     .hasMatch(),
                 qPrintable(sRunLog));
    }

    // A server that keeps each page and then hangs up before answering: every copy on the phone is counted,
    // one more try per check at most, and the mail is given up once a page went out three times.
    void unansweredTextsAreGivenUpAfterThreeCopies() {
        setSetting(8, QString::number(iThreePageSize));
        dovecot.addMessage(sUser, plain("answerless", sThreePages));
        smtpServer.setControl({{u"drop_on"_qs, u"DATA_END"_qs}});
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 2);
        for (int iCheck = 0; iCheck < 3; ++iCheck)
            QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 3);
        for (const SmtpTestServer::Message& m : sent())
            QVERIFY(m.facts[u"body"_qs].toString().startsWith(u"ペリモ 03/03"_qs));
        QVERIFY(clsMailTransfer::instance().getGivenUp(0));
        QVERIFY(readLog(QStringLiteral("PLRun.log")).contains(u"転送をあきらめました: answerless"_qs));
    }

    void unreachableSmtpServerLeavesTheMailForLater() {
        quint16 iClosedPort = 0;
        {
            SmtpTestServer gone;
            QVERIFY(gone.start());
            iClosedPort = gone.port();
        }
        setSetting(4, QStringLiteral("127.0.0.1:%1").arg(iClosedPort));
        dovecot.addMessage(sUser, plain());
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QVERIFY(!clsMailTransfer::instance().getTrans(0));
        const clsMailTransfer::CheckReport report = clsMailTransfer::instance().checkReport();
        QCOMPARE(report.iSendsFailed, 1);
        QCOMPARE(report.lSendError, qint32(SmtpClient::ConnectFailed));
        QCOMPARE(report.lReceiveError, 0);
        QVERIFY(readLog(QStringLiteral("sendmail.log")).contains(QStringLiteral("----->送信結果:NG")));
        QVERIFY(QRegularExpression(QStringLiteral("lRet=0 LastError=[1-9]\\d*:送信NG\r\n") + stamp() +
                                   QStringLiteral("SMTP: .+\r\n$"))
                    .match(readLog(QStringLiteral("PLRun.log")))
                    .hasMatch());

        setSetting(4, QStringLiteral("127.0.0.1:%1").arg(smtpServer.port()));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
        QCOMPARE(clsMailTransfer::instance().checkReport().iSendsOk, 1);
        QCOMPARE(clsMailTransfer::instance().checkReport().iSendsFailed, 0);
    }

    // The tray's line and notices: one notice after sends failed at three checks in a row (checks that sent
    // nothing do not break the row), none more while they go on failing, one when sending works again.
    void runStatusNoticesOncePerRunOfFailures() {
        clsRunStatus status;
        QCOMPARE(status.toolTip(), QStringLiteral("ペリモメール"));
        clsMailTransfer::CheckReport failed;
        failed.iSendsFailed = 1;
        failed.lSendError = SmtpClient::ConnectFailed;
        const clsMailTransfer::CheckReport nothing;
        clsMailTransfer::CheckReport sent;
        sent.iSendsOk = 2;
        const QList<std::pair<clsMailTransfer::CheckReport, QString>> checks = {
            {failed, {}},
            {nothing, {}},
            {failed, {}},
            {failed,
             QStringLiteral("3回のチェックで続けてメールを送信できませんでした: 送信サーバに接続できません")},
            {failed, {}},
            {sent, QStringLiteral("メールを送信できるようになりました")},
            {sent, {}},
            {failed, {}}};
        for (const auto& [report, sNotice] : checks) {
            const std::optional<clsRunStatus::Notice> notice = status.record(QTime(9, 5), 0, report);
            QCOMPARE(notice ? notice->sText : QString(), sNotice);
        }
        QCOMPARE(status.toolTip(),
                 QStringLiteral("ペリモメール\n最終チェック 09:05  転送 0件\n送信サーバに接続できません"));
        clsMailTransfer::CheckReport unread;
        unread.lReceiveError = Pop3Client::LoginFailed;
        status.record(QTime(23, 59), 3, unread);
        QCOMPARE(status.lastCheck(),
                 QStringLiteral("最終チェック 23:59  転送 3件\n受信サーバの認証に失敗しました"));
    }

    // A server that answers too slowly for the check but fast enough for each reply: the check's own deadline
    // ends it, and the next check runs as usual.
    void aCheckEndsAtItsDeadline() {
        Pop3FaultServer slow;
        QVERIFY(slow.start(QStringLiteral("trickle")));
        setSetting(1, QStringLiteral("127.0.0.1:%1").arg(slow.port()));
        pop->ReplyTimeout = 60;
        cycle->checkDeadlineSeconds = 2;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(readLog(QStringLiteral("PLRun.log")).contains(QStringLiteral("the check ran out of time")));

        setSetting(1, QStringLiteral("127.0.0.1:%1").arg(dovecot.port()));
        dovecot.addMessage(sUser, plain());
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
    }

    void anErrorInsideACheckIsCaughtAndLogged() {
        dovecot.addMessage(sUser, plain("first"));
        dovecot.addMessage(sUser, plain("second"));
        cycle->beforeForwardForTest = [](qint32 lIndex) {
            if (lIndex == 1)
                throw std::out_of_range("slot out of range");
        };
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(cycle->minuteCount(), qint16(0));
        QCOMPARE(sentField(QStringLiteral("subject")), QStringList{QStringLiteral("first")});
        QVERIFY(readLog(QStringLiteral("PLRun.log")).contains(QStringLiteral("slot out of range")));
        QVERIFY(!clsMailTransfer::instance().getTrans(1));

        cycle->beforeForwardForTest = [](qint32) { throw 42; };
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);

        cycle->beforeForwardForTest = nullptr;
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sentField(QStringLiteral("subject")),
                 (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
    }
};

QTEST_GUILESS_MAIN(tst_SimpleCycle)
#include "tst_simplecycle.moc"
