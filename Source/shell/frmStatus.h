#pragma once

#include <QWidget>

class QLabel;
class QMenu;
class QToolButton;

// Stands in for the tray icon where the desktop has no tray: a small frameless window showing the icon,
// whose menu (right click or its button) is the tray menu, so running can always be suspended or ended.
class frmStatus : public QWidget {
    Q_OBJECT
public:
    explicit frmStatus(QMenu* menu, QWidget* parent = nullptr);

    void setPicture(const QPixmap& picture);
    // The last check in a line or two, as the tray's tooltip gives it; nothing before the first check.
    void setStatusText(const QString& sText);
    // Opens the menu at the point, moved as needed to lie wholly on the screen.
    void popupMenu(const QPoint& globalPos);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QMenu* mnuTray = nullptr;
    QLabel* imgIcon = nullptr;
    QLabel* lblStatus = nullptr;
    QToolButton* btnMenu = nullptr;
};
