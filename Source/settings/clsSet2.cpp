#include "settings/clsSet2.h"

clsSet2& clsSet2::instance() {
    static clsSet2 set;
    return set;
}

namespace {
RecordKey textItem(qint16 iID, const char* sKey) {
    return {.iID = iID, .sKey = sKey, .type = RecordKey::Text};
}
} // namespace

// The page size comes from a text field, so it goes through its text form. The user's own address (item 11)
// lives only in memory.
clsSet2::clsSet2()
    : clsRecord(QStringLiteral("ESET"),
                {textItem(1, "Val1"),
                 textItem(2, "Val2"),
                 textItem(3, "Val3"),
                 textItem(4, "Val4"),
                 textItem(5, "Val5"),
                 {.iID = 6, .sKey = "Val6", .type = RecordKey::Number, .iLoad = 60, .iReset = 60},
                 textItem(7, "Val7"),
                 {.iID = 8,
                  .sKey = "Val8",
                  .type = RecordKey::Count,
                  .iMax = 32767,
                  .rules = RecordKey::NumberAsText},
                 textItem(9, "Val9"),
                 textItem(10, "Val10"),
                 {.iID = 11,
                  .sKey = "Val11",
                  .type = RecordKey::Text,
                  .rules = RecordKey::NotRead | RecordKey::StoredFixed}}) {
    setDefault();
}
