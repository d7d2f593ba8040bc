#include "shell/frmStatus.h"

#include "shell/mdlCommon.h"
#include "shell/mdlMessage.h"

#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QToolButton>

frmStatus::frmStatus(QMenu* menu, QWidget* parent) : QWidget(parent), mnuTray(menu) {
    setObjectName(QStringLiteral("frmStatus"));
    setWindowTitle(sAppTitle);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_DeleteOnClose);

    imgIcon = new QLabel(this);
    imgIcon->setFixedSize(24, 24);
    imgIcon->setScaledContents(true);
    auto* title = new QLabel(sAppTitle, this);
    btnMenu = new QToolButton(this);
    btnMenu->setObjectName(QStringLiteral("btnMenu"));
    btnMenu->setArrowType(Qt::DownArrow);
    btnMenu->setAutoRaise(true);
    connect(btnMenu, &QToolButton::clicked, this,
            [this] { popupMenu(btnMenu->mapToGlobal(QPoint(0, btnMenu->height()))); });

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 4, 4, 4);
    layout->addWidget(imgIcon);
    layout->addWidget(title);
    layout->addWidget(btnMenu);
    makeDragHandle(title, this);
    adjustSize();

    // Where a tray would be: the bottom right corner of the available area.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.right() - width() - 8, area.bottom() - height() - 8);
    }
}

void frmStatus::setPicture(const QPixmap& picture) {
    imgIcon->setPixmap(picture);
}

void frmStatus::popupMenu(const QPoint& globalPos) {
    if (mnuTray)
        mnuTray->popup(globalPos);
}

void frmStatus::contextMenuEvent(QContextMenuEvent* event) {
    popupMenu(event->globalPos());
}
