#include "settings/clsFIL4.h"

clsFIL4::clsFIL4()
    : clsWordList(QStringLiteral("FIL4"), QStringLiteral("少なくても１つの文字列を設定してください"),
                  QStringLiteral("フィルター４設定エラー")) {}
