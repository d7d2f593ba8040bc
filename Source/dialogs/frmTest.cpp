#include "dialogs/frmTest.h"

#include "base/mdlGlobals.h"
#include "base/mdlLog.h"
#include "base/mdlMessage.h"
#include "dialogs/mdlSetCommon.h"
#include "engine/SmtpClient.h"
#include "engine/clsRunStatus.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"
#include "ui/mdlCommon.h"

#include <QApplication>
#include <QEventLoop>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QThread>
#include <QVBoxLayout>

#include <memory>

namespace {
const QString sCrLf = QStringLiteral("\r\n");

QLabel* label(const QString& sText, QWidget* parent, const QString& sName = QString()) {
    auto* item = new QLabel(sText, parent);
    if (!sName.isEmpty())
        item->setObjectName(sName);
    return item;
}

QPushButton* button(const QString& sText, QWidget* parent, const QString& sName) {
    auto* item = new QPushButton(sText, parent);
    item->setObjectName(sName);
    item->setAutoDefault(false);
    return item;
}
} // namespace

bool frmTest::bActive = false;

frmTest::frmTest(QWidget* parent) : QDialog(parent) {
    bActive = true;
    setObjectName(QStringLiteral("frmTest"));
    setWindowTitle(sAppTitle);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setModal(true);

    iSetId = clsSystem::instance().currentSetId();
    layoutTest();
    roundWindow(this, 30, 30);
    placeWindow(1, this);

    for (QLineEdit* field : txt1)
        field->clear();
    txt2->clear();
    fillServerChoice();
}

frmTest::~frmTest() {
    // Pop31 goes with the window, so a visit still running must be over first.
    if (thrCheck) {
        Pop31.abort();
        thrCheck->wait();
    }
    bActive = false;
}

