#include "shell/mdlMessageBox.h"

#include "shell/mdlMessage.h"

#include <QMessageBox>

void installMessageBoxes() {
    setMessageHandler([](const QString& sText, const QString& sTitle, MsgIcon icon, MsgButtons buttons) {
        QMessageBox box;
        box.setWindowTitle(sTitle);
        box.setText(sText);
        switch (icon) {
        case MsgIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case MsgIcon::Exclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case MsgIcon::Critical:
            box.setIcon(QMessageBox::Critical);
            break;
        case MsgIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        }
        if (buttons == MsgButtons::YesNo) {
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::No);
            return box.exec() == QMessageBox::No ? MsgAnswer::No : MsgAnswer::Yes;
        }
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return MsgAnswer::Ok;
    });
}
