#include "settings/clsSRV2.h"

clsSRV2::clsSRV2()
    : clsServerTable(QStringLiteral("SRV2"), 6,
                     QStringLiteral("少なくても１つの送信サーバーを設定してください"),
                     QStringLiteral("送信サーバー設定エラー")) {}

bool clsSRV2::additionValue(qint16 iIndex, const QVariantList& addValues) {
    if (!writeRow(iIndex, addValues))
        return false;
    // The nickname is never taken over, and there is only ever one send entry.
    sTable[iIndex][2].clear();
    iCount = 1;
    return true;
}
