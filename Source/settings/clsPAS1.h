#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

// The screen saver started while the program runs, and which file it is (section "PAS1").
class clsPAS1 {
public:
    void setDefault();
    bool saveRegistory(const QString& sAPPName);
    bool loadRegistory(const QString& sAPPName);
    bool setValue(qint16 iID, const QVariantList& OtherArgs);
    QVariant getValue(qint16 iID, const QVariantList& OtherArgs = {}) const;

private:
    qint16 iActive = 0; // 0 on, 1 off
    QString sKeep;      // kept with the record for stored settings; nothing reads it
    QString sFileName;
    QString sFolder;
};
