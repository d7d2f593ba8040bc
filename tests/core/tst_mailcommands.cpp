#include "FakeLogind.h"
#include "MailServers.h"
#include "TestSupport.h"

#include "engine/SmtpClient.h"
#include "engine/clsForwardLedger.h"
#include "engine/clsMailTransfer.h"
#include "settings/SettingsStore.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTest>

namespace {
const QString sPhone = QStringLiteral("phone@example.jp");
const QString sOther = QStringLiteral("boss@example.com");

QByteArray identity(int n) {
    return QByteArray("header digest ") + QByteArray::number(n);
}

struct Mail {
    qint32 lSlot;
    QString sFrom;
    QString sSubject;
    int iIdentity;
};
} // namespace

class tst_mailcommands : public QObject {
    Q_OBJECT
    FakeLogind logind;
    SmtpTestServer smtpServer;
    clsMailTransfer& store = clsMailTransfer::instance();
    qsizetype iMailsBefore = 0;

    void fill(const QList<Mail>& mails) {
        for (const Mail& mail : mails)
            store.storeForTest(mail.lSlot, mail.sFrom, mail.sSubject, identity(mail.iIdentity));
    }

    // The program ends and starts again: nothing in memory survives, the settings are read from disk anew.
    void restart() {
        store.clearClass();
        SettingsStore::reset();
        clsForwardLedger::instance().close();
    }

    // The system commands of one check, as the cycle asks for them.
    bool checkSystem(const QString& sAllowed = sPhone) {
        SmtpClient smtp;
        return store.checkSystemCommand(smtp, QStringLiteral("127.0.0.1:%1").arg(smtpServer.port()), sAllowed,
                                        QStringLiteral("user"));
    }

    // Subjects of the notices sent since the test began.
    QStringList noticeSubjects() const {
        QStringList out;
        const QList<SmtpTestServer::Message> stored = smtpServer.messages();
        for (qsizetype i = iMailsBefore; i < stored.size(); ++i)
            out << stored.at(i).facts.value(QStringLiteral("subject")).toString();
        return out;
    }

    QStringList logindMethods() const {
        QStringList out;
        for (const FakeLogind::Call& call : logind.calls())
            out << call.sMethod;
        return out;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(logind.start());
        QVERIFY(smtpServer.start());
    }

    void init() {
        store.clearClass();
        TestSupport::clearStore();
        logind.setErrors({});
        logind.clearCalls();
        smtpServer.setControl({});
        iMailsBefore = smtpServer.messages().size();
    }

    void cleanupTestCase() { store.clearClass(); }

    void commandWordAndSender_data() {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("allowed");
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("found");
        QTest::newRow("the word alone") << "STOP_MAIL" << sPhone << sPhone << "STOP_MAIL" << true;
        QTest::newRow("followed by more text")
            << "STOP_MAIL now please" << sPhone << sPhone << "STOP_MAIL" << true;
        QTest::newRow("pause") << "PAUSE_MAIL" << sPhone << sPhone << "PAUSE_MAIL" << true;
        QTest::newRow("another word") << "PAUSE_MAIL" << sPhone << sPhone << "STOP_MAIL" << false;
        QTest::newRow("lower case") << "stop_mail" << sPhone << sPhone << "STOP_MAIL" << false;
        QTest::newRow("after a blank") << " STOP_MAIL" << sPhone << sPhone << "STOP_MAIL" << false;
        QTest::newRow("in a reply") << "Re: STOP_MAIL" << sPhone << sPhone << "STOP_MAIL" << false;
        QTest::newRow("sender in other letter case") << "STOP_MAIL"
                                                     << "Phone@Example.JP" << sPhone << "STOP_MAIL" << true;
        QTest::newRow("allowed sender in other letter case") << "STOP_MAIL" << sPhone << "PHONE@example.jp"
                                                             << "STOP_MAIL" << true;
        QTest::newRow("sender that begins with the allowed one")
            << "STOP_MAIL"
            << "phone@example.jp.attacker.test" << sPhone << "STOP_MAIL" << false;
        QTest::newRow("sender shorter than the allowed one")
            << "STOP_MAIL"
            << "phone@example.j" << sPhone << "STOP_MAIL" << false;
        QTest::newRow("another sender") << "STOP_MAIL" << sOther << sPhone << "STOP_MAIL" << false;
        QTest::newRow("no allowed sender") << "STOP_MAIL" << sPhone << ""
                                           << "STOP_MAIL" << false;
        QTest::newRow("no allowed sender, no sender") << "STOP_MAIL"
                                                      << ""
                                                      << ""
                                                      << "STOP_MAIL" << false;
    }
    void commandWordAndSender() {
        QFETCH(QString, subject);
        QFETCH(QString, from);
        QFETCH(QString, allowed);
        QFETCH(QString, command);
        QFETCH(bool, found);
        fill({{0, sPhone, u"こんにちは"_qs, 0}, {1, from, subject, 1}});
        QCOMPARE(store.checkMailCommand(allowed, command, u"user"_qs), found ? 1 : -1);
    }

