#pragma once

#include "settings/clsRecord.h"

// Attachment choices, division into pages, quote-line and blank-line deletion (section "FIL1").
// On/off items use 0 for on and 1 for off, except the blank-line item, where 1 is on.
class clsFIL1 : public clsRecord {
public:
    static constexpr qint16 iQuoteSlots = 31; // entries 0 to 30 in memory
    static constexpr qint16 iQuoteStored = 30;

    clsFIL1();
    qint16 getMaxReg() const { return iQuoteStored; }
};
