// The pages of the detailed settings, the page switch and the rules of the fields checked on leaving them;
// filling the pages from the records and saving them back is in frmSetSave.cpp.

#include "dialogs/frmSet.h"

#include "dialogs/frmFileSelect.h"
#include "dialogs/frmSetShared.h"
#include "dialogs/mdlSetCommon.h"
#include "settings/clsSet1.h"
#include "system/mdlScreenSaver.h"
#include "ui/mdlCommon.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScopedValueRollback>
#include <QStackedWidget>
#include <QVBoxLayout>

using frmSetShared::sApp;
using frmSetShared::tell;

bool frmSet::bActive = false;

namespace {
const char* const sTabCaptions[] = {"フィルタ1",          "フィルタ2",  "フィルタ3",      "フィルタ4",
                                    "受信サーバ",         "送信サーバ", "メールチェック", "監視時間2",
                                    "スクリーンセイバー", "オプション"};
const char* const sTabTitles[] = {"フィルタ１",         "フィルタ２", "フィルタ３",     "フィルタ４",
                                  "受信サーバ",         "送信サーバ", "メールチェック", "メールチェック２",
                                  "スクリーンセイバー", "オプション"};

QCheckBox* checkBox(QWidget* parent, const char* sName, const char* sCaption) {
    auto* box = new QCheckBox(QString::fromUtf8(sCaption), parent);
    box->setObjectName(QString::fromLatin1(sName));
    return box;
}

QLineEdit* lineEdit(QWidget* parent, const QString& sName, const char* sTip = nullptr) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(sName);
    if (sTip)
        edit->setToolTip(QString::fromUtf8(sTip));
    return edit;
}

// A caption and two exclusive options in a box of their own, so that pairs never uncheck each other.
QWidget* optionPair(QWidget* parent, const char* sName, const char* sCaption, const char* sFirst,
                    const char* sSecond, QRadioButton* (&pair)[2]) {
    auto* box = new QWidget(parent);
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    if (sCaption)
        row->addWidget(new QLabel(QString::fromUtf8(sCaption), box));
    const char* sOptions[2] = {sFirst, sSecond};
    for (int i = 0; i < 2; ++i) {
        pair[i] = new QRadioButton(QString::fromUtf8(sOptions[i]), box);
        pair[i]->setObjectName(QStringLiteral("%1_%2").arg(QString::fromLatin1(sName)).arg(i));
        row->addWidget(pair[i]);
    }
    row->addStretch(1);
    return box;
}

// Text field, 追加/削除 buttons and list box of a list editor.
QWidget* listEditor(QWidget* parent, const QString& sPrefix, const char* sCaption, const char* sNote,
                    QLineEdit*& text, QPushButton* (&buttons)[2], QListWidget*& list) {
    auto* frame = new QWidget(parent);
    auto* grid = new QGridLayout(frame);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(new QLabel(QString::fromUtf8(sCaption), frame), 0, 0);
    grid->addWidget(text, 1, 0, Qt::AlignTop);
    const QString sButtonCaptions[2] = {QStringLiteral("追加 →"), QStringLiteral("← 削除")};
    auto* column = new QVBoxLayout;
    for (int i = 0; i < 2; ++i) {
        buttons[i] = new QPushButton(sButtonCaptions[i], frame);
        buttons[i]->setObjectName(sPrefix + QStringLiteral("_%1").arg(i));
        column->addWidget(buttons[i]);
    }
    column->addStretch(1);
    grid->addLayout(column, 1, 1);
    grid->addWidget(list, 0, 2, 2, 1);
    list->setMinimumHeight(120);
    grid->addWidget(new QLabel(QString::fromUtf8(sNote), frame), 2, 0, 1, 3);
    return frame;
}

QWidget* indented(QWidget* inner) {
    inner->layout()->setContentsMargins(24, 0, 0, 0);
    return inner;
}
} // namespace

