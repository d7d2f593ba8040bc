// The records round trip of the detailed settings: the pages filled from the records, and the save behind OK
// and 更新, which checks the pages and stores them in the records first.

#include "dialogs/frmSet.h"

#include "dialogs/frmSetShared.h"
#include "dialogs/frmTest.h"
#include "dialogs/mdlSetCommon.h"
#include "settings/SettingsStore.h"
#include "settings/clsSet1.h"
#include "settings/clsSystem.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QRegularExpression>

#include <algorithm>

using frmSetShared::sApp;
using frmSetShared::tell;

namespace {
int valueOf(const QVariant& v) {
    return v.toInt();
}

// The number a text starts with, as the interval and page-size checks of the save read it: "12abc" is 12,
// text that starts with no number is 0.
double leadingNumber(const QString& sText) {
    static const QRegularExpression number(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)"));
    const QRegularExpressionMatch match = number.match(sText.trimmed());
    return match.hasMatch() ? match.captured(0).toDouble() : 0.0;
}

// The option whose index equals the value; neither for a value that names no option.
void choose(QRadioButton* const (&pair)[2], int iValue) {
    for (int i = 0; i < 2; ++i) {
        pair[i]->setAutoExclusive(false);
        pair[i]->setChecked(i == iValue);
        pair[i]->setAutoExclusive(true);
    }
}

// The records refuse a save on their own only in these states, and then say why themselves; any other
// refusal comes from the store.
bool refusedByRecord(qint16 iRecord) {
    clsSet1& set = clsSet1::instance();
    switch (iRecord) {
    case 3:
        return valueOf(set.FIL3().getValue(1)) == 0 && valueOf(set.FIL3().getValue(2)) == 0;
    case 4:
        return valueOf(set.FIL4().getValue(1)) == 0 && valueOf(set.FIL4().getValue(2)) == 0;
    case 5:
        return valueOf(set.SRV1().getValue(1)) == 0;
    case 6:
        return valueOf(set.SRV2().getValue(1)) == 0;
    default:
        return false;
    }
}
} // namespace

void frmSet::showSettings() {
    clsSet1& set = clsSet1::instance();

    clsFIL1& fil1 = set.FIL1();
    choose(FIL1_opt1, valueOf(fil1.getValue(1)));
    choose(FIL1_opt2, valueOf(fil1.getValue(2)));
    FIL1_opt3->setChecked(valueOf(fil1.getValue(3)) == 0);
    FIL1_txt1->setText(fil1.getValue(4).toString());
    FIL1_opt4->setChecked(valueOf(fil1.getValue(5)) == 0);
    FIL1_lst4->clear();
    const int iQuotes = std::clamp<int>(valueOf(fil1.getValue(6)), 0, fil1.getMaxReg());
    for (int n = 0; n < iQuotes; ++n) {
        const QString sQuote = fil1.getValue(7, {n}).toString();
        if (!sQuote.isEmpty())
            FIL1_lst4->addItem(sQuote);
    }
    chkNullRow->setChecked(valueOf(fil1.getValue(8)) == 1);

    clsFIL2& fil2 = set.FIL2();
    FIL2_opt1->setChecked(valueOf(fil2.getValue(1)) == 0);
    FIL2_chk[1]->setChecked(true);
    FIL2_chk[2]->setChecked(valueOf(fil2.getValue(3)) != 1);
    FIL2_chk[3]->setChecked(valueOf(fil2.getValue(4)) != 1);

    clsWordList* words[2] = {&set.FIL3(), &set.FIL4()};
    for (int w = 0; w < 2; ++w) {
        FILW_opt1[w]->setChecked(valueOf(words[w]->getValue(1)) == 0);
        FILW_lst1[w]->clear();
        const int iCount = std::clamp<int>(valueOf(words[w]->getValue(2)), 0, words[w]->getMaxReg());
        for (int n = 0; n < iCount; ++n)
            FILW_lst1[w]->addItem(words[w]->getValue(3, {n}).toString());
    }

    clsSRV1& srv1 = set.SRV1();
    SRV1_lst1->clear();
    const int iServers = std::clamp<int>(valueOf(srv1.getValue(1)), 0, srv1.getMaxReg());
    for (int r = 0; r < iServers; ++r)
        SRV1_lst1->addItem(
            joinColumns(1, 2, {srv1.getValue(2, {r, 0}).toString(), srv1.getValue(2, {r, 3}).toString()}));

    clsSRV2& srv2 = set.SRV2();
    SRV2_txt1[0]->setText(srv2.getValue(2, {0, 0}).toString());
    SRV2_Comb1->setEditText(srv2.getValue(2, {0, 1}).toString());
    rebuildSenderChoice();
    SRV2_txt1[2]->clear();
    for (int f = 3; f <= 5; ++f)
        SRV2_txt1[f]->setText(srv2.getValue(2, {0, f}).toString());
    REMOTE_txt1->setText(set.Remote().commandPin());

    choose(WTH1_opt1, valueOf(set.WTH1().getValue(1)));
    WTH1_txt1->setText(set.WTH1().getValue(2).toString());

    clsWTH2& wth2 = set.WTH2();
    choose(WTH2_opt1, valueOf(wth2.getValue(1)));
    WTH2_lst1->clear();
    const int iWindows = std::clamp<int>(valueOf(wth2.getValue(2)), 0, clsWTH2::iWindows);
    for (int w = 0; w < iWindows; ++w) {
        auto field = [&](int f) {
            return QStringLiteral("%1").arg(valueOf(wth2.getValue(3, {w, f})), 2, 10, QLatin1Char('0'));
        };
        WTH2_lst1->addItem(field(0) + QStringLiteral(":") + field(1) + QStringLiteral("～") + field(2) +
                           QStringLiteral(":") + field(3) + QStringLiteral("  ") +
                           QString::number(valueOf(wth2.getValue(3, {w, 4}))) + QStringLiteral("分毎"));
    }

    PAS1_opt1->setChecked(valueOf(set.PAS1().getValue(1)) == 0);
    choose(OPT1_Opt1, valueOf(set.OPT1().getValue(1)));
    choose(OPT1_Opt2, valueOf(set.OPT1().getValue(2)));
    applyVisibility();
}

