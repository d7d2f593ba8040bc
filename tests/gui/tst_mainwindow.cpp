#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "engine/clsMailTransfer.h"
#include "settings/SettingsStore.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"
#include "shell/frmMain.h"
#include "shell/frmStatus.h"
#include "shell/frmTaskBar.h"
#include "ui/mdlMessageBox.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

namespace {
const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");
const QString sPhone = QStringLiteral("phone@example.jp");
const QString sNotSaved = QStringLiteral("登録／設定がまだおこなわれていません\n\r"
                                         "登録／設定をおこなってから実行してください");
const QString sNotTested =
    QStringLiteral("メールチェックがまだおこなわれていないか、\n\r"
                   "メールチェックが正常に終了していません。\n\r"
                   "メールチェックで正常にメールが受信できることを確認してから実行してください");

QByteArray mail(const QString& sFrom, const QByteArray& subject) {
    static int n = 0;
    ++n;
    return "From: " + sFrom.toLatin1() + "\r\nTo: alice@example.jp\r\nSubject: " + subject +
           "\r\nMessage-ID: <w" + QByteArray::number(n) + "@example.com>\r\n\r\nhello there\r\n";
}

void sendMouse(QWidget* target, QEvent::Type type, const QPoint& pos, Qt::MouseButton button = Qt::NoButton) {
    QMouseEvent event(type, QPointF(pos), QPointF(target->mapToGlobal(pos)), button,
                      type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::NoButton,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

QList<int> framesShown(frmMain& main, int iTicks) {
    QList<int> out;
    for (int i = 0; i < iTicks; ++i) {
        main.animateTrayIcon();
        out << main.iconFrame() + 1;
    }
    return out;
}
} // namespace

class tst_MainWindow : public QObject {
    Q_OBJECT

    QTemporaryDir logDir;
    DovecotServer dovecot;
    SmtpTestServer smtpServer;
    MessageRecorder rec{MsgAnswer::Yes};
    QPointer<frmMain> main;
    QList<int> endCodes;
    qsizetype iSentBefore = 0;

    void setSetting(qint16 iID, const QVariant& vValue) {
        QVERIFY(clsSet2::instance().setValue(iID, {vValue}));
    }

    // The simple set, saved, tested and pointing at the test servers, checking every minute.
    void readySimpleSet() {
        // A fresh mailbox for every run.
        QVERIFY(dovecot.start());
        clsSystem& sys = clsSystem::instance();
        QVERIFY(sys.setValueSetSelect(0));
        QVERIFY(sys.setValueSetting(true, clsSystem::ID_SIMPLE));
        QVERIFY(sys.setValueTest(true, clsSystem::ID_SIMPLE));
        clsSet2::instance().setDefault();
        setSetting(1, QStringLiteral("127.0.0.1:%1").arg(dovecot.port()));
        setSetting(2, encodePassWord(sUser));
        setSetting(3, encodePassWord(sPassword));
        setSetting(4, QStringLiteral("127.0.0.1:%1").arg(smtpServer.port()));
        setSetting(5, sPhone);
        setSetting(6, 1);
        setSetting(8, QStringLiteral("0"));
        setSetting(11, QString());
    }

    QStringList sentSubjects() const {
        QStringList out;
        for (const SmtpTestServer::Message& m : smtpServer.messages().mid(iSentBefore))
            out << m.facts.value(QStringLiteral("subject")).toString();
        return out;
    }

    static bool noPopup() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<frmTaskBar*>(w))
                return false;
        return true;
    }

    bool anyMessage(const QString& sText) const {
        for (const MessageRecorder::Shown& s : rec.shown)
            if (s.sText == sText)
                return true;
        return false;
    }

private Q_SLOTS:
    void initTestCase() {
        setProgramFolder(logDir.path());
        frmMain::quitProgram = [this](int iCode) { endCodes << iCode; };
        SmtpTestServer::Options options;
        options.sUser = sUser;
        options.sPassword = sPassword;
        QVERIFY(smtpServer.start(options));
    }

    void init() {
        TestSupport::clearStore();
        clsSystem::instance().setValueSetSelect(0);
        clsMailTransfer::instance().clearClass();
        rec.shown.clear();
        rec.answer = MsgAnswer::Yes;
        endCodes.clear();
        iSentBefore = smtpServer.messages().size();
        main = new frmMain;
        main->show();
    }

