#include "SoakRun.h"

#include "MailServers.h"
#include "TestSupport.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsMailTransfer.h"
#include "engine/clsSimpleCycle.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <unistd.h>

// What the run holds to, checked after every check and at the end:
//
// - Every check comes due exactly on its interval's minute tick, answers CarryOn within its deadline and
//   leaves the minute counter at 0 (re-armed).
// - Forwarding divides each mail into p pages and sends them last page first. A try of a mail in a check
//   delivers, for that mail, exactly the pages p, p-1, ... down to the first page that failed all three
//   attempts, or all of them: nothing else of it reaches the server.
// - A mail sent whole is never tried again, so its first page arrives exactly once, after all the others.
// - A mail whose try stopped short is tried again at the next check that can read the mailbox, from the page
//   below the lowest it had delivered; only that lowest page may come once more, when the server kept it
//   but its answer was lost.
// - Every mail that arrived is sent whole by the end (after the faults stop), and its pages put together give
//   its text. Nothing reaches the server that never arrived.
// - Memory (the resident size; under the address sanitizer, the heap in use) and open descriptors at the end
//   are not above what they were after the measuring check, give or take a small allowance; nor does the
//   POP3 component's cache folder hold more than two files for each message still in the mailbox.

namespace {
const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");
const QString sPhone = QStringLiteral("phone@example.jp");
constexpr qint16 iPageSize = 200;
constexpr qint16 iInterval = 2;
constexpr int iDrainChecks = 30;
// Memory may grow by a little, and by a little more for each mail: the store remembers every mail it has
// seen until forwarding starts afresh, and the run keeps a short record of each.
constexpr qint64 iMemoryAllowance = 2 * 1024 * 1024;
constexpr qint64 iMemoryPerMail = 2 * 1024;
constexpr int iFdAllowance = 2;
const QStringList sDropSteps{QStringLiteral("EHLO"), QStringLiteral("AUTH"), QStringLiteral("MAIL"),
                             QStringLiteral("RCPT"), QStringLiteral("DATA"), QStringLiteral("DATA_END"),
                             QStringLiteral("QUIT")};

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer holds freed memory back for a while, so the resident size says little; what the
// program itself has allocated says what matters.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
constexpr const char* sMemoryKind = "heap in use";
qint64 memoryInUse() {
    return qint64(__sanitizer_get_current_allocated_bytes());
}
#else
constexpr const char* sMemoryKind = "RSS";
qint64 memoryInUse() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    return fields.value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}
#endif

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

int filesUnder(const QString& sDir) {
    int n = 0;
    for (const QFileInfo& info : QDir(sDir).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot))
        n += int(QDir(info.filePath()).entryList(QDir::Files).size());
    return n;
}