void frmTest::layoutTest() {
    imgFrmBack = new QLabel(this);
    imgFrmBack->setObjectName(QStringLiteral("imgFrmBack"));
    imgFrmBack->setPixmap(loadPicture(QStringLiteral("test")));
    makeDragHandle(imgFrmBack, this);

    const QString sCaption[3] = {QStringLiteral("受信(POP3)サーバ名"), QStringLiteral("ユーザＩＤ"),
                                 QStringLiteral("メールアドレス")};
    const QFontMetrics metrics(font());
    for (int i = 0; i < 3; ++i) {
        lblTxt1[i] = label(sCaption[i], this, QStringLiteral("lblTxt1_%1").arg(i));
        txt1[i] = new QLineEdit(this);
        txt1[i]->setObjectName(QStringLiteral("txt1_%1").arg(i));
        // The fields show what is tested; the password comes with them from the settings, so they are not
        // edited here.
        txt1[i]->setReadOnly(true);
        txt1[i]->setMinimumWidth(metrics.horizontalAdvance(QLatin1Char('x')) * 26);
        lblTxt1[i]->setBuddy(txt1[i]);
    }

    lst1 = new QListWidget(this);
    lst1->setObjectName(QStringLiteral("lst1"));
    imgMask = label(QStringLiteral("簡易版の設定でチェックします"), this, QStringLiteral("imgMask"));
    imgMask->setAlignment(Qt::AlignCenter);
    imgMask->setWordWrap(true);
    imgMask->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    for (QWidget* place : QList<QWidget*>{lst1, imgMask}) {
        place->setFixedWidth(metrics.horizontalAdvance(QLatin1Char('x')) * 34);
        place->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    }

    btn1[0] = button(QStringLiteral("← 選択"), this, QStringLiteral("btn1_0"));
    btn1[1] = button(QStringLiteral("チェック開始"), this, QStringLiteral("btn1_1"));

    lvlNumber = label(QString(), this, QStringLiteral("lvlNumber"));
    // Room for any count, so the row never has to squeeze the texts beside it.
    lvlNumber->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("000000")));
    lvlLimit = label(QStringLiteral("先頭の%1通を表示しています").arg(iMaxPreviews), this,
                     QStringLiteral("lvlLimit"));
    lvlPage = label(QString(), this, QStringLiteral("lvlPage"));
    lvlPage->setAlignment(Qt::AlignCenter);
    lvlPage->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("0000/0000")));
    btnPage[0] = button(QStringLiteral("前のメール"), this, QStringLiteral("btnPage0"));
    btnPage[1] = button(QStringLiteral("次のメール"), this, QStringLiteral("btnPage1"));

    txt2 = new QPlainTextEdit(this);
    txt2->setObjectName(QStringLiteral("txt2"));
    txt2->setReadOnly(true);
    // Wide enough for the rule line of a preview; taller than the account block.
    const int iFrame = 2 * txt2->frameWidth() + 2 * int(txt2->document()->documentMargin());
    txt2->setMinimumWidth(metrics.horizontalAdvance(QString(53, QLatin1Char('='))) + iFrame +
                          txt2->verticalScrollBar()->sizeHint().width());
    txt2->setMinimumHeight(metrics.lineSpacing() * 14 + iFrame);

    btn2 = button(QStringLiteral("閉じる"), this, QStringLiteral("btn2"));

    auto* title = new QHBoxLayout;
    title->addWidget(imgFrmBack);
    title->addStretch(1);

    auto* account = new QGridLayout;
    for (int i = 0; i < 3; ++i) {
        account->addWidget(lblTxt1[i], i, 0);
        account->addWidget(txt1[i], i, 1);
    }
    account->addWidget(btn1[1], 3, 1, Qt::AlignRight);
    account->addWidget(btn1[0], 0, 2, Qt::AlignTop);
    account->addWidget(lst1, 0, 3, 4, 1);
    account->addWidget(imgMask, 0, 3, 4, 1);
    account->setColumnStretch(1, 1);

    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);

    auto* count = new QHBoxLayout;
    count->addWidget(label(QStringLiteral("受信メール数："), this));
    count->addWidget(lvlNumber);
    count->addSpacing(metrics.horizontalAdvance(QLatin1Char('x')) * 2);
    count->addWidget(lvlLimit);
    count->addStretch(1);
    count->addWidget(btnPage[0]);
    count->addWidget(lvlPage);
    count->addWidget(btnPage[1]);

    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(btn2);

    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(16, 12, 16, 16);
    form->addLayout(title);
    form->addLayout(account);
    form->addWidget(rule);
    form->addLayout(count);
    form->addWidget(txt2, 1);
    form->addLayout(bottom);

    // The simple set has one account and no own address: its fields are filled at once.
    const bool bDetail = iSetId == clsSystem::ID_DETAIL;
    lblTxt1[2]->setVisible(bDetail);
    txt1[2]->setVisible(bDetail);
    lst1->setVisible(bDetail);
    btn1[0]->setVisible(bDetail);
    imgMask->setVisible(!bDetail);

    connect(btn1[0], &QPushButton::clicked, this, &frmTest::takeAccount);
    connect(lst1, &QListWidget::itemDoubleClicked, this, &frmTest::takeAccount);
    connect(btn1[1], &QPushButton::clicked, this, &frmTest::checkClicked);
    connect(btnPage[0], &QPushButton::clicked, this, [this] { stepPage(0); });
    connect(btnPage[1], &QPushButton::clicked, this, [this] { stepPage(1); });
    connect(btn2, &QPushButton::clicked, this, &QWidget::close);

    // The page controls appear after a check; their room is kept from the start so the size never changes,
    // as the rounded outline is cut for this size.
    for (QWidget* item : QList<QWidget*>{lvlPage, btnPage[0], btnPage[1], lvlLimit}) {
        QSizePolicy policy = item->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        item->setSizePolicy(policy);
        item->hide();
    }
    setFixedSize(sizeHint());
    btn1[1]->setFocus();
}

void frmTest::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x4a, 0x8c, 0xc2), 2));
    painter.setBrush(QColor(0xf2, 0xf8, 0xfe));
    painter.drawRoundedRect(QRectF(rect()).adjusted(3, 3, -1, -1), 15, 15);
}

void frmTest::fillServerChoice() {
    if (iSetId == clsSystem::ID_SIMPLE) {
        const clsSet2& set = clsSet2::instance();
        txt1[0]->setText(set.getValue(1).toString());
        txt1[1]->setText(decodePassWord(set.getValue(2).toString()));
        sTestPassword = decodePassWord(set.getValue(3).toString());
        return;
    }
    const clsSRV1& servers = clsSet1::instance().SRV1();
    const int iRows = servers.getValue(1).toInt();
    for (int r = 0; r < iRows; ++r)
        lst1->addItem(joinColumns(
            1, 2, {servers.getValue(2, {r, 0}).toString(), servers.getValue(2, {r, 3}).toString()}));
}

void frmTest::takeAccount() {
    const int r = lst1->currentRow();
    if (r < 0 || isChecking())
        return;
    const clsSRV1& servers = clsSet1::instance().SRV1();
    txt1[0]->setText(servers.getValue(2, {r, 0}).toString());
    txt1[1]->setText(decodePassWord(servers.getValue(2, {r, 1}).toString()));
    txt1[2]->setText(servers.getValue(2, {r, 3}).toString());
    sTestPassword = decodePassWord(servers.getValue(2, {r, 2}).toString());
}

