#include "settings/clsWordList.h"

#include "base/mdlMessage.h"

clsWordList::clsWordList(const QString& sSection, QString sEmptyText, QString sEmptyTitle)
    : clsRecord(sSection, {{.iID = 1, .sKey = "Val1", .type = RecordKey::Number, .iLoad = 1, .iReset = 1},
                           {.iID = 2, .sKey = "Val2", .type = RecordKey::Count, .iMax = iStored},
                           {.iID = 3,
                            .sKey = "Val3",
                            .type = RecordKey::Text,
                            .iEntries = iStored,
                            .rules = RecordKey::KeepOnLoad}}),
      sEmptyText(std::move(sEmptyText)), sEmptyTitle(std::move(sEmptyTitle)) {}

bool clsWordList::mayStore() const {
    if (number(1) != 0 || number(2) != 0)
        return true;
    showMessage(sEmptyText, sEmptyTitle, MsgIcon::Exclamation, MsgButtons::Ok);
    return false;
}
