#pragma once

#include "settings/clsServerTable.h"

// The send (SMTP) entry with destination, Cc and Bcc; in use it holds one row (section "SRV2").
// Fields: 0 server, 1 From address, 2 nickname (always empty), 3 destination, 4 Cc, 5 Bcc.
class clsSRV2 : public clsServerTable {
public:
    clsSRV2();

private:
    void rowAdded(qint16 iIndex) override;
};
