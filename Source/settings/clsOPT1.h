#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

// Where the forward memo goes in a forwarded page, and its form (section "OPT1").
class clsOPT1 {
public:
    void setDefault();
    bool saveRegistory(const QString& sAPPName);
    bool loadRegistory(const QString& sAPPName);
    bool setValue(qint16 iID, const QVariantList& OtherArgs);
    QVariant getValue(qint16 iID, const QVariantList& OtherArgs = {}) const;

private:
    qint16 iPosition = 0; // 0 after the page text, 1 before its head; always 1 after a load
    qint16 iForm = 0;     // 0 detailed, 1 brief
};