bool frmSet::storeSettings() {
    clsSet1& set = clsSet1::instance();

    clsFIL1& fil1 = set.FIL1();
    fil1.setValue(1, {FIL1_opt1[0]->isChecked() ? 0 : 1});
    fil1.setValue(2, {FIL1_opt2[0]->isChecked() ? 0 : 1});
    fil1.setValue(3, {FIL1_opt3->isChecked() ? 0 : 1});
    fil1.setValue(4, {FIL1_txt1->text()});
    fil1.setValue(5, {FIL1_opt4->isChecked() ? 0 : 1});
    fil1.setValue(6, {FIL1_lst4->count()});
    for (int n = 0; n < FIL1_lst4->count(); ++n)
        fil1.setValue(7, {FIL1_lst4->item(n)->text(), n});
    fil1.setValue(8, {chkNullRow->isChecked() ? 1 : 0});
    FIL1_lst4->setCurrentRow(-1);

    clsFIL2& fil2 = set.FIL2();
    fil2.setValue(1, {FIL2_opt1->isChecked() ? 0 : 1});
    fil2.setValue(2, {1});
    fil2.setValue(3, {FIL2_chk[2]->isChecked() ? 0 : 1});
    fil2.setValue(4, {FIL2_chk[3]->isChecked() ? 0 : 1});

    clsWordList* words[2] = {&set.FIL3(), &set.FIL4()};
    for (int w = 0; w < 2; ++w) {
        words[w]->setValue(1, {FILW_opt1[w]->isChecked() ? 0 : 1});
        words[w]->setValue(2, {FILW_lst1[w]->count()});
        for (int n = 0; n < FILW_lst1[w]->count(); ++n)
            words[w]->setValue(3, {FILW_lst1[w]->item(n)->text(), n});
        FILW_lst1[w]->setCurrentRow(-1);
    }

    if (!set.SRV2().additionValue(0, {SRV2_txt1[0]->text(), SRV2_Comb1->currentText(), QString(),
                                      SRV2_txt1[3]->text(), SRV2_txt1[4]->text(), SRV2_txt1[5]->text()})) {
        tell(QStringLiteral("送信サーバー情報の登録に失敗しました。"));
        return false;
    }

    set.WTH1().setValue(1, {WTH1_opt1[0]->isChecked() ? 0 : 1});
    set.WTH1().setValue(2, {WTH1_txt1->text()});
    set.WTH2().setValue(1, {WTH2_opt1[0]->isChecked() ? 0 : 1});
    set.PAS1().setValue(1, {PAS1_opt1->isChecked() ? 0 : 1});
    set.OPT1().setValue(1, {OPT1_Opt1[0]->isChecked() ? 0 : 1});
    set.OPT1().setValue(2, {OPT1_Opt2[0]->isChecked() ? 0 : 1});
    set.Remote().setCommandPin(REMOTE_txt1->text());
    return true;
}

