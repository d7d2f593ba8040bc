#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <array>

class Pop3Client;
class SmtpClient;
class QDateTime;

// The received-mail store of a forwarding period: up to 100 numbered slots filled from the mailboxes, the
// forward text made from them, and the commands found in them. An index out of range throws
// std::out_of_range and changes nothing.
class clsMailTransfer {
public:
    static clsMailTransfer& instance();

    static constexpr qint32 iSlots = 100;

    // Reception.
    qint32 mailRecive(Pop3Client& pop3Cntrol, const QString& sPop3SrvName, const QString& sUserID,
                      const QString& sPassword, const QString& sTempDir);
    void clearClass();
    qint32 getReciveMailTotal() const { return lTotal; }
    // Whether any slot is due for forwarding.
    bool hasMailToForward() const;
    // Whether the cycles are to forward the slot: it holds mail not yet forwarded, held back, obeyed or given
    // up.
    bool isDue(qint32 lIndex) const;
    qint32 getReciveMailNum() const { return lLastRead; }
    void outputClass() const {}
    void SetToCcBccComment(Pop3Client& pop3Cntrol, QString& sBody) const;

    QString getNickName(qint32 lIndex) const;
    QString getFrom(qint32 lIndex) const;
    QString getReplyTo(qint32 lIndex) const;
    QString getSbuject(qint32 lIndex) const;
    QString getBody(qint32 lIndex) const;
    qint32 getToCount(qint32 lIndex) const;
    qint32 getCcCount(qint32 lIndex) const;
    qint32 getBcCount(qint32 lIndex) const;
    qint32 getAFileCount(qint32 lIndex) const;
    qint32 getExMsgCount(qint32 lIndex) const;
    QString getToNickName(qint32 lIndex, qint16 iNextIndex) const;
    QString getToMailAddr(qint32 lIndex, qint16 iNextIndex) const;
    QString getCcNickName(qint32 lIndex, qint16 iNextIndex) const;
    QString getCcMailAddr(qint32 lIndex, qint16 iNextIndex) const;
    QString getBcNickName(qint32 lIndex, qint16 iNextIndex) const;
    QString getBcMailAddr(qint32 lIndex, qint16 iNextIndex) const;
    QString getAFileName(qint32 lIndex, qint16 iNextIndex) const;
    QString getExMsg(qint32 lIndex, qint16 iNextIndex) const;
    qint32 getAFileSize(qint32 lIndex, qint16 iNextIndex) const;
    bool getRegister(qint32 lIndex) const;
    bool getTrans(qint32 lIndex) const;
    bool getStop(qint32 lIndex) const;
    // A command mail that was obeyed, or that a command of the same check made void; never forwarded.
    bool getObeyed(qint32 lIndex) const;
    // Forwarded and held back are kept in the forwarding record at once, for later checks and runs.
    void setTrans(qint32 lIndex, bool bFlag);
    void setStop(qint32 lIndex, bool bFlag);
    // One part of a forward (a page, or the whole text, to one destination) that reached its server: kept so
    // that a retry after a failure or a restart sends only the parts still missing.
    bool getPartSent(qint32 lIndex, const QString& sDestination, const QString& sText) const;
    void setPartSent(qint32 lIndex, const QString& sDestination, const QString& sText);
    // A part whose text went out but whose acceptance is unknown; answers how many times that happened to it,
    // across checks and runs. Such a part may have reached the phone each time.
    qint32 addUnconfirmedSend(qint32 lIndex, const QString& sDestination, const QString& sText);
    static constexpr qint32 iMaxUnconfirmedSends = 3;
    // The mail is not tried again, ever; the run log says why.
    void giveUp(qint32 lIndex, const QString& sReason);
    bool getGivenUp(qint32 lIndex) const;
    void setAFileCount(qint32 lIndex, qint32 lCount);
    // Mails forwarded since forwarding started, also those whose slot was used again since.
    qint32 getTransAll() const { return lTransferred; }

    // Forward text.
    QString addSign(const QString& sTarget, qint16 iNowPage, qint16 iEndPage, qint16 iPosition) const;
    qint16 mailDivideCul(const QString& sSentence, qint16 iUnitDivide, qint16 iTransMaxSize,
                         qint16 iPosition);
    QString getMailDivide(qint16 iIndex) const;
    qint16 getMailDividePage() const { return iDividePageCount; }
    qint16 getTransSizeEasy() const { return 2000; }
    qint16 getTransSizeDetail() const { return 2000; }
    bool DeleteQuotation(qint32 lIndex);

    // What the latest check met, for the shell's status: begun by each check, noted by each send and read.
    struct CheckReport {
        qint32 iSendsOk = 0;
        qint32 iSendsFailed = 0;
        qint32 lSendError = 0;    // SmtpClient::Error of the last send that failed
        qint32 lReceiveError = 0; // Pop3Client::Error of the last mailbox that could not be read
    };
    void beginCheckReport() { report = {}; }
    void noteSend(bool bSent, qint32 lError);
    CheckReport checkReport() const { return report; }

