#include "DesktopTest.h"
#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "shell/frmMain.h"
#include "shell/frmTaskBar.h"
#include "shell/frmVersion.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QRegularExpression>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

// Runs the program on a virtual X display with a real tray host, so the tray icon is shown as users see it,
// and saves screenshots for a person to look at.
namespace {
QString sSkipReason;
} // namespace

class tst_TrayDesktop : public QObject {
    Q_OBJECT

    QTemporaryDir logDir;
    MessageRecorder rec{MsgAnswer::Yes};
    QString sShots;

    void shoot(const QString& sName) {
        QApplication::processEvents();
        QTest::qWait(300);
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
        QVERIFY(!shot.isNull());
        QVERIFY(shot.save(sShots + u'/' + sName));
    }

private Q_SLOTS:
    void initTestCase() {
        if (!sSkipReason.isEmpty())
            QSKIP(qPrintable(sSkipReason));
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        sShots =
            qEnvironmentVariable("PELIMO_SCREENSHOTS", QDir::currentPath() + QStringLiteral("/screenshots"));
        QVERIFY(QDir().mkpath(sShots));
        setProgramFolder(logDir.path());
        frmMain::quitProgram = [](int) {};
    }

    void runningShowsTheIconInTheTray() {
        // The tray host takes the selection a moment after it starts.
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);

        clsSystem& sys = clsSystem::instance();
        QVERIFY(sys.setValueSetSelect(0));
        QVERIFY(sys.setValueSetting(true, clsSystem::ID_SIMPLE));
        QVERIFY(sys.setValueTest(true, clsSystem::ID_SIMPLE));
        clsSet2::instance().setDefault();

        QPointer<frmMain> main = new frmMain;
        main->show();
        QVERIFY(QTest::qWaitForWindowExposed(main));
        shoot(QStringLiteral("panel.png"));

        main->runFunction(0);
        QCOMPARE(main->runState(), frmMain::RunState::Running);
        QVERIFY(!main->statusWindow());
        auto* tray = main->findChild<QSystemTrayIcon*>();
        QVERIFY(tray);
        QVERIFY(tray->isVisible());
        frmTaskBar* popup = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* p = qobject_cast<frmTaskBar*>(w))
                popup = p;
        QVERIFY(popup);
        QVERIFY(QTest::qWaitForWindowExposed(popup));
        shoot(QStringLiteral("please-wait.png"));

        // The icon is embedded once the tray host has taken it and given it a place.
        QTRY_VERIFY_WITH_TIMEOUT(tray->geometry().isValid() && !tray->geometry().isEmpty(), 10000);
        const QRect rcIcon = tray->geometry();
        QVERIFY(QGuiApplication::primaryScreen()->geometry().contains(rcIcon));
        QTest::qWait(500);
        const QPixmap whole = QGuiApplication::primaryScreen()->grabWindow(0);
        QVERIFY(whole.copy(rcIcon.adjusted(-40, -8, 8, 8)).save(sShots + QStringLiteral("/tray-icon.png")));
        QVERIFY(whole.save(sShots + QStringLiteral("/tray-desktop.png")));

        main->trayMenu()->findChild<QAction*>(QStringLiteral("mnuAbout"))->trigger();
        frmVersion* about = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((about = qobject_cast<frmVersion*>(QApplication::activeModalWidget())),
                                 5000);
        QVERIFY(QTest::qWaitForWindowExposed(about));
        shoot(QStringLiteral("about.png"));
        about->close();

        main->trayMenu()->findChild<QAction*>(QStringLiteral("mnuSuspend"))->trigger();
        QCOMPARE(main->runState(), frmMain::RunState::Panel);
        delete main;
    }

    // The tray's tooltip tells the last check, and sends that failed at three checks in a row bring one
    // notice.
    void trayToolTipTellsTheLastCheck() {
        DovecotServer dovecot;
        QVERIFY(dovecot.start());
        QVERIFY(
            !dovecot
                 .addMessage(QStringLiteral("alice"), "From: a@example.com\r\nSubject: hi\r\n\r\nhello\r\n")
                 .isEmpty());
        SmtpTestServer gone;
        QVERIFY(gone.start());
        pointSimpleSetAt(dovecot, gone, QStringLiteral("alice"), QStringLiteral("secret"),
                         QStringLiteral("phone@example.jp"), 1, 0);
        gone.stop();
        clsSystem& sys = clsSystem::instance();
        QVERIFY(sys.setValueSetSelect(0) && sys.setValueSetting(true, clsSystem::ID_SIMPLE) &&
                sys.setValueTest(true, clsSystem::ID_SIMPLE));
        QPointer<frmMain> main = new frmMain;
        main->runFunction(0);
        auto* tray = main->findChild<QSystemTrayIcon*>();
        QVERIFY(tray);
        QCOMPARE(tray->toolTip(), QStringLiteral("ペリモメール"));
        for (int iCheck = 0; iCheck < 3; ++iCheck) {
            main->checkTimerTick();
            QTRY_COMPARE_WITH_TIMEOUT(main->runState(), frmMain::RunState::Running, 30000);
        }
        QVERIFY2(QRegularExpression(QStringLiteral("^ペリモメール\n最終チェック \\d\\d:\\d\\d  転送 0件\n"
                                                   "送信サーバに接続できません$"))
                     .match(tray->toolTip())
                     .hasMatch(),
                 qPrintable(tray->toolTip()));
        QTest::qWait(500);
        const QPixmap whole = QGuiApplication::primaryScreen()->grabWindow(0);
        QVERIFY(whole.save(sShots + QStringLiteral("/tray-notice.png")));
        QToolTip::showText(tray->geometry().center(), tray->toolTip());
        shoot(QStringLiteral("tray-tooltip.png"));
        main->trayMenu()->findChild<QAction*>(QStringLiteral("mnuSuspend"))->trigger();
        delete main;
    }
};

int main(int argc, char** argv) {
    return runOnDesktop<tst_TrayDesktop>(argc, argv, true, sSkipReason);
}

#include "tst_traydesktop.moc"
