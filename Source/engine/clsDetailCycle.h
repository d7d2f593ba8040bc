#pragma once

#include "engine/mdlCheck.h"

#include <QString>

class Pop3Client;
class SmtpClient;

// The check cycle of the detailed mode: every receive account read into the store, commands obeyed, the
// filters run, and each new mail sent page by page to every send entry. The shell owns the timers and the
// tray; it calls tick() once a minute and does what the outcome says.
class clsDetailCycle {
public:
    clsDetailCycle(Pop3Client& pop3Cntrol, SmtpClient& smtpCntrol);

    // Minutes since the last check; the check schedule compares it with the periodic interval.
    qint16 iMinuteCount = 0;

    // Forwarding starts (again): the store and the schedule's window counters begin from nothing.
    void start();
    // Counts one minute and answers whether the schedule wants a check now; cheap, so the shell can call it
    // on its own thread.
    bool countMinute();
    // The check itself. Never throws: an error is logged and answers CarryOn.
    CheckOutcome check();
    // One minute tick: countMinute, then check when it is due.
    CheckOutcome tick();

    // Holds the mail of a slot back (its stop flag) when a filter does not let it through.
    void checkTransferFilters(qint32 lIndex);
    // One mail to one send entry, walking the SMTP dialogue step by step: 0 sent, -3 not sent. An empty
    // sBody sends the stored body and hands it back.
    qint32 sendMailBySmtpCommand(qint32 lRcvMailIndex, qint16 iSndSrvIndex, QString& sBody,
                                 const QString& sFrom);

private:
    CheckOutcome runCheck();
    // True when every page reached every send entry.
    bool forwardSlot(qint32 lIndex, qint16 iSendRows, qint16 iPosition);
    // Up to three attempts of one text to one send entry; an empty text is the stored body, fetched anew.
    bool sendToRow(qint32 lIndex, qint16 iRow, const QString& sText);
    // What names a send row among the parts of a forward: its server and all its addresses.
    QString partDestination(qint16 iRow) const;
    void useCredentialsFor(qint16 iSndSrvIndex);

    Pop3Client& pop3;
    SmtpClient& smtp;
    // The first failure of the last send, and whether the server may have taken its text all the same.
    QString sFailure;
    qint32 lFailureCode = 0; // its SmtpClient::Error
    bool bUnconfirmed = false;
};