    // Mail commands.
    qint32 checkMailCommand(const QString& sMyFrom, const QString& sCommand, const QString& sMyUserID);
    // Marks every command mail from these senders as obeyed: a check that acted on one command leaves none
    // to act at a later check or start.
    void consumeCommands(const QStringList& sAllowedSenders);
    bool checkSystemCommand(SmtpClient& smtp, const QString& sServer, const QString& sMyFrom,
                            const QString& sMyUserID);
    // True once a computer exit ordered by mail was accepted: the program must end now.
    bool isComputerGoingDown() const { return bComputerGoingDown; }
    // The head of a command's notice mail body: "2000年02月7日 9時5分 " at 9:05 on 7 February 2000.
    static QString commandNoticeHead(const QDateTime& dtNow);

    // For tests: the body of a slot as composition sees it.
    void setBodyForTest(qint32 lIndex, const QString& sBody) { slotAt(lIndex).sBody = sBody; }
    // For tests: a received mail of a mailbox named "test" in a slot, as reading would store it: not at all
    // when the forwarding record knows it as dealt with. The store then reaches at least to that slot.
    void storeForTest(qint32 lIndex, const QString& sFrom, const QString& sSubject,
                      const QByteArray& sIdentity);

private:
    struct Slot {
        QString sNickName;
        QString sFrom;
        QString sReplyTo;
        QString sSubject;
        QString sBody;
        qint32 lToCount = 0;
        std::array<QString, 21> sToNickName;
        std::array<QString, 21> sToMailAddr;
        qint32 lCcCount = 0;
        std::array<QString, 21> sCcNickName;
        std::array<QString, 21> sCcMailAddr;
        qint32 lBcCount = 0;
        std::array<QString, 11> sBcNickName;
        std::array<QString, 11> sBcMailAddr;
        qint32 lAFileCount = 0;
        std::array<qint32, 31> lAFileSize{};
        std::array<QString, 31> sAFileName;
        qint32 lExMsgCount = 0;
        std::array<QString, 21> sExMsg;
        qint32 lLastError = 0;
        bool bRegister = false;
        bool bTrans = false;
        bool bStop = false;
        bool bObeyed = false;
        bool bGivenUp = false;
        // Forwarded, held back, obeyed or given up: nothing more is done with the mail.
        bool isDone() const { return bTrans || bStop || bObeyed || bGivenUp; }
        // Why a mail that reads as a command may not command (its sender failed the receiving server's
        // checks, or the PIN is wrong or missing); empty when it may. Such a mail is forwarded as any other.
        QString sCommandRefusal;
        bool bRefusalLogged = false;
        // Which mail the slot holds, for the forwarding record: its mailbox (server and user), the server's
        // unique id when it has one of its own, and a digest of all of its header lines.
        QString sAccount;
        QString sUid;
        QString sDigest;
        QStringList sPartsSent;
    };

    clsMailTransfer() = default;
    const Slot& slotAt(qint32 lIndex) const;
    Slot& slotAt(qint32 lIndex);
    qint32 readMailbox(Pop3Client& pop3Cntrol, const QString& sAccount, const QString& sTempDir);
    // Reads the message's header and answers the digest of its header lines; empty when it cannot be read.
    QString readDigest(Pop3Client& pop3Cntrol, qint32 m);
    // After a damaged forwarding record: what is on the server now is taken as dealt with, not forwarded.
    qint32 takeAsSeen(Pop3Client& pop3Cntrol, const QString& sAccount);
    bool fillSlot(Pop3Client& pop3Cntrol, Slot& slot, const QString& sTempDir);
    void giveUpTooLarge(Pop3Client& pop3Cntrol, const QString& sAccount, const QString& sUid,
                        const QString& sDigest);
    void recordFate(const Slot& slot, qint32 iFate) const;
    void setObeyed(qint32 lIndex, bool bFlag);
    static QSet<QString> commandsObeyedBefore();
    // The next slot for a new mail: a never used one, else one whose mail is done with; -1 when all are busy.
    qint32 freeSlot() const;
    QString headerComment(Pop3Client& pop3Cntrol) const;
    void writeReceiveLog(Pop3Client& pop3Cntrol, const Slot& slot) const;
    // The lowest slot whose mail carries the command word from the allowed sender and was not obeyed
    // before; -1 when there is none.
    qint32 findCommand(const QString& sMyFrom, const QString& sWord);
    // Whether the slot holds such a command. One that may not command is logged once with the reason.
    bool isCommand(Slot& slot, const QString& sWord, const QString& sAllowed);
    // The refusal of a mail that begins with a command word; masks the PIN in the subject.
    static QString commandRefusal(Pop3Client& pop3Cntrol, QString& sSubject);

    std::array<Slot, iSlots + 1> slots;
    qint32 lTotal = 0;
    qint32 lLastRead = 0;
    qint32 lTransferred = 0;
    CheckReport report;
    // Why the latest reading passed a message over, for the run log; empty when it passed none.
    QString sPassedOver;
    // Every mail stored in this forwarding period, also after its slot was used again: by account and id,
    // and by account and digest.
    QSet<QString> seen;
    // Digests of command mails that an earlier version of the program obeyed and kept in the settings.
    QSet<QString> sObeyedBefore;

    QStringList sDividePages;
    qint16 iDividePageCount = 0;

    bool bComputerGoingDown = false;
};
