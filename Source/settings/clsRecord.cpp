#include "settings/clsRecord.h"

#include "settings/SettingsStore.h"
#include "settings/mdlPassWord.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {
int entriesInMemory(const RecordKey& key) {
    return key.iEntries > 0 ? key.iEntries + 1 : 1;
}

int fieldsInMemory(const RecordKey& key) {
    return key.iFields > 0 ? key.iFields + 1 : 1;
}

bool isNumber(const RecordKey& key) {
    return key.type != RecordKey::Text;
}
} // namespace

clsRecord::clsRecord(QString sSection, std::initializer_list<RecordKey> keys)
    : sSection(std::move(sSection)) {
    items.reserve(keys.size());
    for (const RecordKey& key : keys) {
        const size_t nCells = size_t(entriesInMemory(key)) * size_t(fieldsInMemory(key));
        Item item{key, {}, {}};
        if (isNumber(key))
            item.numbers.assign(nCells, key.has(RecordKey::Unchangeable) ? key.iLoad : qint16(0));
        else
            item.texts.assign(nCells, QString());
        items.push_back(std::move(item));
    }
}

const clsRecord::Item* clsRecord::find(qint16 iID) const {
    for (const Item& item : items) {
        if (item.key.iID == iID)
            return &item;
    }
    return nullptr;
}

clsRecord::Item* clsRecord::find(qint16 iID) {
    return const_cast<Item*>(std::as_const(*this).find(iID));
}

int clsRecord::cellOf(const Item& item, qint16 iEntry, qint16 iField) {
    return iEntry * fieldsInMemory(item.key) + iField;
}

int clsRecord::cellAt(const Item& item, const QVariantList& args, int iPos) {
    qint16 iEntry = 0;
    qint16 iField = 0;
    if (item.key.iEntries > 0 && (args.size() <= iPos || !SettingsStore::toInt16(args.at(iPos), iEntry) ||
                                  iEntry < 0 || iEntry >= entriesInMemory(item.key)))
        return -1;
    if (item.key.iFields > 0 &&
        (args.size() <= iPos + 1 || !SettingsStore::toInt16(args.at(iPos + 1), iField) || iField < 0 ||
         iField >= fieldsInMemory(item.key)))
        return -1;
    return cellOf(item, iEntry, iField);
}

QString clsRecord::keyOf(const Item& item, int iCell) const {
    QString sKey = QString::fromLatin1(item.key.sKey);
    if (item.key.iEntries > 0)
        sKey += u'_' + QString::number(iCell / fieldsInMemory(item.key));
    if (item.key.iFields > 0)
        sKey += u'_' + QString::number(iCell % fieldsInMemory(item.key));
    return sKey;
}

std::vector<int> clsRecord::storedCells(const Item& item) {
    std::vector<int> cells;
    for (int e = 0; e < std::max<int>(item.key.iEntries, 1); ++e) {
        for (int f = 0; f < std::max<int>(item.key.iFields, 1); ++f)
            cells.push_back(cellOf(item, qint16(e), qint16(f)));
    }
    return cells;
}

void clsRecord::put(Item& item, int iCell, qint16 iValue) {
    if (isNumber(item.key))
        item.numbers[size_t(iCell)] = iValue;
    else
        item.texts[size_t(iCell)].clear();
}

qint16& clsRecord::number(qint16 iID, qint16 iEntry, qint16 iField) {
    Item* item = find(iID);
    return item->numbers[size_t(cellOf(*item, iEntry, iField))];
}

qint16 clsRecord::number(qint16 iID, qint16 iEntry, qint16 iField) const {
    const Item* item = find(iID);
    return item->numbers[size_t(cellOf(*item, iEntry, iField))];
}

QString& clsRecord::text(qint16 iID, qint16 iEntry, qint16 iField) {
    Item* item = find(iID);
    return item->texts[size_t(cellOf(*item, iEntry, iField))];
}

const QString& clsRecord::text(qint16 iID, qint16 iEntry, qint16 iField) const {
    const Item* item = find(iID);
    return item->texts[size_t(cellOf(*item, iEntry, iField))];
}

void clsRecord::removeEntry(qint16 iID, qint16 iEntry, qint16 iFill) {
    Item& item = *find(iID);
    const qint16 iLast = item.key.iEntries - 1;
    for (qint16 f = 0; f < std::max<qint16>(item.key.iFields, 1); ++f) {
        for (qint16 e = iEntry; e < iLast; ++e) {
            const size_t iTo = size_t(cellOf(item, e, f));
            const size_t iFrom = size_t(cellOf(item, e + 1, f));
            if (isNumber(item.key))
                item.numbers[iTo] = item.numbers[iFrom];
            else
                item.texts[iTo] = item.texts[iFrom];
        }
        put(item, cellOf(item, iLast, f), iFill);
    }
}

void clsRecord::setDefault() {
    for (Item& item : items) {
        if (item.key.has(RecordKey::KeepOnReset))
            continue;
        for (int iCell : storedCells(item))
            put(item, iCell, item.key.iReset);
    }
}

