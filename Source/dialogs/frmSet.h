#pragma once

#include <QComboBox>
#include <QDialog>
#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QRadioButton;
class QStackedWidget;

// An editable drop-down list that lets its owner refill the entries just before they are shown.
class PopupComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> beforePopup;
    void showPopup() override;
};

// The detailed settings: ten pages, one for each record of the detailed set. The receive server list changes
// its record at once; everything else reaches the records and the store only through OK or 更新.
class frmSet : public QDialog {
    Q_OBJECT
public:
    explicit frmSet(QWidget* parent = nullptr);
    ~frmSet() override;

    // Brings page iIndex (0 to 9) forward with its title.
    void btnTab_Click(int iIndex);

    // True while a window of this kind is open.
    static bool bActive;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    static constexpr int iPages = 10;

    void buildFrame();
    QWidget* buildFilter1();
    QWidget* buildFilter2();
    QWidget* buildWordFilter(int iRecord);
    QWidget* buildReceivePage();
    QWidget* buildSendPage();
    QWidget* buildCheckPage();
    QWidget* buildTimedCheckPage();
    QWidget* buildScreenSaverPage();
    QWidget* buildOptionPage();

    void keepRoomWhenHidden();
    void applyVisibility();
    void showSettings();
    bool storeSettings();
    void saveSettings(bool bClose);
    bool checkSendPage();
    void runMailTest();
    void chooseScreenSaver();
    // Answers false, after the message, when the field's text breaks its rule; the field gets the focus back.
    bool checkFieldOnLeaving(QLineEdit* field);

    // List editors.
    void addWord(QLineEdit* text, QListWidget* list, int iCapacity);
    void addSender();
    static void deleteSelected(QListWidget* list);
    void addReceiveServer();
    void deleteReceiveServer();
    void takeReceiveServer(QListWidgetItem* item);
    void proposeAddress();
    void rebuildSenderChoice();
    void senderChosen(int iIndex);

    QWidget* imgFrmBack = nullptr;
    QLabel* imgTitle = nullptr;
    QPushButton* btnTab[iPages] = {};
    QLabel* lblTabTitle = nullptr;
    QStackedWidget* stkTabs = nullptr;
    QPushButton* btnSystem[3] = {};
    QPushButton* btnSetEasy = nullptr;

    QRadioButton* FIL1_opt1[2] = {};
    QWidget* FIL1_frm2 = nullptr;
    QRadioButton* FIL1_opt2[2] = {};
    QCheckBox* FIL1_opt3 = nullptr;
    QLineEdit* FIL1_txt1 = nullptr;
    QLabel* FIL1_lvl1 = nullptr;
    QCheckBox* FIL1_opt4 = nullptr;
    QWidget* FIL1_frm4 = nullptr;
    QLineEdit* FIL1_txt4 = nullptr;
    QListWidget* FIL1_lst4 = nullptr;
    QCheckBox* chkNullRow = nullptr;

    QCheckBox* FIL2_opt1 = nullptr;
    QWidget* FIL2_frm2 = nullptr;
    QCheckBox* FIL2_chk[4] = {}; // 1 to 3 used, as the items they edit

    // Sender (index 0, page 2) and subject (index 1, page 3) filters.
    QCheckBox* FILW_opt1[2] = {};
    QWidget* FILW_frm1[2] = {};
    QLineEdit* FILW_txt1[2] = {};
    QListWidget* FILW_lst1[2] = {};

    // The messages about a field name it by its label's caption.
    QLabel* SRV1_lbl1[4] = {};
    QLineEdit* SRV1_txt1[4] = {};
    QListWidget* SRV1_lst1 = nullptr;

    QLabel* SRV2_lbl1[6] = {};
    QLineEdit* SRV2_txt1[6] = {};
    QLabel* SRV2_lblComb1 = nullptr;
    PopupComboBox* SRV2_Comb1 = nullptr;
    // The command PIN sits with the forwarding address, since commands come from there.
    QLabel* REMOTE_lbl1 = nullptr;
    QLineEdit* REMOTE_txt1 = nullptr;

    QLineEdit* WTH1_txt1 = nullptr;
    QWidget* WTH1_frm1 = nullptr;
    QRadioButton* WTH1_opt1[2] = {};
    QRadioButton* WTH2_opt1[2] = {};
    QListWidget* WTH2_lst1 = nullptr;

    QCheckBox* PAS1_opt1 = nullptr;
    QPushButton* PAS1_btn1 = nullptr;

    QRadioButton* OPT1_Opt1[2] = {};
    QRadioButton* OPT1_Opt2[2] = {};

    // A receive server was added since the dialog opened or since the last forced test.
    bool bRcvChanged = false;
    bool bCheckingField = false;
};
