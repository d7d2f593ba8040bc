#include "settings/clsServerTable.h"

#include "base/mdlMessage.h"

// Rows beyond the count are written too, so a stale row in the store is overwritten.
clsServerTable::clsServerTable(const QString& sSection, qint16 iStoredFields, QString sEmptyText,
                               QString sEmptyTitle)
    : clsRecord(sSection, {{.iID = 1, .sKey = "Val1", .type = RecordKey::Count, .iMax = iStoredRows},
                           {.iID = 2,
                            .sKey = "Val2",
                            .type = RecordKey::Text,
                            .iEntries = iStoredRows,
                            .iFields = iStoredFields,
                            .rules = RecordKey::KeepOnLoad}}),
      iStoredFields(iStoredFields), sEmptyText(std::move(sEmptyText)), sEmptyTitle(std::move(sEmptyTitle)) {}

bool clsServerTable::mayStore() const {
    if (number(1) != 0)
        return true;
    showMessage(sEmptyText, sEmptyTitle, MsgIcon::Exclamation, MsgButtons::Ok);
    return false;
}

bool clsServerTable::additionValue(qint16 iIndex, const QVariantList& addValues) {
    if (iIndex < 0 || iIndex >= iRows || addValues.size() < iStoredFields)
        return false;
    for (qint16 f = 0; f < iStoredFields; ++f)
        cell(iIndex, f) = addValues.at(f).toString();
    rowAdded(iIndex);
    return true;
}

bool clsServerTable::deleteValue(qint16 iIndex) {
    if (rowCount() < 1 || iIndex < 0)
        return false;
    removeEntry(2, iIndex);
    --rowCount();
    return true;
}
