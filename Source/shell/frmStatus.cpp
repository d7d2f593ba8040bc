#include "shell/frmStatus.h"

#include "base/mdlMessage.h"
#include "ui/mdlCommon.h"

#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

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

    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 4, 4);
    auto* row = new QHBoxLayout;
    row->addWidget(imgIcon);
    row->addWidget(title);
    row->addWidget(btnMenu);
    layout->addLayout(row);
    layout->addWidget(lblStatus);
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

void frmStatus::setStatusText(const QString& sText) {
    lblStatus->setText(sText);
    lblStatus->setVisible(!sText.isEmpty());
    // Grown upwards and leftwards, so that it stays in its corner.
    const QRect before = geometry();
    adjustSize();
    move(before.right() - width() + 1, before.bottom() - height() + 1);
}

void frmStatus::popupMenu(const QPoint& globalPos) {
    if (!mnuTray)
        return;
    // Where windows do not know their place on the screen (Wayland), a popup is placed against its parent
    // window: this one, not the hidden main window the menu belongs to.
    mnuTray->winId();
    if (QWindow* menuWindow = mnuTray->windowHandle())
        menuWindow->setTransientParent(window()->windowHandle());
    const QSize size = mnuTray->sizeHint();
    QScreen* screen = QGuiApplication::screenAt(globalPos);
    const QRect area = (screen ? screen : this->screen())->availableGeometry();
    QPoint pos = globalPos;
    // No room below the point (the window sits in the bottom corner): the menu opens upwards.
    if (pos.y() + size.height() > area.bottom() + 1)
        pos.setY(globalPos.y() - size.height());
    pos.setX(std::clamp(pos.x(), area.left(), std::max(area.left(), area.right() + 1 - size.width())));
    pos.setY(std::clamp(pos.y(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height())));
    mnuTray->popup(pos);
}

void frmStatus::contextMenuEvent(QContextMenuEvent* event) {
    popupMenu(event->globalPos());
}
