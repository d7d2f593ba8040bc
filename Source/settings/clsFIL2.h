#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

// Forward or hold back by where the user's own address stands among the recipients (section "FIL2").
class clsFIL2 {
public:
    void setDefault();
    bool saveRegistory(const QString& sAPPName);
    bool loadRegistory(const QString& sAPPName);
    bool setValue(qint16 iID, const QVariantList& OtherArgs);
    QVariant getValue(qint16 iID, const QVariantList& OtherArgs = {}) const;

private:
    qint16 iFilter = 0;
    qint16 iToSet = 1; // fixed: mail to the user in To is always forwarded
    qint16 iCcSet = 0;
    qint16 iBccSet = 0;
};
