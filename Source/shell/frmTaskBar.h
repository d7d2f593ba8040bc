#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QTimer;

// The please-wait popup shown while running starts or stops: it blinks its message, may start the screen
// saver when running has just started, clears bStopping and removes itself.
class frmTaskBar : public QWidget {
    Q_OBJECT
public:
    // The owner is the window the screen saver is started for; the popup shows itself at once.
    explicit frmTaskBar(QWidget* owner, QWidget* parent = nullptr);

    static const QString sMessage;

Q_SIGNALS:
    // Sent after bStopping is cleared, just before the popup closes.
    void finished();

private:
    void blink();

    QPointer<QWidget> owner;
    QLabel* imgFrmBack = nullptr;
    QLabel* lvlMessage = nullptr;
    QTimer* Timer1 = nullptr;
    qint32 iBlinkCount = 0;
};
