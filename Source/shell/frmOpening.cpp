#include "shell/frmOpening.h"

#include "base/mdlGlobals.h"
#include "base/mdlMessage.h"
#include "engine/clsForwardLedger.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "shell/frmMain.h"
#include "ui/mdlCommon.h"

#include <QLabel>
#include <QTimer>

const QString frmOpening::sAPPName = sSettingsName;

frmOpening::frmOpening(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frmOpening"));
    setWindowTitle(sAppTitle);
    setAttribute(Qt::WA_DeleteOnClose);
    imgFrmBack = setBackground(this, loadPicture(QStringLiteral("opening")));

    lblVer = new QLabel(this);
    lblVer->setObjectName(QStringLiteral("lblVer"));
    lblVer->setGeometry(230, 58, 100, 16);

    lvl1 = new QLabel(this);
    lvl1->setObjectName(QStringLiteral("lvl1"));
    lvl1->setGeometry(90, 93, 210, 14);

    const QString sNotice[2] = {QStringLiteral("このソフトはフリーソフトです。"),
                                QStringLiteral("無断での再配布・転載を禁じます。")};
    const QPoint notice[2] = {{30, 140}, {46, 170}};
    for (int i = 0; i < 2; ++i) {
        lblNotice[i] = new QLabel(sNotice[i], this);
        lblNotice[i]->move(notice[i]);
        lblNotice[i]->adjustSize();
    }
    for (QLabel* label : {lblVer, lvl1, lblNotice[0], lblNotice[1]})
        label->setAttribute(Qt::WA_TransparentForMouseEvents);

    Timer1[0] = new QTimer(this);
    Timer1[0]->setSingleShot(true);
    connect(Timer1[0], &QTimer::timeout, this, &frmOpening::handOver);
    Timer1[1] = new QTimer(this);
    Timer1[1]->setInterval(2500);
    connect(Timer1[1], &QTimer::timeout, this, &frmOpening::showStatus);
}

bool frmOpening::load() {
    if (!acquireSingleInstance()) {
        showMessage(QStringLiteral("すでに起動されています"));
        iExitCode = 0;
        return false;
    }
    lblVer->setText(QStringLiteral("Version 2.0") + QStringLiteral(".1"));
    lvl1->setText(QStringLiteral("設定情報をロードしています"));
    roundWindow(this, 30, 30);
    placeWindow(1, this);
    bWinNT = true;

    clsSystem::instance().loadRegistory(sAPPName);
    // Nobody could do anything in a program whose settings did not load, so it ends after saying so.
    if (!clsSet1::instance().loadRegistory(0, sAPPName) || !clsSet2::instance().loadRegistory(sAPPName)) {
        showMessage(QStringLiteral("設定情報の取得に失敗しました。"));
        iExitCode = 1;
        return false;
    }
    clsSystem::instance().deleteTempFiles(QStringLiteral("*.*"));
    // Said before anything is checked: the user should know why old mail is not forwarded this time.
    const QString sLedgerNote = clsForwardLedger::instance().open();
    if (!sLedgerNote.isEmpty())
        showMessage(sLedgerNote, sAppTitle, MsgIcon::Exclamation);

    Timer1[1]->start();
    Timer1[0]->start(3000);
    return true;
}

void frmOpening::showStatus() {
    lvl1->setText(QStringLiteral("起動しています"));
}

void frmOpening::handOver() {
    Timer1[1]->stop();
    auto* main = new frmMain;
    main->show();
    Q_EMIT handedOver();
    close();
}
