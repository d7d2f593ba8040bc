#pragma once

#include "settings/clsRecord.h"

// The periodic check of the detailed mode, every N minutes (section "WTH1"). Item 1: 0 on, 1 off.
class clsWTH1 : public clsRecord {
public:
    clsWTH1();
};
