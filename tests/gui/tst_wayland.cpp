#include "DesktopTest.h"
#include "TestSupport.h"

#include "shell/frmStatus.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QProcess>
#include <QTest>
#include <QWindow>

// The status window under a Wayland compositor, where windows do not know their place on the screen and
// popups are placed against their parent window.
namespace {
QString sSkipReason;
} // namespace

class tst_Wayland : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        if (!sSkipReason.isEmpty())
            QSKIP(qPrintable(sSkipReason));
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
    }

    // The tray menu belongs to the hidden main window; opened from the status window it must still open,
    // against the status window, whole.
    void statusMenuOpensAgainstTheStatusWindow() {
        QWidget hiddenOwner;
        auto* menu = new QMenu(&hiddenOwner);
        for (const char* sItem : {"ペリモメールを中断", "スクリーンセイバー起動", "ペリモメールについて...",
                                  "ペリモメールの終了"})
            menu->addAction(QString::fromUtf8(sItem));
        frmStatus status(menu);
        status.setStatusText(QStringLiteral("最終チェック 12:34  転送 2件"));
        status.show();
        QVERIFY(QTest::qWaitForWindowExposed(&status));
        status.popupMenu(status.mapToGlobal(QPoint(0, status.height())));
        QVERIFY(QTest::qWaitForWindowExposed(menu));
        QCOMPARE(menu->windowHandle()->transientParent(), status.windowHandle());

        // For a person to look at: the whole menu beside the status window.
        const QString sShots =
            qEnvironmentVariable("PELIMO_SCREENSHOTS", QDir::currentPath() + QStringLiteral("/screenshots"));
        QVERIFY(QDir().mkpath(sShots));
        QTest::qWait(300);
        QProcess shooter;
        shooter.setWorkingDirectory(sShots);
        shooter.start(QStringLiteral("weston-screenshooter"), {});
        QVERIFY(shooter.waitForFinished(10000));
        const QStringList shots = QDir(sShots).entryList({QStringLiteral("wayland-screenshot*.png")});
        QVERIFY(!shots.isEmpty());
        QFile::remove(sShots + QStringLiteral("/wayland-status-menu.png"));
        QVERIFY(
            QFile::rename(sShots + u'/' + shots.last(), sShots + QStringLiteral("/wayland-status-menu.png")));
        menu->hide();
    }
};

int main(int argc, char** argv) {
    return runOnWayland<tst_Wayland>(argc, argv, sSkipReason);
}

#include "tst_wayland.moc"
