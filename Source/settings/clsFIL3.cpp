#include "settings/clsFIL3.h"

clsFIL3::clsFIL3()
    : clsWordList(QStringLiteral("FIL3"), QStringLiteral("少なくても１つのfrom:アドレスを設定してください"),
                  QStringLiteral("フィルター３設定エラー")) {}