frmSet::frmSet(QWidget* parent) : QDialog(parent) {
    bActive = true;
    bRcvChanged = false;
    setObjectName(QStringLiteral("frmSet"));
    setWindowTitle(sAppTitle);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    buildFrame();
    keepRoomWhenHidden();
    applyVisibility();
    adjustSize();
    placeWindow(1, this);

    if (!clsSet1::instance().loadRegistory(0, sApp))
        tell(QStringLiteral("設定情報の取得に失敗しました。"));
    else
        showSettings();
    btnTab_Click(0);
}

frmSet::~frmSet() {
    bActive = false;
}

void frmSet::buildFrame() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    // The window takes the size its texts need, at any font size or scale.
    outer->setSizeConstraint(QLayout::SetFixedSize);
    imgFrmBack = new QWidget(this);
    imgFrmBack->setObjectName(QStringLiteral("imgFrmBack"));
    imgFrmBack->setAutoFillBackground(true);
    QPalette back = imgFrmBack->palette();
    back.setColor(QPalette::Window, QColor(0xe8, 0xf4, 0xff));
    imgFrmBack->setPalette(back);
    outer->addWidget(imgFrmBack);
    // Presses that no control takes arrive here, so the whole background moves the window.
    makeDragHandle(imgFrmBack, this);

    auto* form = new QVBoxLayout(imgFrmBack);
    form->setContentsMargins(18, 14, 18, 18);
    imgTitle = new QLabel(imgFrmBack);
    imgTitle->setObjectName(QStringLiteral("imgTitle"));
    imgTitle->setPixmap(loadPicture(QStringLiteral("set")));
    makeDragHandle(imgTitle, this);
    form->addWidget(imgTitle, 0, Qt::AlignHCenter);

    auto* tabs = new QHBoxLayout;
    for (int i = 0; i < iPages; ++i) {
        btnTab[i] = new QPushButton(QString::fromUtf8(sTabCaptions[i]), imgFrmBack);
        btnTab[i]->setObjectName(QStringLiteral("btnTab%1").arg(i));
        btnTab[i]->setCheckable(true);
        btnTab[i]->setAutoDefault(false);
        // Picture buttons: choosing a page leaves the focus, and so the field rules, where they are.
        btnTab[i]->setFocusPolicy(Qt::NoFocus);
        connect(btnTab[i], &QPushButton::clicked, this, [this, i] { btnTab_Click(i); });
        tabs->addWidget(btnTab[i]);
    }
    // The timed windows and the options are kept as stored but not offered; 8 moves up into 7's place.
    btnTab[7]->hide();
    btnTab[9]->hide();
    form->addLayout(tabs);

    lblTabTitle = new QLabel(imgFrmBack);
    lblTabTitle->setObjectName(QStringLiteral("lblTabTitle"));
    QFont titleFont = lblTabTitle->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.2);
    lblTabTitle->setFont(titleFont);
    form->addWidget(lblTabTitle);

    stkTabs = new QStackedWidget(imgFrmBack);
    stkTabs->setObjectName(QStringLiteral("stkTabs"));
    QWidget* pages[iPages] = {
        buildFilter1(),  buildFilter2(),   buildWordFilter(3),    buildWordFilter(4),     buildReceivePage(),
        buildSendPage(), buildCheckPage(), buildTimedCheckPage(), buildScreenSaverPage(), buildOptionPage()};
    for (int i = 0; i < iPages; ++i) {
        pages[i]->setObjectName(QStringLiteral("frmTab%1").arg(i));
        stkTabs->addWidget(pages[i]);
    }
    form->addWidget(stkTabs, 1);

    const QString sCaptions[3] = {QStringLiteral("OK"), QStringLiteral("更新"), QStringLiteral("キャンセル")};
    for (int i = 0; i < 3; ++i) {
        btnSystem[i] = new QPushButton(sCaptions[i], imgFrmBack);
        btnSystem[i]->setObjectName(QStringLiteral("btnSystem%1").arg(i));
        btnSystem[i]->setMinimumSize(91, 31);
    }
    btnSetEasy = new QPushButton(QStringLiteral("簡易版へ"), imgFrmBack);
    btnSetEasy->setObjectName(QStringLiteral("btnSetEasy"));
    btnSetEasy->setMinimumSize(91, 31);
    btnSystem[0]->setDefault(true);
    auto* commands = new QGridLayout;
    commands->setColumnStretch(0, 1);
    commands->setColumnStretch(4, 1);
    commands->addWidget(btnSetEasy, 0, 3);
    commands->addWidget(btnSystem[0], 1, 1);
    commands->addWidget(btnSystem[2], 1, 2);
    commands->addWidget(btnSystem[1], 1, 3);
    form->addLayout(commands);

    connect(btnSystem[0], &QPushButton::clicked, this, [this] { saveSettings(true); });
    connect(btnSystem[1], &QPushButton::clicked, this, [this] { saveSettings(false); });
    connect(btnSystem[2], &QPushButton::clicked, this, &QDialog::reject);
    connect(btnSetEasy, &QPushButton::clicked, this, [this] { done(iSwitchDialog); });
}