    // Every stored mail counts, whatever its flags; the lowest slot comes first; each command once.
    void lowestSlotFirstAndOnce() {
        fill({{0, sPhone, u"Hello"_qs, 0},
              {1, sOther, u"STOP_MAIL"_qs, 1},
              {2, sPhone, u"STOP_MAIL"_qs, 2},
              {3, sPhone, u"PAUSE_MAIL"_qs, 3},
              {4, sPhone, u"STOP_MAIL"_qs, 4}});
        store.setTrans(2, true);
        store.setStop(2, true);
        QCOMPARE(store.checkMailCommand(sPhone, u"STOP_MAIL"_qs, {}), 2);
        QCOMPARE(store.checkMailCommand(sPhone, u"STOP_MAIL"_qs, {}), 4);
        QCOMPARE(store.checkMailCommand(sPhone, u"STOP_MAIL"_qs, {}), -1);
        QCOMPARE(store.checkMailCommand(sPhone, u"PAUSE_MAIL"_qs, {}), 3);
        QCOMPARE(store.checkMailCommand(sPhone, u"PAUSE_MAIL"_qs, {}), -1);
    }

    // The mail stays on the server and is read again after forwarding starts anew and after a restart.
    void mailCommandActsOnceAcrossRestarts() {
        fill({{0, sPhone, u"PAUSE_MAIL"_qs, 7}});
        QCOMPARE(store.checkMailCommand(sPhone, u"PAUSE_MAIL"_qs, {}), 0);

        store.clearClass(); // forwarding started again
        fill({{0, sPhone, u"PAUSE_MAIL"_qs, 7}});
        QCOMPARE(store.checkMailCommand(sPhone, u"PAUSE_MAIL"_qs, {}), -1);

        restart();
        fill({{3, sPhone, u"PAUSE_MAIL"_qs, 7}});
        QCOMPARE(store.checkMailCommand(sPhone, u"PAUSE_MAIL"_qs, {}), -1);
        fill({{4, sPhone, u"PAUSE_MAIL"_qs, 8}});
        QCOMPARE(store.checkMailCommand(sPhone, u"PAUSE_MAIL"_qs, {}), 4);
    }

    // Every command obeyed stays obeyed, however many there were.
    void everyObeyedCommandIsRemembered() {
        const int n = clsMailTransfer::iSlots + 50;
        for (int i = 0; i < n; ++i) {
            fill({{i % clsMailTransfer::iSlots, sPhone, u"STOP_MAIL"_qs, i}});
            QCOMPARE(store.checkMailCommand(sPhone, u"STOP_MAIL"_qs, {}), i % clsMailTransfer::iSlots);
        }
        restart();
        for (int i = 0; i < n; ++i)
            fill({{i % clsMailTransfer::iSlots, sPhone, u"STOP_MAIL"_qs, i}});
        QCOMPARE(store.checkMailCommand(sPhone, u"STOP_MAIL"_qs, {}), -1);
    }

