#include "settings/clsPAS1.h"

// Item 2 is kept with the record for stored settings; nothing reads it. The chosen file outlives a reset.
clsPAS1::clsPAS1()
    : clsRecord(QStringLiteral("PAS1"),
                {{.iID = 1, .sKey = "Val1", .type = RecordKey::Number, .iLoad = 1, .iReset = 1},
                 {.iID = 2, .sKey = "Val2", .type = RecordKey::Text, .rules = RecordKey::KeepOnLoad},
                 {.iID = 3, .sKey = "Val3", .type = RecordKey::Text, .rules = RecordKey::KeepOnReset},
                 {.iID = 4, .sKey = "Val4", .type = RecordKey::Text, .rules = RecordKey::KeepOnReset}}) {}