QWidget* frmSet::buildFilter1() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    v->addWidget(
        optionPair(page, "FIL1_opt1", "添付ファイル付きのメールを：", "転送する", "転送しない", FIL1_opt1));
    FIL1_frm2 =
        indented(optionPair(page, "FIL1_opt2", "添付ファイルを：", "転送する", "転送しない", FIL1_opt2));
    FIL1_frm2->setObjectName(QStringLiteral("FIL1_frm2"));
    v->addWidget(FIL1_frm2);

    auto* divide = new QHBoxLayout;
    FIL1_opt3 = checkBox(page, "FIL1_opt3", "分割転送をする");
    FIL1_txt1 = lineEdit(page, QStringLiteral("FIL1_txt1"));
    FIL1_txt1->setMaxLength(5);
    FIL1_txt1->setAlignment(Qt::AlignCenter);
    FIL1_txt1->setMaximumWidth(FIL1_txt1->fontMetrics().horizontalAdvance(QStringLiteral("000000")) + 16);
    FIL1_txt1->installEventFilter(this);
    FIL1_lvl1 = new QLabel(QStringLiteral("文字まで転送"), page);
    FIL1_lvl1->setObjectName(QStringLiteral("FIL1_lvl1"));
    divide->addWidget(FIL1_opt3);
    divide->addSpacing(12);
    divide->addWidget(FIL1_txt1);
    divide->addWidget(FIL1_lvl1);
    divide->addStretch(1);
    v->addLayout(divide);

    FIL1_opt4 = checkBox(page, "FIL1_opt4", "返信されたメールを編集する");
    v->addWidget(FIL1_opt4);
    FIL1_txt4 = lineEdit(page, QStringLiteral("FIL1_txt4"),
                         "削除したい引用文の引用文字（通常「>」か「＞」）を入力してください");
    FIL1_lst4 = new QListWidget(page);
    FIL1_lst4->setObjectName(QStringLiteral("FIL1_lst4"));
    QPushButton* buttons[2] = {};
    FIL1_frm4 = listEditor(page, QStringLiteral("FIL1_btn4"), "引用文字を入力",
                           "文頭にこの文字の付いた行は削除されます。", FIL1_txt4, buttons, FIL1_lst4);
    FIL1_frm4->setObjectName(QStringLiteral("FIL1_frm4"));
    v->addWidget(indented(FIL1_frm4));
    connect(buttons[0], &QPushButton::clicked, this,
            [this] { addWord(FIL1_txt4, FIL1_lst4, clsSet1::instance().FIL1().getMaxReg()); });
    connect(buttons[1], &QPushButton::clicked, this, [this] { deleteSelected(FIL1_lst4); });

    chkNullRow = checkBox(page, "chkNullRow", "空白行を削除");
    chkNullRow->setToolTip(QStringLiteral("ﾒｰﾙの空白行を削除したい場合はチェックしてください"));
    v->addWidget(chkNullRow);
    v->addStretch(1);

    for (QAbstractButton* sw :
         {static_cast<QAbstractButton*>(FIL1_opt1[0]), static_cast<QAbstractButton*>(FIL1_opt3),
          static_cast<QAbstractButton*>(FIL1_opt4)})
        connect(sw, &QAbstractButton::toggled, this, &frmSet::applyVisibility);
    return page;
}

