#include "shell/frmMain.h"

#include "shell/mdlCommon.h"
#include "shell/mdlLog.h"
#include "shell/mdlMessage.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

frmMain::frmMain(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(sAppTitle);
    setAttribute(Qt::WA_DeleteOnClose);

    // Every run starts with empty logs.
    clearLogs();
    writeStartLogLines(sSmtpLogFile, sPop3LogFile);

    setBackground(this, loadPicture(QStringLiteral("main")));
    auto* title = new QLabel(sAppTitle, this);
    title->setGeometry(20, 20, width() - 40, 24);
    title->setAttribute(Qt::WA_TransparentForMouseEvents);
    btnEnd = new QPushButton(QStringLiteral("終了"), this);
    btnEnd->setObjectName(QStringLiteral("btnEnd"));
    btnEnd->setGeometry(width() - 100, height() - 44, 80, 28);
    connect(btnEnd, &QPushButton::clicked, this, &frmMain::endProgram);
    roundWindow(this, 30, 30);
    placeWindow(1, this);
}

void frmMain::endProgram() {
    if (showMessage(QStringLiteral("ペリモメールを終了しますか？"), sAppTitle, MsgIcon::Question,
                    MsgButtons::YesNo) == MsgAnswer::No)
        return;
    close();
    QApplication::exit(0);
}
