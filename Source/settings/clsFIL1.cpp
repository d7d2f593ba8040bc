#include "settings/clsFIL1.h"

// The page size and the number of quote marks are counts; the others are switches read as stored. A quote
// mark is kept through a reset and through an empty row the dialog hands over.
clsFIL1::clsFIL1()
    : clsRecord(
          QStringLiteral("FIL1"),
          {{.iID = 1, .sKey = "Val1", .type = RecordKey::Number, .iLoad = 1, .iReset = 1},
           {.iID = 2, .sKey = "Val2", .type = RecordKey::Number, .iLoad = 1, .iReset = 1},
           {.iID = 3, .sKey = "Val3", .type = RecordKey::Number, .iLoad = 1, .iReset = 1},
           {.iID = 4, .sKey = "Val4", .type = RecordKey::Count, .iLoad = 250, .iReset = 250, .iMax = 32767},
           {.iID = 5, .sKey = "Val5", .type = RecordKey::Number, .iLoad = 1, .iReset = 1},
           {.iID = 6, .sKey = "Val6", .type = RecordKey::Count, .iLoad = 1, .iMax = iQuoteStored},
           {.iID = 7,
            .sKey = "Val7",
            .type = RecordKey::Text,
            .iEntries = iQuoteStored,
            .rules = RecordKey::KeepOnLoad | RecordKey::KeepOnReset | RecordKey::KeepOnEmpty},
           {.iID = 8, .sKey = "Val8", .type = RecordKey::Number}}) {}