QWidget* frmSet::buildFilter2() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    FIL2_opt1 = checkBox(page, "FIL2_opt1", "宛て先による区別をする");
    v->addWidget(FIL2_opt1);
    FIL2_frm2 = new QWidget(page);
    FIL2_frm2->setObjectName(QStringLiteral("FIL2_frm2"));
    auto* inner = new QVBoxLayout(FIL2_frm2);
    inner->setContentsMargins(24, 0, 0, 0);
    const char* sCaptions[4] = {nullptr, "自分の宛て先が　to:　の場合転送しない",
                                "自分の宛て先が　cc:　の場合転送しない",
                                "自分の宛て先が　bcc: の場合転送しない"};
    for (int i = 1; i <= 3; ++i) {
        FIL2_chk[i] = checkBox(FIL2_frm2, "", sCaptions[i]);
        FIL2_chk[i]->setObjectName(QStringLiteral("FIL2_chk%1").arg(i));
        inner->addWidget(FIL2_chk[i]);
    }
    // Mail to the user in To: is always forwarded; the box only shows the fixed value.
    FIL2_chk[1]->hide();
    v->addWidget(FIL2_frm2);
    auto* note = new QLabel(QStringLiteral("上記でチェックされている条件はメールを転送しない"), page);
    note->setObjectName(QStringLiteral("FIL2_lvl1"));
    v->addWidget(note);
    v->addStretch(1);
    connect(FIL2_opt1, &QCheckBox::toggled, this, &frmSet::applyVisibility);
    return page;
}

QWidget* frmSet::buildWordFilter(int iRecord) {
    const int w = iRecord - 3;
    const QString sPrefix = QStringLiteral("FIL%1_").arg(iRecord);
    const bool bSender = iRecord == 3;
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    FILW_opt1[w] = checkBox(page, "",
                            bSender ? "受信メールの送信者(from:)を区別して転送する"
                                    : "受信メールの件名(Subject)を区別して転送する");
    FILW_opt1[w]->setObjectName(sPrefix + QStringLiteral("opt1"));
    v->addWidget(FILW_opt1[w]);
    FILW_txt1[w] = lineEdit(page, sPrefix + QStringLiteral("txt1"),
                            bSender ? "転送したくないメールの送信者アドレスを入力してください"
                                    : "転送したくないメールの件名に含まれる文字を入力してください");
    FILW_lst1[w] = new QListWidget(page);
    FILW_lst1[w]->setObjectName(sPrefix + QStringLiteral("lst1"));
    QPushButton* buttons[2] = {};
    FILW_frm1[w] = listEditor(page, sPrefix + QStringLiteral("btn1"),
                              bSender ? "送信者(from:)のメールアドレス" : "件名(Subject)に含まれる文字列",
                              bSender ? "この送信者(From:)からのメールは転送しません"
                                      : "この件名(Subject)の付いたメールは転送しません",
                              FILW_txt1[w], buttons, FILW_lst1[w]);
    FILW_frm1[w]->setObjectName(sPrefix + QStringLiteral("frm1"));
    v->addWidget(indented(FILW_frm1[w]));
    v->addStretch(1);
    if (bSender)
        connect(buttons[0], &QPushButton::clicked, this, &frmSet::addSender);
    else
        connect(buttons[0], &QPushButton::clicked, this,
                [this] { addWord(FILW_txt1[1], FILW_lst1[1], clsSet1::instance().FIL4().getMaxReg()); });
    connect(buttons[1], &QPushButton::clicked, this, [this, w] { deleteSelected(FILW_lst1[w]); });
    connect(FILW_opt1[w], &QCheckBox::toggled, this, &frmSet::applyVisibility);
    return page;
}

