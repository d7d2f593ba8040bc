#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The one-page settings of the simple mode: one POP3 account, one SMTP server, one destination, page size,
// check interval and screen saver. Saving selects the simple mode and, when the receive account changed or
// was never proved, runs the mail check test before the dialog may close. The switch button ends the
// dialog with iSwitchDialog; the caller then opens the detailed dialog.
class frmEasySet : public QDialog {
    Q_OBJECT
public:
    explicit frmEasySet(QWidget* parent = nullptr);
    ~frmEasySet() override;

    // True when every field is acceptable; otherwise reports the first fault and puts the focus there.
    bool checkInput();

    // True while a window of this kind is open.
    static bool bActive;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void layoutEasySet();
    bool showSettings();
    bool storeSettings();
    void updateRcvChanged();
    void leaveField(QLineEdit* field);
    void leaveChkTime();
    void leavePageSize();
    void saveSettings(bool bClose);
    // Shows the mail check test; true when the simple set has passed it afterwards.
    bool runMailCheck();
    void selectScreenSaver();

    QLabel* imgFrmBack = nullptr;
    QLabel* lblRcv[3] = {nullptr, nullptr, nullptr};
    QLabel* Label10 = nullptr;
    QLabel* lblSnd[3] = {nullptr, nullptr, nullptr};
    QLabel* lblChkTime[2] = {nullptr, nullptr};
    QLineEdit* txtRcv[4] = {nullptr, nullptr, nullptr, nullptr};
    QLineEdit* txtSnd[3] = {nullptr, nullptr, nullptr};
    QLineEdit* txtChkTime = nullptr;
    QGroupBox* fraScreenSaver = nullptr;
    QPushButton* btnPassword = nullptr;
    QPushButton* btnSystem[3] = {nullptr, nullptr, nullptr};
    QPushButton* btnSetDetail = nullptr;

    bool bRcvChanged = false;
    // Set while a field's leaving rule runs: the focus moves it causes are not the user leaving a field.
    bool bLeaving = false;
};
