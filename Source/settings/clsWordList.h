#pragma once

#include "settings/clsRecord.h"

// A filter that is on or off with a list of up to 30 texts: the shape shared by the sender and the subject
// filters. Item 1 is the switch (0 on), item 2 the number of entries in use, item 3 the entries.
class clsWordList : public clsRecord {
public:
    static constexpr qint16 iSlots = 31; // entries 0 to 30 in memory
    static constexpr qint16 iStored = 30;

    qint16 getMaxReg() const { return iStored; }

protected:
    clsWordList(const QString& sSection, QString sEmptyText, QString sEmptyTitle);

private:
    bool mayStore() const override;

    // Shown when the filter is switched on without an entry.
    const QString sEmptyText;
    const QString sEmptyTitle;
};
