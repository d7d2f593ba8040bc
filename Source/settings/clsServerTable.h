#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

// A table of server rows: the shape shared by the receive and the send server lists. Rows 0 to 19 and the
// stored fields are kept in the store; row 20 and one extra field per row live in memory only.
class clsServerTable {
public:
    static constexpr qint16 iRows = 21;
    static constexpr qint16 iStoredRows = 20;

    void setDefault();
    bool saveRegistory(const QString& sAPPName);
    bool loadRegistory(const QString& sAPPName);
    qint16 getMaxReg() const { return iStoredRows; }
    bool setValue(qint16 iID, const QVariantList& OtherArgs);
    QVariant getValue(qint16 iID, const QVariantList& OtherArgs = {}) const;
    bool deleteValue(qint16 iIndex);

protected:
    clsServerTable(QString sSection, qint16 iStoredFields, QString sEmptyText, QString sEmptyTitle)
        : sSection(std::move(sSection)), iStoredFields(iStoredFields), sEmptyText(std::move(sEmptyText)),
          sEmptyTitle(std::move(sEmptyTitle)) {}

    // Writes the stored fields of one row; false, with the row untouched, for a bad row or too few values.
    bool writeRow(qint16 iIndex, const QVariantList& addValues);

    qint16 iCount = 0;
    static constexpr qint16 iMaxFields = 7;
    QString sTable[iRows][iMaxFields];

private:
    bool toCell(const QVariantList& args, int iPos, qint16& iRow, qint16& iField) const;

    const QString sSection;
    const qint16 iStoredFields;
    // Shown when a save finds no row.
    const QString sEmptyText;
    const QString sEmptyTitle;
};
