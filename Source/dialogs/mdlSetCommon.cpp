#include "dialogs/mdlSetCommon.h"

#include "dialogs/frmEasySet.h"
#include "dialogs/frmSet.h"

#include <QListWidget>

void openSettingsDialogs(bool bDetailed, QWidget* parent) {
    // A loop rather than one dialog opening the other, so switching back and forth never nests windows.
    for (;;) {
        int iResult = 0;
        if (bDetailed) {
            frmSet dialog(parent);
            iResult = dialog.exec();
        } else {
            frmEasySet dialog(parent);
            iResult = dialog.exec();
        }
        if (iResult != iSwitchDialog)
            return;
        bDetailed = !bDetailed;
    }
}

bool checkMailAddress(const QString& sAddress) {
    if (sAddress.count(QLatin1Char('@')) != 1 || sAddress.size() < 4)
        return false;
    for (const QChar c : {QLatin1Char(' '), QLatin1Char('~'), QLatin1Char('/')})
        if (sAddress.contains(c))
            return false;
    const qsizetype iAt = sAddress.indexOf(QLatin1Char('@'));
    if (iAt == 0 || iAt == sAddress.size() - 1)
        return false;
    return sAddress.at(iAt - 1) != QLatin1Char('.') && sAddress.at(iAt + 1) != QLatin1Char('.');
}

bool listContains(QListWidget* list, const QString& sText) {
    for (int i = 0; i < list->count(); ++i) {
        list->setCurrentRow(i);
        if (list->item(i)->text() == sText)
            return true;
    }
    return false;
}

QString joinColumns(qint16 iMode, qint16 iCount, const QStringList& sValues) {
    if (iMode != 1 && iMode != 2)
        return QString();
    const QString sGap = iMode == 1 ? QStringLiteral("    ") : QString();
    QString sJoined;
    for (qint16 i = 0; i < iCount && i < sValues.size(); ++i)
        sJoined += sValues.at(i) + sGap;
    return sJoined;
}
