#include "DesktopTest.h"
#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"
#include "shell/frmMain.h"
#include "shell/frmOpening.h"
#include "ui/mdlMessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <utility>

// The whole program on a virtual desktop with a tray host, used as a person uses it: started through the
// opening window, run from the panel with the keyboard, suspended from the tray menu, and steered from the
// phone by command mails. Real message boxes, real timers, real mail servers. Takes a little over two
// minutes, because the first check of each start comes only after the real minute.
namespace {
QString sSkipReason;

const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");
const QString sPhone = QStringLiteral("phone@example.jp");
constexpr int iPageSize = 200;
constexpr int iMarkSize = 11; // "ペリモ 01/03" and its line end take this much of every page

struct DemoMail {
    const char* sFile;
    QString sSubject;
    QString sSender;
    int iPages;
};

const DemoMail demoMails[] = {
    {"01-iso2022jp", QStringLiteral("会議の日程について"), QStringLiteral("yamada@example.co.jp"), 1},
    {"02-utf8", QStringLiteral("お届け物のお知らせ"), QStringLiteral("shop@example.jp"), 1},
    {"03-english", QStringLiteral("Lunch on Friday?"), QStringLiteral("alice.smith@example.com"), 1},
    {"04-long", QStringLiteral("【重要】サーバ更新作業のお知らせ"), QStringLiteral("admin@example.co.jp"), 3},
    {"05-attachment", QStringLiteral("見積書を送ります"), QStringLiteral("tanaka@example.ne.jp"), 1},
};
constexpr int iDemoPages = 7;

QByteArray readFile(const QString& sPath) {
    QFile f(sPath);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString demoPath(const char* sFile, const char* sExtension) {
    return TestSupport::testDataDir() + QStringLiteral("/demo/") + QLatin1String(sFile) +
           QLatin1String(sExtension);
}

QByteArray commandMail(const QByteArray& word) {
    return "From: " + sPhone.toLatin1() + "\r\nTo: alice@example.jp\r\nSubject: " + word +
           "\r\nMessage-ID: <" + word.toLower() + "@example.jp>\r\n\r\n\r\n";
}

QString mark(int iPage, int iPages) {
    return QStringLiteral("ペリモ %1/%2")
        .arg(iPage, 2, 10, QLatin1Char('0'))
        .arg(iPages, 2, 10, QLatin1Char('0'));
}

// The pages a reader should get: the forward text is an empty comment line and the mail's text, cut after
// every iPageSize - iMarkSize characters, CR and LF each counting as one; the last page takes the rest.
QStringList expectedPages(const QString& sText, int iPages) {
    QString sBody = QStringLiteral("\r\n") + QString(sText).replace(u'\n', QStringLiteral("\r\n"));
    const int iRoom = iPageSize - iMarkSize;
    QStringList pages;
    for (int i = 0; i < iPages; ++i)
        pages << sBody.mid(i * iRoom, i < iPages - 1 ? iRoom : -1)
                     .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return pages;
}

QString notice(const QString& sAction) {
    // Date and time without leading zeros except for the month.
    return QStringLiteral(
               "^\\d{4}年\\d{2}月[1-9]\\d?日 (?:\\d|1\\d|2[0-3])時(?:\\d|[1-5]\\d)分 ペリモメールを") +
           sAction + QStringLiteral("しました\\n?$");
}

frmMain* visiblePanel() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* m = qobject_cast<frmMain*>(w); m && m->isVisible())
            return m;
    return nullptr;
}

// The window Qt gives the tray host to embed for the icon.
QWidget* trayIconWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits("QSystemTrayIconSys") && w->isVisible())
            return w;
    return nullptr;
}

// Plays the person in front of the message boxes: reads each one, photographs it when asked, and presses
// its default button, as a hurried user does.
class BoxReader : public QObject {
public:
    struct Seen {
        QString sText;
        QString sTitle;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    };

    explicit BoxReader(std::function<void(const QString&)> shoot) : shoot(std::move(shoot)) {
        timer.setInterval(50);
        connect(&timer, &QTimer::timeout, this, &BoxReader::look);
        timer.start();
    }