QString mib(qint64 iBytes) {
    return QString::number(double(iBytes) / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MiB");
}

struct Page {
    int iPage = 0;
    int iPages = 0;
    QString sText;
};

struct Mail {
    int iId = 0;
    QString sText; // the body without line ends, as the pages put together must give it
    QString sFrom; // the envelope sender the forward must carry
    QString sFile; // its name in the maildir, without the flags Dovecot adds
    int iArrived = 0;
    int iPages = 0; // known from its first delivered page
    QList<Page> pages;
    int iTries = 0;
    int iLastTry = -1;
    bool bRetryDue = false;
    int iSentWhole = -1;
    bool bDeleted = false;
};

// The check runs where the main window runs it: on a thread of its own, with the shell waiting for its
// answer.
class CheckThread {
public:
    CheckThread() {
        context.moveToThread(&thread);
        thread.start();
    }
    ~CheckThread() {
        thread.quit();
        thread.wait();
    }
    CheckThread(const CheckThread&) = delete;
    CheckThread& operator=(const CheckThread&) = delete;

    std::optional<CheckOutcome> check(clsSimpleCycle& cycle, int iDeadlineMs) {
        auto promise = std::make_shared<std::promise<CheckOutcome>>();
        std::future<CheckOutcome> answer = promise->get_future();
        QMetaObject::invokeMethod(&context, [&cycle, promise] { promise->set_value(cycle.check()); });
        if (answer.wait_for(std::chrono::milliseconds(iDeadlineMs)) != std::future_status::ready)
            return std::nullopt;
        return answer.get();
    }

private:
    QThread thread;
    QObject context;
};

class Soak {
public:
    explicit Soak(const SoakOptions& o) : options(o), random(o.iSeed) {}
    SoakResult run();

private:
    bool setUp();
    void between(int iCheck);
    void arrive(int iCheck, int iCount);
    void deleteSomeSentMail();
    bool oneCheck(int iCheck, bool bFaults);
    void planFault(qint32 lIndex);
    void collect(int iCheck);
    void judge(int iCheck, bool bReadable);
    void judgeEnd();
    void fail(const QString& sText);
    QString summary(qint64 iElapsedMs) const;
    int draw(int iFrom, int iTo) { return std::uniform_int_distribution<int>(iFrom, iTo)(random); }
    bool chance(double dP) { return std::bernoulli_distribution(dP)(random); }

    SoakOptions options;
    std::mt19937 random;
    SoakResult result;

    QTemporaryDir workDir;
    QByteArray sTmpDirBefore;
    DovecotServer dovecot;
    SmtpTestServer smtpServer;
    std::unique_ptr<Pop3Client> pop;
    std::unique_ptr<SmtpClient> smtp;
    std::unique_ptr<clsSimpleCycle> cycle;
    CheckThread worker;

    std::map<int, Mail> mails;
    QHash<QString, int> bySubject;
    int iNextId = 0;
    int iNextStored = 1; // the SMTP server's next message number
    bool bFaults = true;
    int iPop3DownUntil = -1;
    int iSmtpDownUntil = -1;
    QList<int> triedNow;                 // mails tried in the running check, in order
    QMap<int, QList<Page>> deliveredNow; // pages that reached the server in the last check, by mail

    // Figures.
    int iChecksRun = 0;
    int iChecksPop3Down = 0;
    int iPop3Restarts = 0;
    int iChecksSmtpDown = 0;
    int iSmtpRestarts = 0;
    int iBursts = 0;
    int iPagesDelivered = 0;
    int iPagesAgain = 0;
    int iTriesShort = 0;
    int iDeleted = 0;
    QMap<QString, int> faults;
    qint64 iCheckNsTotal = 0;
    qint64 iCheckNsMax = 0;
    qint64 iMemoryStart = -1;
    int iFdsStart = -1;
    int iMeasuredAt = -1;
    int iMailsAtMeasure = 0;
    qint64 iMemoryMeasured = -1;
    qint64 iMemoryEnd = -1;
    int iFdsMeasured = -1;
    int iFdsEnd = -1;
    int iCacheFilesEnd = -1;
    int iMailboxEnd = 0;
};

void Soak::fail(const QString& sText) {
    if (result.failures.size() < 50)
        result.failures << sText;
}

bool Soak::setUp() {
    if (!workDir.isValid())
        return false;
    // Its own temporary folder, so the POP3 component's cache can be counted.
    const QString sTmp = workDir.filePath(QStringLiteral("tmp"));
    QDir().mkpath(sTmp);
    sTmpDirBefore = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(sTmp));
    QDir().mkpath(workDir.filePath(QStringLiteral("program")));
    setProgramFolder(workDir.filePath(QStringLiteral("program")));
    clsSystem::instance().RunLog = true;

    SmtpTestServer::Options smtpOptions;
    smtpOptions.sUser = sUser;
    smtpOptions.sPassword = sPassword;
    if (!dovecot.start() || !smtpServer.start(smtpOptions)) {
        fail(QStringLiteral("the mail servers did not start"));
        return false;
    }
    smtpServer.setControl({});

    pointSimpleSetAt(dovecot, smtpServer, sUser, sPassword, sPhone, iInterval, iPageSize);
    clsSet2::instance().setValue(11, {QString()});

    pop = std::make_unique<Pop3Client>();
    smtp = std::make_unique<SmtpClient>();
    // Short limits: a fault the servers make must not cost minutes (the program's own are 180 s).
    for (qint32* limit :
         {&pop->ConnectTimeout, &pop->ReplyTimeout, &smtp->ConnectTimeout, &smtp->ReplyTimeout})
        *limit = 10;
    cycle = std::make_unique<clsSimpleCycle>(*pop, *smtp);
    cycle->beforeForwardForTest = [this](qint32 lIndex) { planFault(lIndex); };
    cycle->start();
    return true;
}

