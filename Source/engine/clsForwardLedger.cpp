#include "engine/clsForwardLedger.h"

#include "base/mdlLog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QVariant>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {
constexpr int iSchemaVersion = 1;
const QString sDriver = QStringLiteral("QSQLITE");

QString joinParts(const QStringList& sParts) {
    return sParts.join(u' ');
}
} // namespace

clsForwardLedger& clsForwardLedger::instance() {
    static clsForwardLedger ledger;
    static std::once_flag once;
    // Qt's list of connections goes before this object's statics do: the prepared statements must go first.
    std::call_once(once, [] { qAddPostRoutine([] { ledger.prepared.clear(); }); });
    return ledger;
}

QString clsForwardLedger::filePath() const {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/ledger.sqlite");
}

QString clsForwardLedger::connectionName() const {
    // A connection belongs to the thread that opened it; the checks run on a worker thread of their own.
    return QStringLiteral("pelimo-ledger-%1").arg(quintptr(QThread::currentThread()));
}

QString clsForwardLedger::open() {
    ensureLoaded();
    // The start-up thread is not the one that checks; its connection is not kept.
    dropConnection();
    return sNote;
}

void clsForwardLedger::close() {
    dropConnection();
    accounts.clear();
    bLoaded = bOnDisk = bRecovered = bWriteFailureLogged = false;
    sNote.clear();
}

void clsForwardLedger::wipe() {
    close();
    for (const QString& sSuffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
        QFile::remove(filePath() + sSuffix);
}

bool clsForwardLedger::openDatabase(bool bCreateSchema) {
    const QString sName = connectionName();
    if (QSqlDatabase::contains(sName) && QSqlDatabase::database(sName, false).isOpen())
        return true;
    QSqlDatabase db = QSqlDatabase::contains(sName) ? QSqlDatabase::database(sName, false)
                                                    : QSqlDatabase::addDatabase(sDriver, sName);
    db.setDatabaseName(filePath());
    if (!db.open())
        return false;
    QSqlQuery query(db);
    // Each record must survive a crash and the power going off right after a reboot command.
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) ||
        !query.exec(QStringLiteral("PRAGMA synchronous=FULL")) ||
        !query.exec(QStringLiteral("PRAGMA busy_timeout=5000")))
        return false;
    if (!bCreateSchema)
        return true;
    db.transaction();
    const bool ok =
        query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS mail(id INTEGER PRIMARY KEY, account TEXT "
                                  "NOT NULL, uid TEXT NOT NULL, digest TEXT NOT NULL, fate INTEGER NOT "
                                  "NULL, parts TEXT NOT NULL, updated INTEGER NOT NULL)")) &&
        query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS account(name TEXT PRIMARY KEY)")) &&
        query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT)")) &&
        query.exec(QStringLiteral("PRAGMA user_version=%1").arg(iSchemaVersion));
    return ok ? db.commit() : (db.rollback(), false);
}

