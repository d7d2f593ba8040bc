#include "settings/clsSRV2.h"

clsSRV2::clsSRV2()
    : clsServerTable(QStringLiteral("SRV2"), 6,
                     QStringLiteral("少なくても１つの送信サーバーを設定してください"),
                     QStringLiteral("送信サーバー設定エラー")) {}

// The nickname is never taken over, and there is only ever one send entry.
void clsSRV2::rowAdded(qint16 iIndex) {
    cell(iIndex, 2).clear();
    rowCount() = 1;
}