void Soak::arrive(int iCheck, int iCount) {
    static const char* const words[] = {"mail",  "phone", "forward", "page",   "server", "check",  "soak",
                                        "ocean", "paper", "window",  "letter", "quiet",  "number", "train"};
    for (int i = 0; i < iCount; ++i) {
        Mail mail;
        mail.iId = ++iNextId;
        mail.iArrived = iCheck;
        mail.sFrom = QStringLiteral("sender%1@example.com").arg(mail.iId % 13);
        const int iChars = draw(1, 900);
        QByteArray body;
        QByteArray line;
        while (body.size() + line.size() < iChars) {
            // Some lines start with a dot, which SMTP must stuff and the server unstuff.
            if (line.isEmpty() && chance(0.05))
                line += '.';
            line += words[draw(0, int(std::size(words)) - 1)];
            if (line.size() > 60 || chance(0.1)) {
                body += line + "\r\n";
                line.clear();
            } else {
                line += ' ';
            }
        }
        body += line.trimmed() + "\r\n";
        const QByteArray subject = "soak mail " + QByteArray::number(mail.iId);
        const QByteArray raw = "From: Sender <" + mail.sFrom.toLatin1() + ">\r\nTo: " + sUser.toLatin1() +
                               "@example.jp\r\nSubject: " + subject + "\r\nMessage-ID: <soak" +
                               QByteArray::number(mail.iId) + "." + QByteArray::number(options.iSeed) +
                               "@example.com>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; "
                               "charset=us-ascii\r\n\r\n" +
                               body;
        mail.sText = QString::fromLatin1(body).remove(u'\r').remove(u'\n');
        const QString sPath = dovecot.addMessage(sUser, raw);
        if (sPath.isEmpty()) {
            fail(QStringLiteral("mail %1 could not be delivered to the mailbox").arg(mail.iId));
            continue;
        }
        mail.sFile = QFileInfo(sPath).fileName();
        bySubject.insert(QString::fromLatin1(subject), mail.iId);
        mails.emplace(mail.iId, mail);
    }
}

// Another mail program of the user takes away mail now and then, but only mail already on the phone.
void Soak::deleteSomeSentMail() {
    const QString sMaildir = dovecot.maildir(sUser);
    for (auto& [iId, mail] : mails) {
        if (mail.iSentWhole < 0 || mail.bDeleted || !chance(0.03))
            continue;
        for (const char* sub : {"/new", "/cur"}) {
            QDir dir(sMaildir + QLatin1String(sub));
            for (const QString& sName : dir.entryList({mail.sFile + QLatin1Char('*')}, QDir::Files))
                dir.remove(sName);
        }
        mail.bDeleted = true;
        ++iDeleted;
    }
}

void Soak::between(int iCheck) {
    if (bFaults && chance(0.3))
        arrive(iCheck, draw(1, 3));
    // Now and then a flood, more than the store's hundred slots.
    if (bFaults && iBursts < 3 && chance(0.004)) {
        ++iBursts;
        arrive(iCheck, draw(60, 140));
    }
    deleteSomeSentMail();

    if (dovecot.isRunning() && bFaults && chance(0.03)) {
        dovecot.stop();
        iPop3DownUntil = iCheck + draw(0, 3);
    }
    if (!dovecot.isRunning() && (iCheck > iPop3DownUntil || !bFaults)) {
        if (!dovecot.restart())
            fail(QStringLiteral("check %1: Dovecot did not come back on its port").arg(iCheck));
        else
            ++iPop3Restarts;
    }

    // The phone's server away for a few checks: every send of them fails to connect.
    if (smtpServer.isRunning() && bFaults && chance(0.01)) {
        smtpServer.stop();
        iSmtpDownUntil = iCheck + draw(0, 5);
    }
    if (!smtpServer.isRunning() && (iCheck > iSmtpDownUntil || !bFaults)) {
        if (!smtpServer.restart())
            fail(QStringLiteral("check %1: the SMTP server did not come back on its port").arg(iCheck));
        else
            ++iSmtpRestarts;
    }
}