bool clsForwardLedger::ensureLoaded() {
    if (bLoaded)
        return bOnDisk;
    bLoaded = true;
    accounts.clear();
    if (!QSqlDatabase::isDriverAvailable(sDriver)) {
        sNote = QStringLiteral("転送記録を保存できません: SQLite のドライバーがありません");
        return false;
    }
    const QString sPath = filePath();
    const QString sDir = QFileInfo(sPath).absolutePath();
    if (!QDir().mkpath(sDir)) {
        sNote = QStringLiteral("転送記録を保存できません: ") + sDir;
        return false;
    }
    QFile::setPermissions(sDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // Made by hand first so that it is never readable by others, not even for a moment.
    const QByteArray sNative = QFile::encodeName(sPath);
    const int fd = ::open(sNative.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    QFile::setPermissions(sPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const bool bNew = QFileInfo(sPath).size() == 0;

    if (openDatabase(bNew) && readAll()) {
        bOnDisk = true;
        return true;
    }
    // Unreadable: kept aside for inspection, and a new record begins that takes what is on the servers now as
    // dealt with, rather than flooding the phone with it.
    dropConnection();
    accounts.clear();
    const QString sAside = sPath + QStringLiteral(".damaged-") +
                           QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    bool bMoved = QFile::rename(sPath, sAside);
    for (const QString& sSuffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
        if (QFile::exists(sPath + sSuffix) && !QFile::rename(sPath + sSuffix, sAside + sSuffix))
            bMoved = false;
    const int fdNew = ::open(sNative.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fdNew >= 0)
        ::close(fdNew);
    if (!bMoved || !openDatabase(true) || !readAll() ||
        !exec(QStringLiteral("INSERT OR REPLACE INTO meta(key, value) VALUES('recovered', ?)"),
              {QDateTime::currentDateTime().toString(Qt::ISODate)})) {
        dropConnection();
        accounts.clear();
        sNote = QStringLiteral("転送記録を読めず、新しく作ることもできません: ") + sPath;
        return false;
    }
    bRecovered = true;
    bOnDisk = true;
    sNote = QStringLiteral("転送記録を読めないため、別名で残しました: ") + sAside + QStringLiteral("\n\r") +
            QStringLiteral("いまサーバーにあるメールは転送済みとして扱います。");
    return true;
}

bool clsForwardLedger::readAll() {
    QSqlDatabase db = QSqlDatabase::database(connectionName(), false);
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA quick_check")) || !query.next() ||
        query.value(0).toString() != QLatin1String("ok"))
        return false;
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next() ||
        query.value(0).toInt() != iSchemaVersion)
        return false;
    if (!query.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'recovered'")))
        return false;
    bRecovered = query.next();
    if (!query.exec(QStringLiteral("SELECT name FROM account")))
        return false;
    while (query.next())
        accounts[query.value(0).toString()].bKnown = true;
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id, account, uid, digest, fate, parts FROM mail")))
        return false;
    while (query.next()) {
        const qint32 iFate = query.value(4).toInt();
        if (iFate < Pending || iFate > Seen)
            return false;
        Account& account = accounts[query.value(1).toString()];
        Entry entry;
        entry.iRow = query.value(0).toLongLong();
        entry.sUid = query.value(2).toString();
        entry.sDigest = query.value(3).toString();
        entry.fate = Fate(iFate);
        entry.sParts = query.value(5).toString().split(u' ', Qt::SkipEmptyParts);
        account.entries.append(entry);
        index(account, account.entries.size() - 1);
    }
    return true;
}

void clsForwardLedger::index(Account& account, qsizetype i) {
    const Entry& entry = account.entries.at(i);
    if (!entry.sUid.isEmpty())
        account.byUid.insert(entry.sUid, i);
    if (!entry.sDigest.isEmpty())
        account.byDigest.insert(entry.sDigest, i);
}

QSqlQuery* clsForwardLedger::run(const QString& sSql, const QVariantList& values) {
    if (!openDatabase(false))
        return nullptr;
    // Prepared once per connection: a check writes an entry for each mail it forwards.
    if (sPreparedFor != connectionName()) {
        prepared.clear();
        sPreparedFor = connectionName();
    }
    auto it = prepared.find(sSql);
    if (it == prepared.end()) {
        auto query = std::make_unique<QSqlQuery>(QSqlDatabase::database(connectionName(), false));
        if (!query->prepare(sSql)) {
            sLastError = query->lastError().text();
            return nullptr;
        }
        it = prepared.emplace(sSql, std::move(query)).first;
    }
    QSqlQuery& query = *it->second;
    for (qsizetype i = 0; i < values.size(); ++i)
        query.bindValue(int(i), values.at(i));
    if (!query.exec()) {
        sLastError = query.lastError().text();
        return nullptr;
    }
    return &query;
}

bool clsForwardLedger::exec(const QString& sSql, const QVariantList& values) {
    QSqlQuery* query = run(sSql, values);
    if (query)
        query->finish();
    return query != nullptr;
}

void clsForwardLedger::dropConnection() {
    prepared.clear();
    sPreparedFor.clear();
    if (QSqlDatabase::contains(connectionName()))
        QSqlDatabase::removeDatabase(connectionName());
}

void clsForwardLedger::writeFailed(const QString& sWhat) {
    // Once per run: a full disk would otherwise fill the log as well.
    if (bWriteFailureLogged)
        return;
    bWriteFailureLogged = true;
    writeRunLog(QStringLiteral("転送記録を書き込めません: ") + sWhat + u' ' + sLastError);
}

bool clsForwardLedger::write(const QString& sAccount, Entry& entry) {
    if (!bOnDisk)
        return false;
    const qint64 iNow = QDateTime::currentSecsSinceEpoch();
    bool ok = false;
    if (entry.iRow == 0) {
        QSqlQuery* query =
            run(QStringLiteral("INSERT INTO mail(account, uid, digest, fate, parts, updated) "
                               "VALUES(?, COALESCE(?, ''), COALESCE(?, ''), ?, COALESCE(?, ''), ?)"),
                {sAccount, entry.sUid, entry.sDigest, qint32(entry.fate), joinParts(entry.sParts), iNow});
        ok = query != nullptr;
        if (ok) {
            entry.iRow = query->lastInsertId().toLongLong();
            query->finish();
        }
    } else {
        ok = exec(QStringLiteral("UPDATE mail SET uid = COALESCE(?, ''), digest = COALESCE(?, ''), fate = ?, "
                                 "parts = COALESCE(?, ''), updated = ? WHERE id = ?"),
                  {entry.sUid, entry.sDigest, qint32(entry.fate), joinParts(entry.sParts), iNow, entry.iRow});
    }
    if (!ok)
        writeFailed(sAccount);
    return ok;
}

const clsForwardLedger::Entry* clsForwardLedger::find(const QString& sAccount, const QString& sUid,
                                                      const QString& sDigest) {
    ensureLoaded();
    const auto it = accounts.constFind(sAccount);
    if (it == accounts.cend())
        return nullptr;
    qsizetype i = sUid.isEmpty() ? -1 : it->byUid.value(sUid, -1);
    if (i < 0 && !sDigest.isEmpty())
        i = it->byDigest.value(sDigest, -1);
    return i < 0 ? nullptr : &it->entries.at(i);
}

clsForwardLedger::Entry& clsForwardLedger::entryFor(const QString& sAccount, const QString& sUid,
                                                    const QString& sDigest) {
    ensureLoaded();
    Account& account = accounts[sAccount];
    qsizetype i = sUid.isEmpty() ? -1 : account.byUid.value(sUid, -1);
    if (i < 0 && !sDigest.isEmpty())
        i = account.byDigest.value(sDigest, -1);
    if (i < 0) {
        account.entries.append(Entry());
        i = account.entries.size() - 1;
    }
    Entry& entry = account.entries[i];
    // A mail first known by one name learns the other, so that either finds it later.
    if (!sUid.isEmpty() && entry.sUid != sUid) {
        account.byUid.remove(entry.sUid);
        entry.sUid = sUid;
    }
    if (!sDigest.isEmpty() && entry.sDigest.isEmpty())
        entry.sDigest = sDigest;
    index(account, i);
    return entry;
}

void clsForwardLedger::record(const QString& sAccount, const QString& sUid, const QString& sDigest,
                              Fate fate) {
    Entry& entry = entryFor(sAccount, sUid, sDigest);
    entry.fate = fate;
    if (fate != Pending)
        entry.sParts.clear();
    write(sAccount, entry);
}

void clsForwardLedger::recordPart(const QString& sAccount, const QString& sUid, const QString& sDigest,
                                  const QString& sPart) {
    Entry& entry = entryFor(sAccount, sUid, sDigest);
    if (entry.sParts.contains(sPart))
        return;
    entry.sParts.append(sPart);
    write(sAccount, entry);
}

qint32 clsForwardLedger::recordUnconfirmed(const QString& sAccount, const QString& sUid,
                                           const QString& sDigest, const QString& sPart) {
    Entry& entry = entryFor(sAccount, sUid, sDigest);
    const qint32 iCount = countUnconfirmed(entry.sParts, sPart) + 1;
    write(sAccount, entry);
    return iCount;
}

qint32 clsForwardLedger::countUnconfirmed(QStringList& sParts, const QString& sPart) {
    // Kept beside the parts that reached their server, as "part?count"; this adds one to the count.
    const QString sPrefix = sPart + u'?';
    qint32 iCount = 0;
    for (qsizetype i = 0; i < sParts.size(); ++i) {
        if (sParts.at(i).startsWith(sPrefix)) {
            iCount = sParts.takeAt(i).mid(sPrefix.size()).toInt();
            break;
        }
    }
    sParts.append(sPrefix + QString::number(iCount + 1));
    return iCount;
}

bool clsForwardLedger::needsBaseline(const QString& sAccount) {
    ensureLoaded();
    return bRecovered && !accounts.value(sAccount).bKnown;
}

void clsForwardLedger::markKnown(const QString& sAccount) {
    Account& account = accounts[sAccount];
    if (account.bKnown)
        return;
    account.bKnown = true;
    if (bOnDisk && !exec(QStringLiteral("INSERT OR IGNORE INTO account(name) VALUES(?)"), {sAccount}))
        writeFailed(sAccount);
}

void clsForwardLedger::recordBaseline(const QString& sAccount, const QList<QPair<QString, QString>>& mails) {
    ensureLoaded();
    const bool bTransaction =
        bOnDisk && openDatabase(false) && QSqlDatabase::database(connectionName(), false).transaction();
    // One transaction for the whole listing: tens of thousands of mails would otherwise take minutes.
    for (const auto& [sUid, sDigest] : mails) {
        if (isSettled(find(sAccount, sUid, sDigest)))
            continue;
        record(sAccount, sUid, sDigest, Seen);
    }
    markKnown(sAccount);
    if (bTransaction && !QSqlDatabase::database(connectionName(), false).commit())
        writeFailed(sAccount);
}

void clsForwardLedger::keepOnly(const QString& sAccount, bool bHadUids, const QSet<QString>& sUids,
                                const QSet<QString>& sDigests) {
    ensureLoaded();
    markKnown(sAccount);
    Account& account = accounts[sAccount];
    const auto stillThere = [&](const Entry& entry) {
        if (!entry.sUid.isEmpty() && bHadUids)
            return sUids.contains(entry.sUid) ||
                   (!entry.sDigest.isEmpty() && sDigests.contains(entry.sDigest));
        if (!entry.sDigest.isEmpty())
            return sDigests.contains(entry.sDigest);
        return true;
    };
    // Most checks find every mail still there and change nothing.
    QVariantList gone;
    for (const Entry& entry : std::as_const(account.entries))
        if (!stillThere(entry))
            gone.append(entry.iRow);
    if (gone.isEmpty())
        return;
    account.entries.removeIf([&](const Entry& entry) { return !stillThere(entry); });
    account.byUid.clear();
    account.byDigest.clear();
    for (qsizetype i = 0; i < account.entries.size(); ++i)
        index(account, i);
    if (!bOnDisk || !openDatabase(false))
        return;
    QSqlDatabase db = QSqlDatabase::database(connectionName(), false);
    bool ok = db.transaction();
    for (const QVariant& vRow : std::as_const(gone))
        ok = ok && exec(QStringLiteral("DELETE FROM mail WHERE id = ?"), {vRow});
    if (!(ok && db.commit())) {
        db.rollback();
        writeFailed(sAccount);
    }
}

qsizetype clsForwardLedger::entryCount(const QString& sAccount) {
    ensureLoaded();
    return accounts.value(sAccount).entries.size();
}
