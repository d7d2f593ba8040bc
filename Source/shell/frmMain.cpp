#include "shell/frmMain.h"

#include "base/mdlGlobals.h"
#include "base/mdlLog.h"
#include "base/mdlMessage.h"
#include "dialogs/frmEasySet.h"
#include "dialogs/frmSet.h"
#include "dialogs/frmTest.h"
#include "dialogs/mdlSetCommon.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsDetailCycle.h"
#include "engine/clsForwardLedger.h"
#include "engine/clsMailTransfer.h"
#include "engine/clsSimpleCycle.h"
#include "settings/SettingsStore.h"
#include "settings/clsSystem.h"
#include "shell/frmStatus.h"
#include "shell/frmTaskBar.h"
#include "shell/frmVersion.h"
#include "system/mdlScreenSaver.h"
#include "ui/mdlCommon.h"

#include <QApplication>
#include <QCursor>
#include <QDeadlineTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <utility>

namespace {
constexpr qint16 iDetailFrames = 13;
constexpr qint16 iSimpleFrames = 17;
const QPoint ptFuncPlace[4] = {{75, 122}, {52, 82}, {}, {30, 43}};

// Until the pictures exist the panel and the icon still need something to show and to click on.
QPixmap orBlank(const QPixmap& picture, const QSize& size, const QColor& colour) {
    if (!picture.isNull())
        return picture;
    QPixmap blank(size);
    blank.fill(colour);
    return blank;
}

bool detailMode() {
    return clsSystem::instance().getValueSetSelect() == 1;
}
} // namespace

std::function<void(int)> frmMain::quitProgram = [](int iCode) { QApplication::exit(iCode); };

frmMain::frmMain(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QString());
    setAttribute(Qt::WA_DeleteOnClose);
    setFocusPolicy(Qt::StrongFocus);

    // Every run starts with empty logs; the last run's are kept once.
    rotateLogs();
    writeStartLogLines(sSmtpLogFile, sPop3LogFile);
    const QString sLedgerNote = clsForwardLedger::instance().recoveryNote();
    if (!sLedgerNote.isEmpty())
        writeRunLog(QString(sLedgerNote).replace(QStringLiteral("\n\r"), QStringLiteral(" ")));
    for (const QString& sCorrection : SettingsStore::takeCorrections())
        writeRunLog(QStringLiteral("設定値を範囲内に直しました: ") + sCorrection);

    Pop31 = std::make_unique<Pop3Client>();
    Smtp1 = std::make_unique<SmtpClient>();
    Smtp1->SessionMode = 1;
    Pop31->SessionMode = 1;
    Pop31->ConnectTimeout = 180;
    Pop31->ReplyTimeout = 180;
    Smtp1->ConnectTimeout = 180;
    Smtp1->ReplyTimeout = 180;
    Pop31->LogFile = sPop3LogFile;
    Smtp1->LogFile = sSmtpLogFile;
    simpleCycle = std::make_unique<clsSimpleCycle>(*Pop31, *Smtp1);
    detailCycle = std::make_unique<clsDetailCycle>(*Pop31, *Smtp1);

    tmrChkMail4Simple = new QTimer(this);
    tmrChkMail4Detail = new QTimer(this);
    for (QTimer* timer : {tmrChkMail4Simple, tmrChkMail4Detail})
        connect(timer, &QTimer::timeout, this, &frmMain::checkTimerTick);

    imgFrmBack =
        setBackground(this, orBlank(loadPicture(QStringLiteral("panel")), QSize(360, 220), Qt::white));
    imgFrmBack->setMouseTracking(true);
    imgFrmBack->installEventFilter(this);
    imgFunc = new QLabel(this);
    imgFunc->setObjectName(QStringLiteral("imgFunc"));
    imgFunc->setMouseTracking(true);
    imgFunc->installEventFilter(this);
    imgFunc->hide();
    for (qint16 i : {0, 1, 3})
        imgFuncBack[i] =
            orBlank(loadPicture(QStringLiteral("func%1").arg(i)), QSize(263 - 2 * i, 40), Qt::lightGray);
    imgProcIco = orBlank(loadPicture(QStringLiteral("proc")), QSize(16, 16), Qt::darkRed);
    for (qint16 i = 1; i <= iDetailFrames; ++i)
        imgList1[0] << orBlank(loadPicture(QStringLiteral("trayd%1").arg(i, 2, 10, QLatin1Char('0'))),
                               QSize(16, 16), Qt::darkBlue);
    for (qint16 i = 1; i <= iSimpleFrames; ++i)
        imgList1[1] << orBlank(loadPicture(QStringLiteral("trays%1").arg(i, 2, 10, QLatin1Char('0'))),
                               QSize(16, 16), Qt::darkGreen);

    buildTrayMenu();
    roundWindow(this, 30, 30);
    placeWindow(1, this);

    Timer1 = new QTimer(this);
    frmEasySet::bActive = false;
    frmSet::bActive = false;
    Timer1->setInterval(200);
    connect(Timer1, &QTimer::timeout, this, &frmMain::animateTrayIcon);

    thrCheck = new QThread(this);
    objWorker = new QObject;
    objWorker->moveToThread(thrCheck);
    connect(thrCheck, &QThread::finished, objWorker, &QObject::deleteLater);
    thrCheck->start();
}

