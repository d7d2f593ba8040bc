// The list editors of the detailed settings: quote characters, refused senders and subject words, receive
// servers and the sender-address choice.

#include "dialogs/frmSet.h"

#include "dialogs/frmSetShared.h"
#include "dialogs/mdlSetCommon.h"
#include "settings/clsSet1.h"
#include "settings/mdlPassWord.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>

#include <algorithm>

using frmSetShared::tell;

namespace {
// Qt makes the next row current after a removal; a second press of 削除 must not take that one too.
void removeRow(QListWidget* list, int iRow) {
    delete list->takeItem(iRow);
    list->setCurrentRow(-1);
}

QString capacityText(int iCapacity) {
    return QStringLiteral("登録できるのは、") + QString::number(iCapacity) +
           QStringLiteral("件までです。これ以上登録はできません。");
}

const QString sBadAddress = QStringLiteral("指定されたメールアドレスに誤りがあります。");
const QString sKnownAddress = QStringLiteral("指定されたメールアドレスはすでに登録されています。");

int receiveRows() {
    clsSRV1& srv1 = clsSet1::instance().SRV1();
    return std::clamp<int>(srv1.getValue(1).toInt(), 0, srv1.getMaxReg());
}

QString receiveField(int iRow, int iField) {
    return clsSet1::instance().SRV1().getValue(2, {iRow, iField}).toString();
}
} // namespace

void PopupComboBox::showPopup() {
    if (beforePopup)
        beforePopup();
    QComboBox::showPopup();
}

void frmSet::addWord(QLineEdit* text, QListWidget* list, int iCapacity) {
    if (list->count() >= iCapacity) {
        tell(capacityText(iCapacity));
        return;
    }
    const QString sText = text->text();
    if (sText.isEmpty())
        return;
    if (listContains(list, sText)) {
        tell(QStringLiteral("指定された文字はすでに登録されています。"));
        text->setFocus();
        return;
    }
    list->addItem(sText);
    text->clear();
}

void frmSet::addSender() {
    QLineEdit* text = FILW_txt1[0];
    QListWidget* list = FILW_lst1[0];
    // The record keeps this many senders; rows beyond would be lost at the save without a word.
    const int iCapacity = clsSet1::instance().FIL3().getMaxReg();
    if (list->count() >= iCapacity) {
        tell(capacityText(iCapacity));
        return;
    }
    const QString sText = text->text();
    if (!checkMailAddress(sText)) {
        tell(sBadAddress, MsgIcon::Critical);
        text->setFocus();
        return;
    }
    if (listContains(list, sText)) {
        tell(sKnownAddress);
        text->setFocus();
        return;
    }
    list->addItem(sText);
    text->clear();
}

void frmSet::deleteSelected(QListWidget* list) {
    QListWidgetItem* item = list->currentItem();
    if (item && item->isSelected())
        removeRow(list, list->row(item));
}

void frmSet::addReceiveServer() {
    clsSRV1& srv1 = clsSet1::instance().SRV1();
    if (SRV1_lst1->count() >= srv1.getMaxReg()) {
        tell(capacityText(srv1.getMaxReg()));
        return;
    }
    for (int i = 0; i < 4; ++i) {
        if (SRV1_txt1[i]->text().isEmpty()) {
            tell(SRV1_lbl1[i]->text() + QStringLiteral("が設定されていません。"), MsgIcon::Critical);
            SRV1_txt1[i]->setFocus();
            return;
        }
    }
    const QString sServer = SRV1_txt1[0]->text();
    const QString sAddress = SRV1_txt1[3]->text();
    if (!checkMailAddress(sAddress)) {
        tell(sBadAddress, MsgIcon::Critical);
        SRV1_txt1[3]->setFocus();
        return;
    }
    const QString sRow = joinColumns(1, 2, {sServer, sAddress});
    if (listContains(SRV1_lst1, sRow)) {
        tell(sKnownAddress);
        SRV1_txt1[3]->setFocus();
        return;
    }
    if (!srv1.additionValue(qint16(SRV1_lst1->count()), {sServer, encodePassWord(SRV1_txt1[1]->text()),
                                                         encodePassWord(SRV1_txt1[2]->text()), sAddress})) {
        tell(QStringLiteral("受信サーバー情報の登録に失敗しました。"));
        return;
    }
    SRV1_lst1->addItem(sRow);
    bRcvChanged = true;
    for (QLineEdit* field : SRV1_txt1)
        field->clear();
}

void frmSet::deleteReceiveServer() {
    QListWidgetItem* item = SRV1_lst1->currentItem();
    if (!item || !item->isSelected())
        return;
    const int iRow = SRV1_lst1->row(item);
    if (!clsSet1::instance().SRV1().deleteValue(qint16(iRow))) {
        tell(QStringLiteral("受信サーバー情報の削除に失敗しました。"));
        return;
    }
    removeRow(SRV1_lst1, iRow);
}

void frmSet::takeReceiveServer(QListWidgetItem* item) {
    const int iRow = item ? SRV1_lst1->row(item) : -1;
    if (iRow < 0 || iRow >= receiveRows())
        return;
    SRV1_txt1[0]->setText(receiveField(iRow, 0));
    SRV1_txt1[1]->setText(decodePassWord(receiveField(iRow, 1)));
    SRV1_txt1[2]->setText(decodePassWord(receiveField(iRow, 2)));
    SRV1_txt1[3]->setText(receiveField(iRow, 3));
}

void frmSet::proposeAddress() {
    if (!SRV1_txt1[3]->text().trimmed().isEmpty())
        return;
    SRV1_txt1[3]->setText((SRV1_txt1[1]->text() + QStringLiteral("@") + SRV1_txt1[0]->text()).trimmed());
}

void frmSet::rebuildSenderChoice() {
    // The user may have typed an address of his own; fresh entries must not take its place.
    const QString sTyped = SRV2_Comb1->currentText();
    const QSignalBlocker block(SRV2_Comb1);
    SRV2_Comb1->clear();
    SRV2_Comb1->addItem(QString());
    const int iRows = receiveRows();
    for (int r = 0; r < iRows; ++r)
        SRV2_Comb1->addItem(receiveField(r, 3));
    SRV2_Comb1->setCurrentIndex(SRV2_Comb1->findText(sTyped, Qt::MatchExactly | Qt::MatchCaseSensitive));
    SRV2_Comb1->setEditText(sTyped);
}

void frmSet::senderChosen(int iIndex) {
    if (iIndex < 1)
        return;
    const int iRow = iIndex - 1;
    if (iRow < receiveRows())
        SRV2_txt1[0]->setText(receiveField(iRow, 0).trimmed());
    else
        SRV2_txt1[0]->clear();
}
