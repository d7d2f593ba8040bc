#pragma once

#include "settings/clsRecord.h"

// A table of server rows: the shape shared by the receive and the send server lists. Rows 0 to 19 and the
// stored fields are kept in the store; row 20 and one extra field per row live in memory only. Item 1 is the
// number of rows in use, item 2 the table.
class clsServerTable : public clsRecord {
public:
    static constexpr qint16 iRows = 21;
    static constexpr qint16 iStoredRows = 20;

    qint16 getMaxReg() const { return iStoredRows; }
    // Takes the stored fields of a row from addValues; false, with the row untouched, for a bad row or too
    // few values.
    bool additionValue(qint16 iIndex, const QVariantList& addValues);
    bool deleteValue(qint16 iIndex);

protected:
    clsServerTable(const QString& sSection, qint16 iStoredFields, QString sEmptyText, QString sEmptyTitle);

    // What a table makes of a row just written: counts it, and may change it.
    virtual void rowAdded(qint16 iIndex) = 0;
    qint16& rowCount() { return number(1); }
    QString& cell(qint16 iRow, qint16 iField) { return text(2, iRow, iField); }

private:
    bool mayStore() const override;

    const qint16 iStoredFields;
    // Shown when a save finds no row.
    const QString sEmptyText;
    const QString sEmptyTitle;
};
