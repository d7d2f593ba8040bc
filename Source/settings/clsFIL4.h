#pragma once

#include "settings/clsWordList.h"

// Words that hold back mail whose subject contains one (section "FIL4").
class clsFIL4 : public clsWordList {
public:
    clsFIL4();
};