    void cleanup() {
        delete main;
        // A please-wait popup left over would clear the stop flag of the next test.
        QTRY_VERIFY_WITH_TIMEOUT(noPopup(), 5000);
    }

    // A new run keeps the last run's log and says which hand-edited values it brought into range.
    void startKeepsTheLastLogAndNamesCorrections() {
        delete main;
        clsSystem::instance().RunLog = true;
        {
            QFile last(logPath(QStringLiteral("PLRun.log")));
            QVERIFY(last.open(QIODevice::WriteOnly) && last.write("last run\r\n") > 0);
        }
        QVERIFY(SettingsStore::saveSetting(QStringLiteral("Q-Post"), "SRV1", "Val1", "32767"));
        QVERIFY(clsSet1::instance().loadRegistory(0, QStringLiteral("Q-Post")));
        main = new frmMain;
        main->show();
        clsSystem::instance().RunLog = false;
        clsSet1::instance().setDefault(5);
        QFile kept(logPath(QStringLiteral("PLRun.log.1")));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("last run\r\n"));
        QFile log(logPath(QStringLiteral("PLRun.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromLocal8Bit(log.readAll())
                    .contains(QStringLiteral("設定値を範囲内に直しました: [SRV1] Val1=32767 → 20")));
    }

    void panelRegions_data() {
        QTest::addColumn<QPoint>("pos");
        QTest::addColumn<int>("button");
        QTest::newRow("start, inside corner") << QPoint(76, 123) << 0;
        QTest::newRow("start, far corner") << QPoint(337, 204) << 0;
        QTest::newRow("start, right edge is outside") << QPoint(338, 150) << -1;
        QTest::newRow("start, left edge is outside") << QPoint(75, 150) << -1;
        QTest::newRow("settings bar") << QPoint(53, 83) << 1;
        QTest::newRow("settings leg") << QPoint(60, 122) << 1;
        QTest::newRow("line between bar and leg") << QPoint(60, 121) << -1;
        QTest::newRow("settings leg ends at 167") << QPoint(60, 167) << -1;
        QTest::newRow("end bar") << QPoint(31, 44) << 3;
        QTest::newRow("end leg") << QPoint(40, 129) << 3;
        QTest::newRow("end leg ends at 130") << QPoint(40, 130) << -1;
        QTest::newRow("corner where end and settings meet") << QPoint(52, 82) << -1;
        QTest::newRow("above everything") << QPoint(100, 20) << -1;
    }
    void panelRegions() {
        QFETCH(QPoint, pos);
        QFETCH(int, button);
        QCOMPARE(frmMain::functionAt(pos), button);
    }

    void mouseHighlightsAndReleaseRunsTheFunction() {
        auto* back = main->findChild<QLabel*>(QStringLiteral("imgFrmBack"));
        auto* func = main->findChild<QLabel*>(QStringLiteral("imgFunc"));
        QVERIFY(back && func);
        QVERIFY(func->isHidden());
        sendMouse(back, QEvent::MouseMove, QPoint(100, 60));
        QCOMPARE(main->funcIndex(), 3);
        QCOMPARE(func->pos(), QPoint(30, 43));
        QVERIFY(func->isVisible());

        // Leaving the buttons hides the highlight but keeps the choice.
        sendMouse(back, QEvent::MouseMove, QPoint(5, 5));
        QVERIFY(func->isHidden());
        QCOMPARE(main->funcIndex(), 3);

        // Moving down over the highlight passes it on: end → settings → start; elsewhere it stays.
        sendMouse(back, QEvent::MouseMove, QPoint(100, 60));
        sendMouse(func, QEvent::MouseMove, QPoint(33, 75));
        QCOMPARE(main->funcIndex(), 3);
        sendMouse(func, QEvent::MouseMove, QPoint(34, 71));
        QCOMPARE(main->funcIndex(), 1);
        QCOMPARE(func->pos(), QPoint(52, 82));

        sendMouse(func, QEvent::MouseButtonPress, QPoint(40, 10), Qt::LeftButton);
        QCOMPARE(func->frameShape(), QFrame::Box);
        QVERIFY(rec.shown.isEmpty());
        // The simple settings dialog opens in place of the panel.
        QString sOpened;
        bool bPanelHidden = false;
        QTimer::singleShot(0, main, [&] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                sOpened = QString::fromLatin1(dialog->metaObject()->className());
                bPanelHidden = main->isHidden();
                dialog->close();
            }
        });
        sendMouse(func, QEvent::MouseButtonRelease, QPoint(40, 10), Qt::LeftButton);
        QCOMPARE(func->frameShape(), QFrame::NoFrame);
        QCOMPARE(sOpened, QStringLiteral("frmEasySet"));
        QVERIFY(bPanelHidden);
        QVERIFY(main->isVisible());
        const int iShown = int(rec.shown.size());

