#pragma once

#include "settings/clsWordList.h"

// Senders whose mail is held back (section "FIL3").
class clsFIL3 : public clsWordList {
public:
    clsFIL3();
};
