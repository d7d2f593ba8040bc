#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

// A filter that is on or off with a list of up to 30 texts: the shape shared by the sender and the subject
// filters. Item 1 is the switch (0 on), item 2 the number of entries in use, item 3 the entries.
class clsWordList {
public:
    static constexpr qint16 iSlots = 31; // entries 0 to 30 in memory
    static constexpr qint16 iStored = 30;

    void setDefault();
    bool saveRegistory(const QString& sAPPName);
    bool loadRegistory(const QString& sAPPName);
    qint16 getMaxReg() const { return iStored; }
    bool setValue(qint16 iID, const QVariantList& OtherArgs);
    QVariant getValue(qint16 iID, const QVariantList& OtherArgs = {}) const;

protected:
    clsWordList(QString sSection, QString sEmptyText, QString sEmptyTitle)
        : sSection(std::move(sSection)), sEmptyText(std::move(sEmptyText)),
          sEmptyTitle(std::move(sEmptyTitle)) {}

private:
    const QString sSection;
    // Shown when the filter is switched on without an entry.
    const QString sEmptyText;
    const QString sEmptyTitle;
    qint16 iFilter = 0;
    qint16 iCount = 0;
    QString sTable[iSlots];
};
