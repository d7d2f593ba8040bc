#pragma once

#include "settings/clsRecord.h"

// Forward or hold back by where the user's own address stands among the recipients (section "FIL2").
class clsFIL2 : public clsRecord {
public:
    clsFIL2();
};
