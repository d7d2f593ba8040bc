#include "settings/clsWTH1.h"

// The dialog offers no way to switch the periodic check off, so it is on after a load and stored on.
clsWTH1::clsWTH1()
    : clsRecord(QStringLiteral("WTH1"),
                {{.iID = 1,
                  .sKey = "Val1",
                  .type = RecordKey::Number,
                  .rules = RecordKey::NotRead | RecordKey::StoredFixed},
                 {.iID = 2, .sKey = "Val2", .type = RecordKey::Number, .iLoad = 60, .iReset = 60}}) {}
