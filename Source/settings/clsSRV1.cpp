#include "settings/clsSRV1.h"

clsSRV1::clsSRV1()
    : clsServerTable(QStringLiteral("SRV1"), 4,
                     QStringLiteral("少なくても１つの受信サーバーを設定してください"),
                     QStringLiteral("受信サーバー設定エラー")) {}

void clsSRV1::rowAdded(qint16) {
    ++rowCount();
}
