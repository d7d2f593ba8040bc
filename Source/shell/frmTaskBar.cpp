#include "shell/frmTaskBar.h"

#include "base/mdlGlobals.h"
#include "base/mdlMessage.h"
#include "settings/clsSet1.h"
#include "settings/clsSystem.h"
#include "system/mdlScreenSaver.h"
#include "ui/mdlCommon.h"

#include <QLabel>
#include <QTimer>

const QString frmTaskBar::sMessage = QStringLiteral("しばらくお待ち下さい");

frmTaskBar::frmTaskBar(QWidget* owner, QWidget* parent) : QWidget(parent), owner(owner) {
    setObjectName(QStringLiteral("frmTaskBar"));
    setWindowTitle(sAppTitle);
    setAttribute(Qt::WA_DeleteOnClose);
    imgFrmBack = setBackground(this, loadPicture(QStringLiteral("taskbar")));

    lvlMessage = new QLabel(this);
    lvlMessage->setObjectName(QStringLiteral("lvlMessage"));
    lvlMessage->setAlignment(Qt::AlignCenter);
    // Measured with the text so that blinking to an empty label does not move the line.
    lvlMessage->setText(sMessage);
    const int iHeight = lvlMessage->sizeHint().height();
    lvlMessage->setGeometry(0, 20 - iHeight / 2, width(), iHeight);
    // The picture stays a drag handle under the label.
    lvlMessage->setAttribute(Qt::WA_TransparentForMouseEvents);

    roundWindow(this, 20, 20);
    placeWindow(1, this);
    show();

    iBlinkCount = 5;
    Timer1 = new QTimer(this);
    Timer1->setInterval(400);
    connect(Timer1, &QTimer::timeout, this, &frmTaskBar::blink);
    Timer1->start();
}

void frmTaskBar::blink() {
    if (iBlinkCount > 0) {
        lvlMessage->setText(lvlMessage->text().isEmpty() ? sMessage : QString());
        --iBlinkCount;
        return;
    }
    Timer1->stop();
    // Only the start of running covers the screen; in the detailed set the user may have turned that off.
    if (!bStopping) {
        if (clsSystem::instance().getValueSetSelect() == 1) {
            if (clsSet1::instance().PAS1().getValue(1).toInt() == 0)
                startScreenSaver(owner);
        } else {
            startScreenSaver(owner);
        }
    }
    bStopping = false;
    Q_EMIT finished();
    close();
}
