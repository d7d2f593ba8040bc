#include "ui/mdlCommon.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QScreen>
#include <QSvgRenderer>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace {
QRect screenOf(QWidget* form) {
    QScreen* screen = form->screen() ? form->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

// Moves the form while the left button is held on its handle. Under Wayland the compositor moves it instead.
class DragFilter : public QObject {
public:
    DragFilter(QWidget* handle, QWidget* form) : QObject(handle), form(form) {
        // The window system reports no button release after its own move; the window is pulled back on
        // screen once it has stopped moving for a moment.
        settle.setSingleShot(true);
        settle.setInterval(250);
        QObject::connect(&settle, &QTimer::timeout, this, [this] { keepOnScreen(this->form); });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == form) {
            if (event->type() == QEvent::Move && systemMove)
                settle.start();
            return false;
        }
        switch (event->type()) {
        case QEvent::MouseButtonPress: {
            auto* e = static_cast<QMouseEvent*>(event);
            if (!(e->buttons() & Qt::LeftButton))
                return false;
            // The window system moves the window itself where it can; elsewhere (no window manager) we do.
            if (form->windowHandle() && form->windowHandle()->startSystemMove()) {
                if (!systemMove) {
                    systemMove = true;
                    form->installEventFilter(this);
                }
                return true;
            }
            dragging = true;
            grabOffset = e->globalPosition().toPoint() - form->pos();
            return true;
        }
        case QEvent::MouseMove:
            if (dragging)
                form->move(static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - grabOffset);
            return dragging;
        case QEvent::MouseButtonRelease:
            if (!dragging)
                return false;
            dragging = false;
            keepOnScreen(form);
            return true;
        default:
            return false;
        }
    }

private:
    QWidget* form;
    bool dragging = false;
    bool systemMove = false;
    QPoint grabOffset;
    QTimer settle;
};
} // namespace

void placeWindow(qint16 iMode, QWidget* form) {
    if (!form)
        return;
    QRect screen = screenOf(form);
    if (iMode == 1)
        form->move(screen.x() + screen.width() / 2 - form->width() / 2,
                   screen.y() + screen.height() / 2 - form->height() / 2);
    else if (iMode == 2)
        form->move(screen.topLeft());
}

void roundWindow(QWidget* form, qint16 iCornerWidth, qint16 iCornerHeight) {
    if (!form)
        return;
    if (form->width() <= 2 || form->height() <= 2) {
        form->clearMask();
        return;
    }
    QPainterPath path;
    path.addRoundedRect(QRectF(2, 2, form->width() - 2, form->height() - 2), iCornerWidth / 2.0,
                        iCornerHeight / 2.0);
    form->setMask(QRegion(path.toFillPolygon().toPolygon()));
}

void dragWindow(QWidget* form, Qt::MouseButtons buttons) {
    if (!form || !(buttons & Qt::LeftButton) || !form->windowHandle())
        return;
    form->windowHandle()->startSystemMove();
}

void keepOnScreen(QWidget* form) {
    if (!form)
        return;
    QRect screen = screenOf(form);
    int iLeft = form->x() - screen.x();
    int iTop = form->y() - screen.y();
    if (iLeft > 0) {
        if (iLeft + form->width() >= screen.width())
            iLeft = screen.width() - form->width();
    } else {
        iLeft = 0;
    }
    if (iTop > 0) {
        if (iTop + form->height() >= screen.height())
            iTop = screen.height() - form->height();
    } else {
        iTop = 0;
    }
    form->move(screen.x() + iLeft, screen.y() + iTop);
}

void makeDragHandle(QWidget* handle, QWidget* form) {
    handle->installEventFilter(new DragFilter(handle, form));
}

QPixmap loadPicture(const QString& sName) {
    // The pictures sit in a static library; the linker keeps them only when asked for by name.
    static const bool bResources = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(bResources);
    QSvgRenderer renderer(QStringLiteral(":/images/") + sName + QStringLiteral(".svg"));
    if (!renderer.isValid())
        return QPixmap();
    QPixmap picture(renderer.defaultSize());
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    renderer.render(&painter);
    return picture;
}

QLabel* setBackground(QWidget* form, const QPixmap& picture) {
    form->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    auto* back = new QLabel(form);
    back->setObjectName(QStringLiteral("imgFrmBack"));
    back->setPixmap(picture);
    back->move(0, 0);
    back->resize(picture.size());
    if (!picture.isNull())
        form->setFixedSize(picture.size());
    makeDragHandle(back, form);
    return back;
}
