#pragma once

#include "settings/clsRecord.h"

// The screen saver started while the program runs (0 on, 1 off), and which file it is (section "PAS1").
class clsPAS1 : public clsRecord {
public:
    clsPAS1();
};
