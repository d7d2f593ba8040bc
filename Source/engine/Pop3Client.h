#pragma once

#include "engine/MailSocket.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

class MailMessage;

// The POP3 component: a blocking client for the thread that runs a check. Messages stay on the server. What
// was read once is kept by its unique id for the life of the object, so a message already held costs no
// second download; a message's header is fetched first and the rest only when a getter needs it, unless
// WholeAtOnce says the rest is always wanted.
class Pop3Client {
public:
    enum Error {
        NoError = 0,
        ConnectFailed = 1,
        TlsFailed = 2,
        LoginFailed = 3,
        Timeout = 4,
        Dropped = 5,
        ServerError = 6,
        NoSuchMessage = 7,
        FileError = 8,
        NotConnected = 9,
        BadServerName = 10,
        Aborted = 11,
        TooLarge = 12, // a line, a listing or a message past its bound; the session was ended
    };

    static constexpr qint64 iDefaultMaxMessageBytes = 64 * 1024 * 1024;

    Pop3Client();
    ~Pop3Client();
    Pop3Client(const Pop3Client&) = delete;
    Pop3Client& operator=(const Pop3Client&) = delete;

    // Seconds.
    qint32 ConnectTimeout = 180;
    qint32 ReplyTimeout = 180;
    // The protocol trace; empty means none.
    QString LogFile;
    qint32 SessionMode = 1;
    // For a caller that reads the text of every message it does not hold yet: a message whose unique id is
    // new is then fetched whole at once, which saves a command, the header's second trip and a file. Without
    // unique ids the header still comes first, or every visit would download every message whole.
    bool WholeAtOnce = false;
    // A message larger than this is not read: the session ends with TooLarge.
    qint64 MaxMessageBytes = iDefaultMaxMessageBytes;
    // A limit for the whole visit, on top of the others (a check as a whole).
    void setDeadline(QDeadlineTimer deadline) { socket.setDeadline(deadline); }
    // TLS from the first byte on any port; port 995 always means it.
    void setImplicitTls(bool bOn) { bImplicitTls = bOn; }

    qint32 Connect(const QString& sServer);
    qint32 Login(const QString& sUser, const QString& sPassword);
    qint32 Stat();
    qint32 StatusCode() const { return bStatOk ? 1 : 0; }
    qint32 MessageCount(qint32 iWhich = 1) const;
    // The server's unique id of a message after Stat; empty when the server gave none, or gave the same one
    // to several messages.
    QString UniqueId(qint32 iMessage) const;
    // Whether the latest Stat got a unique-id listing at all.
    bool HasUniqueIds() const { return bStatOk && bUidListing; }
    qint32 Retrieve(qint32 iMessage);
    qint32 ParseMessage();
    qint32 EndMessage();
    qint32 Quit();
    qint32 Disconnect();
    qint32 LastError() const { return eError; }
    QString LastErrorText() const { return sErrorText; }
    // Safe from any thread: whatever the client waits for now or later fails at once with Aborted, until
    // clearAbort(). Lets a window give up a visit without waiting for the time limits.
    void abort() { socket.abort(); }
    void clearAbort() { socket.clearAbort(); }
    bool isAborted() const { return socket.isAborted(); }

    QString FromName();
    QString FromAddress();
    QString ReplyTo();
    QString Subject();
    QString Body();
    // After Body: the message had more MIME parts than are read.
    bool PartsCut();
    qint32 ToCount();
    QString ToName(qint32 k);
    QString ToAddress(qint32 k);
    qint32 CcCount();
    QString CcName(qint32 k);
    QString CcAddress(qint32 k);
    qint32 BccCount();
    QString BccName(qint32 k);
    QString BccAddress(qint32 k);
    qint32 HeaderCount();
    QString HeaderLine(qint32 k);
    qint32 AttachmentCount();
    QString AttachmentName(qint32 k);
    qint32 AttachmentSize(qint32 k);
    qint32 SaveAttachment(qint32 k, const QString& sFolder);
    // The file name the last successful SaveAttachment chose; it differs from the mail's name when that name
    // was unsafe or already taken in the folder.
    QString SavedFileName() const { return sSavedFileName; }

    // For tests and the cost measurement: octets received from servers since this object was made.
    qint64 bytesReceived() const { return socket.bytesRead(); }
    bool isEncrypted() const { return socket.isEncrypted(); }

private:
    struct Cached {
        QString sHeaderFile;
        QString sFullFile;
    };

    bool fail(Error e, const QString& sText);
    bool failFromSocket();
    bool command(const QByteArray& line, QByteArray& reply, const QByteArray& sTraceText = QByteArray());
    // At most iMaxLines lines; a longer answer ends the session.
    bool readMultiLine(QList<QByteArray>& lines, qsizetype iMaxLines = 1024);
    // Hands each line of a multi-line answer, with CR LF, to keep(); the whole answer is read even when
    // keep() fails, and the result is then false.
    bool readMultiLineTo(const std::function<bool(const QByteArray&)>& keep, bool bHeaderOnly);
    bool readMultiLineToFile(const QString& sPath, bool bHeaderOnly);
    // The current message into currentWhole, or into sSpillPath once it outgrows memory (sSpilled then names
    // that file).
    bool readWholeToMemory(const QString& sSpillPath, QString& sSpilled);
    bool readCapabilities();
    // Sends a SASL start and answers the decoded challenge of the server's "+" line.
    bool saslStart(const QByteArray& line, QByteArray& challenge);
    bool authenticate(const QString& sUser, const QString& sPassword);
    bool loadUidList();
    // The whole current message on disk and parsed; false when it cannot be had.
    bool ensureWhole();
    bool ensureHeader();
    MailMessage* current();
    QString cacheKey(qint32 iMessage) const;
    void forgetWholeFiles();
    bool ensureCacheDir();
    // Messages gone from the server, and those of an earlier visit to a server without unique ids, are never
    // asked for again: their files would pile up for as long as the program runs.
    void forgetGoneMessages();

    MailSocket socket;
    Error eError = NoError;
    QString sErrorText;
    bool bLoggedIn = false;
    bool bStatOk = false;
    qint32 iCount = 0;
    QStringList sCapabilities;
    QByteArray sApopStamp;
    bool bTlsOffered = false;
    bool bImplicitTls = false;
    QHash<qint32, QString> sUids;
    bool bUidListing = false;

    // The server as given and the user: a message's id means something only within its mailbox.
    QString sAccount;
    std::unique_ptr<QTemporaryDir> cacheDir;
    QHash<QString, Cached> cache;
    QStringList sWholeOrder; // keys with a whole message on disk, oldest first
    qint64 iWholeBytes = 0;
    qint64 iFileSerial = 0;

    QString sSavedFileName;
    qint32 iCurrent = 0;
    QString sCurrentKey;
    std::unique_ptr<MailMessage> message;
    bool bMessageWhole = false;
    // The current message read whole for a check and held in memory; null when it is not.
    QByteArray currentWhole;
};
