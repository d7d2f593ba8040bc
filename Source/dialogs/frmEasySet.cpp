#include "dialogs/frmEasySet.h"

#include "base/mdlGlobals.h"
#include "base/mdlMessage.h"
#include "dialogs/frmFileSelect.h"
#include "dialogs/frmTest.h"
#include "dialogs/mdlSetCommon.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"
#include "system/mdlScreenSaver.h"
#include "ui/mdlCommon.h"

#include <QApplication>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <exception>
#include <iterator>
#include <limits>

bool frmEasySet::bActive = false;

namespace {
const QString& sAppName = sSettingsName;
const QString sNoDivision = QStringLiteral("分割なし");
const QString sBadInterval = QStringLiteral("メール受信のチェック時間の指定に誤りがあります。");
const QString sPageTooSmall = QStringLiteral("本文の文字数制限には100文字以上を指定して下さい。");
const QString sBadPageSize = QStringLiteral("本文の文字数制限の指定に誤りがあります。");
const QString sContinueCheck = QStringLiteral("引き続きメールチェックをおこなって下さい");

// A whole number with optional blanks around it and an optional sign, as the settings record reads it.
bool toInteger(const QString& sText, qlonglong& iValue) {
    QString s = sText.trimmed();
    if (s.startsWith(QLatin1Char('+')))
        s.remove(0, 1);
    bool ok = false;
    iValue = s.toLongLong(&ok);
    return ok;
}

bool isInterval(const QString& sText) {
    qlonglong iValue = 0;
    return toInteger(sText, iValue) && iValue >= 1 && iValue <= 1440;
}

// The number the text starts with, blanks skipped, 0 when there is none: "150abc" reads as 150.
double leadingNumber(const QString& sText) {
    QString sNumber;
    bool bDigits = false;
    bool bPoint = false;
    for (const QChar c : sText) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t'))
            continue;
        if ((c == QLatin1Char('-') || c == QLatin1Char('+')) && sNumber.isEmpty()) {
            sNumber += c;
        } else if (c.isDigit() && c.unicode() < 128) {
            sNumber += c;
            bDigits = true;
        } else if (c == QLatin1Char('.') && !bPoint) {
            sNumber += c;
            bPoint = true;
        } else {
            break;
        }
    }
    return bDigits ? sNumber.toDouble() : 0.0;
}

} // namespace