    QList<Seen> seen;
    QString sShotName; // the next box is photographed under this name

private:
    void look() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || bBusy || box == answered)
            return;
        bBusy = true;
        // Screenshots and exposure waits run the event loop; this tick must not be entered again meanwhile.
        if (QTest::qWaitForWindowExposed(box)) {
            seen << Seen{box->text(), box->windowTitle(), box->icon(), box->standardButtons()};
            if (!sShotName.isEmpty())
                shoot(std::exchange(sShotName, QString()));
            QAbstractButton* button = box->defaultButton();
            if (!button && !box->buttons().isEmpty())
                button = box->buttons().constFirst();
            answered = box;
            if (button)
                QTest::mouseClick(button, Qt::LeftButton);
        }
        bBusy = false;
    }

    std::function<void(const QString&)> shoot;
    QTimer timer;
    QPointer<QMessageBox> answered;
    bool bBusy = false;
};
} // namespace

class tst_EndToEnd : public QObject {
    Q_OBJECT

    QTemporaryDir workDir;
    DovecotServer dovecot;
    SmtpTestServer smtpServer;
    QString sShots;
    std::unique_ptr<BoxReader> boxes;
    QPointer<frmMain> main;
    QList<int> endCodes;
    QElapsedTimer runClock; // since the last press of Start
    // Every step builds on the one before; after a failure the rest would only repeat it.
    bool bOnTrack = false;

    void shoot(const QString& sName) {
        QApplication::processEvents();
        QTest::qWait(300);
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
        QVERIFY(!shot.isNull());
        QVERIFY(shot.save(sShots + u'/' + sName));
    }

    // Keys go where the keyboard focus is, as they do for a person at the keyboard.
    void pressOnPanel(Qt::Key key) {
        QWindow* focus = QGuiApplication::focusWindow();
        QVERIFY2(focus && focus == main->windowHandle(), "the panel does not have the keyboard focus");
        QTest::keyClick(focus, key);
    }

    // No window manager runs on the virtual display; on a desktop it gives the newly shown panel the focus.
    void focusPanel() {
        QVERIFY(QTest::qWaitForWindowExposed(main));
        main->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(main));
    }

    void pressStart() {
        focusPanel();
        QCOMPARE(main->funcIndex(), 0);
        pressOnPanel(Qt::Key_Return);
        runClock.start();
        QCOMPARE(main->runState(), frmMain::RunState::Running);
        QVERIFY(!main->isVisible());
    }

    // Waits, with the real check timer running, for the first check after the start and for it to end
    // with the state given. Answers when the check began, in ms after the start; -1 when none came.
    qint64 waitForCheck(frmMain::RunState endState, qsizetype iMessages) {
        const qsizetype iBefore = smtpServer.messages().size();
        qint64 iBegan = -1;
        const QDeadlineTimer deadline(100000);
        for (int i = 0; i < 2000 && !deadline.hasExpired(); ++i) {
            const frmMain::RunState state = main ? main->runState() : frmMain::RunState::Ended;
            const qsizetype iSent = smtpServer.messages().size();
            if (iBegan < 0 && (state != frmMain::RunState::Running || iSent > iBefore))
                iBegan = runClock.elapsed();
            if (iBegan >= 0 && state == endState && iSent >= iMessages)
                break;
            QTest::qWait(50);
        }
        return iBegan;
    }

    QList<SmtpTestServer::Message> sentWithSubject(const QString& sSubject) const {
        QList<SmtpTestServer::Message> out;
        for (const SmtpTestServer::Message& m : smtpServer.messages())
            if (m.facts.value(QStringLiteral("subject")).toString() == sSubject)
                out << m;
        return out;
    }

    static QString text(const SmtpTestServer::Message& m, const char* sKey) {
        return m.facts.value(QLatin1String(sKey)).toString();
    }

    void verifyNotice(const SmtpTestServer::Message& m, const QString& sAction) {
        QCOMPARE(text(m, "subject"), QStringLiteral("ペリモメール") + sAction + QStringLiteral("通知"));
        QVERIFY2(QRegularExpression(notice(sAction)).match(text(m, "body")).hasMatch(),
                 qPrintable(text(m, "body")));
        QCOMPARE(text(m, "mail_from"), sPhone);
        QCOMPARE(m.facts.value(QStringLiteral("rcpt_tos")).toVariant().toStringList(), QStringList{sPhone});
    }

