#include "settings/clsRemote.h"

#include <algorithm>

// A hand-edited value that is no PIN is kept: commands then fail rather than need no PIN.
clsRemote::clsRemote()
    : clsRecord(QStringLiteral("REMOTE"),
                {{.iID = 1, .sKey = "CommandPin", .type = RecordKey::Text, .rules = RecordKey::Scrambled}}) {}

bool clsRemote::isValidPin(const QString& sPin) {
    return sPin.size() <= 32 && std::all_of(sPin.cbegin(), sPin.cend(), [](QChar c) {
               return c.unicode() < 128 && c.isLetterOrNumber();
           });
}
