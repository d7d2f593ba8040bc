#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "engine/clsMailTransfer.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"
#include "shell/frmMain.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

// A person with nothing set up: opens the settings from the panel, types an account, passes the mail check,
// starts forwarding and gets the mail on the phone. Every step goes through the windows, as a user goes.
namespace {
const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");
const QString sPhone = QStringLiteral("phone@example.jp");

// Runs the action once a modal window of the class is up; gives up after 20 s.
void whenModal(const char* sClass, const std::function<void(QWidget*)>& action) {
    auto* timer = new QTimer;
    const QDeadlineTimer deadline(20000);
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        QWidget* window = QApplication::activeModalWidget();
        const bool bFound = window && window->inherits(sClass);
        if (bFound || deadline.hasExpired()) {
            timer->stop();
            timer->deleteLater();
        }
        if (bFound)
            action(window);
    });
    timer->start(20);
}

// Types into a field as a user does: click into it, select what is there, type, leave with Tab.
void typeInto(QWidget* window, const char* sName, const QString& sText) {
    auto* field = window->findChild<QLineEdit*>(QLatin1String(sName));
    if (!field)
        return;
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, sText);
    QTest::keyClick(field, Qt::Key_Tab);
}

void click(QWidget* window, const char* sName) {
    if (auto* button = window->findChild<QPushButton*>(QLatin1String(sName)))
        QTest::mouseClick(button, Qt::LeftButton);
}
} // namespace

class tst_SetupFlow : public QObject {
    Q_OBJECT

    QTemporaryDir logDir;
    DovecotServer dovecot;
    SmtpTestServer smtpServer;

private Q_SLOTS:
    void initTestCase() {
        setProgramFolder(logDir.path());
        frmMain::quitProgram = [](int) {};
        QVERIFY(dovecot.start());
        SmtpTestServer::Options options;
        options.sUser = sUser;
        options.sPassword = sPassword;
        QVERIFY(smtpServer.start(options));
    }

    void fromNothingToMailOnThePhone() {
        TestSupport::clearStore();
        MessageRecorder rec{MsgAnswer::Yes};
        const QByteArray waiting = "From: boss@example.com\r\nTo: alice@example.jp\r\nSubject: =?UTF-8?B?" +
                                   QStringLiteral("会議の件").toUtf8().toBase64() +
                                   "?=\r\nMessage-ID: <setup1@example.com>\r\n\r\nhello there\r\n";
        QVERIFY(!dovecot.addMessage(sUser, waiting).isEmpty());

        QPointer<frmMain> main = new frmMain;
        main->show();
        QVERIFY(QTest::qWaitForWindowExposed(main));

        // Starting before anything is set up is refused.
        QTest::keyClick(main, Qt::Key_Down);
        QTest::keyClick(main, Qt::Key_Down);
        QTest::keyClick(main, Qt::Key_Down);
        QCOMPARE(main->funcIndex(), 0);
        QTest::keyClick(main, Qt::Key_Return);
        QCOMPARE(rec.shown.size(), 1);
        QCOMPARE(main->runState(), frmMain::RunState::Panel);

        bool bChecked = false;
        whenModal("frmEasySet", [&](QWidget* settings) {
            typeInto(settings, "txtRcv0", QStringLiteral("127.0.0.1:%1").arg(dovecot.port()));
            typeInto(settings, "txtRcv1", sUser);
            typeInto(settings, "txtRcv2", sPassword);
            typeInto(settings, "txtSnd0", QStringLiteral("127.0.0.1:%1").arg(smtpServer.port()));
            typeInto(settings, "txtSnd1", sPhone);
            typeInto(settings, "txtChkTime", QStringLiteral("1"));
            // The new account must be proved before the dialog closes.
            whenModal("frmTest", [&](QWidget* test) {
                click(test, "btn1_1");
                bChecked = QTest::qWaitFor(
                    [&] { return clsSystem::instance().getValueTest(clsSystem::ID_SIMPLE); }, 20000);
                click(test, "btn2");
            });
            click(settings, "btnSystem0");
        });
        // Up to the settings: end, then settings.
        QTest::keyClick(main, Qt::Key_Down);
        QTest::keyClick(main, Qt::Key_Down);
        QCOMPARE(main->funcIndex(), 1);
        QTest::keyClick(main, Qt::Key_Return);
        QVERIFY(bChecked);
        QVERIFY(main->isVisible());
        QVERIFY(!QApplication::activeModalWidget());

        clsSystem& sys = clsSystem::instance();
        QVERIFY(sys.getValueSetting(clsSystem::ID_SIMPLE));
        QVERIFY(sys.getValueTest(clsSystem::ID_SIMPLE));
        QCOMPARE(TestSupport::stored(QStringLiteral("ESET"), QStringLiteral("Val5")), sPhone);
        QCOMPARE(decodePassWord(clsSet2::instance().getValue(3).toString()), sPassword);
        QVERIFY(rec.shown.size() >= 3);

        // Start, and the first minute forwards what waits, with the account's credentials for SMTP.
        QTest::keyClick(main, Qt::Key_Down);
        QCOMPARE(main->funcIndex(), 0);
        QTest::keyClick(main, Qt::Key_Return);
        QCOMPARE(main->runState(), frmMain::RunState::Running);
        main->checkTimerTick();
        QVERIFY(smtpServer.waitForMessages(1, 20000));
        QTRY_COMPARE_WITH_TIMEOUT(main->runState(), frmMain::RunState::Running, 20000);
        const SmtpTestServer::Message sent = smtpServer.messages().constFirst();
        QCOMPARE(sent.facts.value(QStringLiteral("subject")).toString(), QStringLiteral("会議の件"));
        QCOMPARE(sent.facts.value(QStringLiteral("auth_user")).toString(), sUser);
        QVERIFY(sent.facts.value(QStringLiteral("rcpt_tos")).toVariant().toStringList().contains(sPhone));
        delete main;
    }
};

QTEST_MAIN(tst_SetupFlow)
#include "tst_setupflow.moc"
