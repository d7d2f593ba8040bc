#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsDetailCycle.h"
#include "engine/clsMailTransfer.h"
#include "settings/clsSet1.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QFile>
#include <QJsonArray>
#include <QStringDecoder>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {
const QString sAlice = QStringLiteral("alice@example.jp");
const QString sBob = QStringLiteral("bob@example.jp");
const QString sPhone1 = QStringLiteral("phone1@example.net");
const QString sPhone2 = QStringLiteral("phone2@example.net");

QByteArray mail(const QString& sSubject, const QByteArray& body,
                const QString& sFrom = u"boss@example.com"_qs, const QString& sTo = sAlice) {
    static int n = 0;
    return "From: " + sFrom.toUtf8() + "\r\nTo: " + sTo.toUtf8() + "\r\nSubject: " + sSubject.toUtf8() +
           "\r\nMessage-ID: <d" + QByteArray::number(++n) + "@example.com>\r\n\r\n" + body;
}

QStringList strings(const QJsonValue& v) {
    QStringList out;
    for (const QJsonValue& e : v.toArray())
        out << e.toString();
    return out;
}

QString readLog(const QString& sName) {
    QFile file(logPath(sName));
    return file.open(QIODevice::ReadOnly) ? QStringDecoder(QStringDecoder::System).decode(file.readAll())
                                          : QString();
}

// Run-log texts without their time stamps.
QStringList runLines() {
    QStringList out;
    for (const QString& sLine : readLog(u"PLRun.log"_qs).split(u"\r\n"_qs, Qt::SkipEmptyParts))
        out << sLine.mid(9);
    return out;
}
} // namespace

class tst_detailcycle : public QObject {
    Q_OBJECT
    DovecotServer dovecot;
    SmtpTestServer smtpServer;
    QTemporaryDir logDir;
    clsMailTransfer& store = clsMailTransfer::instance();
    clsSet1& set = clsSet1::instance();
    std::unique_ptr<Pop3Client> pop;
    std::unique_ptr<SmtpClient> smtp;
    std::unique_ptr<clsDetailCycle> cycle;
    qsizetype iSentBefore = 0;

    QString pop3Server() const { return QStringLiteral("127.0.0.1:%1").arg(dovecot.port()); }
    QString smtpName() const { return QStringLiteral("127.0.0.1:%1").arg(smtpServer.port()); }

    void addAccount(qint16 iRow, const QString& sServer, const QString& sUser, const QString& sOwn) {
        QVERIFY(set.SRV1().additionValue(
            iRow, {sServer, encodePassWord(sUser), encodePassWord(sUser + u"-pw"_qs), sOwn}));
    }
    void addSendRow(qint16 iRow, const QString& sTo, const QString& sFrom = QString(),
                    const QString& sCc = {}, const QString& sBcc = {}) {
        QVERIFY(set.SRV2().additionValue(iRow, {smtpName(), sFrom, QString(), sTo, sCc, sBcc}));
        QVERIFY(set.SRV2().setValue(1, {iRow + 1}));
    }
    void divide(int iPageSize) {
        set.FIL1().setValue(3, {0});
        set.FIL1().setValue(4, {iPageSize});
    }
    QList<SmtpTestServer::Message> sent() const { return smtpServer.messages().mid(iSentBefore); }
    // Each sent mail as "destination page-mark".
    QStringList sentOrder() const {
        QStringList out;
        for (const SmtpTestServer::Message& m : sent()) {
            const QString sBody = m.facts[u"body"_qs].toString();
            out << strings(m.facts[u"rcpt_tos"_qs]).join(u',') + u' ' +
                       sBody.mid(sBody.indexOf(u"ペリモ "_qs) + 4, 5);
        }
        return out;
    }

private Q_SLOTS:
    void initTestCase() {
        setProgramFolder(logDir.path());
        // The accounts' credentials go to every send, so the server must know them.
        SmtpTestServer::Options options;
        options.sUser = u"alice"_qs;
        options.sPassword = u"alice-pw"_qs;
        QVERIFY(smtpServer.start(options));
    }

    void init() {
        dovecot.stop();
        DovecotServer::Options options;
        options.users = {{u"alice"_qs, u"alice-pw"_qs}, {u"bob"_qs, u"bob-pw"_qs}};
        QVERIFY(dovecot.start(options));
        TestSupport::clearStore();
        set.setDefault(0);
        set.WTH1().setValue(2, {1}); // every tick is a check
        clsSystem::instance().RunLog = true;
        for (const char* sName : {"PLRun.log", "sendmail.log"})
            QFile::remove(logPath(QLatin1String(sName)));
        smtpServer.setControl({});
        iSentBefore = smtpServer.messages().size();
        pop = std::make_unique<Pop3Client>();
        smtp = std::make_unique<SmtpClient>();
        cycle = std::make_unique<clsDetailCycle>(*pop, *smtp);
        cycle->start();
        addAccount(0, pop3Server(), u"alice"_qs, sAlice);
    }

