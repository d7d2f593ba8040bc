#pragma once

#include "engine/Pop3Client.h"

#include <QDialog>
#include <QString>
#include <QStringList>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QThread;

// The mail check test window: visits one POP3 mailbox of the settings set in force, tells whether connecting
// and logging in work, shows how many messages wait and previews them one per page. The outcome is stored as
// the test result of that set.
class frmTest : public QDialog {
    Q_OBJECT
public:
    explicit frmTest(QWidget* parent = nullptr);
    ~frmTest() override;

    // True while a window of this kind is open.
    static bool bActive;

    // Previews held at most; a larger mailbox is still counted in full.
    static constexpr qint32 iMaxPreviews = 1000;

    // One visit of the mailbox in the fields, on a worker thread while the window stays responsive; shows the
    // report and answers whether the mailbox could be read. Closing the window gives the visit up: false, and
    // no report.
    bool runMailCheck();
    // Copies the account selected in the list into the fields.
    void takeAccount();
    // Index 0 steps back, 1 steps on; nothing happens at either end.
    void stepPage(qint16 iIndex);
    bool isChecking() const { return thrCheck != nullptr; }
    // The preview of message k as built, CR LF line ends included; empty when it could not be read.
    QString preview(qint32 k) const;

    // Closing in any way (button, Escape, close()) gives a running check up.
    void done(int iResult) override;

    // The window's own POP3 component. While a check runs only the worker thread uses it (abort() excepted).
    Pop3Client Pop31;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The account to visit, and what the worker found there; read by the interface thread once the worker
    // has ended.
    struct Visit {
        QString sServer;
        QString sUser;
        QString sPassword;
        bool bConnected = false;
        bool bLoggedIn = false;
        bool bCounted = false;
        qint32 iCount = 0;
        QStringList sPreviews;
        // Why connecting or logging in failed, in the component's words.
        QString sReason;
        // The send server of the set, tried as a check would once the mailbox was read; nothing is sent.
        QString sSmtpServer;
        bool bSmtpTried = false;
        qint32 lSmtpError = 0;
        QString sSmtpReason;
    };

    void layoutTest();
    void fillServerChoice();
    void checkClicked();
    // Worker thread only.
    void visitMailbox(Visit& visit);
    static void trySendServer(Visit& visit);
    QStringList buildPreviews(qint32 iCount);
    void showPage();
    void showProgress(qint32 iDone, qint32 iTotal);

    qint16 iSetId = 0;
    QString sTestPassword;
    QStringList sPreviews;
    qint32 iCurrentPage = 0;
    qint32 iMessageCount = 0;
    QThread* thrCheck = nullptr;
    bool bGivenUp = false;

    QLabel* imgFrmBack = nullptr;
    QLabel* lblTxt1[3] = {nullptr, nullptr, nullptr};
    QLineEdit* txt1[3] = {nullptr, nullptr, nullptr};
    QListWidget* lst1 = nullptr;
    QLabel* imgMask = nullptr;
    QPushButton* btn1[2] = {nullptr, nullptr};
    QLabel* lvlNumber = nullptr;
    QLabel* lvlLimit = nullptr;
    QLabel* lvlPage = nullptr;
    QPushButton* btnPage[2] = {nullptr, nullptr};
    QPlainTextEdit* txt2 = nullptr;
    QPushButton* btn2 = nullptr;
};