// Runs on the check's thread before a slot is forwarded: the server's behaviour for this mail's sends.
void Soak::planFault(qint32 lIndex) {
    const QString sSubject = clsMailTransfer::instance().getSbuject(lIndex);
    const int iId = bySubject.value(sSubject, 0);
    triedNow << iId;
    QJsonObject control;
    if (bFaults && chance(0.3)) {
        // The fault starts after a few sends, so a mail can stop half-way.
        if (chance(0.6))
            control.insert(QStringLiteral("faults_after"), draw(1, 4));
        QString sKind;
        switch (draw(0, 4)) {
        case 0:
            sKind = QStringLiteral("refused recipient");
            control.insert(QStringLiteral("refuse_rcpt"), QJsonArray{sPhone});
            break;
        case 1:
            sKind = QStringLiteral("451 after DATA");
            control.insert(QStringLiteral("fail_data"), draw(1, 5));
            break;
        case 2:
            sKind = QStringLiteral("451 to DATA");
            control.insert(QStringLiteral("fail_data"), draw(1, 5));
            control.insert(QStringLiteral("fail_data_at"), QStringLiteral("command"));
            break;
        case 3:
            sKind = QStringLiteral("554 after DATA");
            control.insert(QStringLiteral("fail_data"), draw(1, 5));
            control.insert(QStringLiteral("fail_data_code"), 554);
            break;
        default: {
            const QString sStep = sDropSteps.at(draw(0, int(sDropSteps.size()) - 1));
            sKind = QStringLiteral("dropped on ") + sStep;
            control.insert(QStringLiteral("drop_on"), sStep);
            break;
        }
        }
        ++faults[sKind];
    }
    smtpServer.setControl(control);
}

// Reads what reached the server during the check.
void Soak::collect(int iCheck) {
    static const QRegularExpression mark(QStringLiteral("^ペリモ (\\d+)/(\\d+)\n"));
    deliveredNow.clear();
    const QString sStore = smtpServer.storeDir();
    for (;; ++iNextStored) {
        QFile facts(QStringLiteral("%1/%2.json").arg(sStore).arg(iNextStored, 4, 10, QLatin1Char('0')));
        if (!facts.open(QIODevice::ReadOnly))
            break;
        const QJsonObject fact = QJsonDocument::fromJson(facts.readAll()).object();
        const QString sSubject = fact.value(QStringLiteral("subject")).toString();
        const int iId = bySubject.value(sSubject, 0);
        if (iId == 0) {
            fail(QStringLiteral("check %1: the server got a mail that never arrived: \"%2\"")
                     .arg(iCheck)
                     .arg(sSubject));
            continue;
        }
        const Mail& mail = mails.at(iId);
        if (fact.value(QStringLiteral("rcpt_tos")).toArray() != QJsonArray{sPhone} ||
            fact.value(QStringLiteral("mail_from")).toString() != mail.sFrom)
            fail(QStringLiteral("check %1: mail %2 went from %3 to %4")
                     .arg(iCheck)
                     .arg(iId)
                     .arg(fact.value(QStringLiteral("mail_from")).toString(),
                          QString::fromUtf8(QJsonDocument(fact.value(QStringLiteral("rcpt_tos")).toArray())
                                                .toJson(QJsonDocument::Compact))));
        const QString sBody = fact.value(QStringLiteral("body")).toString();
        const QRegularExpressionMatch match = mark.match(sBody);
        if (!match.hasMatch()) {
            fail(QStringLiteral("check %1: a page of mail %2 has no page mark").arg(iCheck).arg(iId));
            continue;
        }
        Page page;
        page.iPage = match.captured(1).toInt();
        page.iPages = match.captured(2).toInt();
        page.sText = sBody.mid(match.capturedLength()).remove(u'\n');
        deliveredNow[iId] << page;
        ++iPagesDelivered;
    }
}