    void noticeHead() {
        QCOMPARE(clsMailTransfer::commandNoticeHead(QDateTime(QDate(2000, 2, 7), QTime(9, 5))),
                 u"2000年02月7日 9時5分 "_qs);
        QCOMPARE(clsMailTransfer::commandNoticeHead(QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59))),
                 u"2023年12月31日 23時59分 "_qs);
        QCOMPARE(clsMailTransfer::commandNoticeHead(QDateTime(QDate(2024, 1, 1), QTime(0, 0))),
                 u"2024年01月1日 0時0分 "_qs);
    }

    void systemCommand_data() {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("log off") << "LOGOFF" << u"ペリモメール LOGOFF通知"_qs
                                 << u"Windowsをログオフしました"_qs << QStringList{"GetSession", "Terminate"};
        QTest::newRow("power off") << "POWEROFF" << u"ペリモメール POWEROFF通知"_qs
                                   << u"パソコン電源をオフしました"_qs << QStringList{"PowerOffWithFlags"};
        QTest::newRow("reboot") << "REBOOT" << u"ペリモメール REBOOT通知"_qs << u"Windowsを再起動しました"_qs
                                << QStringList{"RebootWithFlags"};
        QTest::newRow("shut down, more text")
            << "SHUTDOWN tonight" << u"ペリモメール SHUTDOWN通知"_qs << u"Windowsをシャットダウンしました"_qs
            << QStringList{"PowerOffWithFlags"};
    }
    void systemCommand() {
        QFETCH(QString, subject);
        QFETCH(QString, notice);
        QFETCH(QString, message);
        QFETCH(QStringList, calls);
        fill({{0, sOther, subject, 0}, {1, u"Phone@example.JP"_qs, subject, 1}});
        const QDateTime before = QDateTime::currentDateTime();
        QCOMPARE(checkSystem(), false);
        const QDateTime after = QDateTime::currentDateTime();
        QVERIFY(store.isComputerGoingDown());

        QVERIFY(smtpServer.waitForMessages(int(iMailsBefore) + 1));
        QCOMPARE(noticeSubjects(), QStringList{notice});
        const QJsonObject facts = smtpServer.messages().last().facts;
        QCOMPARE(facts.value(u"mail_from"_qs).toString(), sPhone);
        QCOMPARE(facts.value(u"rcpt_tos"_qs).toArray(), QJsonArray{sPhone});
        static const QRegularExpression body(
            u"^(\\d{4})年(\\d\\d)月([1-9]\\d?)日 (0|[1-9]\\d?)時(0|[1-9]\\d?)分 (.*)\\n?$"_qs);
        const QRegularExpressionMatch match = body.match(facts.value(u"body"_qs).toString());
        QVERIFY2(match.hasMatch(), qPrintable(facts.value(u"body"_qs).toString()));
        QCOMPARE(match.captured(6), message);
        const QDateTime sent(
            QDate(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt()),
            QTime(match.captured(4).toInt(), match.captured(5).toInt()));
        QVERIFY(sent.isValid());
        QVERIFY(sent >= before.addSecs(-before.time().second() - 1) && sent <= after);

        QCOMPARE(logindMethods(), calls);
        for (const FakeLogind::Call& call : logind.calls())
            QVERIFY2(!call.bInteractive,
                     qPrintable(call.sMethod)); // forced: nobody is there to type a password
    }

    // Words in the order LOGOFF, POWEROFF, REBOOT, SHUTDOWN, then slots; the one carried out uses up every
    // other command of the allowed sender, so none of them acts later.
    void wordOrderThenSlotOrder() {
        const QList<Mail> mails{{0, sOther, u"POWEROFF"_qs, 0},
                                {1, sPhone, u"SHUTDOWN"_qs, 1},
                                {2, sPhone, u"REBOOT"_qs, 2},
                                {3, sPhone, u"SHUTDOWN"_qs, 3},
                                {5, sPhone, u"LOGOFF"_qs, 5}};
        fill(mails);
        checkSystem();
        QCOMPARE(noticeSubjects(), QStringList{u"ペリモメール LOGOFF通知"_qs});
        QCOMPARE(logindMethods(), (QStringList{"GetSession", "Terminate"}));
        QCOMPARE(store.checkMailCommand(sOther, u"POWEROFF"_qs, {}), 0);
        for (qint32 lSlot : {1, 2, 3, 5})
            QVERIFY(store.getObeyed(lSlot));

        restart();
        fill(mails);
        fill({{6, sPhone, u"SHUTDOWN"_qs, 6}, {7, sPhone, u"REBOOT"_qs, 7}, {8, sPhone, u"SHUTDOWN"_qs, 8}});
        checkSystem();
        QCOMPARE(noticeSubjects().last(), u"ペリモメール REBOOT通知"_qs);
        QCOMPARE(store.checkMailCommand(sPhone, u"SHUTDOWN"_qs, {}), -1);

        restart();
        fill({{0, sPhone, u"SHUTDOWN"_qs, 9}, {1, sPhone, u"SHUTDOWN"_qs, 10}});
        checkSystem();
        QCOMPARE(noticeSubjects().size(), 3);
        QVERIFY(store.getObeyed(0) && store.getObeyed(1));
        QCOMPARE(logindMethods(),
                 (QStringList{"GetSession", "Terminate", "RebootWithFlags", "PowerOffWithFlags"}));
    }

    void refusedExitIsTriedAgain() {
        logind.setErrors({{u"RebootWithFlags"_qs, u"org.freedesktop.DBus.Error.AccessDenied"_qs}});
        fill({{0, sPhone, u"REBOOT"_qs, 0}});
        QCOMPARE(checkSystem(), false);
        QVERIFY(!store.isComputerGoingDown());
        QCOMPARE(checkSystem(), false);
        QVERIFY(!store.isComputerGoingDown());
        QCOMPARE(noticeSubjects().size(), 2);
        QCOMPARE(logindMethods(), (QStringList{"RebootWithFlags", "RebootWithFlags"}));

        logind.setErrors({});
        checkSystem();
        QVERIFY(store.isComputerGoingDown());
        QCOMPARE(noticeSubjects().size(), 3);

        // Back from the reboot, the mail is still on the server.
        restart();
        fill({{0, sPhone, u"REBOOT"_qs, 0}});
        checkSystem();
        QVERIFY(!store.isComputerGoingDown());
        QCOMPARE(noticeSubjects().size(), 3);
        QCOMPARE(logind.calls().size(), 3);
    }

    void exitGoesAheadWhenTheNoticeFails() {
        smtpServer.setControl({{u"refuse_rcpt"_qs, QJsonArray{sPhone}}});
        fill({{0, sPhone, u"POWEROFF"_qs, 0}});
        checkSystem();
        QVERIFY(store.isComputerGoingDown());
        QCOMPARE(noticeSubjects(), QStringList());
        QCOMPARE(logindMethods(), QStringList{"PowerOffWithFlags"});
    }

    void nothingForStrangersOrLookAlikes() {
        fill({{0, u"phone@example.jp.attacker.test"_qs, u"SHUTDOWN"_qs, 0},
              {1, sOther, u"REBOOT"_qs, 1},
              {2, sPhone, u"reboot"_qs, 2},
              {3, sPhone, u" LOGOFF"_qs, 3},
              {4, sPhone, u"Re: POWEROFF"_qs, 4},
              {5, sPhone, u"STOP_MAIL"_qs, 5},
              {6, QString(), u"SHUTDOWN"_qs, 6}});
        QCOMPARE(checkSystem(), false);
        QCOMPARE(checkSystem(QString()), false);
        QVERIFY(!store.isComputerGoingDown());
        QCOMPARE(noticeSubjects(), QStringList());
        QCOMPARE(logind.calls().size(), 0);
        // Looking did not use up the stop command.
        QCOMPARE(store.checkMailCommand(sPhone, u"STOP_MAIL"_qs, {}), 5);
    }
};

QTEST_GUILESS_MAIN(tst_mailcommands)
#include "tst_mailcommands.moc"
