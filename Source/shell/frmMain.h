#pragma once

#include "engine/clsRunStatus.h"
#include "engine/mdlCheck.h"
#include "shell/frmStatus.h"

#include <QList>
#include <QPixmap>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

class QLabel;
class QMenu;
class QAction;
class QSystemTrayIcon;
class QThread;
class QTimer;
class Pop3Client;
class SmtpClient;
class clsSimpleCycle;
class clsDetailCycle;
class frmTaskBar;

// The main window: the function panel while idle; while running it hides and the tray icon (or, where no
// tray exists, the status window) carries the menu. Checks run on one worker thread of its own.
class frmMain : public QWidget {
    Q_OBJECT
public:
    enum class RunState { Panel, Running, Checking, Ended };

    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // Trace paths the mail components take as their log files; empty means no trace.
    QString sSmtpLogFile;
    QString sPop3LogFile;

    // Every way out of the program passes here; tests put a recorder in its place.
    static std::function<void(int)> quitProgram;

    // The button under a point of the background picture: 0, 1, 3, or -1 for none.
    static qint16 functionAt(const QPoint& pos);
    // The highlighted button after an arrow key; other keys leave it as it is.
    static qint16 nextFunction(qint16 iCurrent, int iKey);
    // The animation frame after iFrame in a list of iCount pictures (frame n shows picture n + 1).
    static qint16 nextIconFrame(qint16 iFrame, qint16 iCount);

    RunState runState() const { return state; }
    qint16 funcIndex() const { return iFuncIndex; }
    qint16 iconFrame() const { return iIconFrame; }
    frmStatus* statusWindow() const { return stsWindow; }
    QMenu* trayMenu() const { return mnuTray; }

    void selectFunction(qint16 iIndex);
    void runFunction(qint16 iIndex);
    void startRunning();
    void startCheckTimer();
    void stopRunning();
    void showTransferCount();
    void animateTrayIcon();
    // Confirmation, then the end; while running, running is stopped and the count shown first.
    void endProgram();

    // One minute tick of the check timer of the current mode.
    void checkTimerTick();

Q_SIGNALS:
    // Sent just before quitProgram runs.
    void programEnded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildTrayMenu();
    void finishCheck(CheckOutcome outcome);
    void setTrayPicture(const QPixmap& picture);
    void showRunStatus(const std::optional<clsRunStatus::Notice>& notice);
    // Runs the tray item now, or after the check when one is running.
    void trayAction(const std::function<void()>& action);
    void suspend();
    void endNow();
    // Runs on the worker thread and waits for it; only while no check runs.
    void onWorker(const std::function<void()>& work);

    QLabel* imgFrmBack = nullptr;
    QLabel* imgFunc = nullptr;
    QPixmap imgFuncBack[4];
    QPixmap imgProcIco;
    QList<QPixmap> imgList1[2];
    QTimer* Timer1 = nullptr;
    QTimer* tmrChkMail4Simple = nullptr;
    QTimer* tmrChkMail4Detail = nullptr;
    QMenu* mnuTray = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    QPointer<frmStatus> stsWindow;
    // One please-wait popup at a time: a stop ends the start's popup before it can start the screen saver.
    QPointer<frmTaskBar> waitPopup;

    std::unique_ptr<Pop3Client> Pop31;
    std::unique_ptr<SmtpClient> Smtp1;
    std::unique_ptr<clsSimpleCycle> simpleCycle;
    std::unique_ptr<clsDetailCycle> detailCycle;
    QThread* thrCheck = nullptr;
    QObject* objWorker = nullptr;
    QList<std::function<void()>> pendingActions;

    RunState state = RunState::Panel;
    qint16 iFuncIndex = -1;
    qint16 iIconFrame = 0;
    // The last check at a glance, in the tray's tooltip and the status window.
    clsRunStatus runStatus;
    qint32 iForwardedBefore = 0;
};
