#include "TestSupport.h"

#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "shell/frmMain.h"
#include "shell/frmTaskBar.h"
#include "shell/frmVersion.h"
#include "shell/mdlLog.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// Runs the program on a virtual X display with a real tray host, so the tray icon is shown as users see it,
// and saves screenshots for a person to look at.
namespace {
// Set in main, before the application exists, because the platform reads DISPLAY only once.
pid_t pidXvfb = 0;
pid_t pidTrayer = 0;
QString sSkipReason;

pid_t spawn(const std::vector<std::string>& args, int iKeepFd = -1) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (int fd = 3; fd < 256; ++fd)
            if (fd != iKeepFd)
                ::close(fd);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// SIGTERM, then SIGKILL if it has not gone within a few seconds.
void stop(pid_t& pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = 0;
}

// Xvfb picks a free display itself (-displayfd) and writes its number to the pipe once it accepts clients.
bool startDesktop() {
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()) {
        sSkipReason = QStringLiteral("Xvfb is not installed (Debian package xvfb)");
        return false;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("trayer")).isEmpty()) {
        sSkipReason = QStringLiteral("trayer is not installed (Debian package trayer)");
        return false;
    }
    int fds[2];
    if (::pipe(fds) != 0) {
        sSkipReason = QStringLiteral("no pipe for Xvfb");
        return false;
    }
    pidXvfb = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "640x480x24", "-nolisten",
                     "tcp", "-ac"},
                    fds[1]);
    ::close(fds[1]);
    std::string sDisplay;
    pollfd pfd{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&pfd, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
        sDisplay += c;
    ::close(fds[0]);
    if (sDisplay.empty()) {
        stop(pidXvfb);
        sSkipReason = QStringLiteral("Xvfb did not start within 10 seconds");
        return false;
    }
    ::setenv("DISPLAY", (":" + sDisplay).c_str(), 1);
    pidTrayer =
        spawn({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request", "--height", "24",
               "--SetDockType", "true", "--tint", "0xc0c0c0", "--transparent", "true", "--alpha", "0"});
    return true;
}
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
};

int main(int argc, char** argv) {
    // This test alone needs a real X server; without one it still runs, to report why it skipped.
    if (!startDesktop())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int iResult = 0;
    {
        QApplication app(argc, argv);
        tst_TrayDesktop test;
        iResult = QTest::qExec(&test, argc, argv);
    }
    stop(pidTrayer);
    stop(pidXvfb);
    return iResult;
}

#include "tst_traydesktop.moc"