void frmTest::checkClicked() {
    if (isChecking())
        return;
    if (sTestPassword.isEmpty() || txt1[1]->text().isEmpty() || txt1[0]->text().isEmpty()) {
        showMessage(QStringLiteral("受信(POP3)サーバが選択されていません"), sAppTitle, MsgIcon::Information);
        return;
    }
    // A check given up by closing the window counts as failed: nothing has shown that the settings work.
    const qint16 iId = iSetId;
    const bool bResult = runMailCheck();
    clsSystem& sys = clsSystem::instance();
    sys.setValueTest(bResult, iId);
    sys.saveRegTest(sSettingsName, iId);
}

bool frmTest::runMailCheck() {
    if (isChecking())
        return false;
    Pop31.SessionMode = 1;
    QString sReport = QStringLiteral("メールチェックは正常に終了しました");
    bool bResult = false;
    txt2->clear();
    lvlNumber->clear();
    sPreviews.clear();
    iCurrentPage = 0;
    iMessageCount = 0;
    for (QWidget* item : QList<QWidget*>{lvlPage, btnPage[0], btnPage[1], lvlLimit})
        item->hide();

    Visit visit;
    visit.sServer = txt1[0]->text();
    visit.sUser = txt1[1]->text();
    visit.sPassword = sTestPassword;
    visit.sSmtpServer = iSetId == clsSystem::ID_SIMPLE
                            ? clsSet2::instance().getValue(4).toString()
                            : clsSet1::instance().SRV2().getValue(2, {0, 0}).toString();
    bGivenUp = false;
    Pop31.clearAbort();
    for (QWidget* item : QList<QWidget*>{btn1[0], btn1[1], lst1})
        item->setEnabled(false);
    {
        const WaitCursor hourglass;
        const QPointer<frmTest> self(this);
        QEventLoop loop;
        std::unique_ptr<QThread> worker(QThread::create([this, &visit] { visitMailbox(visit); }));
        connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
        thrCheck = worker.get();
        worker->start();
        loop.exec();
        worker->wait();
        if (!self)
            return false;
        thrCheck = nullptr;
    }
    for (QWidget* item : QList<QWidget*>{btn1[0], btn1[1], lst1})
        item->setEnabled(true);
    if (bGivenUp) {
        txt2->clear();
        lvlNumber->clear();
        return false;
    }

    if (!visit.bConnected) {
        sReport = QStringLiteral("受信(POP3)サーバへの接続に失敗しました") + sCrLf +
                  QStringLiteral("受信(POP3)サーバの設定が正しくおこなわれているか確認して下さい");
    } else if (!visit.bLoggedIn) {
        sReport = QStringLiteral("ユーザ認証に失敗しました") + sCrLf +
                  QStringLiteral("ユーザＩＤ、パスワードが正しく設定されているか確認して下さい");
    } else if (visit.bCounted) {
        iMessageCount = visit.iCount;
        lvlNumber->setText(QString::number(iMessageCount));
        if (iMessageCount < 1) {
            txt2->setPlainText(QStringLiteral("メールは１通も届いていません"));
        } else {
            sPreviews = visit.sPreviews;
            iCurrentPage = 1;
            showPage();
            const bool bPages = sPreviews.size() > 1;
            lvlPage->setVisible(bPages);
            btnPage[0]->setVisible(bPages);
            btnPage[1]->setVisible(bPages);
            lvlLimit->setVisible(iMessageCount > iMaxPreviews);
        }
        bResult = true;
    }
    // A closed port and an untrusted certificate call for different remedies.
    if (!visit.sReason.isEmpty())
        sReport += sCrLf + QStringLiteral("理由: ") + visit.sReason;
    // The verdict stays the mailbox's; a send server that will not take mail is said beside it.
    if (visit.bSmtpTried)
        sReport += sCrLf + QStringLiteral("送信(SMTP)サーバ: ") +
                   (visit.lSmtpError == 0 ? QStringLiteral("接続と認証を確認しました")
                                          : clsRunStatus::sendFailureWords(visit.lSmtpError) +
                                                QStringLiteral(" (") + visit.sSmtpReason + u')');
    showMessage(sReport, sAppTitle, MsgIcon::Information);
    return bResult;
}