QWidget* frmSet::buildReceivePage() {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    const QString sLabels[4] = {QStringLiteral("受信(POP3)サーバ名"), QStringLiteral("ユーザＩＤ"),
                                QStringLiteral("パスワード"), QStringLiteral("メールアドレス")};
    for (int i = 0; i < 4; ++i) {
        SRV1_lbl1[i] = new QLabel(sLabels[i], page);
        SRV1_txt1[i] = lineEdit(page, QStringLiteral("SRV1_txt1_%1").arg(i));
        SRV1_lbl1[i]->setBuddy(SRV1_txt1[i]);
        grid->addWidget(SRV1_lbl1[i], i, 0);
        grid->addWidget(SRV1_txt1[i], i, 1);
    }
    SRV1_txt1[2]->setEchoMode(QLineEdit::Password);
    // Every character shows as "*", whatever the style would draw.
    SRV1_txt1[2]->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    SRV1_txt1[3]->installEventFilter(this);

    QPushButton* buttons[2] = {};
    const QString sButtonCaptions[2] = {QStringLiteral("追加 →"), QStringLiteral("← 削除")};
    auto* column = new QVBoxLayout;
    for (int i = 0; i < 2; ++i) {
        buttons[i] = new QPushButton(sButtonCaptions[i], page);
        buttons[i]->setObjectName(QStringLiteral("SRV1_btn1_%1").arg(i));
        column->addWidget(buttons[i]);
    }
    column->addStretch(1);
    grid->addLayout(column, 0, 2, 4, 1);
    SRV1_lst1 = new QListWidget(page);
    SRV1_lst1->setObjectName(QStringLiteral("SRV1_lst1"));
    SRV1_lst1->setMinimumWidth(260);
    grid->addWidget(SRV1_lst1, 0, 3, 5, 1);
    grid->setRowStretch(4, 1);
    connect(buttons[0], &QPushButton::clicked, this, &frmSet::addReceiveServer);
    connect(buttons[1], &QPushButton::clicked, this, &frmSet::deleteReceiveServer);
    connect(SRV1_lst1, &QListWidget::itemDoubleClicked, this, &frmSet::takeReceiveServer);
    return page;
}