frmMain::~frmMain() {
    // The sockets were made on the worker thread and go there; a running check is waited for.
    onWorker([this] {
        simpleCycle.reset();
        detailCycle.reset();
        Pop31.reset();
        Smtp1.reset();
    });
    thrCheck->quit();
    thrCheck->wait();
    delete stsWindow;
}

void frmMain::onWorker(const std::function<void()>& work) {
    QMetaObject::invokeMethod(objWorker, work, Qt::BlockingQueuedConnection);
}

void frmMain::buildTrayMenu() {
    mnuTray = new QMenu(this);
    mnuTray->setObjectName(QStringLiteral("mnuTray"));
    auto add = [this](const char* sName, const QString& sCaption, const std::function<void()>& action) {
        QAction* item = mnuTray->addAction(sCaption);
        item->setObjectName(QString::fromLatin1(sName));
        connect(item, &QAction::triggered, this, [this, action] { trayAction(action); });
    };
    add("mnuSuspend", QStringLiteral("ペリモメールを中断"), [this] { suspend(); });
    add("mnuSever", QStringLiteral("スクリーンセイバー起動"), [this] { startScreenSaver(this); });
    mnuTray->addSeparator()->setObjectName(QStringLiteral("mnuLine2"));
    add("mnuAbout", QStringLiteral("ペリモメールについて..."), [] {
        auto* about = new frmVersion;
        about->setWindowModality(Qt::ApplicationModal);
        about->show();
    });
    mnuTray->addSeparator()->setObjectName(QStringLiteral("mnuLine1"));
    add("mnuEnd", QStringLiteral("ペリモメールの終了"), [this] { endProgram(); });
}

qint16 frmMain::functionAt(const QPoint& pos) {
    const int x = pos.x();
    const int y = pos.y();
    if (75 < x && x < 338 && 122 < y && y < 205)
        return 0;
    if ((52 < x && x < 315 && 82 < y && y < 121) || (52 < x && x < 73 && 121 < y && y < 167))
        return 1;
    if ((30 < x && x < 295 && 43 < y && y < 82) || (30 < x && x < 50 && 82 < y && y < 130))
        return 3;
    return -1;
}

qint16 frmMain::nextFunction(qint16 iCurrent, int iKey) {
    // Button 2 has no place on the panel, so the keys step over it.
    if (iKey == Qt::Key_Left || iKey == Qt::Key_Up) {
        const qint16 i = iCurrent + 1;
        return i == 2 ? 3 : (i > 3 ? 0 : i);
    }
    if (iKey == Qt::Key_Right || iKey == Qt::Key_Down) {
        const qint16 i = iCurrent - 1;
        return i == 2 ? 1 : (i < 0 ? 3 : i);
    }
    return iCurrent;
}

qint16 frmMain::nextIconFrame(qint16 iFrame, qint16 iCount) {
    const qint16 i = iFrame + 1;
    return i > iCount - 2 ? 0 : i;
}