void frmTest::visitMailbox(Visit& visit) {
    // The trace helps most when a check fails, so it is written whenever its switch is on.
    Pop31.LogFile = clsSystem::instance().Pop3Log ? logPath(QStringLiteral("PLPop3.log")) : QString();
    visit.bConnected = Pop31.Connect(visit.sServer) != 0;
    if (!visit.bConnected)
        visit.sReason = Pop31.LastErrorText();
    if (visit.bConnected) {
        visit.bLoggedIn = Pop31.Login(visit.sUser, visit.sPassword) != 0;
        if (!visit.bLoggedIn)
            visit.sReason = Pop31.LastErrorText();
        if (visit.bLoggedIn) {
            if (Pop31.Stat() && Pop31.StatusCode() == 1) {
                visit.bCounted = true;
                visit.iCount = Pop31.MessageCount(1);
                // The count is known long before a large mailbox has been read.
                QMetaObject::invokeMethod(
                    this,
                    [this, iCount = visit.iCount] {
                        if (isChecking())
                            lvlNumber->setText(QString::number(iCount));
                    },
                    Qt::QueuedConnection);
                if (visit.iCount >= 1)
                    visit.sPreviews = buildPreviews(visit.iCount);
            }
            Pop31.Quit();
        }
    }
    // The socket was made on this thread and is let go here, after a failed connect too.
    Pop31.Disconnect();
    if (visit.bCounted && !Pop31.isAborted() && !visit.sSmtpServer.trimmed().isEmpty())
        trySendServer(visit);
}

void frmTest::trySendServer(Visit& visit) {
    SmtpClient smtp;
    // A window waits on this: shorter limits than a check's.
    smtp.ConnectTimeout = 20;
    smtp.ReplyTimeout = 20;
    smtp.LogFile = clsSystem::instance().SmtpLog ? logPath(QStringLiteral("PLSmtp.log")) : QString();
    // The receive account signs in to the send server, as in a check.
    smtp.setCredentials(visit.sUser, visit.sPassword);
    visit.bSmtpTried = true;
    if (smtp.ConnectHost(visit.sSmtpServer) == 1 && smtp.Helo(visit.sSmtpServer) == 1) {
        // A check goes on without the refused login, but the server may well want it for the mail.
        if (!smtp.authRefusal().isEmpty()) {
            visit.lSmtpError = SmtpClient::AuthFailed;
            visit.sSmtpReason = smtp.authRefusal();
        }
        smtp.Quit();
    } else {
        visit.lSmtpError = smtp.LastError() != 0 ? smtp.LastError() : qint32(SmtpClient::ServerError);
        visit.sSmtpReason = smtp.LastErrorText();
    }
    smtp.Release();
}

QStringList frmTest::buildPreviews(qint32 iCount) {
    const QString sRule(53, QLatin1Char('='));
    const qint32 iHeld = qMin(iCount, iMaxPreviews);
    QStringList previews;
    previews.reserve(iHeld);
    for (qint32 k = 1; k <= iHeld && !Pop31.isAborted(); ++k) {
        QString sPreview;
        if (Pop31.Retrieve(k)) {
            Pop31.ParseMessage();
            sPreview = sRule + sCrLf + QStringLiteral("差出人：") + Pop31.FromAddress() +
                       QStringLiteral("    ") + QStringLiteral("宛先：") + Pop31.ToAddress(1) + sCrLf +
                       QStringLiteral("件名：") + Pop31.Subject() + sCrLf + sRule + sCrLf + Pop31.Body();
        }
        previews << sPreview;
        QMetaObject::invokeMethod(
            this, [this, k, iHeld] { showProgress(k, iHeld); }, Qt::QueuedConnection);
    }
    return previews;
}

void frmTest::showProgress(qint32 iDone, qint32 iTotal) {
    // A late report must not overwrite what the finished check shows.
    if (isChecking())
        txt2->setPlainText(QStringLiteral("メールを読み込んでいます… %1/%2").arg(iDone).arg(iTotal));
}

void frmTest::showPage() {
    txt2->setPlainText(sPreviews.value(iCurrentPage - 1));
    lvlPage->setText(QStringLiteral("%1/%2").arg(iCurrentPage).arg(sPreviews.size()));
}

void frmTest::stepPage(qint16 iIndex) {
    // The pages are the previews held: every message up to the limit.
    if (iIndex == 0 && iCurrentPage > 1)
        --iCurrentPage;
    else if (iIndex == 1 && iCurrentPage < sPreviews.size())
        ++iCurrentPage;
    else
        return;
    showPage();
}

QString frmTest::preview(qint32 k) const {
    return sPreviews.value(k - 1);
}

void frmTest::done(int iResult) {
    if (isChecking()) {
        bGivenUp = true;
        Pop31.abort();
    }
    QDialog::done(iResult);
}