QWidget* frmSet::buildSendPage() {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    const char* sLabels[6] = {"送信(SMTP)サーバ名",   "転送元メールアドレス", "送信元(From:)ニックネーム",
                              "転送先メールアドレス", "CC：メールアドレス",   "BCC：メールアドレス"};
    const char* sTips[6] = {"SMTPｻｰﾊﾞｰ名を設定します",
                            nullptr,
                            nullptr,
                            "転送する携帯端末のﾒｰﾙｱﾄﾞﾚｽを設定します",
                            "転送と同時に別ｱﾄﾞﾚｽにccする場合に設定します",
                            "転送と同時に別ｱﾄﾞﾚｽにbccする場合に設定します"};
    for (int i = 0; i < 6; ++i) {
        SRV2_lbl1[i] = new QLabel(QString::fromUtf8(sLabels[i]), page);
        SRV2_txt1[i] = lineEdit(page, QStringLiteral("SRV2_txt1_%1").arg(i), sTips[i]);
        SRV2_txt1[i]->setMinimumWidth(330);
        SRV2_lbl1[i]->setBuddy(SRV2_txt1[i]);
        grid->addWidget(SRV2_lbl1[i], i + 1, 0);
        grid->addWidget(SRV2_txt1[i], i + 1, 1);
    }
    // The page edits one send entry with its sender address chosen from the receive servers; the plain
    // address field and the nickname are not offered.
    for (int i : {1, 2}) {
        SRV2_lbl1[i]->hide();
        SRV2_txt1[i]->hide();
    }
    // Row 0 stays free so the address choice sits right under the SMTP server.
    grid->addWidget(SRV2_lbl1[0], 0, 0);
    grid->addWidget(SRV2_txt1[0], 0, 1);
    SRV2_lblComb1 = new QLabel(QStringLiteral("転送元メールアドレス"), page);
    SRV2_Comb1 = new PopupComboBox(page);
    SRV2_Comb1->setObjectName(QStringLiteral("SRV2_Comb1"));
    SRV2_Comb1->setEditable(true);
    // Typed text stays exactly as typed: no completion, no entry added and nothing chosen by Enter.
    SRV2_Comb1->setCompleter(nullptr);
    SRV2_Comb1->setInsertPolicy(QComboBox::NoInsert);
    SRV2_Comb1->setDuplicatesEnabled(true);
    SRV2_Comb1->setMinimumWidth(330);
    SRV2_Comb1->setToolTip(QStringLiteral(
        "送信用のﾒｰﾙｱﾄﾞﾚｽを設定します。設定のない場合は受信したメールの送信者ｱﾄﾞﾚｽが使われますが、"
        "送信先ｻｰﾊﾞｰの種類によってはｴﾗｰとなります"));
    SRV2_lblComb1->setBuddy(SRV2_Comb1);
    grid->addWidget(SRV2_lblComb1, 1, 0);
    grid->addWidget(SRV2_Comb1, 1, 1);
    REMOTE_lbl1 = new QLabel(QStringLiteral("コマンドの暗証番号"), page);
    REMOTE_txt1 =
        lineEdit(page, QStringLiteral("REMOTE_txt1"),
                 "設定すると、転送先からのコマンドメールは件名のコマンドの後に空白と暗証番号を付けた"
                 "ときだけ実行します（例: SHUTDOWN 4711）。半角英数字32文字まで、空欄なら不要です");
    REMOTE_txt1->setEchoMode(QLineEdit::Password);
    REMOTE_txt1->setMaxLength(32);
    REMOTE_lbl1->setBuddy(REMOTE_txt1);
    grid->addWidget(REMOTE_lbl1, 7, 0);
    grid->addWidget(REMOTE_txt1, 7, 1);
    grid->setRowStretch(8, 1);
    grid->setColumnStretch(2, 1);
    SRV2_Comb1->beforePopup = [this] { rebuildSenderChoice(); };
    connect(SRV2_Comb1, &QComboBox::activated, this, &frmSet::senderChosen);
    return page;
}

QWidget* frmSet::buildCheckPage() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    WTH1_frm1 = optionPair(page, "WTH1_opt1", "メール受信を定期的に：", "監視する", "監視しない", WTH1_opt1);
    WTH1_frm1->setObjectName(QStringLiteral("WTH1_frm1"));
    // The periodic check is always on in the detailed mode.
    WTH1_frm1->hide();
    v->addWidget(WTH1_frm1);
    auto* row = new QHBoxLayout;
    WTH1_txt1 = lineEdit(page, QStringLiteral("WTH1_txt1"), "転送間隔を設定します");
    WTH1_txt1->setMaxLength(4);
    WTH1_txt1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    WTH1_txt1->setMaximumWidth(WTH1_txt1->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 16);
    WTH1_txt1->installEventFilter(this);
    row->addWidget(WTH1_txt1);
    row->addWidget(new QLabel(QStringLiteral("分毎にメールをチェックする"), page));
    row->addStretch(1);
    v->addLayout(row);
    v->addStretch(1);
    return page;
}

QWidget* frmSet::buildTimedCheckPage() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    v->addWidget(
        optionPair(page, "WTH2_opt1", "メール受信を特定の時間に：", "監視する", "監視しない", WTH2_opt1));
    WTH2_lst1 = new QListWidget(page);
    WTH2_lst1->setObjectName(QStringLiteral("WTH2_lst1"));
    v->addWidget(WTH2_lst1);
    return page;
}

QWidget* frmSet::buildScreenSaverPage() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    PAS1_opt1 = checkBox(page, "PAS1_opt1", "ペリモメール実行時、スクリーンセイバーを起動する");
    v->addWidget(PAS1_opt1);
    PAS1_btn1 = new QPushButton(QStringLiteral("スクリーンセイバー選択"), page);
    PAS1_btn1->setObjectName(QStringLiteral("PAS1_btn1"));
    v->addWidget(PAS1_btn1, 0, Qt::AlignLeft);
    v->addStretch(1);
    connect(PAS1_opt1, &QCheckBox::toggled, this, &frmSet::applyVisibility);
    connect(PAS1_btn1, &QPushButton::clicked, this, &frmSet::chooseScreenSaver);
    return page;
}

