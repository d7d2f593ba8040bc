#pragma once

#include <QString>

class Pop3Client;
class SmtpClient;

// Everything a check waits for ends within this, so that the tray's pause and end never wait longer.
constexpr int iCheckDeadlineSeconds = 600;

// Holds both components to the check's deadline while it lives.
class CheckDeadline {
public:
    CheckDeadline(Pop3Client& pop3, SmtpClient& smtp, int iSeconds = iCheckDeadlineSeconds);
    ~CheckDeadline();
    CheckDeadline(const CheckDeadline&) = delete;
    CheckDeadline& operator=(const CheckDeadline&) = delete;

private:
    Pop3Client& pop3;
    SmtpClient& smtp;
};

// What the shell must do after one tick of a check cycle. The engine never touches windows; it says this.
enum class CheckOutcome {
    NotDue,            // the tick only counted a minute
    CarryOn,           // a check ran; arm the timers again
    Pause,             // a pause command: stop running and show the function panel
    Stop,              // a stop command: stop running and end the program
    ComputerGoingDown, // an exit ordered by mail was accepted: end the program at once
};

// The notice that forwarding ends ("終了") or pauses ("中断"), sent once without retry. Answers SendMail's
// result.
qint32 sendNoticeMail(SmtpClient& smtp, const QString& sAction, const QString& sServer, const QString& sTo,
                      const QString& sFrom);

// The run-log line of a reception count: "受信ﾒｰﾙ数=3", and "-受信ﾒｰﾙ数=1" for -1.
QString receiveCountLine(qint32 lCount);

// "---- hh:mm:ss 送信ﾃﾞｰﾀ -----------------" at the present time.
QString sendDataHead();

// A server name that is an address of four numbers (or empty) is connected by address, else by host name.
bool isNumericAddress(const QString& sServer);

// Blanks (spaces) removed at both ends; the line ends around a body belong to it.
QString trimBlanks(const QString& sText);

// After a failed send: when the server may have taken the text after all (its answer was lost), counts that
// send against the part; once a part has gone out unconfirmed that often, gives the mail up. Answers whether
// the mail was given up. The one try after an unconfirmed send is then its last in this check.
bool noteUnconfirmed(qint32 lIndex, const QString& sDestination, const QString& sText, bool bUnconfirmed,
                     const QString& sReason);

// Whether a text still holds an encoded word the reception could not decode.
bool containsUndecodedMark(const QString& sText);
