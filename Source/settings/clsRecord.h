#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

#include <initializer_list>
#include <vector>

// One key of a settings section, or a list or table of them: its type, the value a load takes when the key is
// missing, the value a reset puts there and how many entries the store keeps.
struct RecordKey {
    enum Type : quint8 {
        Number, // a 16-bit integer as stored
        Count,  // a 16-bit integer brought into 0..iMax on load
        Flag,   // "True" / "False"
        Text,
    };
    enum Rule : quint8 {
        NotRead = 1,       // a load puts iLoad without reading the key
        StoredFixed = 2,   // a save writes iLoad (or an empty text), whatever memory holds
        Unchangeable = 4,  // setValue leaves iLoad in place and succeeds
        KeepOnLoad = 8,    // a missing key leaves memory as it is
        KeepOnReset = 16,  // setDefault leaves it as it is
        KeepOnEmpty = 32,  // setValue leaves a text in place when handed an empty one
        NumberAsText = 64, // setValue reads the number from the text form of what it is handed
        Scrambled = 128,   // stored scrambled like the passwords
    };

    qint16 iID;       // the item of getValue and setValue
    const char* sKey; // "Val1"; a list's entries are "Val7_0" …, a table's "Val2_0_0" …
    Type type;
    qint16 iLoad = 0;
    qint16 iReset = 0; // texts reset to empty
    qint16 iMax = 0;   // upper bound of a count
    // Entries (and fields of an entry) kept in the store; memory holds one more of each. 0: a single value.
    qint16 iEntries = 0;
    qint16 iFields = 0;
    quint8 rules = 0;

    bool has(Rule rule) const { return (rules & rule) != 0; }
};

// A settings section declared as its keys. Loads, saves, resets and bounds every key the same way; a list
// entry or table field is addressed by the arguments after the value (setValue) or by the first ones
// (getValue). getValue answers false for an unknown item or entry.
class clsRecord {
public:
    virtual ~clsRecord() = default;

    virtual void setDefault();
    bool saveRegistory(const QString& sAPPName);
    bool loadRegistory(const QString& sAPPName);
    bool setValue(qint16 iID, const QVariantList& OtherArgs);
    QVariant getValue(qint16 iID, const QVariantList& OtherArgs = {}) const;

    clsRecord(const clsRecord&) = delete;
    clsRecord& operator=(const clsRecord&) = delete;

protected:
    clsRecord(QString sSection, std::initializer_list<RecordKey> keys);

    // Asked before a save writes anything; false refuses it.
    virtual bool mayStore() const { return true; }

    // The cells of an item; out-of-range addresses are the caller's fault.
    qint16& number(qint16 iID, qint16 iEntry = 0, qint16 iField = 0);
    qint16 number(qint16 iID, qint16 iEntry = 0, qint16 iField = 0) const;
    QString& text(qint16 iID, qint16 iEntry = 0, qint16 iField = 0);
    const QString& text(qint16 iID, qint16 iEntry = 0, qint16 iField = 0) const;

    // Deletes a stored entry of a list or table: the later ones move up and the last stored one takes
    // iFill (numbers) or is emptied (texts).
    void removeEntry(qint16 iID, qint16 iEntry, qint16 iFill = 0);

    // Loads or writes the keys of the items from iFirst to iLast, in their order, stopping at a failure.
    bool loadItems(const QString& sAPPName, qint16 iFirst, qint16 iLast);
    bool writeItem(const QString& sAPPName, qint16 iID);
    // Writes one item and then the store to disk; false for an unknown item, with nothing written.
    bool storeItem(const QString& sAPPName, qint16 iID);

private:
    struct Item {
        RecordKey key;
        std::vector<qint16> numbers;
        std::vector<QString> texts;
    };

    const Item* find(qint16 iID) const;
    Item* find(qint16 iID);
    // The position of a cell from the address in args at iPos, or -1.
    static int cellAt(const Item& item, const QVariantList& args, int iPos);
    static int cellOf(const Item& item, qint16 iEntry, qint16 iField);
    QString keyOf(const Item& item, int iCell) const;
    // The cells the store keeps, in the order they are read and written.
    static std::vector<int> storedCells(const Item& item);
    // A number cell takes iValue, a text cell is emptied.
    static void put(Item& item, int iCell, qint16 iValue);
    bool loadCell(const QString& sAPPName, Item& item, int iCell);
    bool writeCell(const QString& sAPPName, const Item& item, int iCell) const;

    const QString sSection;
    std::vector<Item> items;
};
