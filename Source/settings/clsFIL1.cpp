#include "settings/clsFIL1.h"

#include "settings/SettingsStore.h"

namespace {
const QString sSection = QStringLiteral("FIL1");

QString quoteKey(qint16 n) {
    return QStringLiteral("Val7_%1").arg(n);
}
QString valKey(int n) {
    return QStringLiteral("Val%1").arg(n);
}
} // namespace

const qint16* clsFIL1::intItem(qint16 iID) const {
    switch (iID) {
    case 1:
        return &iAttachMail;
    case 2:
        return &iAttachFile;
    case 3:
        return &iDivide;
    case 4:
        return &iDivideSize;
    case 5:
        return &iQuoteDelete;
    case 6:
        return &iQuoteCount;
    case 8:
        return &iBlankDelete;
    default:
        return nullptr;
    }
}

void clsFIL1::setDefault() {
    iAttachMail = 1;
    iAttachFile = 1;
    iDivide = 1;
    iDivideSize = 250;
    iQuoteDelete = 1;
    iQuoteCount = 0;
    iBlankDelete = 0;
}

bool clsFIL1::saveRegistory(const QString& sAPPName) {
    SettingsSyncGuard guard(sAPPName);
    const qint16 iHead[] = {iAttachMail, iAttachFile, iDivide, iDivideSize, iQuoteDelete, iQuoteCount};
    for (int i = 0; i < 6; ++i) {
        if (!SettingsStore::writeInt16(sAPPName, sSection, valKey(i + 1), iHead[i]))
            return false;
    }
    for (qint16 n = 0; n < iQuoteStored; ++n) {
        if (!SettingsStore::saveSetting(sAPPName, sSection, quoteKey(n), sQuoteChar[n]))
            return false;
    }
    return guard.commit(SettingsStore::writeInt16(sAPPName, sSection, valKey(8), iBlankDelete));
}

bool clsFIL1::loadRegistory(const QString& sAPPName) {
    struct Head {
        qint16* pValue;
        qint16 iDefault;
        qint16 iMax;
    };
    // The page size and the number of quote marks are counts; the others are switches read as stored.
    const Head head[] = {{&iAttachMail, 1, 0},       {&iAttachFile, 1, 0},  {&iDivide, 1, 0},
                         {&iDivideSize, 250, 32767}, {&iQuoteDelete, 1, 0}, {&iQuoteCount, 1, iQuoteStored}};
    for (const Head& h : head) {
        const QString sKey = valKey(int(&h - head) + 1);
        const bool ok =
            h.iMax > 0 ? SettingsStore::readCount(sAPPName, sSection, sKey, h.iDefault, 0, h.iMax, *h.pValue)
                       : SettingsStore::readInt16(sAPPName, sSection, sKey, h.iDefault, *h.pValue);
        if (!ok)
            return false;
    }
    for (qint16 n = 0; n < iQuoteStored; ++n) {
        if (!SettingsStore::readText(sAPPName, sSection, quoteKey(n), sQuoteChar[n], sQuoteChar[n]))
            return false;
    }
    return SettingsStore::readInt16(sAPPName, sSection, valKey(8), 0, iBlankDelete);
}

bool clsFIL1::setValue(qint16 iID, const QVariantList& OtherArgs) {
    if (OtherArgs.isEmpty())
        return false;
    if (iID == 7) {
        qint16 iIndex = 0;
        if (OtherArgs.size() < 2 || !SettingsStore::toInt16(OtherArgs.at(1), iIndex) || iIndex < 0 ||
            iIndex >= iQuoteSlots)
            return false;
        // The dialog hands over every row of its list; an empty one must not wipe a stored character.
        const QString sText = OtherArgs.at(0).toString();
        if (!sText.isEmpty())
            sQuoteChar[iIndex] = sText;
        return true;
    }
    // The items are members of this non-const object, so writing through the pointer is sound.
    qint16* pItem = const_cast<qint16*>(intItem(iID));
    return pItem && SettingsStore::toInt16(OtherArgs.at(0), *pItem);
}

QVariant clsFIL1::getValue(qint16 iID, const QVariantList& OtherArgs) const {
    if (iID == 7) {
        qint16 iIndex = 0;
        if (OtherArgs.isEmpty() || !SettingsStore::toInt16(OtherArgs.at(0), iIndex) || iIndex < 0 ||
            iIndex >= iQuoteSlots)
            return QVariant(false);
        return sQuoteChar[iIndex];
    }
    const qint16* pItem = intItem(iID);
    return pItem ? QVariant(int(*pItem)) : QVariant(false);
}
