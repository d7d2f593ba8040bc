#pragma once

#include <QString>

// Remote control by mail (section "REMOTE"): the PIN a command mail must carry after its command word.
// Empty means none is asked for. It is kept scrambled like the passwords.
class clsRemote {
public:
    void setDefault() { sCommandPin.clear(); }
    bool saveRegistory(const QString& sAPPName);
    bool loadRegistory(const QString& sAPPName);

    QString commandPin() const { return sCommandPin; }
    void setCommandPin(const QString& sPin) { sCommandPin = sPin; }
    // A PIN is one word of letters and digits, so that it reads back from a subject as typed.
    static bool isValidPin(const QString& sPin);

private:
    QString sCommandPin;
};