    // A failed check is read best from its run log.
    void cleanup() {
        if (QTest::currentTestFailed())
            qDebug().noquote() << runLines().join(u"\n"_qs);
    }
    void cleanupTestCase() { store.clearClass(); }

    void firstCheckOnThePeriodicTick() {
        set.WTH1().setValue(2, {3});
        addSendRow(0, sPhone1);
        dovecot.addMessage(u"alice"_qs, mail(u"hello"_qs, "hi\r\n"));
        for (int iRound = 0; iRound < 2; ++iRound) {
            QCOMPARE(cycle->tick(), CheckOutcome::NotDue);
            QCOMPARE(cycle->tick(), CheckOutcome::NotDue);
            QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
            QCOMPARE(cycle->iMinuteCount, qint16(0));
        }
        QCOMPARE(sent().size(), 1); // the second check finds it forwarded
        QCOMPARE(runLines().count(u"受信ﾒｰﾙ数=1"_qs), 2);
    }

    // Each page goes to every row before the next page; a failing row stops the rest of that mail.
    void pagesToEveryRowLastPageFirst() {
        addAccount(1, pop3Server(), u"bob"_qs, sBob);
        addSendRow(0, sPhone1, u"pc@example.jp"_qs);
        addSendRow(1, sPhone2, u"pc@example.jp"_qs);
        // Ten characters a page beside the mark; the comment "x@example.comより" and its line break make
        // it 30.
        divide(22);
        dovecot.addMessage(u"bob"_qs,
                           mail(u"long"_qs, "AAAAAAAAAABBB", u"x@example.com"_qs, u"list@example.org"_qs));

        smtpServer.setControl({{u"refuse_rcpt"_qs, QJsonArray{sPhone2}}});
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sentOrder(), QStringList{sPhone1 + u" 03/03"_qs});
        QVERIFY(!store.getTrans(0));
        const QString sSendLog = readLog(u"sendmail.log"_qs);
        QCOMPARE(sSendLog.count(u"-->送信結果:NG -->ﾘﾄﾗｲ= "_qs), 3);
        QVERIFY(sSendLog.endsWith(u"----->送信結果:NG\r\n"_qs));

