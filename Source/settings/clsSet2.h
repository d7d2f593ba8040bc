#pragma once

#include <QString>
#include <QVariant>
#include <array>

// The simple settings set (section "ESET"): one receive account, one SMTP server, one destination, the check
// interval, the page size and the screen saver file. Only stores values; the dialog validates.
class clsSet2 {
public:
    static clsSet2& instance();

    void setDefault();
    bool loadRegistory(const QString& sAPPName);
    bool saveRegistory(const QString& sAPPName);
    QVariant getValue(qint16 iID, const QVariantList& OtherArgs = {}) const;
    bool setValue(qint16 iID, const QVariantList& OtherArgs);

private:
    static bool isIntegerItem(qint16 iID) { return iID == 6 || iID == 8; }

    // Items 1 to 11 by id; the integer items 6 and 8 live in iInterval and iPageSize.
    std::array<QString, 12> sItems;
    qint16 iInterval = 60;
    qint16 iPageSize = 0;
};