        // Any other button only takes the border away.
        sendMouse(func, QEvent::MouseButtonPress, QPoint(40, 10), Qt::LeftButton);
        sendMouse(func, QEvent::MouseButtonRelease, QPoint(40, 10), Qt::RightButton);
        QCOMPARE(func->frameShape(), QFrame::NoFrame);
        QCOMPARE(rec.shown.size(), iShown);
    }

    void keysWalkTheButtonsAndSkipTheTestButton() {
        QList<int> down;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(main, Qt::Key_Down);
            down << main->funcIndex();
        }
        QCOMPARE(down, (QList<int>{3, 1, 0, 3}));
        QList<int> up;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(main, i % 2 ? Qt::Key_Left : Qt::Key_Up);
            up << main->funcIndex();
        }
        QCOMPARE(up, (QList<int>{0, 1, 3, 0}));
        QCOMPARE(frmMain::nextFunction(-1, Qt::Key_Left), 0);
        QCOMPARE(frmMain::nextFunction(-1, Qt::Key_Right), 3);
        QCOMPARE(frmMain::nextFunction(1, Qt::Key_A), 1);
    }

    void enterWithNothingHighlightedDoesNothing() {
        QTest::keyClick(main, Qt::Key_Return);
        QTest::keyClick(main, Qt::Key_Escape);
        QVERIFY(rec.shown.isEmpty());
        QCOMPARE(main->funcIndex(), -1);
        QVERIFY(main->findChild<QLabel*>(QStringLiteral("imgFunc"))->isHidden());
    }

    void enterOnTheEndButtonAsksAndNoKeepsThePanel() {
        QTest::keyClick(main, Qt::Key_Down);
        rec.answer = MsgAnswer::No;
        QTest::keyClick(main, Qt::Key_Enter);
        QCOMPARE(rec.shown.size(), 1);
        QCOMPARE(rec.shown.at(0).sText, QStringLiteral("ペリモメールを終了しますか？"));
        QCOMPARE(rec.shown.at(0).buttons, MsgButtons::YesNo);
        QCOMPARE(rec.shown.at(0).icon, MsgIcon::Question);
        QCOMPARE(main->runState(), frmMain::RunState::Panel);
        QVERIFY(endCodes.isEmpty());

        rec.answer = MsgAnswer::Yes;
        QSignalSpy ended(main.data(), &frmMain::programEnded);
        QTest::keyClick(main, Qt::Key_Enter);
        QCOMPARE(ended.size(), 1);
        QCOMPARE(endCodes, QList<int>{0});
        // No count message when ending from the panel.
        QCOMPARE(rec.shown.size(), 2);
    }

    void startRefusesUnsavedOrUntestedSettings() {
        clsSystem& sys = clsSystem::instance();
        main->runFunction(0);
        QCOMPARE(rec.shown.size(), 1);
        QCOMPARE(rec.shown.at(0).sText, sNotSaved);
        QCOMPARE(rec.shown.at(0).icon, MsgIcon::Exclamation);
        QCOMPARE(rec.shown.at(0).sTitle, QStringLiteral("ペリモメール"));

        // The detailed set being ready does not help the simple mode.
        QVERIFY(sys.setValueSetting(true, clsSystem::ID_DETAIL));
        QVERIFY(sys.setValueTest(true, clsSystem::ID_DETAIL));
        QVERIFY(sys.setValueSetting(true, clsSystem::ID_SIMPLE));
        main->runFunction(0);
        QCOMPARE(rec.shown.size(), 2);
        QCOMPARE(rec.shown.at(1).sText, sNotTested);
        QCOMPARE(rec.shown.at(1).icon, MsgIcon::Exclamation);
        QCOMPARE(main->runState(), frmMain::RunState::Panel);
        QVERIFY(main->isVisible());
        QVERIFY(!main->statusWindow());
    }

    void trayMenuItemsInOrder() {
        QStringList items;
        for (QAction* a : main->trayMenu()->actions())
            items << (a->isSeparator() ? QStringLiteral("-") : a->objectName() + u'=' + a->text());
        QCOMPARE(items, (QStringList{QStringLiteral("mnuSuspend=ペリモメールを中断"),
                                     QStringLiteral("mnuSever=スクリーンセイバー起動"), QStringLiteral("-"),
                                     QStringLiteral("mnuAbout=ペリモメールについて..."), QStringLiteral("-"),
                                     QStringLiteral("mnuEnd=ペリモメールの終了")}));
    }

    // Suspended at once, before the start's popup would start the screen saver: none is started, then or
    // later (a saver that cannot run would say so).
    void startThenSuspendReturnsToThePanelWithTheCount() {
        readySimpleSet();
        setSetting(9, QStringLiteral("missing.scr"));
        setSetting(10, logDir.path());
        main->runFunction(0);
        QCOMPARE(main->runState(), frmMain::RunState::Running);
        QVERIFY(!main->isVisible());
        // Offscreen has no tray: the status window carries the menu.
        QPointer<frmStatus> status = main->statusWindow();
        QVERIFY(status && status->isVisible());

        main->trayMenu()->findChild<QAction*>(QStringLiteral("mnuSuspend"))->trigger();
        QCOMPARE(main->runState(), frmMain::RunState::Panel);
        QVERIFY(main->isVisible());
        QTRY_VERIFY(status.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(noPopup(), 5000);
        QCOMPARE(rec.shown.size(), 1);
        QCOMPARE(rec.shown.at(0).sText, QStringLiteral("0件のメールを転送しました"));
        QCOMPARE(rec.shown.at(0).icon, MsgIcon::Information);
    }

    // Without a tray the status window tells the last check, and its menu opens wholly on the screen even
    // from the bottom corner.
    void statusWindowTellsTheLastCheckAndKeepsItsMenuOnScreen() {
        readySimpleSet();
        quint16 iClosedPort = 0;
        {
            SmtpTestServer gone;
            QVERIFY(gone.start());
            iClosedPort = gone.port();
        }
        setSetting(4, QStringLiteral("127.0.0.1:%1").arg(iClosedPort));
        QVERIFY(!dovecot.addMessage(sUser, "From: a@example.com\r\nSubject: hi\r\n\r\nhello\r\n").isEmpty());
        main->runFunction(0);
        QPointer<frmStatus> status = main->statusWindow();
        QVERIFY(status);
        main->checkTimerTick();
        QTRY_COMPARE_WITH_TIMEOUT(main->runState(), frmMain::RunState::Running, 30000);
        const QString sLine = status->findChild<QLabel*>(QStringLiteral("lblStatus"))->text();
        QVERIFY2(sLine.endsWith(QStringLiteral("転送 0件\n送信サーバに接続できません")), qPrintable(sLine));

        const QRect area = status->screen()->availableGeometry();
        status->popupMenu(area.bottomRight());
        QTRY_VERIFY(main->trayMenu()->isVisible());
        QVERIFY2(area.contains(main->trayMenu()->geometry()),
                 qPrintable(QStringLiteral("%1,%2 %3x%4")
                                .arg(main->trayMenu()->x())
                                .arg(main->trayMenu()->y())
                                .arg(main->trayMenu()->width())
                                .arg(main->trayMenu()->height())));
        main->trayMenu()->hide();
        main->trayMenu()->findChild<QAction*>(QStringLiteral("mnuSuspend"))->trigger();
    }

    void animationSkipsTheLastFrame() {
        QCOMPARE(framesShown(*main, 17),
                 (QList<int>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1, 2}));
        // Switching lists keeps the counter; it wraps at the shorter list's end.
        QVERIFY(clsSystem::instance().setValueSetSelect(1));
        QCOMPARE(framesShown(*main, 13), (QList<int>{3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 1, 2, 3}));
        QCOMPARE(frmMain::nextIconFrame(15, 17), 0);
        QCOMPARE(frmMain::nextIconFrame(14, 13), 0);
    }

    void pauseByMailReturnsToThePanelWithoutTheCount() {
        readySimpleSet();
        dovecot.addMessage(sUser, mail(sPhone, "PAUSE_MAIL"));
        main->runFunction(0);
        main->checkTimerTick();
        QCOMPARE(main->runState(), frmMain::RunState::Checking);
        QTRY_COMPARE_WITH_TIMEOUT(main->runState(), frmMain::RunState::Panel, 20000);
        QVERIFY(main->isVisible());
        QVERIFY(!main->statusWindow());
        QCOMPARE(sentSubjects(), QStringList{QStringLiteral("ペリモメール中断通知")});
        QVERIFY(rec.shown.isEmpty());
        QVERIFY(endCodes.isEmpty());
    }

    void stopByMailEndsTheProgram() {
        readySimpleSet();
        dovecot.addMessage(sUser, mail(sPhone, "STOP_MAIL"));
        QSignalSpy ended(main.data(), &frmMain::programEnded);
        main->runFunction(0);
        main->checkTimerTick();
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 20000);
        QCOMPARE(endCodes, QList<int>{0});
        QCOMPARE(sentSubjects(), QStringList{QStringLiteral("ペリモメール終了通知")});
        QVERIFY(rec.shown.isEmpty());
    }

    void aTickWithNoCheckDueStaysOnTheUserInterfaceThread() {
        readySimpleSet();
        setSetting(6, 2);
        main->runFunction(0);
        main->checkTimerTick();
        // Not due: no processing picture, no worker; the second minute is the check.
        QCOMPARE(main->runState(), frmMain::RunState::Running);
        main->checkTimerTick();
        QCOMPARE(main->runState(), frmMain::RunState::Checking);
        QTRY_COMPARE_WITH_TIMEOUT(main->runState(), frmMain::RunState::Running, 20000);
    }

    void suspendChosenDuringACheckWaitsForIt() {
        readySimpleSet();
        dovecot.addMessage(sUser, mail(QStringLiteral("sender@example.com"), "ordinary"));
        main->runFunction(0);
        main->checkTimerTick();
        QCOMPARE(main->runState(), frmMain::RunState::Checking);
        // A second tick while checking must not start a second check.
        main->checkTimerTick();
        main->trayMenu()->findChild<QAction*>(QStringLiteral("mnuSuspend"))->trigger();
        QCOMPARE(main->runState(), frmMain::RunState::Checking);
        QTRY_COMPARE_WITH_TIMEOUT(main->runState(), frmMain::RunState::Panel, 20000);
        QCOMPARE(sentSubjects().size(), 1);
        QCOMPARE(rec.shown.size(), 1);
        QCOMPARE(rec.shown.at(0).sText, QStringLiteral("1件のメールを転送しました"));
    }

    void aBoxAskedForByTheWorkerIsShownOnTheUserInterfaceThread() {
        const MessageHandler previous = setMessageHandler({});
        installMessageBoxes();
        MsgAnswer answer = MsgAnswer::Ok;
        std::unique_ptr<QThread> worker(QThread::create([&answer] {
            answer = showMessage(QStringLiteral("q"), sAppTitle, MsgIcon::Question, MsgButtons::YesNo);
        }));
        // The box runs its own loop, so it is answered from inside that loop.
        QThread* boxThread = nullptr;
        bool bNoIsDefault = false;
        QTimer answerer;
        connect(&answerer, &QTimer::timeout, this, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxThread = box->thread();
                bNoIsDefault = box->defaultButton() == box->button(QMessageBox::No);
                box->button(QMessageBox::Yes)->click();
            }
        });
        answerer.start(20);
        worker->start();
        QTRY_VERIFY(worker->isFinished());
        QCOMPARE(answer, MsgAnswer::Yes);
        QCOMPARE(boxThread, QApplication::instance()->thread());
        QVERIFY(bNoIsDefault);
        setMessageHandler(previous);
    }
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
