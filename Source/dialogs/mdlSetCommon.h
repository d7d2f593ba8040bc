#pragma once

#include <QCursor>
#include <QGuiApplication>
#include <QString>
#include <QStringList>

class QListWidget;
class QWidget;

// The exit code of a settings dialog closed by its switch button: the caller opens the other dialog.
constexpr int iSwitchDialog = 2;

// Opens the detailed or the simple settings dialog, and the other one each time the user switches over.
void openSettingsDialogs(bool bDetailed, QWidget* parent);

// The address syntax test of both settings dialogs: one at sign, neither first nor last nor next to a dot,
// no blank, "~" or "/", at least four characters. Nothing more is judged.
bool checkMailAddress(const QString& sAddress);

// True when some row equals the text exactly. Leaves the matching row, or the last row, selected.
bool listContains(QListWidget* list, const QString& sText);

// Values 0 to iCount - 1 joined: mode 1 puts four blanks after each, mode 2 nothing; other modes answer "".
QString joinColumns(qint16 iMode, qint16 iCount, const QStringList& sValues);

// The two lines of a message, joined as every message of the dialogs joins them.
inline QString twoLines(const QString& sFirst, const QString& sSecond) {
    return sFirst + QStringLiteral("\n\r") + sSecond;
}

// The hourglass while a dialog works; the normal pointer comes back however the work ends, or earlier on
// release().
class WaitCursor {
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { release(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
    void release() {
        if (bOn)
            QGuiApplication::restoreOverrideCursor();
        bOn = false;
    }

private:
    bool bOn = true;
};