void Soak::judge(int iCheck, bool bReadable) {
    QSet<int> tried;
    for (int iId : std::as_const(triedNow)) {
        if (iId == 0) {
            fail(QStringLiteral("check %1: a slot was forwarded that holds no mail of the run").arg(iCheck));
            continue;
        }
        if (tried.contains(iId))
            fail(QStringLiteral("check %1: mail %2 was tried twice").arg(iCheck).arg(iId));
        tried.insert(iId);
    }
    for (auto it = deliveredNow.cbegin(); it != deliveredNow.cend(); ++it)
        if (!tried.contains(it.key()))
            fail(QStringLiteral("check %1: pages of mail %2 arrived that the check did not try")
                     .arg(iCheck)
                     .arg(it.key()));

    for (int iId : std::as_const(tried)) {
        Mail& mail = mails.at(iId);
        if (mail.iSentWhole >= 0) {
            fail(QStringLiteral("check %1: mail %2 was tried again after check %3 had sent it whole")
                     .arg(iCheck)
                     .arg(iId)
                     .arg(mail.iSentWhole));
            continue;
        }
        const QList<Page> pages = deliveredNow.value(iId);
        if (!pages.isEmpty() && mail.iPages == 0)
            mail.iPages = pages.front().iPages;
        // Last page first, one after the other, going on below what earlier tries delivered.
        const int iLowest = mail.pages.isEmpty() ? mail.iPages + 1 : mail.pages.back().iPage;
        int iNext = iLowest - 1;
        for (qsizetype k = 0; k < pages.size(); ++k) {
            const Page& page = pages.at(k);
            const bool bRepeat = k == 0 && !mail.pages.isEmpty() && page.iPage == iLowest;
            const bool bInOrder = page.iPage == iNext || bRepeat;
            iNext = page.iPage - 1;
            if (page.iPages != mail.iPages || !bInOrder) {
                fail(QStringLiteral("check %1: mail %2 delivered page %3/%4 as its send no. %5")
                         .arg(iCheck)
                         .arg(iId)
                         .arg(page.iPage)
                         .arg(page.iPages)
                         .arg(k + 1));
                break;
            }
        }
        for (const Page& page : pages) {
            for (const Page& earlier : std::as_const(mail.pages))
                if (earlier.iPage == page.iPage) {
                    ++iPagesAgain;
                    if (earlier.sText != page.sText)
                        fail(QStringLiteral("check %1: page %2 of mail %3 differs from its earlier copy")
                                 .arg(iCheck)
                                 .arg(page.iPage)
                                 .arg(iId));
                    break;
                }
        }
        mail.pages += pages;
        ++mail.iTries;
        mail.iLastTry = iCheck;
        const bool bWhole = !pages.isEmpty() && pages.back().iPage == 1;
        if (bWhole) {
            mail.iSentWhole = iCheck;
            mail.bRetryDue = false;
            QMap<int, QString> byPage;
            for (const Page& page : std::as_const(mail.pages))
                byPage.insert(page.iPage, page.sText);
            QString sJoined;
            for (const QString& sPage : std::as_const(byPage))
                sJoined += sPage;
            if (sJoined != mail.sText)
                fail(QStringLiteral("check %1: mail %2 arrived changed:\n  sent %3\n  got  %4")
                         .arg(iCheck)
                         .arg(iId)
                         .arg(mail.sText.left(200), sJoined.left(200)));
            // Nothing of it may come again, so its texts are no longer needed; the run's own memory must
            // not hide the program's.
            mail.sText = QString();
            mail.pages = QList<Page>();
        } else {
            mail.bRetryDue = true;
            ++iTriesShort;
        }
    }

    // A mail whose try stopped short is due at the next check that reads the mailbox.
    if (bReadable) {
        for (auto& [iId, mail] : mails) {
            if (mail.bRetryDue && mail.iLastTry < iCheck) {
                fail(QStringLiteral("check %1: mail %2, stopped short in check %3, was not tried again")
                         .arg(iCheck)
                         .arg(iId)
                         .arg(mail.iLastTry));
                mail.bRetryDue = false; // said once
            }
        }
    }
}

