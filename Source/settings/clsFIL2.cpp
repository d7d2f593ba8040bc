#include "settings/clsFIL2.h"

// Mail to the user in To is always forwarded, so that item is fixed on.
clsFIL2::clsFIL2()
    : clsRecord(QStringLiteral("FIL2"),
                {{.iID = 1, .sKey = "Val1", .type = RecordKey::Number, .iLoad = 1, .iReset = 1},
                 {.iID = 2,
                  .sKey = "Val2",
                  .type = RecordKey::Number,
                  .iLoad = 1,
                  .iReset = 1,
                  .rules = RecordKey::NotRead | RecordKey::StoredFixed | RecordKey::Unchangeable},
                 {.iID = 3, .sKey = "Val3", .type = RecordKey::Number, .iLoad = 1, .iReset = 1},
                 {.iID = 4, .sKey = "Val4", .type = RecordKey::Number, .iLoad = 1, .iReset = 1}}) {}
