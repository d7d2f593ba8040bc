#pragma once

#include <QWidget>

class QPushButton;

// The main window. For now it only shows that the program runs and offers to end it.
class frmMain : public QWidget {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);

    // Trace paths the mail components take as their log files; empty means no trace.
    QString sSmtpLogFile;
    QString sPop3LogFile;

    void endProgram();

private:
    QPushButton* btnEnd = nullptr;
};
