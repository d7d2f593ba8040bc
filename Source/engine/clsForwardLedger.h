#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <map>
#include <memory>

class QSqlQuery;

// What became of each mail of each receive account, kept on disk across runs, restarts and crashes, so that a
// mail left on the server is forwarded or obeyed once. A mail is known by its unique id on the server, by a
// digest of its header lines, or by both; either one finds it. Every change is its own transaction, written
// before the caller goes on. The whole record is held in memory as well, so asking costs no disk access.
class clsForwardLedger {
public:
    enum Fate : qint32 {
        Pending = 0,   // still to forward; some parts may have reached their server already
        Forwarded = 1, // every part reached its server
        Held = 2,      // held back by a filter
        Obeyed = 3,    // a command mail, obeyed or superseded by another command of the same check
        GivenUp = 4,   // no further attempt will be made
        Seen = 5,      // on the server when a damaged record was replaced; taken as dealt with
    };

    struct Entry {
        QString sUid;
        QString sDigest;
        Fate fate = Pending;
        // Parts (a page to one destination) that reached their server while the mail is pending.
        QStringList sParts;
        qint64 iRow = 0; // 0 until written
    };

    static clsForwardLedger& instance();

    // Reads the record file, making it when missing. A file that cannot be read is moved aside and a new one
    // made; the mail then on each server is taken as dealt with when that account is first read. Answers what
    // the user must be told, empty when all is well. Called again, it only answers that text once more.
    QString open();
    // Forgets what is held in memory and closes the file; the next use reads it again, as a new run would.
    void close();
    // For tests: removes the file and everything held.
    void wipe();
    QString filePath() const;
    // Why the record could not be read or written, if it could not; empty otherwise.
    QString recoveryNote() const { return sNote; }

    // The entry of a mail by its unique id, else by its digest; nullptr when neither is known.
    const Entry* find(const QString& sAccount, const QString& sUid, const QString& sDigest);
    static bool isSettled(const Entry* entry) { return entry && entry->fate != Pending; }
    // Adds one to the count of unconfirmed sends of a part kept in a list of parts; answers the count before.
    static qint32 countUnconfirmed(QStringList& sParts, const QString& sPart);

    void record(const QString& sAccount, const QString& sUid, const QString& sDigest, Fate fate);
    void recordPart(const QString& sAccount, const QString& sUid, const QString& sDigest,
                    const QString& sPart);
    // One more send of a part whose acceptance is unknown (the answer to its text was lost); answers how many
    // such sends the part has had.
    qint32 recordUnconfirmed(const QString& sAccount, const QString& sUid, const QString& sDigest,
                             const QString& sPart);

    // Whether this account's mail on the server is still to be taken as dealt with (after a damaged record).
    bool needsBaseline(const QString& sAccount);
    // Takes the mails of a complete listing as seen, in one transaction.
    void recordBaseline(const QString& sAccount, const QList<QPair<QString, QString>>& mails);
    // After a complete listing: drops the entries of mails no longer on the server. Without ids in the
    // listing, an entry is compared by its digest; one with neither in common is kept.
    void keepOnly(const QString& sAccount, bool bHadUids, const QSet<QString>& sUids,
                  const QSet<QString>& sDigests);

    // For tests and the benchmarks.
    qsizetype entryCount(const QString& sAccount);

private:
    struct Account {
        QList<Entry> entries;
        QHash<QString, qsizetype> byUid;
        QHash<QString, qsizetype> byDigest;
        bool bKnown = false; // read completely at least once since the record began
    };

    clsForwardLedger() = default;
    bool ensureLoaded();
    bool openDatabase(bool bCreateSchema);
    bool readAll();
    QString connectionName() const;
    // Runs a statement prepared once for this thread's connection; nullptr when it failed.
    QSqlQuery* run(const QString& sSql, const QVariantList& values);
    bool exec(const QString& sSql, const QVariantList& values = {});
    void dropConnection();
    bool write(const QString& sAccount, Entry& entry);
    void writeFailed(const QString& sWhat);
    Entry& entryFor(const QString& sAccount, const QString& sUid, const QString& sDigest);
    void index(Account& account, qsizetype i);
    void markKnown(const QString& sAccount);

    bool bLoaded = false;
    // False when the file could not be made or read: the record then lives in memory for this run only.
    bool bOnDisk = false;
    bool bRecovered = false;
    bool bWriteFailureLogged = false;
    QString sNote;
    QString sLastError;
    QHash<QString, Account> accounts;
    std::map<QString, std::unique_ptr<QSqlQuery>> prepared;
    QString sPreparedFor;
};
