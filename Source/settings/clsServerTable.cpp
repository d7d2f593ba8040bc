#include "settings/clsServerTable.h"

#include "base/mdlMessage.h"
#include "settings/SettingsStore.h"

namespace {
QString cellKey(qint16 iRow, qint16 iField) {
    return QStringLiteral("Val2_%1_%2").arg(iRow).arg(iField);
}
} // namespace

bool clsServerTable::toCell(const QVariantList& args, int iPos, qint16& iRow, qint16& iField) const {
    return args.size() > iPos + 1 && SettingsStore::toInt16(args.at(iPos), iRow) &&
           SettingsStore::toInt16(args.at(iPos + 1), iField) && iRow >= 0 && iRow < iRows && iField >= 0 &&
           iField <= iStoredFields;
}

void clsServerTable::setDefault() {
    iCount = 0;
    for (qint16 r = 0; r < iStoredRows; ++r) {
        for (qint16 f = 0; f < iStoredFields; ++f)
            sTable[r][f].clear();
    }
}

bool clsServerTable::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    if (iCount == 0) {
        showMessage(sEmptyText, sEmptyTitle, MsgIcon::Exclamation, MsgButtons::Ok);
        return false;
    }
    if (!SettingsStore::writeInt16(sAPPName, sSection, QStringLiteral("Val1"), iCount))
        return false;
    // Rows beyond the count are written too, so a stale row in the store is overwritten.
    for (qint16 r = 0; r < iStoredRows; ++r) {
        for (qint16 f = 0; f < iStoredFields; ++f) {
            if (!SettingsStore::saveSetting(sAPPName, sSection, cellKey(r, f), sTable[r][f]))
                return false;
        }
    }
    return guard.commit(true);
}

bool clsServerTable::loadRegistory(const QString& sAPPName) {
    if (!SettingsStore::readCount(sAPPName, sSection, QStringLiteral("Val1"), 0, 0, iStoredRows, iCount))
        return false;
    for (qint16 r = 0; r < iStoredRows; ++r) {
        for (qint16 f = 0; f < iStoredFields; ++f) {
            if (!SettingsStore::readText(sAPPName, sSection, cellKey(r, f), sTable[r][f], sTable[r][f]))
                return false;
        }
    }
    return true;
}

bool clsServerTable::setValue(qint16 iID, const QVariantList& OtherArgs) {
    if (OtherArgs.isEmpty())
        return false;
    if (iID == 1)
        return SettingsStore::toInt16(OtherArgs.at(0), iCount);
    qint16 iRow = 0;
    qint16 iField = 0;
    if (iID != 2 || !toCell(OtherArgs, 1, iRow, iField))
        return false;
    sTable[iRow][iField] = OtherArgs.at(0).toString();
    return true;
}

QVariant clsServerTable::getValue(qint16 iID, const QVariantList& OtherArgs) const {
    if (iID == 1)
        return int(iCount);
    qint16 iRow = 0;
    qint16 iField = 0;
    if (iID != 2 || !toCell(OtherArgs, 0, iRow, iField))
        return QVariant(false);
    return sTable[iRow][iField];
}

bool clsServerTable::writeRow(qint16 iIndex, const QVariantList& addValues) {
    if (iIndex < 0 || iIndex >= iRows || addValues.size() < iStoredFields)
        return false;
    for (qint16 f = 0; f < iStoredFields; ++f)
        sTable[iIndex][f] = addValues.at(f).toString();
    return true;
}

bool clsServerTable::deleteValue(qint16 iIndex) {
    if (iCount < 1 || iIndex < 0)
        return false;
    for (qint16 r = iIndex; r < iStoredRows - 1; ++r) {
        for (qint16 f = 0; f < iStoredFields; ++f)
            sTable[r][f] = sTable[r + 1][f];
    }
    for (qint16 f = 0; f < iStoredFields; ++f)
        sTable[iStoredRows - 1][f].clear();
    --iCount;
    return true;
}
