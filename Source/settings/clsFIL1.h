#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

// Attachment choices, division into pages, quote-line and blank-line deletion (section "FIL1").
// On/off items use 0 for on and 1 for off, except the blank-line item, where 1 is on.
class clsFIL1 {
public:
    static constexpr qint16 iQuoteSlots = 31; // entries 0 to 30 in memory
    static constexpr qint16 iQuoteStored = 30;

    void setDefault();
    bool saveRegistory(const QString& sAPPName);
    bool loadRegistory(const QString& sAPPName);
    bool setValue(qint16 iID, const QVariantList& OtherArgs);
    QVariant getValue(qint16 iID, const QVariantList& OtherArgs = {}) const;
    qint16 getMaxReg() const { return iQuoteStored; }

private:
    qint16 iAttachMail = 0;
    qint16 iAttachFile = 0;
    qint16 iDivide = 0;
    qint16 iDivideSize = 0;
    qint16 iQuoteDelete = 0;
    qint16 iQuoteCount = 0;
    QString sQuoteChar[iQuoteSlots];
    qint16 iBlankDelete = 0;

    const qint16* intItem(qint16 iID) const;
};