bool clsRecord::loadCell(const QString& sAPPName, Item& item, int iCell) {
    const RecordKey& key = item.key;
    const QString sKey = keyOf(item, iCell);
    if (!isNumber(key)) {
        QString& sValue = item.texts[size_t(iCell)];
        if (!key.has(RecordKey::Scrambled))
            return SettingsStore::readText(sAPPName, sSection, sKey,
                                           key.has(RecordKey::KeepOnLoad) ? sValue : QString(), sValue);
        QString sStored;
        if (!SettingsStore::readText(sAPPName, sSection, sKey, QString(), sStored))
            return false;
        sValue = decodePassWord(sStored);
        return true;
    }
    qint16& iValue = item.numbers[size_t(iCell)];
    const qint16 iDefault = key.has(RecordKey::KeepOnLoad) ? iValue : key.iLoad;
    switch (key.type) {
    case RecordKey::Count:
        return SettingsStore::readCount(sAPPName, sSection, sKey, iDefault, 0, key.iMax, iValue);
    case RecordKey::Flag: {
        bool bValue = iValue != 0;
        const bool ok = SettingsStore::readBool(sAPPName, sSection, sKey, iDefault != 0, bValue);
        iValue = bValue ? 1 : 0;
        return ok;
    }
    default:
        return SettingsStore::readInt16(sAPPName, sSection, sKey, iDefault, iValue);
    }
}

bool clsRecord::writeCell(const QString& sAPPName, const Item& item, int iCell) const {
    const RecordKey& key = item.key;
    const QString sKey = keyOf(item, iCell);
    const bool bFixed = key.has(RecordKey::StoredFixed);
    if (!isNumber(key)) {
        const QString sValue = bFixed ? QString() : item.texts[size_t(iCell)];
        return SettingsStore::saveSetting(sAPPName, sSection, sKey,
                                          key.has(RecordKey::Scrambled) ? encodePassWord(sValue) : sValue);
    }
    const qint16 iValue = bFixed ? key.iLoad : item.numbers[size_t(iCell)];
    return key.type == RecordKey::Flag ? SettingsStore::writeBool(sAPPName, sSection, sKey, iValue != 0)
                                       : SettingsStore::writeInt16(sAPPName, sSection, sKey, iValue);
}

bool clsRecord::loadItems(const QString& sAPPName, qint16 iFirst, qint16 iLast) {
    for (Item& item : items) {
        if (item.key.iID < iFirst || item.key.iID > iLast)
            continue;
        for (int iCell : storedCells(item)) {
            if (item.key.has(RecordKey::NotRead))
                put(item, iCell, item.key.iLoad);
            else if (!loadCell(sAPPName, item, iCell))
                return false;
        }
    }
    return true;
}

bool clsRecord::writeItem(const QString& sAPPName, qint16 iID) {
    const Item* item = find(iID);
    if (!item)
        return false;
    for (int iCell : storedCells(*item)) {
        if (!writeCell(sAPPName, *item, iCell))
            return false;
    }
    return true;
}

bool clsRecord::storeItem(const QString& sAPPName, qint16 iID) {
    if (!find(iID))
        return false;
    SettingsSyncGuard guard(sAPPName);
    return guard.commit(writeItem(sAPPName, iID));
}

bool clsRecord::loadRegistory(const QString& sAPPName) {
    return loadItems(sAPPName, std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max());
}

bool clsRecord::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    if (!mayStore())
        return false;
    for (const Item& item : items) {
        if (!writeItem(sAPPName, item.key.iID))
            return false;
    }
    return guard.commit(true);
}

bool clsRecord::setValue(qint16 iID, const QVariantList& OtherArgs) {
    Item* item = find(iID);
    if (item && item->key.has(RecordKey::Unchangeable))
        return true;
    if (!item || OtherArgs.isEmpty())
        return false;
    const int iCell = cellAt(*item, OtherArgs, 1);
    if (iCell < 0)
        return false;
    const QVariant& vValue = OtherArgs.first();
    if (isNumber(item->key)) {
        qint16& iValue = item->numbers[size_t(iCell)];
        return item->key.has(RecordKey::NumberAsText) ? SettingsStore::toInt16(vValue.toString(), iValue)
                                                      : SettingsStore::toInt16(vValue, iValue);
    }
    const QString sText = vValue.toString();
    if (sText.isEmpty() && item->key.has(RecordKey::KeepOnEmpty))
        return true;
    item->texts[size_t(iCell)] = sText;
    return true;
}

QVariant clsRecord::getValue(qint16 iID, const QVariantList& OtherArgs) const {
    const Item* item = find(iID);
    const int iCell = item ? cellAt(*item, OtherArgs, 0) : -1;
    if (iCell < 0)
        return QVariant(false);
    if (isNumber(item->key))
        return int(item->numbers[size_t(iCell)]);
    return item->texts[size_t(iCell)];
}
