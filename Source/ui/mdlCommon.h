#pragma once

#include <QPixmap>
#include <QString>
#include <Qt>

class QWidget;
class QLabel;

// Window routines shared by every picture window of the program.
void placeWindow(qint16 iMode, QWidget* form);
void roundWindow(QWidget* form, qint16 iCornerWidth, qint16 iCornerHeight);
void dragWindow(QWidget* form, Qt::MouseButtons buttons);
void keepOnScreen(QWidget* form);

// Lets the user move the form by pressing on the handle and dragging; the form is kept on screen afterwards.
void makeDragHandle(QWidget* handle, QWidget* form);

// A picture of the resources (":/images/<name>.svg") drawn at its own size.
QPixmap loadPicture(const QString& sName);

// Puts a borderless picture window together: the picture fills the window, which takes the picture's size.
QLabel* setBackground(QWidget* form, const QPixmap& picture);
