#pragma once

#include "settings/clsServerTable.h"

// Receive (POP3) servers, one row per mailbox with the owner's own address (section "SRV1").
// Fields: 0 server, 1 user ID and 2 password (both scrambled), 3 own address.
class clsSRV1 : public clsServerTable {
public:
    clsSRV1();

private:
    void rowAdded(qint16 iIndex) override;
};