bool Soak::oneCheck(int iCheck, bool bWithFaults) {
    bFaults = bWithFaults;
    smtpServer.setControl({});
    // The minute ticks of the main window's timer, without the minutes.
    int iTicks = 0;
    while (!cycle->countMinute()) {
        if (++iTicks > iInterval) {
            fail(QStringLiteral("check %1: not due after %2 minute ticks").arg(iCheck).arg(iTicks));
            return false;
        }
    }
    if (iTicks + 1 != iInterval)
        fail(QStringLiteral("check %1: due after %2 ticks, not %3")
                 .arg(iCheck)
                 .arg(iTicks + 1)
                 .arg(iInterval));

    const bool bReadable = dovecot.isRunning();
    if (!bReadable)
        ++iChecksPop3Down;
    if (!smtpServer.isRunning())
        ++iChecksSmtpDown;
    triedNow.clear();
    QElapsedTimer timer;
    timer.start();
    const std::optional<CheckOutcome> outcome = worker.check(*cycle, options.iCheckDeadlineMs);
    if (!outcome) {
        std::fprintf(stderr, "FAILED: check %d did not end within %d ms; giving up at once\n", iCheck,
                     options.iCheckDeadlineMs);
        std::fflush(stderr);
        ::_exit(3);
    }
    const qint64 iNs = timer.nsecsElapsed();
    iCheckNsTotal += iNs;
    iCheckNsMax = std::max(iCheckNsMax, iNs);
    ++iChecksRun;
    if (*outcome != CheckOutcome::CarryOn)
        fail(QStringLiteral("check %1: answered %2 instead of carrying on").arg(iCheck).arg(int(*outcome)));
    if (cycle->minuteCount() != 0)
        fail(QStringLiteral("check %1: the minute counter stands at %2 afterwards")
                 .arg(iCheck)
                 .arg(cycle->minuteCount()));

    collect(iCheck);
    judge(iCheck, bReadable);
    return true;
}

void Soak::judgeEnd() {
    int iMissing = 0;
    for (const auto& [iId, mail] : mails) {
        if (mail.iSentWhole >= 0)
            continue;
        if (++iMissing <= 10)
            fail(QStringLiteral(
                     "mail %1 (arrived before check %2, tried %3 times, %4 pages delivered) was never "
                     "sent whole")
                     .arg(iId)
                     .arg(mail.iArrived)
                     .arg(mail.iTries)
                     .arg(mail.pages.size()));
    }
    if (iMissing > 10)
        fail(QStringLiteral("... %1 mails in all were never sent whole").arg(iMissing));

    const qint64 iAllowed =
        iMemoryAllowance + iMemoryPerMail * qint64(mails.size() - size_t(iMailsAtMeasure));
    if (iMeasuredAt < 0)
        fail(QStringLiteral("memory and descriptors were never measured"));
    else if (iMemoryEnd > iMemoryMeasured + iAllowed)
        fail(QStringLiteral("%1 grew from %2 to %3, more than the %4 allowed")
                 .arg(QLatin1String(sMemoryKind), mib(iMemoryMeasured), mib(iMemoryEnd), mib(iAllowed)));
    if (iMeasuredAt >= 0 && iFdsEnd > iFdsMeasured + iFdAllowance)
        fail(QStringLiteral("open descriptors grew from %1 to %2").arg(iFdsMeasured).arg(iFdsEnd));
    // The cache keeps at most a header and a whole copy of each message still on the server.
    if (iCacheFilesEnd > 2 * iMailboxEnd + 2)
        fail(QStringLiteral("the POP3 cache holds %1 files for a mailbox of %2")
                 .arg(iCacheFilesEnd)
                 .arg(iMailboxEnd));
}