void frmMain::selectFunction(qint16 iIndex) {
    if (iIndex != 0 && iIndex != 1 && iIndex != 3)
        return;
    imgFunc->hide();
    imgFunc->move(ptFuncPlace[iIndex]);
    imgFunc->setFrameStyle(QFrame::NoFrame);
    imgFunc->setPixmap(imgFuncBack[iIndex]);
    imgFunc->resize(imgFuncBack[iIndex].size());
    imgFunc->show();
    imgFunc->raise();
    iFuncIndex = iIndex;
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == imgFrmBack && event->type() == QEvent::MouseMove) {
        const qint16 iIndex = functionAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        if (iIndex < 0)
            imgFunc->hide();
        else
            selectFunction(iIndex);
    } else if (watched == imgFunc) {
        auto* mouse = dynamic_cast<QMouseEvent*>(event);
        if (!mouse)
            return QWidget::eventFilter(watched, event);
        switch (event->type()) {
        case QEvent::MouseMove: {
            // The highlight covers the top of the button below it; moving down there passes it on.
            const QPoint pos = mouse->position().toPoint();
            if (33 < pos.x() && pos.x() < 266 && pos.y() > 70) {
                if (iFuncIndex == 3)
                    selectFunction(1);
                else if (iFuncIndex == 1)
                    selectFunction(0);
            }
            return true;
        }
        case QEvent::MouseButtonPress:
            if (mouse->button() == Qt::LeftButton) {
                imgFunc->setFrameStyle(QFrame::Box | QFrame::Plain);
                imgFunc->setLineWidth(1);
            }
            return true;
        case QEvent::MouseButtonRelease:
            imgFunc->setFrameStyle(QFrame::NoFrame);
            if (mouse->button() == Qt::LeftButton)
                runFunction(iFuncIndex);
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void frmMain::keyPressEvent(QKeyEvent* event) {
    const int iKey = event->key();
    if (iKey == Qt::Key_Return || iKey == Qt::Key_Enter) {
        runFunction(iFuncIndex);
    } else if (iKey == Qt::Key_Left || iKey == Qt::Key_Up || iKey == Qt::Key_Right || iKey == Qt::Key_Down) {
        iFuncIndex = nextFunction(iFuncIndex, iKey);
    } else {
        QWidget::keyPressEvent(event);
        return;
    }
    selectFunction(iFuncIndex);
}

void frmMain::runFunction(qint16 iIndex) {
    const clsSystem& sys = clsSystem::instance();
    const qint16 iID = sys.currentSetId();
    const QString sNotSaved = QStringLiteral("登録／設定がまだおこなわれていません\n\r"
                                             "登録／設定をおこなってから実行してください");
    switch (iIndex) {
    case 0:
        if (!sys.getValueSetting(iID)) {
            showMessage(sNotSaved, sAppTitle, MsgIcon::Exclamation);
        } else if (!sys.getValueTest(iID)) {
            showMessage(
                QStringLiteral("メールチェックがまだおこなわれていないか、\n\r"
                               "メールチェックが正常に終了していません。\n\r"
                               "メールチェックで正常にメールが受信できることを確認してから実行してください"),
                sAppTitle, MsgIcon::Exclamation);
        } else {
            startRunning();
            startCheckTimer();
        }
        break;
    case 1:
        hide();
        openSettingsDialogs(sys.getValueSetSelect() == 1, this);
        show();
        break;
    case 2:
        if (!sys.getValueSetting(iID)) {
            showMessage(sNotSaved, sAppTitle, MsgIcon::Exclamation);
            break;
        }
        hide();
        {
            frmTest test(this);
            test.exec();
        }
        show();
        break;
    case 3:
        endProgram();
        break;
    default:
        break;
    }
}

void frmMain::setTrayPicture(const QPixmap& picture) {
    if (trayIcon)
        trayIcon->setIcon(QIcon(picture));
    if (stsWindow)
        stsWindow->setPicture(picture);
}

void frmMain::startRunning() {
    bStopping = false;
    delete waitPopup;
    waitPopup = new frmTaskBar(this);
    iIconFrame = 0;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        trayIcon = new QSystemTrayIcon(this);
        connect(trayIcon, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context)
                        mnuTray->popup(QCursor::pos());
                });
    } else {
        stsWindow = new frmStatus(mnuTray);
    }
    setTrayPicture(imgList1[detailMode() ? 0 : 1].at(0));
    runStatus = {};
    showRunStatus(std::nullopt);
    if (trayIcon)
        trayIcon->show();
    if (stsWindow)
        stsWindow->show();
    hide();
    state = RunState::Running;
    Timer1->start();
}

void frmMain::startCheckTimer() {
    for (QTimer* timer : {tmrChkMail4Simple, tmrChkMail4Detail})
        timer->stop();
    pendingActions.clear();
    if (detailMode()) {
        detailCycle->start();
        tmrChkMail4Detail->start(60000);
    } else {
        simpleCycle->start();
        tmrChkMail4Simple->start(60000);
    }
}

