#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "dialogs/frmTest.h"
#include "dialogs/mdlSetCommon.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>

namespace {
const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");
const QString sDone = QStringLiteral("メールチェックは正常に終了しました");
const QString sRule(53, QLatin1Char('='));

QString server(quint16 iPort, const QString& sHost = QStringLiteral("127.0.0.1")) {
    return QStringLiteral("%1:%2").arg(sHost).arg(iPort);
}

void useSimpleSet(const QString& sServer, const QString& sSecret) {
    clsSystem::instance().setValueSetSelect(0);
    clsSet2::instance().setValue(1, {sServer});
    clsSet2::instance().setValue(2, {encodePassWord(sUser)});
    clsSet2::instance().setValue(3, {encodePassWord(sSecret)});
}

// Dovecot with iCount numbered messages for alice, and the simple set pointing at it.
bool startMailbox(DovecotServer& dovecot, int iCount, const QString& sHost = QStringLiteral("127.0.0.1")) {
    if (!dovecot.start())
        return false;
    for (int k = 1; k <= iCount; ++k)
        if (dovecot
                .addMessage(sUser,
                            QStringLiteral("From: Sender <sender@example.com>\r\nTo: alice@example.com\r\n"
                                           "Subject: message %1\r\n\r\nbody of message %1\r\n")
                                .arg(k, 4, 10, QLatin1Char('0'))
                                .toUtf8())
                .isEmpty())
            return false;
    useSimpleSet(server(dovecot.port(), sHost), sPassword);
    return true;
}

QString storedTest(const char* sKey) {
    return TestSupport::stored(QStringLiteral("SYSTEM"), QString::fromLatin1(sKey));
}

QWidget* part(QWidget& form, const char* sName) {
    return form.findChild<QWidget*>(QString::fromLatin1(sName));
}

// What a label, a field or the preview shows.
QString text(frmTest& form, const char* sName) {
    QWidget* w = part(form, sName);
    return w->property(w->inherits("QPlainTextEdit") ? "plainText" : "text").toString();
}

bool shown(frmTest& form, std::initializer_list<const char*> sNames) {
    return std::all_of(sNames.begin(), sNames.end(),
                       [&](const char* s) { return part(form, s)->isVisible(); });
}

bool pagesShown(frmTest& form) {
    return shown(form, {"lvlPage", "btnPage0", "btnPage1"});
}

void click(frmTest& form, const char* sName) {
    QTest::mouseClick(part(form, sName), Qt::LeftButton);
}

// Runs the check as the user does; answers the texts of the message boxes it showed.
QStringList check(frmTest& form) {
    MessageRecorder rec;
    click(form, "btn1_1");
    QStringList sTexts;
    for (const MessageRecorder::Shown& box : std::as_const(rec.shown))
        sTexts << box.sText;
    return sTexts;
}
} // namespace

