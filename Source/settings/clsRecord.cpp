#include "settings/clsRecord.h"

#include "settings/SettingsStore.h"
#include "settings/mdlPassWord.h"

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

bool clsRecord::isStored(const Item& item, int iCell) const {
    const int iEntry = iCell / fieldsInMemory(item.key);
    const int iField = iCell % fieldsInMemory(item.key);
    return (item.key.iEntries == 0 || iEntry < item.key.iEntries) &&
           (item.key.iFields == 0 || iField < item.key.iFields);
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
    const int nFields = std::max<int>(item.key.iFields, 1);
    const int iLast = item.key.iEntries - 1;
    for (int f = 0; f < nFields; ++f) {
        for (int e = iEntry; e < iLast; ++e) {
            if (isNumber(item.key))
                item.numbers[size_t(cellOf(item, e, f))] = item.numbers[size_t(cellOf(item, e + 1, f))];
            else
                item.texts[size_t(cellOf(item, e, f))] = item.texts[size_t(cellOf(item, e + 1, f))];
        }
        if (isNumber(item.key))
            item.numbers[size_t(cellOf(item, iLast, f))] = iFill;
        else
            item.texts[size_t(cellOf(item, iLast, f))].clear();
    }
}

void clsRecord::setDefault() {
    for (Item& item : items) {
        if (item.key.has(RecordKey::KeepOnReset))
            continue;
        for (size_t i = 0; i < std::max(item.numbers.size(), item.texts.size()); ++i) {
            if (!isStored(item, int(i)))
                continue;
            if (isNumber(item.key))
                item.numbers[i] = item.key.iReset;
            else
                item.texts[i].clear();
        }
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
        const size_t nCells = std::max(item.numbers.size(), item.texts.size());
        for (size_t i = 0; i < nCells; ++i) {
            if (!isStored(item, int(i)))
                continue;
            if (!item.key.has(RecordKey::NotRead)) {
                if (!loadCell(sAPPName, item, int(i)))
                    return false;
            } else if (isNumber(item.key)) {
                item.numbers[i] = item.key.iLoad;
            } else {
                item.texts[i].clear();
            }
        }
    }
    return true;
}

bool clsRecord::writeItem(const QString& sAPPName, qint16 iID) {
    const Item* item = find(iID);
    if (!item)
        return false;
    const size_t nCells = std::max(item->numbers.size(), item->texts.size());
    for (size_t i = 0; i < nCells; ++i) {
        if (isStored(*item, int(i)) && !writeCell(sAPPName, *item, int(i)))
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
