#pragma once

#include <QWidget>

class QLabel;
class QTimer;

// The start-up window: refuses a second instance, loads every setting, empties the temporary folder and hands
// over to the main window after 3 s.
class frmOpening : public QWidget {
    Q_OBJECT
public:
    explicit frmOpening(QWidget* parent = nullptr);

    // Runs the start-up sequence. False when the program must end; then exitCode() says with what.
    bool load();
    int exitCode() const { return iExitCode; }

    static const QString sAPPName;

Q_SIGNALS:
    void handedOver();

private:
    void showStatus();
    void handOver();

    QLabel* imgFrmBack = nullptr;
    QLabel* lblVer = nullptr;
    QLabel* lvl1 = nullptr;
    QLabel* lblNotice[2] = {nullptr, nullptr};
    QTimer* Timer1[2] = {nullptr, nullptr};
    int iExitCode = 0;
};
