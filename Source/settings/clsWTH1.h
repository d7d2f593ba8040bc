#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

// The periodic check of the detailed mode, every N minutes (section "WTH1").
class clsWTH1 {
public:
    void setDefault();
    bool saveRegistory(const QString& sAPPName);
    bool loadRegistory(const QString& sAPPName);
    bool setValue(qint16 iID, const QVariantList& OtherArgs);
    QVariant getValue(qint16 iID, const QVariantList& OtherArgs = {}) const;

private:
    qint16 iActive = 0; // 0 on, 1 off; always on after a load
    qint16 iInterval = 0;
};