        smtpServer.setControl({});
        iSentBefore = smtpServer.messages().size();
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        // The page the first row already has is not sent again.
        QCOMPARE(sentOrder(),
                 (QStringList{sPhone2 + u" 03/03"_qs, sPhone1 + u" 02/03"_qs, sPhone2 + u" 02/03"_qs,
                              sPhone1 + u" 01/03"_qs, sPhone2 + u" 01/03"_qs}));
        QVERIFY(store.getTrans(0));
        for (const SmtpTestServer::Message& m : sent()) {
            QCOMPARE(m.facts[u"mail_from"_qs].toString(), u"pc@example.jp"_qs);
            QCOMPARE(m.facts[u"subject"_qs].toString(), u"long"_qs);
        }
    }

    // The account whose own address is the row's sender logs in; without one, the first account.
    void sendLogsInWithTheSendersAccount() {
        SmtpTestServer bobsServer;
        SmtpTestServer::Options options;
        options.sUser = u"bob"_qs;
        options.sPassword = u"bob-pw"_qs;
        QVERIFY(bobsServer.start(options));
        addAccount(1, pop3Server(), u"bob"_qs, sBob);
        QVERIFY(
            set.SRV2().additionValue(0, {QStringLiteral("127.0.0.1:%1").arg(bobsServer.port()),
                                         u" BOB@example.JP "_qs, QString(), sPhone1, QString(), QString()}));
        store.storeForTest(0, u"a@b.c"_qs, u"s"_qs, "id");
        QString sBody = u"t"_qs;
        QCOMPARE(cycle->sendMailBySmtpCommand(0, 0, sBody, u"bob@example.jp"_qs), 0);
        QCOMPARE(bobsServer.messages().value(0).facts[u"auth_user"_qs].toString(), u"bob"_qs);

        addSendRow(0, sPhone1, u"pc@example.jp"_qs);
        QCOMPARE(cycle->sendMailBySmtpCommand(0, 0, sBody, u"pc@example.jp"_qs), 0);
        QCOMPARE(sent().value(0).facts[u"auth_user"_qs].toString(), u"alice"_qs);
    }

    void filtersHoldMailBack_data() {
        QTest::addColumn<int>("filter");
        QTest::newRow("not addressed to the user") << 2;
        QTest::newRow("sender listed") << 3;
        QTest::newRow("word in the subject") << 4;
    }
    void filtersHoldMailBack() {
        QFETCH(int, filter);
        addSendRow(0, sPhone1);
        set.FIL2().setValue(1, {filter == 2 ? 0 : 1});
        set.FIL2().setValue(4, {0});
        for (clsWordList* list :
             {static_cast<clsWordList*>(&set.FIL3()), static_cast<clsWordList*>(&set.FIL4())})
            list->setValue(2, {1});
        set.FIL3().setValue(1, {filter == 3 ? 0 : 1});
        set.FIL3().setValue(3, {u"spam@example.com"_qs, 0});
        set.FIL4().setValue(1, {filter == 4 ? 0 : 1});
        set.FIL4().setValue(3, {u"広告"_qs, 0});
        const QString sSubject = filter == 4 ? u"本日の広告です"_qs : u"held"_qs;
        dovecot.addMessage(u"alice"_qs,
                           mail(sSubject, "x\r\n", filter == 3 ? u"spam@example.com"_qs : u"a@b.c"_qs,
                                filter == 2 ? u"someone@example.com"_qs : sAlice));
        dovecot.addMessage(u"alice"_qs, mail(u"passes"_qs, "y\r\n"));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        const QStringList lines = runLines();
        const QString sVerdict = QStringLiteral("Filter%1:UnMach").arg(filter);
        QCOMPARE(lines.count(u"Subject:"_qs + sSubject), 2);
        QCOMPARE(lines.count(sVerdict), 2);
        QCOMPARE(lines.at(lines.indexOf(u"Subject:"_qs + sSubject) + 1), sVerdict);
        QCOMPARE(lines.count(u"Filter:Complete."_qs), 1); // the passing mail, before it was forwarded
        QVERIFY(store.getStop(0) && !store.getTrans(0));
        QCOMPARE(sent().size(), 1);
        QCOMPARE(sent().at(0).facts[u"subject"_qs].toString(), u"passes"_qs);
    }

    void undecodableSenderSkipsTheSenderFilter() {
        set.FIL3().setValue(1, {0});
        set.FIL3().setValue(2, {1});
        set.FIL3().setValue(3, {u"x"_qs, 0});
        store.storeForTest(0, u"x"_qs, u"s"_qs, "id");
        store.setBodyForTest(0, u"※送信者のアドレスがデコードできません※\r\nbody"_qs);
        cycle->checkTransferFilters(0);
        QVERIFY(!store.getStop(0));
        store.setBodyForTest(0, u"body"_qs);
        cycle->checkTransferFilters(0);
        QVERIFY(store.getStop(0));
    }

    void quotesAndBlankLinesGoBeforeDivisionMemoAtTheBottom() {
        addSendRow(0, sPhone1);
        divide(2000);
        set.FIL1().setValue(5, {0});
        set.FIL1().setValue(6, {1});
        set.FIL1().setValue(7, {u">"_qs, 0});
        set.FIL1().setValue(8, {1});
        set.OPT1().setValue(1, {0});
        dovecot.addMessage(u"alice"_qs, mail(u"q"_qs, "first\r\n> quoted\r\n\r\nsecond\r\n"));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
        const QString sBody = sent().at(0).facts[u"body"_qs].toString();
        QVERIFY2(sBody.endsWith(u"first\nsecond\n\nペリモ 01/01"_qs) ||
                     sBody.endsWith(u"first\nsecond\n\nペリモ 01/01\n"_qs),
                 qPrintable(sBody));
        QVERIFY(!sBody.contains(u"quoted"_qs));
    }

    void copiesReachTheServerBlindCopyNotTheHeader() {
        addSendRow(0, sPhone1, QString(), u"cc@example.net"_qs, u"bcc@example.net"_qs);
        dovecot.addMessage(u"alice"_qs, mail(u"c"_qs, "x\r\n"));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
        const SmtpTestServer::Message m = sent().at(0);
        QCOMPARE(strings(m.facts[u"rcpt_tos"_qs]),
                 (QStringList{sPhone1, u"cc@example.net"_qs, u"bcc@example.net"_qs}));
        QCOMPARE(m.facts[u"cc"_qs].toString(), u"cc@example.net"_qs);
        QVERIFY(m.facts[u"bcc"_qs].isNull());
        QVERIFY(!m.raw.contains("bcc@"));
        QVERIFY(runLines().contains(u" HELO=1 MAIL=1 RCPT(To)=1 RCPT(Cc)=1 RCPT(Bcc)=1 Data=1 QUIT=1 Rele=1 "
                                    "Dest=1 LastErr=0:送信OK"_qs));
    }

    void refusedOrMissingCopiesDoNotCount() {
        addSendRow(0, sPhone1, QString(), u"cc@example.net"_qs);
        store.storeForTest(0, u"a@b.c"_qs, u"s"_qs, "id");
        smtpServer.setControl({{u"refuse_rcpt"_qs, QJsonArray{u"cc@example.net"_qs}}});
        QString sBody = u"t"_qs;
        QCOMPARE(cycle->sendMailBySmtpCommand(0, 0, sBody, u"a@b.c"_qs), 0);
        addSendRow(0, sPhone1);
        QCOMPARE(cycle->sendMailBySmtpCommand(0, 0, sBody, u"a@b.c"_qs), 0);
        const QStringList lines = runLines();
        QVERIFY(
            lines.contains(u" HELO=1 MAIL=1 RCPT(To)=1 RCPT(Cc)=0 RCPT(Bcc)=0 Data=1 QUIT=1 Rele=1 Dest=1 "
                           "LastErr=0:送信OK"_qs));
        QCOMPARE(lines.first(), sPhone1 + u":a@b.c:s"_qs);
    }

    // Copies stay bounded: a goodbye that is never answered does not undo a mail the server took, and a
    // refused destination sends no text at all, not even to the copy address that was accepted.
    void copiesStayBounded() {
        addSendRow(0, sPhone1, QString(), u"cc@example.net"_qs);
        smtp->ReplyTimeout = 2;
        dovecot.addMessage(u"alice"_qs, mail(u"kept"_qs, "text\r\n"));
        smtpServer.setControl({{u"stall_on"_qs, u"QUIT"_qs}});
        QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
        QVERIFY(store.getTrans(0));

        smtpServer.setControl({{u"refuse_rcpt"_qs, QJsonArray{sPhone1}}});
        dovecot.addMessage(u"alice"_qs, mail(u"to nobody"_qs, "text\r\n"));
        for (int iCheck = 0; iCheck < 2; ++iCheck)
            QCOMPARE(cycle->check(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
        QVERIFY(!store.getTrans(1));
        QVERIFY(runLines().contains(u" HELO=1 MAIL=1 RCPT(To)=0 RCPT(Cc)=1 RCPT(Bcc)=0 Data=0 QUIT=1 Rele=1 "
                                    "Dest=1 LastErr=8:送信NG"_qs));
    }

    // Any letter case of the charset name marks an address the reception could not decode.
    void undecodedSenderTakesTheFirstAccountsAddress() {
        addSendRow(0, sPhone1, u"=?iso-2022-jp?B?GyRCJUYbKEI=?="_qs);
        store.storeForTest(0, u"a@b.c"_qs, u"s"_qs, "id");
        store.setBodyForTest(0, u"stored body"_qs);
        QString sBody;
        QCOMPARE(cycle->sendMailBySmtpCommand(0, 0, sBody, u"=?iso-2022-jp?B?GyRCJUYbKEI=?="_qs), 0);
        QCOMPARE(sBody, u"stored body"_qs);
        QCOMPARE(sent().at(0).facts[u"mail_from"_qs].toString(), sAlice);
    }

    void numericAddress_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("numeric");
        QTest::newRow("four numbers") << "192.168.0.1" << true;
        QTest::newRow("a word") << "mail" << false;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("three numbers") << "10.0.1" << false;
        QTest::newRow("five numbers") << "1.2.3.4.5" << true;
        QTest::newRow("a host name with dots") << "smtp.example.co.jp" << false;
    }
    void numericAddress() {
        QFETCH(QString, server);
        QFETCH(bool, numeric);
        QCOMPARE(isNumericAddress(server), numeric);
    }

    void commandNoticeGoesBackToItsSender_data() {
        QTest::addColumn<QString>("word");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("subject");
        QTest::newRow("stop") << "STOP_MAIL" << int(CheckOutcome::Stop) << u"ペリモメール終了通知"_qs;
        QTest::newRow("pause") << "PAUSE_MAIL" << int(CheckOutcome::Pause) << u"ペリモメール中断通知"_qs;
    }
    void commandNoticeGoesBackToItsSender() {
        QFETCH(QString, word);
        QFETCH(int, outcome);
        QFETCH(QString, subject);
        addSendRow(0, sPhone1);
        addSendRow(1, sPhone2);
        dovecot.addMessage(u"alice"_qs, mail(word, "x\r\n", sPhone2));
        QCOMPARE(int(cycle->tick()), outcome);
        QCOMPARE(sent().size(), 1); // the notice, and nothing forwarded
        QCOMPARE(sent().at(0).facts[u"subject"_qs].toString(), subject);
        QCOMPARE(strings(sent().at(0).facts[u"rcpt_tos"_qs]), QStringList{sPhone2});
        QCOMPARE(sent().at(0).facts[u"mail_from"_qs].toString(), sPhone2);
    }

    void unreadableMailboxDoesNotHideAnothersMail() {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString sDead = QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
        closed.close();
        set.SRV1().setDefault();
        addAccount(0, sDead, u"alice"_qs, sAlice);
        addAccount(1, pop3Server(), u"bob"_qs, sBob);
        addSendRow(0, sPhone1);
        dovecot.addMessage(u"bob"_qs, mail(u"m"_qs, "x\r\n", u"a@b.c"_qs, sBob));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
        QStringList lines = runLines();
        QVERIFY(lines.contains(u"受信できません:"_qs + sDead));
        QVERIFY(lines.contains(u"受信ﾒｰﾙ数=1"_qs));

        set.SRV1().setValue(1, {1}); // only the unreadable one
        QFile::remove(logPath(u"PLRun.log"_qs));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QVERIFY(runLines().contains(u"-受信ﾒｰﾙ数=1"_qs));
    }

    void withoutSendRowMailStaysUnforwarded() {
        dovecot.addMessage(u"alice"_qs, mail(u"m"_qs, "x\r\n"));
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QVERIFY(store.getRegister(0) && !store.getTrans(0));
        QVERIFY(runLines().contains(u"送信サーバーが設定されていないため転送しません"_qs));
        addSendRow(0, sPhone1);
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
    }

    // A count in the store beyond the rows reaches a row that does not exist.
    void anErrorInsideACheckIsLoggedAndCarriesOn() {
        addSendRow(0, sPhone1);
        set.SRV2().setValue(1, {clsServerTable::iRows + 1});
        dovecot.addMessage(u"alice"_qs, mail(u"m"_qs, "x\r\n"));
        cycle->iMinuteCount = 0;
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(cycle->iMinuteCount, qint16(0));
        QVERIFY(runLines().filter(u"チェック中のエラー:"_qs).size() == 1);
        set.SRV2().setValue(1, {1});
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
    }

    void runLogSwitchChangesOnlyTheLogs_data() {
        QTest::addColumn<bool>("runLog");
        QTest::newRow("on") << true;
        QTest::newRow("off") << false;
    }
    void runLogSwitchChangesOnlyTheLogs() {
        QFETCH(bool, runLog);
        clsSystem::instance().RunLog = runLog;
        addSendRow(0, sPhone1, QString(), u"cc@example.net"_qs);
        dovecot.addMessage(u"alice"_qs, mail(u"件名"_qs, "  body  \r\n"));
        smtpServer.setControl({{u"fail_data"_qs, 1}});
        QCOMPARE(cycle->tick(), CheckOutcome::CarryOn);
        QCOMPARE(sent().size(), 1);
        QVERIFY(store.getTrans(0));
        if (!runLog) {
            QVERIFY(!QFile::exists(logPath(u"PLRun.log"_qs)));
            QVERIFY(!QFile::exists(logPath(u"sendmail.log"_qs)));
            return;
        }
        QStringList block = readLog(u"sendmail.log"_qs).split(u"\r\n"_qs);
        QVERIFY(block.size() >= 12);
        QVERIFY(block.at(0).startsWith(u"---- "_qs) &&
                block.at(0).endsWith(u" 送信ﾃﾞｰﾀ -----------------"_qs));
        QCOMPARE(block.mid(1, 6),
                 (QStringList{u"サーバホスト名 : "_qs + smtpName(), u"送信先メールアドレス : "_qs + sPhone1,
                              u"送信元メールアドレス : boss@example.com"_qs,
                              u"Ccメールアドレス : cc@example.net"_qs, u"Bcメールアドレス : "_qs,
                              u"件名 : 件名"_qs}));
        QVERIFY(block.at(7).startsWith(u"本文 : "_qs));
        QVERIFY(block.contains(u"添付ファイルの数 : 0"_qs));
        QVERIFY(block.filter(u"-->送信結果:NG -->ﾘﾄﾗｲ= 1"_qs).size() == 1);
        QVERIFY(block.last(2).first().endsWith(u"----->送信結果:OK"_qs));
    }
};

QTEST_GUILESS_MAIN(tst_detailcycle)
#include "tst_detailcycle.moc"
