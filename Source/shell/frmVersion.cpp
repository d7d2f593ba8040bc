#include "shell/frmVersion.h"

#include "base/mdlMessage.h"
#include "ui/mdlCommon.h"

#include <QLabel>
#include <QPushButton>

frmVersion::frmVersion(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frmVersion"));
    setWindowTitle(sAppTitle);
    setAttribute(Qt::WA_DeleteOnClose);
    imgFrmBack = setBackground(this, loadPicture(QStringLiteral("version")));

    lvlVersion = new QLabel(QStringLiteral("Version 2.0") + QStringLiteral(".1"), this);
    lvlVersion->setObjectName(QStringLiteral("lvlVersion"));
    lvlVersion->move(114, 62);
    lvlVersion->adjustSize();

    const QString sNotice[2] = {QStringLiteral("ペリモメール — メール転送ツール"),
                                QStringLiteral("© 2026 PelimoMail")};
    const int iNoticeTop[2] = {90, 110};
    for (int i = 0; i < 2; ++i) {
        lblNotice[i] = new QLabel(sNotice[i], this);
        lblNotice[i]->setObjectName(QStringLiteral("lblNotice%1").arg(i));
        lblNotice[i]->move(22, iNoticeTop[i]);
        lblNotice[i]->adjustSize();
    }
    // Presses on the texts drag the window as presses on the picture do.
    for (QLabel* label : {lvlVersion, lblNotice[0], lblNotice[1]})
        label->setAttribute(Qt::WA_TransparentForMouseEvents);

    btn1 = new QPushButton(QStringLiteral("O K"), this);
    btn1->setObjectName(QStringLiteral("btn1"));
    btn1->setGeometry(width() - 92, height() - 36, 72, 24);
    btn1->setDefault(true);
    connect(btn1, &QPushButton::clicked, this, &QWidget::close);

    roundWindow(this, 20, 20);
    placeWindow(1, this);
}