private Q_SLOTS:
    void initTestCase() {
        if (!sSkipReason.isEmpty())
            QSKIP(qPrintable(sSkipReason));
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        sShots =
            qEnvironmentVariable("PELIMO_SCREENSHOTS", QDir::currentPath() + QStringLiteral("/screenshots"));
        QVERIFY(QDir().mkpath(sShots));
        QVERIFY(workDir.isValid());
        // The program keeps its logs and temporary files beside itself; here that is a folder of the test.
        QVERIFY(QDir::setCurrent(workDir.path()));
        setProgramFolder(workDir.path());
        frmMain::quitProgram = [this](int iCode) { endCodes << iCode; };
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);

        QVERIFY(dovecot.start());
        SmtpTestServer::Options options;
        options.sUser = sUser;
        options.sPassword = sPassword;
        QVERIFY(smtpServer.start(options));
        for (const DemoMail& demo : demoMails) {
            const QByteArray raw = readFile(demoPath(demo.sFile, ".eml"));
            QVERIFY2(!raw.isEmpty(), demo.sFile);
            QVERIFY(!dovecot.addMessage(sUser, raw).isEmpty());
        }

        // The simple set as the settings dialog leaves it after a passed mail check, in the store only: the
        // program must find it there when it starts.
        QApplication::setApplicationName(QStringLiteral("PelimoMail"));
        QApplication::setOrganizationName(QStringLiteral("PelimoMail"));
        const QString sApp = frmOpening::sAPPName;
        clsSystem& sys = clsSystem::instance();
        QVERIFY(sys.setValueSetSelect(0));
        QVERIFY(sys.setValueSetting(true, clsSystem::ID_SIMPLE));
        QVERIFY(sys.setValueTest(true, clsSystem::ID_SIMPLE));
        QVERIFY(sys.saveRegSetSelect(sApp));
        QVERIFY(sys.saveRegSetting(sApp, clsSystem::ID_SIMPLE));
        QVERIFY(sys.saveRegTest(sApp, clsSystem::ID_SIMPLE));
        clsSet2& set = clsSet2::instance();
        set.setDefault();
        const QList<std::pair<qint16, QVariant>> values = {
            {1, QStringLiteral("127.0.0.1:%1").arg(dovecot.port())},
            {2, encodePassWord(sUser)},
            {3, encodePassWord(sPassword)},
            {4, QStringLiteral("127.0.0.1:%1").arg(smtpServer.port())},
            {5, sPhone},
            {6, 1},
            {8, iPageSize},
        };
        for (const auto& [iID, vValue] : values)
            QVERIFY(set.setValue(iID, {vValue}));
        QVERIFY(set.saveRegistory(sApp));
        sys.setDefault();
        set.setDefault();

        boxes = std::make_unique<BoxReader>([this](const QString& sName) { shoot(sName); });
        bOnTrack = true;
    }

    void cleanupTestCase() {
        boxes.reset();
        delete main;
    }

    void startsThroughTheOpeningAndRunsFromThePanel() {
        if (!std::exchange(bOnTrack, false))
            QSKIP("an earlier step failed");
        // As main() does it.
        QApplication::setQuitOnLastWindowClosed(false);
        installMessageBoxes();
        QPointer<frmOpening> opening = new frmOpening;
        QVERIFY(opening->load());
        opening->show();
        QVERIFY(QTest::qWaitForWindowExposed(opening));
        shoot(QStringLiteral("endtoend-opening.png"));

        QTRY_VERIFY_WITH_TIMEOUT((main = visiblePanel()), 6000);
        QTRY_VERIFY_WITH_TIMEOUT(opening.isNull(), 2000);
        focusPanel();
        QCOMPARE(main->runState(), frmMain::RunState::Panel);

        // Down from nothing: end, settings, start.
        QList<int> highlighted;
        for (int i = 0; i < 3; ++i) {
            pressOnPanel(Qt::Key_Down);
            highlighted << main->funcIndex();
        }
        QCOMPARE(highlighted, (QList<int>{3, 1, 0}));
        shoot(QStringLiteral("endtoend-panel.png"));
        pressStart();
        QVERIFY(boxes->seen.isEmpty());
        bOnTrack = true;
    }

    void theFirstMinuteForwardsEveryDemoMailOnce() {
        if (!std::exchange(bOnTrack, false))
            QSKIP("an earlier step failed");
        auto* tray = main->findChild<QSystemTrayIcon*>();
        QVERIFY(tray && tray->isVisible());
        QVERIFY(!main->statusWindow());

        const qint64 iBegan = waitForCheck(frmMain::RunState::Running, iDemoPages);
        // The timer may come a little early: it is a coarse timer.
        QVERIFY2(55000 <= iBegan && iBegan < 75000, qPrintable(QString::number(iBegan)));
        QCOMPARE(main->runState(), frmMain::RunState::Running);
        QCOMPARE(smtpServer.messages().size(), iDemoPages);

        for (const DemoMail& demo : demoMails) {
            const QList<SmtpTestServer::Message> pages = sentWithSubject(demo.sSubject);
            QVERIFY2(pages.size() == demo.iPages,
                     qPrintable(demo.sSubject + QStringLiteral(": %1 pages").arg(pages.size())));
            const QString sText = QString::fromUtf8(readFile(demoPath(demo.sFile, ".txt")));
            QVERIFY(!sText.isEmpty());
            const QStringList expected = expectedPages(sText, demo.iPages);
            // The last page first, so that the phone lists the first on top.
            for (int k = 0; k < demo.iPages; ++k) {
                const SmtpTestServer::Message& m = pages.at(k);
                const int iPage = demo.iPages - k;
                const QString sWhere = demo.sSubject + QStringLiteral(", page %1").arg(iPage);
                QString sBody = text(m, "body");
                const QString sMark = mark(iPage, demo.iPages) + u'\n';
                QVERIFY2(sBody.startsWith(sMark), qPrintable(sWhere + QStringLiteral(": ") + sBody.left(20)));
                sBody.remove(0, sMark.size());
                // Mail ends with a line end; a page cut in mid-line gets one on the way.
                if (!expected.at(iPage - 1).endsWith(u'\n') && sBody.endsWith(u'\n'))
                    sBody.chop(1);
                QVERIFY2(sBody == expected.at(iPage - 1), qPrintable(sWhere + QStringLiteral(":\n") + sBody));
                QVERIFY2(text(m, "mail_from") == demo.sSender, qPrintable(sWhere));
                QCOMPARE(m.facts.value(QStringLiteral("rcpt_tos")).toVariant().toStringList(),
                         QStringList{sPhone});
                QVERIFY2(m.facts.value(QStringLiteral("attachments")).toArray().isEmpty(),
                         qPrintable(sWhere));
            }
        }
        QVERIFY(boxes->seen.isEmpty());
        bOnTrack = true;
    }

    void theTrayMenuSuspendsAndTellsTheCount() {
        if (!std::exchange(bOnTrack, false))
            QSKIP("an earlier step failed");
        auto* tray = main->findChild<QSystemTrayIcon*>();
        QVERIFY(tray);
        QTRY_VERIFY_WITH_TIMEOUT(tray->geometry().isValid() && !tray->geometry().isEmpty(), 10000);
        QWidget* icon = trayIconWindow();
        QVERIFY(icon);

        // A right click on the icon, where the tray host shows it.
        const QRect rcIcon = tray->geometry();
        QCursor::setPos(rcIcon.center());
        QTest::mouseClick(icon, Qt::RightButton, {}, icon->rect().center());
        QMenu* menu = main->trayMenu();
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activePopupWidget() == menu, 5000);
        QVERIFY(menu->geometry().adjusted(-4, -4, 4, 4).contains(rcIcon.center()));
        shoot(QStringLiteral("endtoend-tray-menu.png"));

        QTest::keyClick(menu, Qt::Key_Down);
        QVERIFY(menu->activeAction());
        QCOMPARE(menu->activeAction()->objectName(), QStringLiteral("mnuSuspend"));
        boxes->sShotName = QStringLiteral("endtoend-count.png");
        // Returns once the count has been read and answered.
        QTest::keyClick(menu, Qt::Key_Return);
        QCOMPARE(boxes->seen.size(), 1);
        const BoxReader::Seen& count = boxes->seen.constFirst();
        QCOMPARE(count.sText, QStringLiteral("5件のメールを転送しました"));
        QCOMPARE(count.sTitle, QStringLiteral("ペリモメール"));
        QCOMPARE(count.icon, QMessageBox::Information);
        QCOMPARE(count.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

        QCOMPARE(main->runState(), frmMain::RunState::Panel);
        QVERIFY(main->isVisible());
        QVERIFY(!main->findChild<QSystemTrayIcon*>());
        QTRY_VERIFY(!trayIconWindow());
        QCOMPARE(smtpServer.messages().size(), iDemoPages);
        bOnTrack = true;
    }

    void aPauseMailFromThePhoneReturnsToThePanel() {
        if (!std::exchange(bOnTrack, false))
            QSKIP("an earlier step failed");
        QVERIFY(!dovecot.addMessage(sUser, commandMail("PAUSE_MAIL")).isEmpty());
        // The highlight stayed on Start.
        pressStart();

        const qint64 iBegan = waitForCheck(frmMain::RunState::Panel, iDemoPages + 1);
        QVERIFY2(55000 <= iBegan && iBegan < 75000, qPrintable(QString::number(iBegan)));
        QCOMPARE(main->runState(), frmMain::RunState::Panel);
        QVERIFY(main->isVisible());
        QVERIFY(!main->findChild<QSystemTrayIcon*>());
        // The notice alone: the demo mails, read again after the new start, wait while paused.
        const QList<SmtpTestServer::Message> sent = smtpServer.messages();
        QCOMPARE(sent.size(), iDemoPages + 1);
        verifyNotice(sent.constLast(), QStringLiteral("中断"));
        // No count after a pause by mail.
        QCOMPARE(boxes->seen.size(), 1);
        QVERIFY(endCodes.isEmpty());
        shoot(QStringLiteral("endtoend-paused.png"));
        bOnTrack = true;
    }

    void aStopMailFromThePhoneEndsTheProgram() {
        if (!std::exchange(bOnTrack, false))
            QSKIP("an earlier step failed");
        QSignalSpy ended(main.data(), &frmMain::programEnded);
        pressStart();
        // The real timer brought the two checks before, after each start; more real minutes would only make
        // the run longer, so these minutes are ticked here. The demo mails and the pause mail are still on
        // the server: after the new start, none of them reaches the phone again, and the pause acts no more.
        main->checkTimerTick();
        QCOMPARE(main->runState(), frmMain::RunState::Checking);
        QTRY_COMPARE_WITH_TIMEOUT(main->runState(), frmMain::RunState::Running, 30000);
        QCOMPARE(smtpServer.messages().size(), iDemoPages + 1);

        QVERIFY(!dovecot.addMessage(sUser, commandMail("STOP_MAIL")).isEmpty());
        main->checkTimerTick();
        QCOMPARE(main->runState(), frmMain::RunState::Checking);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 30000);
        QCOMPARE(endCodes, QList<int>{0});

        const QList<SmtpTestServer::Message> sent = smtpServer.messages();
        QCOMPARE(sent.size(), iDemoPages + 2);
        verifyNotice(sent.constLast(), QStringLiteral("終了"));
        QCOMPARE(boxes->seen.size(), 1);
        // Nothing of the program is left on the screen.
        QTRY_VERIFY_WITH_TIMEOUT(main.isNull(), 5000);
        QVERIFY(!trayIconWindow());
        QTRY_VERIFY_WITH_TIMEOUT(
            [] {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (w->isVisible())
                        return false;
                return true;
            }(),
            5000);
        bOnTrack = true;
    }
};

int main(int argc, char** argv) {
    return runOnDesktop<tst_EndToEnd>(argc, argv, true, sSkipReason);
}

#include "tst_endtoend.moc"
