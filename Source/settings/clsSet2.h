#pragma once

#include "settings/clsRecord.h"

// The simple settings set (section "ESET"): one receive account, one SMTP server, one destination, the check
// interval (item 6), the page size (item 8) and the screen saver file. Only stores values; the dialog
// validates.
class clsSet2 : public clsRecord {
public:
    static clsSet2& instance();

private:
    clsSet2();
};