bool frmSet::checkSendPage() {
    auto refuse = [this](QWidget* field, const QString& sText) {
        tell(sText, MsgIcon::Critical);
        btnTab_Click(5);
        field->setFocus();
        return false;
    };
    auto missing = [](QLabel* label) { return label->text() + QStringLiteral("が設定されていません。"); };
    auto wrong = [](QLabel* label) {
        return QStringLiteral("指定された") + label->text() + QStringLiteral("に誤りがあります。");
    };
    for (int i : {0, 3}) {
        if (SRV2_txt1[i]->text().isEmpty())
            return refuse(SRV2_txt1[i], missing(SRV2_lbl1[i]));
    }
    // No sender address is fine: the received sender is used when forwarding.
    const QString sFrom = SRV2_Comb1->currentText().trimmed();
    if (!sFrom.isEmpty() && !checkMailAddress(sFrom))
        return refuse(SRV2_Comb1, wrong(SRV2_lblComb1));
    if (!checkMailAddress(SRV2_txt1[3]->text()))
        return refuse(SRV2_txt1[3], wrong(SRV2_lbl1[3]));
    for (int i : {4, 5}) {
        if (!SRV2_txt1[i]->text().isEmpty() && !checkMailAddress(SRV2_txt1[i]->text()))
            return refuse(SRV2_txt1[i], wrong(SRV2_lbl1[i]));
    }
    if (!clsRemote::isValidPin(REMOTE_txt1->text()))
        return refuse(REMOTE_txt1, wrong(REMOTE_lbl1) + QStringLiteral("半角英数字で入力して下さい。"));
    return true;
}

void frmSet::saveSettings(bool bClose) {
    if (leadingNumber(WTH1_txt1->text()) <= 0) {
        tell(twoLines("監視時間が設定されていません", "監視時間の設定をおこなって下さい"),
             MsgIcon::Exclamation);
        return;
    }
    // Checked even with division off: the records would carry the bad size into the next switch-on.
    if (leadingNumber(FIL1_txt1->text()) <= 0) {
        tell(twoLines("転送文字数の設定が不正です", "再度設定をおこなって下さい"), MsgIcon::Exclamation);
        return;
    }
    if (!checkSendPage())
        return;

    clsSet1& set = clsSet1::instance();
    clsSystem& sys = clsSystem::instance();
    const QString sSaveFailed = QStringLiteral("設定情報の保存に失敗しました。");
    qint16 iPreviousMode = 0;
    {
        WaitCursor wait;
        if (!storeSettings()) {
            wait.release();
            tell(sSaveFailed);
            return;
        }
        if (!set.saveRegistory(0, sApp)) {
            const qint16 iRecord = set.LastSetError();
            wait.release();
            // A record that refused has said why; a store that refused has not, and its page would not help.
            if (refusedByRecord(iRecord))
                btnTab_Click(iRecord - 1);
            else
                tell(sSaveFailed);
            return;
        }
        // The records answer before the file is written; only the final write tells whether it reached disk.
        if (!SettingsStore::sync(sApp)) {
            wait.release();
            tell(sSaveFailed);
            return;
        }
        sys.setValueSetting(true, clsSystem::ID_DETAIL);
        const bool bSettingSaved = sys.saveRegSetting(sApp, clsSystem::ID_DETAIL);
        iPreviousMode = sys.getValueSetSelect();
        sys.setValueSetSelect(1);
        if (!bSettingSaved || !sys.saveRegSetSelect(sApp)) {
            wait.release();
            tell(sSaveFailed);
            return;
        }
    }

    if (bRcvChanged) {
        sys.setValueTest(false, clsSystem::ID_DETAIL);
        sys.saveRegTest(sApp, clsSystem::ID_DETAIL);
        tell(twoLines("受信(POP3)サーバの設定が更新されました", "引き続きメールチェックをおこなって下さい"));
        bRcvChanged = false;
        runMailTest();
        if (!sys.getValueTest(clsSystem::ID_DETAIL)) {
            tell(twoLines("メールチェックに失敗しました、", "登録／設定内容を再度確認して下さい"));
            return;
        }
    }
    if (!sys.getValueTest(clsSystem::ID_DETAIL)) {
        tell(twoLines("メールチェックが完了していません", "引き続きメールチェックをおこなって下さい"));
        runMailTest();
        if (!sys.getValueTest(clsSystem::ID_DETAIL))
            return;
    }
    if (iPreviousMode != 1)
        tell(twoLines("次回のペリモメール実行時には、", "詳細版の設定で実行されます。"));
    if (bClose)
        accept();
}

void frmSet::runMailTest() {
    frmTest dialog(this);
    dialog.exec();
}
