#include "settings/clsOPT1.h"

// The position page is not shown to the user, so a load always puts the memo at the head.
clsOPT1::clsOPT1()
    : clsRecord(QStringLiteral("OPT1"), {{.iID = 1,
                                          .sKey = "Val1",
                                          .type = RecordKey::Number,
                                          .iLoad = 1,
                                          .iReset = 1,
                                          .rules = RecordKey::NotRead},
                                         {.iID = 2, .sKey = "Val2", .type = RecordKey::Number}}) {}