class tst_MailCheck : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestCertificates::trustTestCa(); }
    void init() {
        TestSupport::clearStore();
        clsSystem::instance().setDefault();
        clsSet1::instance().setDefault(0);
        clsSet2::instance().setDefault();
    }

    // The simple set fills the fields at once; the check reads an empty mailbox and stores a pass.
    void emptyMailboxPasses() {
        DovecotServer dovecot;
        QVERIFY(startMailbox(dovecot, 0));
        frmTest form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(text(form, "txt1_0"), server(dovecot.port()));
        QCOMPARE(text(form, "txt1_1"), sUser);
        QVERIFY(!shown(form, {"txt1_2"}) && !shown(form, {"lst1"}) && !shown(form, {"btn1_0"}));
        QVERIFY(shown(form, {"imgMask"}) && form.findChild<QListWidget*>()->count() == 0);
        QVERIFY(!form.mask().contains(QPoint(2, 2)) && form.mask().contains(form.rect().center()));
        for (QLineEdit* field : form.findChildren<QLineEdit*>())
            QVERIFY(!field->text().contains(sPassword));

        MessageRecorder rec;
        click(form, "btn1_1");
        QCOMPARE(rec.shown.size(), 1);
        QVERIFY(rec.shown[0].sText == sDone && rec.shown[0].sTitle == QStringLiteral("ペリモメール") &&
                rec.shown[0].icon == MsgIcon::Information);
        QCOMPARE(text(form, "lvlNumber"), QStringLiteral("0"));
        QCOMPARE(text(form, "txt2"), QStringLiteral("メールは１通も届いていません"));
        QVERIFY(!pagesShown(form));
        QCOMPARE(storedTest("Test2"), QStringLiteral("True"));
        QVERIFY(!QApplication::overrideCursor());
    }

    void oneMessageHasNoPages() {
        DovecotServer dovecot;
        QVERIFY(startMailbox(dovecot, 0));
        QVERIFY(!dovecot
                     .addMessage(sUser, "From: =?UTF-8?B?5bGx55Sw?= <yamada@example.com>\r\n"
                                        "To: Alice <alice@example.com>, bob@example.com\r\n"
                                        "Subject: =?UTF-8?B?44GT44KT44Gr44Gh44Gv?=\r\n\r\nline 1\r\n")
                     .isEmpty());
        frmTest form;
        form.show();
        QCOMPARE(check(form), QStringList{sDone});
        QCOMPARE(text(form, "lvlNumber"), QStringLiteral("1"));
        const QString sHead = sRule +
                              QStringLiteral("\r\n差出人：yamada@example.com    宛先：alice@example.com\r\n"
                                             "件名：こんにちは\r\n") +
                              sRule + QStringLiteral("\r\nline 1");
        QVERIFY2(form.preview(1).startsWith(sHead), qPrintable(form.preview(1)));
        QVERIFY(text(form, "txt2").startsWith(sRule + QStringLiteral("\n差出人：")));
        QVERIFY(!pagesShown(form) && !shown(form, {"lvlLimit"}));
    }

    // Paging stops at both ends. The server is named by host name, so the lookup is taken too.
    void threeMessagesPageBothWays() {
        DovecotServer dovecot;
        QVERIFY(startMailbox(dovecot, 3, QStringLiteral("localhost")));
        frmTest form;
        form.show();
        QCOMPARE(check(form), QStringList{sDone});
        QCOMPARE(text(form, "lvlNumber"), QStringLiteral("3"));
        QVERIFY(pagesShown(form));
        const auto shows = [&](const char* sPage, int iMessage) {
            return text(form, "lvlPage") == QLatin1String(sPage) &&
                   text(form, "txt2")
                       .contains(QStringLiteral("件名：message %1\n").arg(iMessage, 4, 10, QLatin1Char('0')));
        };
        QVERIFY(shows("1/3", 1));
        click(form, "btnPage0");
        QVERIFY(shows("1/3", 1));
        click(form, "btnPage1");
        click(form, "btnPage1");
        QVERIFY(shows("3/3", 3));
        click(form, "btnPage1");
        QVERIFY(shows("3/3", 3));
        click(form, "btnPage0");
        QVERIFY(shows("2/3", 2));
        QVERIFY(text(form, "txt2").endsWith(QStringLiteral("body of message 0002\n")));
    }

    void failuresAreReportedAndStoredAsFailed_data() {
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QString>("report");
        // The reason comes last, in the server's or the system's words.
        QTest::newRow("wrong password")
            << false
            << QStringLiteral(
                   "ユーザ認証に失敗しました\r\nユーザＩＤ、パスワードが正"
                   "しく設定されているか確認して下さい\r\n理由: -ERR [AUTH] Authentication failed.");
        QTest::newRow("refused")
            << true
            << QStringLiteral("受信(POP3)サーバへの接続に失敗しました\r\n受信(POP3)サーバの設定"
                              "が正しくおこなわれているか確認して下さい\r\n理由: Connection refused");
    }
    void failuresAreReportedAndStoredAsFailed() {
        QFETCH(bool, refused);
        QFETCH(QString, report);
        DovecotServer dovecot;
        QVERIFY(startMailbox(dovecot, 1));
        const quint16 iPort = dovecot.port();
        if (refused)
            dovecot.stop();
        useSimpleSet(server(iPort), refused ? sPassword : QStringLiteral("wrong"));
        clsSystem::instance().setValueTest(true, clsSystem::ID_SIMPLE);
        clsSystem::instance().saveRegTest(QStringLiteral("Q-Post"), clsSystem::ID_SIMPLE);
        clsSystem::instance().Pop3Log = true;
        QFile::remove(logPath(QStringLiteral("PLPop3.log")));
        frmTest form;
        form.show();
        QCOMPARE(check(form), QStringList{report});
        QVERIFY(text(form, "lvlNumber").isEmpty() && text(form, "txt2").isEmpty());
        QCOMPARE(storedTest("Test2"), QStringLiteral("False"));
        // The trace of the failed visit is there to read.
        QFile trace(logPath(QStringLiteral("PLPop3.log")));
        QVERIFY(trace.open(QIODevice::ReadOnly) && trace.readAll().contains("connect 127.0.0.1"));
        clsSystem::instance().Pop3Log = false;
    }

    // After the mailbox, the send server is tried as a check would (signing in, sending nothing) and said in
    // a line of its own; the stored verdict stays the mailbox's.
    void sendServerIsTriedAndReported() {
        DovecotServer dovecot;
        QVERIFY(startMailbox(dovecot, 0));
        SmtpTestServer smtp;
        QVERIFY(smtp.start(SmtpTestServer::Options::login(sUser, sPassword)));
        const quint16 iPort = smtp.port();
        for (bool bUp : {true, false}) {
            if (!bUp)
                smtp.stop();
            clsSet2::instance().setValue(4, {server(iPort)});
            frmTest form;
            form.show();
            QCOMPARE(check(form),
                     QStringList{sDone + QStringLiteral("\r\n送信(SMTP)サーバ: ") +
                                 (bUp ? QStringLiteral("接続と認証を確認しました")
                                      : QStringLiteral("送信サーバに接続できません (Connection refused)"))});
            QCOMPARE(storedTest("Test2"), QStringLiteral("True"));
        }
        QCOMPARE(smtp.messages().size(), 0);
        // A send server that refuses the receive account's login is not reported as working.
        SmtpTestServer other;
        QVERIFY(other.start(SmtpTestServer::Options::login(QStringLiteral("bob"), QStringLiteral("other"))));
        clsSet2::instance().setValue(4, {server(other.port())});
        frmTest form;
        form.show();
        const QStringList report = check(form);
        QCOMPARE(report.size(), 1);
        QVERIFY2(report[0].startsWith(
                     sDone + QStringLiteral("\r\n送信(SMTP)サーバ: 送信サーバの認証に失敗しました (")),
                 qPrintable(report[0]));
    }

    // Nothing is tried, or stored, without a server, a user id and a password.
    void incompleteAccountIsRefused() {
        useSimpleSet(QStringLiteral("127.0.0.1:1"), QString());
        // The simple set without its password, then the detailed set with no account taken yet.
        for (qint16 iSelect : {0, 1}) {
            clsSystem::instance().setValueSetSelect(iSelect);
            frmTest form;
            form.show();
            QCOMPARE(check(form), QStringList{QStringLiteral("受信(POP3)サーバが選択されていません")});
        }
        QCOMPARE(storedTest("Test1"), QStringLiteral("<missing>"));
        QCOMPARE(storedTest("Test2"), QStringLiteral("<missing>"));
    }

    void detailedSetTakesAnAccountFromTheList() {
        DovecotServer dovecot;
        QVERIFY(startMailbox(dovecot, 1));
        clsSystem::instance().setValueSetSelect(1);
        clsSRV1& servers = clsSet1::instance().SRV1();
        QVERIFY(servers.additionValue(
            0, {QStringLiteral("pop.example.com"), encodePassWord(QStringLiteral("carol")),
                encodePassWord(QStringLiteral("x")), QStringLiteral("carol@example.com")}));
        QVERIFY(servers.additionValue(1, {server(dovecot.port()), encodePassWord(sUser),
                                          encodePassWord(sPassword), QStringLiteral("alice@example.com")}));
        frmTest form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(shown(form, {"txt1_2", "lst1", "btn1_0"}) && !shown(form, {"imgMask"}));
        QCOMPARE(text(form, "txt1_0"), QString());
        auto* list = form.findChild<QListWidget*>();
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(0)->text(),
                 joinColumns(1, 2, {QStringLiteral("pop.example.com"), QStringLiteral("carol@example.com")}));
        QCOMPARE(list->item(1)->text(), server(dovecot.port()) + QStringLiteral("    alice@example.com    "));

        // A double click takes a row as the button does.
        const QPoint rowPos = list->visualItemRect(list->item(0)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowPos);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rowPos);
        QCOMPARE(text(form, "txt1_0") + text(form, "txt1_1"), QStringLiteral("pop.example.comcarol"));
        list->setCurrentRow(1);
        click(form, "btn1_0");
        QCOMPARE(text(form, "txt1_0"), server(dovecot.port()));
        QCOMPARE(text(form, "txt1_1"), sUser);
        QCOMPARE(text(form, "txt1_2"), QStringLiteral("alice@example.com"));

        QCOMPARE(check(form), QStringList{sDone});
        QCOMPARE(text(form, "lvlNumber"), QStringLiteral("1"));
        QCOMPARE(storedTest("Test1"), QStringLiteral("True"));
        QCOMPARE(storedTest("Test2"), QStringLiteral("<missing>"));
    }

    // The window answers while the server keeps silent, and closing it ends the visit at once, long before
    // the time limits; no report, and the set counts as not tested.
    void closingGivesUpARunningCheck_data() {
        QTest::addColumn<QString>("mode");
        QTest::newRow("silent greeting") << QStringLiteral("silent");
        QTest::newRow("stalled message") << QStringLiteral("stall-in-retr");
    }
    void closingGivesUpARunningCheck() {
        QFETCH(QString, mode);
        Pop3FaultServer peer;
        QVERIFY(peer.start(mode));
        useSimpleSet(server(peer.port()), sPassword);
        frmTest form;
        form.Pop31.ConnectTimeout = 30;
        form.Pop31.ReplyTimeout = 30;
        form.show();

        // The stalled message is being read once the count shows; the silent server never gets that far. The
        // close comes a moment later, when the worker is surely waiting.
        const bool bSilent = mode == QStringLiteral("silent");
        QElapsedTimer sinceClose;
        bool bWaitCursor = false;
        int iTicks = 0;
        int iReadyTicks = 0;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &form, [&] {
            const bool bReady = bSilent || !text(form, "lvlNumber").isEmpty();
            if ((bReady ? ++iReadyTicks : ++iTicks) < 6 || (!bReady && iTicks < 200))
                return;
            bWaitCursor =
                QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
            poll.stop();
            sinceClose.start();
            form.close();
        });
        poll.start(50);
        QCOMPARE(check(form), QStringList());
        QVERIFY(sinceClose.isValid() && iReadyTicks >= 6);
        QVERIFY2(sinceClose.elapsed() < 2000, QByteArray::number(sinceClose.elapsed()));
        QVERIFY(bWaitCursor && !QApplication::overrideCursor());
        QVERIFY(!form.isVisible() && !form.isChecking());
        QCOMPARE(storedTest("Test2"), QStringLiteral("False"));
    }

    // The count is the real one; the pages hold the first thousand messages, and the window says so.
    void aLargeMailboxShowsItsFirstThousand() {
        DovecotServer dovecot;
        QVERIFY(startMailbox(dovecot, 1001));
        frmTest form;
        form.show();
        QCOMPARE(check(form), QStringList{sDone});
        QCOMPARE(text(form, "lvlNumber"), QStringLiteral("1001"));
        QVERIFY(shown(form, {"lvlLimit"}) && text(form, "lvlLimit").contains(QStringLiteral("1000")));
        QCOMPARE(text(form, "lvlPage"), QStringLiteral("1/1000"));
        for (int i = 0; i < 1100; ++i)
            form.stepPage(1);
        QCOMPARE(text(form, "lvlPage"), QStringLiteral("1000/1000"));
        QVERIFY(text(form, "txt2").contains(QStringLiteral("件名：message 1000")));
        QCOMPARE(form.preview(1001), QString());
    }
};

QTEST_MAIN(tst_MailCheck)
#include "tst_mailcheck.moc"