frmEasySet::frmEasySet(QWidget* parent) : QDialog(parent) {
    bActive = true;
    setObjectName(QStringLiteral("frmEasySet"));
    setWindowTitle(QStringLiteral("登録／設定 簡易版"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setModal(true);

    buildControls();
    layoutEasySet();
    roundWindow(this, 30, 30);
    placeWindow(1, this);

    if (!clsSet1::instance().loadRegistory(0, sAppName)) {
        showMessage(QStringLiteral("設定情報の取得に失敗しました。"));
        return;
    }
    if (!showSettings()) {
        showMessage(QStringLiteral("設定情報の設定に失敗しました。"));
        return;
    }
    // Filling the fields ran the change rule against the very values they came from.
    bRcvChanged = false;
}

frmEasySet::~frmEasySet() {
    bActive = false;
}

void frmEasySet::buildControls() {
    imgFrmBack = new QLabel(this);
    imgFrmBack->setObjectName(QStringLiteral("imgFrmBack"));
    imgFrmBack->setPixmap(loadPicture(QStringLiteral("easyset")));
    imgFrmBack->setAlignment(Qt::AlignCenter);
    makeDragHandle(imgFrmBack, this);

    auto makeField = [this](const QString& sName, const QString& sToolTip) {
        auto* field = new QLineEdit(this);
        field->setObjectName(sName);
        field->setToolTip(sToolTip);
        field->installEventFilter(this);
        return field;
    };
    auto makeLabel = [this](const QString& sText, QLineEdit* buddy) {
        auto* label = new QLabel(sText, this);
        label->setBuddy(buddy);
        return label;
    };

    txtRcv[0] = makeField(
        QStringLiteral("txtRcv0"),
        QStringLiteral("POP3ｻｰﾊﾞｰ名を設定します。普通はﾒｰﾙｱﾄﾞﾚｽの@より後ろの部分です(@は含みません)"));
    txtRcv[1] =
        makeField(QStringLiteral("txtRcv1"), QStringLiteral("POP3ｻｰﾊﾞｰへﾛｸﾞｲﾝするためのﾕｰｻﾞｰIDを設定します"));
    txtRcv[2] =
        makeField(QStringLiteral("txtRcv2"), QStringLiteral("POP3ｻｰﾊﾞｰへﾛｸﾞｲﾝするためのﾊﾟｽﾜｰﾄﾞを設定します"));
    // The platform's mask character differs; the password shows as asterisks everywhere.
    txtRcv[2]->setEchoMode(QLineEdit::Password);
    txtRcv[2]->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    txtRcv[3] = makeField(QStringLiteral("txtRcv3"), QString());
    txtSnd[0] = makeField(QStringLiteral("txtSnd0"),
                          QStringLiteral("SMTPｻｰﾊﾞｰ名を設定します。普通は受信ｻｰﾊﾞｰ名と同じです"));
    txtSnd[1] =
        makeField(QStringLiteral("txtSnd1"), QStringLiteral("転送する携帯端末のﾒｰﾙｱﾄﾞﾚｽを設定してください"));
    txtSnd[2] = makeField(QStringLiteral("txtSnd2"),
                          QStringLiteral("分割する文字数を設定します。０を設定すると分割しません"));
    txtChkTime = makeField(QStringLiteral("txtChkTime"), QStringLiteral("転送間隔を設定します"));
    txtChkTime->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    txtChkTime->setMaxLength(4);

    const QString sRcvLabel[3] = {QStringLiteral("受信サーバ名"), QStringLiteral("ユーザID"),
                                  QStringLiteral("パスワード")};
    for (int i = 0; i < 3; ++i)
        lblRcv[i] = makeLabel(sRcvLabel[i], txtRcv[i]);
    Label10 = makeLabel(QStringLiteral("受信メールアドレス"), txtRcv[3]);
    Label10->setObjectName(QStringLiteral("Label10"));
    // The own address is carried through unchanged; the user never sees or edits it here.
    Label10->setVisible(false);
    txtRcv[3]->setVisible(false);
    const QString sSndLabel[3] = {QStringLiteral("送信サーバ名"), QStringLiteral("転送先メールアドレス"),
                                  QStringLiteral("分割転送の文字数")};
    for (int i = 0; i < 3; ++i)
        lblSnd[i] = makeLabel(sSndLabel[i], txtSnd[i]);
    lblChkTime[0] = makeLabel(QStringLiteral("メール受信を"), txtChkTime);
    lblChkTime[1] = new QLabel(QStringLiteral("分毎にチェックする"), this);

    fraScreenSaver = new QGroupBox(QStringLiteral("ペリモメール実行時のスクリーンセイバー"), this);
    fraScreenSaver->setObjectName(QStringLiteral("fraScreenSaver"));
    btnPassword = new QPushButton(QStringLiteral("スクリーンセイバー選択"), fraScreenSaver);
    btnPassword->setObjectName(QStringLiteral("btnPassword"));

    const QString sSystemCaption[3] = {QStringLiteral("OK"), QStringLiteral("更新"),
                                       QStringLiteral("キャンセル")};
    for (int i = 0; i < 3; ++i) {
        btnSystem[i] = new QPushButton(sSystemCaption[i], this);
        btnSystem[i]->setObjectName(QStringLiteral("btnSystem%1").arg(i));
    }
    btnSystem[0]->setDefault(true);
    btnSetDetail = new QPushButton(QStringLiteral("詳細版へ"), this);
    btnSetDetail->setObjectName(QStringLiteral("btnSetDetail"));

    for (int i = 0; i < 4; ++i)
        connect(txtRcv[i], &QLineEdit::textChanged, this, &frmEasySet::updateRcvChanged);
    connect(btnSystem[0], &QPushButton::clicked, this, [this] { saveSettings(true); });
    connect(btnSystem[1], &QPushButton::clicked, this, [this] { saveSettings(false); });
    connect(btnSystem[2], &QPushButton::clicked, this, &QDialog::reject);
    connect(btnSetDetail, &QPushButton::clicked, this, [this] { done(iSwitchDialog); });
    connect(btnPassword, &QPushButton::clicked, this, &frmEasySet::selectScreenSaver);

    QWidget* order[] = {txtRcv[0],    txtRcv[1],    txtRcv[2],   txtRcv[3],   txtSnd[0],
                        txtSnd[1],    txtSnd[2],    txtChkTime,  btnPassword, btnSystem[0],
                        btnSystem[2], btnSystem[1], btnSetDetail};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void frmEasySet::layoutEasySet() {
    // Wide enough for a mail address without scrolling; the interval field holds four digits.
    const int iFieldWidth = fontMetrics().horizontalAdvance(QLatin1Char('m')) * 22;
    for (QLineEdit* field : {txtRcv[0], txtRcv[1], txtRcv[2], txtRcv[3], txtSnd[0], txtSnd[1], txtSnd[2]})
        field->setMinimumWidth(iFieldWidth);
    txtChkTime->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 16);

    auto* fields = new QGridLayout;
    fields->setColumnStretch(1, 1);
    int iRow = 0;
    for (int i = 0; i < 3; ++i, ++iRow) {
        fields->addWidget(lblRcv[i], iRow, 0);
        fields->addWidget(txtRcv[i], iRow, 1);
    }
    fields->addWidget(Label10, iRow, 0);
    fields->addWidget(txtRcv[3], iRow++, 1);
    for (int i = 0; i < 3; ++i, ++iRow) {
        fields->addWidget(lblSnd[i], iRow, 0);
        fields->addWidget(txtSnd[i], iRow, 1);
    }

    auto* interval = new QHBoxLayout;
    interval->addWidget(lblChkTime[0]);
    interval->addWidget(txtChkTime);
    interval->addWidget(lblChkTime[1]);
    interval->addStretch(1);

    auto* saver = new QHBoxLayout(fraScreenSaver);
    saver->addStretch(1);
    saver->addWidget(btnPassword);
    saver->addStretch(1);

    // The command row reads OK, キャンセル, 更新, with 詳細版へ above 更新.
    auto* buttons = new QGridLayout;
    buttons->addWidget(btnSetDetail, 0, 2);
    buttons->addWidget(btnSystem[0], 1, 0);
    buttons->addWidget(btnSystem[2], 1, 1);
    buttons->addWidget(btnSystem[1], 1, 2);
    for (int i = 0; i < 3; ++i)
        buttons->setColumnStretch(i, 1);

    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(18, 12, 18, 18);
    form->addWidget(imgFrmBack);
    form->addSpacing(6);
    form->addLayout(fields);
    form->addLayout(interval);
    form->addWidget(fraScreenSaver);
    form->addSpacing(6);
    form->addLayout(buttons);

    // The window keeps the size its contents ask for, so the rounded outline fits it.
    adjustSize();
    setFixedSize(sizeHint());
}

bool frmEasySet::showSettings() {
    try {
        const clsSet2& set = clsSet2::instance();
        txtRcv[0]->setText(set.getValue(1).toString());
        txtRcv[1]->setText(decodePassWord(set.getValue(2).toString()));
        txtRcv[2]->setText(decodePassWord(set.getValue(3).toString()));
        txtRcv[3]->setText(decodePassWord(set.getValue(11).toString()));
        txtSnd[0]->setText(set.getValue(4).toString());
        txtSnd[1]->setText(set.getValue(5).toString());
        txtChkTime->setText(QString::number(set.getValue(6).toInt()));
        const int iPageSize = set.getValue(8).toInt();
        txtSnd[2]->setText(iPageSize == 0 ? sNoDivision : QString::number(iPageSize));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool frmEasySet::storeSettings() {
    try {
        // A value the record refuses keeps its old value; that is not a failure of the save.
        clsSet2& set = clsSet2::instance();
        set.setValue(1, {txtRcv[0]->text()});
        set.setValue(2, {encodePassWord(txtRcv[1]->text())});
        set.setValue(3, {encodePassWord(txtRcv[2]->text())});
        set.setValue(11, {encodePassWord(txtRcv[3]->text())});
        set.setValue(4, {txtSnd[0]->text()});
        set.setValue(5, {txtSnd[1]->text()});
        const QString sPageSize = txtSnd[2]->text();
        set.setValue(8, {sPageSize == sNoDivision ? QVariant(0) : QVariant(sPageSize)});
        set.setValue(6, {txtChkTime->text()});
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void frmEasySet::updateRcvChanged() {
    const clsSet2& set = clsSet2::instance();
    bRcvChanged = txtRcv[0]->text() != set.getValue(1).toString() ||
                  txtRcv[1]->text() != decodePassWord(set.getValue(2).toString()) ||
                  txtRcv[2]->text() != decodePassWord(set.getValue(3).toString());
}

bool frmEasySet::eventFilter(QObject* watched, QEvent* event) {
    auto* field = qobject_cast<QLineEdit*>(watched);
    if (field && event->type() == QEvent::FocusOut && !bLeaving) {
        // Another window coming to the front, or a context menu, is not the user leaving the field.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            leaveField(field);
    }
    return QDialog::eventFilter(watched, event);
}

void frmEasySet::leaveField(QLineEdit* field) {
    if (field == txtRcv[0]) {
        if (!txtRcv[0]->text().isEmpty())
            txtSnd[0]->setText(txtRcv[0]->text());
    } else if (field == txtChkTime) {
        leaveChkTime();
    } else if (field == txtSnd[2]) {
        leavePageSize();
    }
}

// The text is put right at once; the message and the focus going back wait until the focus change in
// progress has finished, so no message box opens in the middle of it. Until then the fields' rules and the
// saving buttons hold still.
void frmEasySet::leaveChkTime() {
    if (isInterval(txtChkTime->text()))
        return;
    txtChkTime->setText(QStringLiteral("60"));
    bLeaving = true;
    QTimer::singleShot(0, this, [this] {
        if (isVisible()) {
            showMessage(sBadInterval);
            txtChkTime->setFocus(Qt::OtherFocusReason);
        }
        bLeaving = false;
    });
}

void frmEasySet::leavePageSize() {
    const QString sText = txtSnd[2]->text();
    qlonglong iValue = 0;
    const bool bInteger = toInteger(sText, iValue) && iValue >= std::numeric_limits<qint16>::min() &&
                          iValue <= std::numeric_limits<qint16>::max();
    if (sText.isEmpty() || sText == sNoDivision || (bInteger && iValue == 0)) {
        txtSnd[2]->setText(sNoDivision);
        return;
    }
    if (bInteger && iValue >= 100)
        return;
    const bool bTooSmall = bInteger;
    txtSnd[2]->setText(bTooSmall ? QStringLiteral("100") : sNoDivision);
    bLeaving = true;
    QTimer::singleShot(0, this, [this, bTooSmall] {
        if (isVisible()) {
            showMessage(bTooSmall ? sPageTooSmall : sBadPageSize);
            if (!bTooSmall)
                txtSnd[2]->setFocus(Qt::OtherFocusReason);
        }
        bLeaving = false;
    });
}

bool frmEasySet::checkInput() {
    auto fail = [this](const QString& sMessage, QLineEdit* field) {
        showMessage(sMessage, sAppTitle, MsgIcon::Critical);
        // Moving the focus to the fault is the dialog's doing; the field left behind keeps its text.
        const bool bWasLeaving = bLeaving;
        bLeaving = true;
        field->setFocus(Qt::OtherFocusReason);
        bLeaving = bWasLeaving;
        return false;
    };
    if (txtRcv[0]->text().isEmpty())
        return fail(QStringLiteral("受信サーバ名が設定されていません。"), txtRcv[0]);
    if (txtRcv[1]->text().isEmpty())
        return fail(QStringLiteral("ユーザＩＤが設定されていません。"), txtRcv[1]);
    if (txtRcv[2]->text().isEmpty())
        return fail(QStringLiteral("パスワードが設定されていません。"), txtRcv[2]);
    if (txtSnd[0]->text().isEmpty())
        return fail(QStringLiteral("送信サーバ名が設定されていません。"), txtSnd[0]);
    if (txtSnd[1]->text().isEmpty())
        return fail(QStringLiteral("宛先(To:)メールアドレスが設定されていません。"), txtSnd[1]);
    if (!checkMailAddress(txtSnd[1]->text()))
        return fail(QStringLiteral("宛先(To:)メールアドレスの設定が不正です。"), txtSnd[1]);
    if (!isInterval(txtChkTime->text())) {
        txtChkTime->setText(QStringLiteral("60"));
        return fail(sBadInterval, txtChkTime);
    }
    const QString sPageSize = txtSnd[2]->text();
    if (sPageSize.trimmed() != sNoDivision && leadingNumber(sPageSize) < 100) {
        txtSnd[2]->setText(QStringLiteral("100"));
        return fail(sPageTooSmall, txtSnd[2]);
    }
    return true;
}

void frmEasySet::saveSettings(bool bClose) {
    // A field's message is still to come; it goes first, and this press is dropped as the box would drop it.
    if (bLeaving || !checkInput())
        return;

    clsSystem& system = clsSystem::instance();
    qint16 iPrevious = 0;
    {
        WaitCursor wait;
        if (!storeSettings() || !clsSet2::instance().saveRegistory(sAppName)) {
            wait.release();
            showMessage(QStringLiteral("設定情報の保存に失敗しました。"));
            return;
        }
        system.setValueSetting(true, clsSystem::ID_SIMPLE);
        system.saveRegSetting(sAppName, clsSystem::ID_SIMPLE);
        iPrevious = system.getValueSetSelect();
        system.setValueSetSelect(0);
        system.saveRegSetSelect(sAppName);
    }

    if (bRcvChanged) {
        system.setValueTest(false, clsSystem::ID_SIMPLE);
        system.saveRegTest(sAppName, clsSystem::ID_SIMPLE);
        showMessage(twoLines(QStringLiteral("受信(POP3)サーバの設定が更新されました"), sContinueCheck));
        bRcvChanged = false;
        if (!runMailCheck()) {
            showMessage(twoLines(QStringLiteral("メールチェックに失敗しました、"),
                                 QStringLiteral("登録／設定内容を再度確認して下さい")));
            return;
        }
    }
    if (!system.getValueTest(clsSystem::ID_SIMPLE)) {
        showMessage(twoLines(QStringLiteral("メールチェックが完了していません"), sContinueCheck));
        if (!runMailCheck())
            return;
    }
    if (iPrevious != 0)
        showMessage(twoLines(QStringLiteral("次回のペリモメール実行時には、"),
                             QStringLiteral("簡易版の設定で実行されます")));
    if (bClose)
        accept();
}

bool frmEasySet::runMailCheck() {
    frmTest dlg(this);
    dlg.exec();
    return clsSystem::instance().getValueTest(clsSystem::ID_SIMPLE);
}

void frmEasySet::selectScreenSaver() {
    if (bLeaving)
        return;
    iSelectFrom = 0;
    frmFileSelect dlg(this);
    dlg.exec();
}