void frmMain::stopRunning() {
    delete trayIcon;
    trayIcon = nullptr;
    if (stsWindow)
        stsWindow->deleteLater();
    stsWindow = nullptr;
    bStopping = true;
    for (QTimer* timer : {Timer1, tmrChkMail4Simple, tmrChkMail4Detail})
        timer->stop();
    onWorker([this] { Smtp1->Release(); });
    state = RunState::Panel;
    delete waitPopup;
    waitPopup = new frmTaskBar(this);
    // The popup clears the flag after about 2.4 s; the bound only guards against a popup that never does.
    const QDeadlineTimer deadline(10000);
    while (bStopping && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    bStopping = false;
}

void frmMain::showTransferCount() {
    showMessage(QString::number(clsMailTransfer::instance().getTransAll()) +
                QStringLiteral("件のメールを転送しました"));
}

void frmMain::animateTrayIcon() {
    const qint16 iList = detailMode() ? 0 : 1;
    iIconFrame = nextIconFrame(iIconFrame, iList == 0 ? iDetailFrames : iSimpleFrames);
    setTrayPicture(imgList1[iList].at(iIconFrame));
}

void frmMain::checkTimerTick() {
    if (state != RunState::Running)
        return;
    const bool bDetail = detailMode();
    // Counting is cheap and stays here, so a tick with no check due never shows the processing picture.
    if (!(bDetail ? detailCycle->countMinute() : simpleCycle->countMinute()))
        return;
    for (QTimer* timer : {Timer1, tmrChkMail4Simple, tmrChkMail4Detail})
        timer->stop();
    state = RunState::Checking;
    setTrayPicture(imgProcIco);
    iForwardedBefore = clsMailTransfer::instance().getTransAll();
    QMetaObject::invokeMethod(objWorker, [this, bDetail] {
        const CheckOutcome outcome = bDetail ? detailCycle->check() : simpleCycle->check();
        QMetaObject::invokeMethod(
            this, [this, outcome] { finishCheck(outcome); }, Qt::QueuedConnection);
    });
}

void frmMain::finishCheck(CheckOutcome outcome) {
    state = RunState::Running;
    const clsMailTransfer& store = clsMailTransfer::instance();
    showRunStatus(
        runStatus.record(QTime::currentTime(), store.getTransAll() - iForwardedBefore, store.checkReport()));
    switch (outcome) {
    case CheckOutcome::NotDue:
    case CheckOutcome::CarryOn:
        setTrayPicture(imgList1[detailMode() ? 0 : 1].at(iIconFrame));
        (detailMode() ? tmrChkMail4Detail : tmrChkMail4Simple)->start(60000);
        Timer1->start();
        break;
    case CheckOutcome::Pause:
        stopRunning();
        show();
        break;
    case CheckOutcome::Stop:
        stopRunning();
        endNow();
        break;
    case CheckOutcome::ComputerGoingDown:
        endNow();
        break;
    }
    // What the user chose during the check; a command by mail that ended running overrides it.
    const QList<std::function<void()>> actions = std::exchange(pendingActions, {});
    for (const std::function<void()>& action : actions)
        if (state == RunState::Running)
            action();
}

void frmMain::showRunStatus(const std::optional<clsRunStatus::Notice>& notice) {
    if (trayIcon)
        trayIcon->setToolTip(runStatus.toolTip());
    if (stsWindow)
        stsWindow->setStatusText(runStatus.lastCheck());
    // One notice for a run of failures and one when sending works again, never one per check.
    if (notice && trayIcon)
        trayIcon->showMessage(sAppTitle, notice->sText,
                              notice->bWarning ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
}

void frmMain::trayAction(const std::function<void()>& action) {
    if (state == RunState::Checking)
        pendingActions << action;
    else if (state == RunState::Running)
        action();
}

void frmMain::suspend() {
    stopRunning();
    showTransferCount();
    show();
}

void frmMain::endProgram() {
    if (showMessage(QStringLiteral("ペリモメールを終了しますか？"), sAppTitle, MsgIcon::Question,
                    MsgButtons::YesNo) == MsgAnswer::No)
        return;
    if (state == RunState::Running) {
        stopRunning();
        showTransferCount();
    }
    endNow();
}

void frmMain::endNow() {
    for (QTimer* timer : {Timer1, tmrChkMail4Simple, tmrChkMail4Detail})
        timer->stop();
    delete trayIcon;
    trayIcon = nullptr;
    delete stsWindow;
    state = RunState::Ended;
    Q_EMIT programEnded();
    close();
    quitProgram(0);
}