QString Soak::summary(qint64 iElapsedMs) const {
    int iWhole = 0;
    for (const auto& [iId, mail] : mails)
        iWhole += mail.iSentWhole >= 0 ? 1 : 0;
    QStringList lines;
    lines << QStringLiteral("seed %1, %2 checks in %3 s")
                 .arg(options.iSeed)
                 .arg(iChecksRun)
                 .arg(double(iElapsedMs) / 1000.0, 0, 'f', 1);
    lines << QStringLiteral(
                 "servers: POP3 down for %1 checks (%2 restarts), SMTP down for %3 checks (%4 restarts)")
                 .arg(iChecksPop3Down)
                 .arg(iPop3Restarts)
                 .arg(iChecksSmtpDown)
                 .arg(iSmtpRestarts);
    lines << QStringLiteral(
                 "mails: %1 arrived (%2 floods), %3 sent whole, %4 taken away after sending; %5 in the "
                 "mailbox at the end")
                 .arg(mails.size())
                 .arg(iBursts)
                 .arg(iWhole)
                 .arg(iDeleted)
                 .arg(iMailboxEnd);
    lines << QStringLiteral("pages: %1 delivered, %2 of them again; %3 tries stopped short")
                 .arg(iPagesDelivered)
                 .arg(iPagesAgain)
                 .arg(iTriesShort);
    QStringList kinds;
    for (auto it = faults.cbegin(); it != faults.cend(); ++it)
        kinds << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    lines << QStringLiteral("SMTP faults: ") + kinds.join(QStringLiteral(", "));
    lines << QStringLiteral("check time: mean %1 ms, longest %2 ms")
                 .arg(iChecksRun ? double(iCheckNsTotal) / 1e6 / iChecksRun : 0.0, 0, 'f', 1)
                 .arg(double(iCheckNsMax) / 1e6, 0, 'f', 1);
    lines << QStringLiteral(
                 "%1: %2 and %3 descriptors at the start, %4 and %5 after check %6, %7 and %8 at the "
                 "end; %9 files in the POP3 cache")
                 .arg(QLatin1String(sMemoryKind), mib(iMemoryStart))
                 .arg(iFdsStart)
                 .arg(mib(iMemoryMeasured))
                 .arg(iFdsMeasured)
                 .arg(iMeasuredAt)
                 .arg(mib(iMemoryEnd))
                 .arg(iFdsEnd)
                 .arg(iCacheFilesEnd);
    return lines.join(u'\n');
}

SoakResult Soak::run() {
    QElapsedTimer elapsed;
    elapsed.start();
    if (!setUp())
        return result;
    iMemoryStart = memoryInUse();
    iFdsStart = openDescriptors();

    int iCheck = 0;
    for (; iCheck < options.iChecks; ++iCheck) {
        between(iCheck);
        if (!oneCheck(iCheck, true))
            break;
        // Taken while both servers run, as at the end: their scripts' pipes are descriptors of this process.
        if (iMeasuredAt < 0 && iCheck + 1 >= options.iMeasureAt && dovecot.isRunning() &&
            smtpServer.isRunning()) {
            iMeasuredAt = iCheck + 1;
            iMailsAtMeasure = int(mails.size());
            iMemoryMeasured = memoryInUse();
            iFdsMeasured = openDescriptors();
        }
        if (options.progress && (iCheck + 1) % 100 == 0) {
            std::fprintf(options.progress,
                         "%d checks, %zu mails, %s %s, %d descriptors, %d failures so far\n", iCheck + 1,
                         mails.size(), sMemoryKind, qPrintable(mib(memoryInUse())), openDescriptors(),
                         int(result.failures.size()));
            std::fflush(options.progress);
        }
    }
    // The faults end and both servers are back: whatever is still due must now go.
    for (int iDrain = 0; iDrain < iDrainChecks; ++iDrain, ++iCheck) {
        const bool bAllSent = std::all_of(mails.cbegin(), mails.cend(),
                                          [](const auto& entry) { return entry.second.iSentWhole >= 0; });
        if (bAllSent && iDrain > 0)
            break;
        bFaults = false;
        between(iCheck);
        if (!oneCheck(iCheck, false))
            break;
    }
    iMemoryEnd = memoryInUse();
    iFdsEnd = openDescriptors();
    iCacheFilesEnd = filesUnder(workDir.filePath(QStringLiteral("tmp")));
    iMailboxEnd = int(QDir(dovecot.maildir(sUser) + QStringLiteral("/cur")).entryList(QDir::Files).size() +
                      QDir(dovecot.maildir(sUser) + QStringLiteral("/new")).entryList(QDir::Files).size());
    judgeEnd();
    result.sSummary = summary(elapsed.elapsed());
    cycle.reset();
    pop.reset();
    clsMailTransfer::instance().clearClass();
    if (sTmpDirBefore.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", sTmpDirBefore);
    return result;
}
} // namespace

SoakResult runSoak(const SoakOptions& options) {
    Soak soak(options);
    return soak.run();
}
