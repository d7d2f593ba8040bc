#pragma once

#include "settings/clsRecord.h"

// Remote control by mail (section "REMOTE"): the PIN a command mail must carry after its command word.
// Empty means none is asked for. It is kept scrambled like the passwords.
class clsRemote : public clsRecord {
public:
    clsRemote();

    QString commandPin() const { return text(1); }
    void setCommandPin(const QString& sPin) { text(1) = sPin; }
    // A PIN is one word of letters and digits, so that it reads back from a subject as typed.
    static bool isValidPin(const QString& sPin);
};
