#pragma once

#include "settings/clsRecord.h"

// Where the forward memo goes in a forwarded page (0 after the page text, 1 before its head) and its form
// (0 detailed, 1 brief) (section "OPT1").
class clsOPT1 : public clsRecord {
public:
    clsOPT1();
};