QWidget* frmSet::buildOptionPage() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    v->addWidget(optionPair(page, "OPT1_Opt1", nullptr, "本文の最後尾", "本文の先頭", OPT1_Opt1));
    v->addWidget(optionPair(page, "OPT1_Opt2", nullptr, "詳細", "簡略", OPT1_Opt2));
    v->addStretch(1);
    return page;
}

void frmSet::btnTab_Click(int iIndex) {
    if (iIndex < 0 || iIndex >= iPages)
        return;
    lblTabTitle->setText(QString::fromUtf8(sTabTitles[iIndex]));
    stkTabs->setCurrentIndex(iIndex);
    for (int i = 0; i < iPages; ++i)
        btnTab[i]->setChecked(i == iIndex);
}

void frmSet::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    roundWindow(this, 30, 30);
}

void frmSet::keepRoomWhenHidden() {
    // The parts that the switches show keep their room, so the window does not jump in size under the mouse.
    QWidget* parts[] = {FIL1_frm2, FIL1_txt1,    FIL1_lvl1,    FIL1_frm4,
                        FIL2_frm2, FILW_frm1[0], FILW_frm1[1], PAS1_btn1};
    for (QWidget* part : parts) {
        QSizePolicy policy = part->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        part->setSizePolicy(policy);
    }
}

void frmSet::applyVisibility() {
    FIL1_frm2->setVisible(FIL1_opt1[0]->isChecked());
    FIL1_txt1->setVisible(FIL1_opt3->isChecked());
    FIL1_lvl1->setVisible(FIL1_opt3->isChecked());
    FIL1_frm4->setVisible(FIL1_opt4->isChecked());
    FIL2_frm2->setVisible(FIL2_opt1->isChecked());
    for (int w = 0; w < 2; ++w)
        FILW_frm1[w]->setVisible(FILW_opt1[w]->isChecked());
    PAS1_btn1->setVisible(PAS1_opt1->isChecked());
}

void frmSet::chooseScreenSaver() {
    iSelectFrom = 1;
    frmFileSelect dialog(this);
    dialog.exec();
}

bool frmSet::checkFieldOnLeaving(QLineEdit* field) {
    const QString sText = field->text().trimmed();
    bool bInteger = false;
    QString sMessage;
    QString sReset;
    int iPage = 0;
    if (field == FIL1_txt1) {
        const short iValue = sText.toShort(&bInteger);
        if (bInteger && iValue > 0)
            return true;
        sMessage = QStringLiteral("文字数の指定に誤りがあります。");
        sReset = QStringLiteral("250");
    } else {
        // Negative intervals pass here; the save refuses them.
        const int iValue = sText.toInt(&bInteger);
        if (bInteger && iValue != 0 && iValue <= 1440)
            return true;
        sMessage = QStringLiteral("監視時間の指定に誤りがあります。");
        sReset = QStringLiteral("60");
        iPage = 6;
    }
    const QScopedValueRollback<bool> busy(bCheckingField, true);
    tell(sMessage);
    field->setText(sReset);
    if (!field->isVisibleTo(this))
        btnTab_Click(iPage);
    field->setFocus();
    return false;
}

bool frmSet::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut && (watched == FIL1_txt1 || watched == WTH1_txt1)) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        // Another window or a popup coming up does not leave the field; neither does our own message box.
        if (!bCheckingField && isVisible() && reason != Qt::ActiveWindowFocusReason &&
            reason != Qt::PopupFocusReason)
            checkFieldOnLeaving(static_cast<QLineEdit*>(watched));
    } else if (event->type() == QEvent::FocusIn && watched == SRV1_txt1[3]) {
        proposeAddress();
    }
    return QDialog::eventFilter(watched, event);
}
