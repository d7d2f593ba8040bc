// The passes of the test bed in bench/testbed/ run by the simple-mode check: 1, all new; 2, nothing new; 3, a
// few new; and 4, nothing new in a new process, the program started again on the same data folder. Passes 1
// to 3 run in one process, as the program runs them; pass 4 is a run of its own (`--passes 4`). Each pass
// appends one JSON line in the test bed's record format, so the driver can set it beside fetchmail's.
//
//   bench_sidebyside --env DIR --mailenv bench/testbed/mailenv.py --home HOME [--passes 1,2,3] [--new 10]
//                    [--idle-reps 1] [--restart 1] [--messages N] [--attach-kb K] [--attach-every E]
//                    [--rep 1] [--scenario NAME] [--results FILE]
//
// DIR is an environment brought up with `mailenv.py up`; the passes leave it running. HOME holds the
// program's settings, forwarding record and folder (the XDG folders point into it), and is kept, so that a
// later run with the same HOME starts where this one ended. --idle-reps repeats pass 2; --restart numbers a
// repeated pass 4 in the records.

#include "TestSupport.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsForwardLedger.h"
#include "engine/clsMailTransfer.h"
#include "engine/clsSimpleCycle.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {
struct Options {
    QString sEnvDir;
    QString sMailEnv;
    QString sResults;
    QString sHome;
    QString sScenario;
    QList<int> passes{1, 2, 3};
    int iNew = 10;
    int iRep = 1;
    int iIdleReps = 1;
    int iRestart = 1; // which start of the program pass 4 is, when it is repeated
    // Only written to the records, so that the table knows which targets apply.
    int iMessages = 0;
    int iAttachKb = 0;
    int iAttachEvery = 0;
};

[[noreturn]] void die(const QString& sText) {
    std::fprintf(stderr, "bench_sidebyside: %s\n", qPrintable(sText));
    std::exit(2);
}

Options parseArguments(const QStringList& args) {
    Options o;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& sArg = args.at(i);
        if (i + 1 >= args.size())
            die(QStringLiteral("missing value after ") + sArg);
        const QString sValue = args.at(++i);
        if (sArg == QLatin1String("--env"))
            o.sEnvDir = sValue;
        else if (sArg == QLatin1String("--mailenv"))
            o.sMailEnv = sValue;
        else if (sArg == QLatin1String("--results"))
            o.sResults = sValue;
        else if (sArg == QLatin1String("--scenario"))
            o.sScenario = sValue;
        else if (sArg == QLatin1String("--new"))
            o.iNew = sValue.toInt();
        else if (sArg == QLatin1String("--rep"))
            o.iRep = sValue.toInt();
        else if (sArg == QLatin1String("--home"))
            o.sHome = sValue;
        else if (sArg == QLatin1String("--idle-reps"))
            o.iIdleReps = std::clamp(sValue.toInt(), 1, 50);
        else if (sArg == QLatin1String("--restart"))
            o.iRestart = sValue.toInt();
        else if (sArg == QLatin1String("--messages"))
            o.iMessages = sValue.toInt();
        else if (sArg == QLatin1String("--attach-kb"))
            o.iAttachKb = sValue.toInt();
        else if (sArg == QLatin1String("--attach-every"))
            o.iAttachEvery = sValue.toInt();
        else if (sArg == QLatin1String("--passes")) {
            o.passes.clear();
            for (const QString& sPass : sValue.split(u',', Qt::SkipEmptyParts)) {
                const int iPass = sPass.toInt();
                if (iPass < 1 || iPass > 4 || o.passes.contains(iPass))
                    die(QStringLiteral("bad --passes ") + sValue);
                o.passes.append(iPass);
            }
            std::sort(o.passes.begin(), o.passes.end());
        } else
            die(QStringLiteral("unknown option ") + sArg);
    }
    if (o.sEnvDir.isEmpty() || o.sMailEnv.isEmpty() || o.sHome.isEmpty())
        die(QStringLiteral("--env, --mailenv and --home are required"));
    if (o.passes.isEmpty() || (o.passes.contains(4) && o.passes.size() > 1))
        die(QStringLiteral("--passes takes some of 1, 2, 3, or 4 alone (a new process)"));
    return o;
}

// The test bed's own tool, so that the counters are read exactly as for fetchmail.
QByteArray mailEnv(const Options& o, const QStringList& args) {
    QProcess process;
    process.start(o.sMailEnv, args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        die(QStringLiteral("mailenv.py %1 failed: %2")
                .arg(args.join(u' '), QString::fromLocal8Bit(process.readAllStandardError())));
    return process.readAllStandardOutput();
}

// User and system CPU of the whole process, all threads.
struct Cpu {
    double fUser = 0;
    double fSystem = 0;
    double total() const { return fUser + fSystem; }
};

Cpu cpuNow() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

double cpuSeconds() {
    return cpuNow().total();
}

// The raw Subject field of a header, its folded lines joined.
QByteArray subjectOf(const QByteArray& head) {
    QByteArray subject;
    bool bInSubject = false;
    for (const QByteArray& line : head.split('\n')) {
        if (bInSubject && (line.startsWith(' ') || line.startsWith('\t')))
            subject += line.trimmed();
        else if ((bInSubject = line.toLower().startsWith("subject:")))
            subject = line.trimmed();
    }
    return subject;
}

QByteArray digestOf(const QByteArray& subject, const QByteArray& text) {
    QCryptographicHash digest(QCryptographicHash::Sha256);
    digest.addData(subject);
    digest.addData("\n");
    digest.addData(text);
    return digest.result();
}

// The forward carries a new Message-ID, so the test bed cannot tell a repeat by it; the same subject with the
// same text twice is one.
struct SinkCount {
    int iTotal = 0;
    int iDistinct = 0;
};

SinkCount countSink(const QString& sSinkDir) {
    SinkCount count;
    QSet<QByteArray> distinct;
    const QDir dir(sSinkDir);
    for (const QString& sName : dir.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(sName));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray raw = file.readAll();
        const qsizetype iSplit = raw.indexOf("\r\n\r\n");
        distinct.insert(digestOf(subjectOf(raw.left(iSplit < 0 ? raw.size() : iSplit)),
                                 iSplit < 0 ? QByteArray() : raw.mid(iSplit + 4)));
        ++count.iTotal;
    }
    count.iDistinct = int(distinct.size());
    return count;
}

// What the test bed has put in the mailbox so far: every message, and how many of them cannot be told apart
// once forwarded. The generator now and then makes two mails with the same subject and text (one pair in
// 10,000); their forwards are then alike too, and are no duplicate.
struct SeededCount {
    int iTotal = 0;
    int iDistinct = 0;
};

QByteArrayList manifestLines(const QString& sEnvDir) {
    QFile manifest(QDir(sEnvDir).filePath(QStringLiteral("manifest.jsonl")));
    if (!manifest.open(QIODevice::ReadOnly))
        die(QStringLiteral("no manifest.jsonl in ") + sEnvDir);
    QByteArrayList lines = manifest.readAll().split('\n');
    lines.removeIf([](const QByteArray& line) { return line.trimmed().isEmpty(); });
    return lines;
}

int seededTotal(const QString& sEnvDir) {
    return int(manifestLines(sEnvDir).size());
}

SeededCount countSeeded(const QString& sEnvDir, const QString& sUser) {
    // Dovecot moves a message from new/ to cur/ and adds flags to its name.
    const QDir box(QDir(sEnvDir).filePath(QStringLiteral("mail/") + sUser));
    QHash<QString, QString> paths;
    for (const char* sSub : {"new", "cur"}) {
        const QDir dir(box.filePath(QLatin1String(sSub)));
        for (const QString& sName : dir.entryList(QDir::Files))
            paths.insert(sName.section(u':', 0, 0), dir.filePath(sName));
    }
    SeededCount count;
    QSet<QByteArray> distinct;
    for (const QByteArray& line : manifestLines(sEnvDir)) {
        ++count.iTotal;
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        QFile file(paths.value(entry.value(QLatin1String("file")).toString()));
        QByteArray head;
        if (file.open(QIODevice::ReadOnly)) {
            for (QByteArray l = file.readLine(); !l.isEmpty() && !l.trimmed().isEmpty(); l = file.readLine())
                head += l;
        }
        // A message not found is counted as distinct, so that it can never hide a duplicate.
        distinct.insert(
            head.isEmpty()
                ? QByteArray::number(count.iTotal)
                : digestOf(subjectOf(head), entry.value(QLatin1String("body_sha256")).toString().toLatin1()));
    }
    count.iDistinct = int(distinct.size());
    return count;
}

// Points the program's settings, data and runtime folders into HOME before anything asks for them, so that a
// second run finds what the first one left, as the program started again would.
void useHome(const QString& sHome) {
    const QString sAbsolute = QDir(sHome).absolutePath();
    for (const char* sSub : {"config", "data", "cache", "runtime", "home", "program"})
        if (!QDir().mkpath(sAbsolute + u'/' + QLatin1String(sSub)))
            die(QStringLiteral("cannot make ") + sAbsolute + u'/' + QLatin1String(sSub));
    ::chmod(QFile::encodeName(sAbsolute + QStringLiteral("/runtime")).constData(), 0700);
    const auto point = [&](const char* sVariable, const char* sSub) {
        qputenv(sVariable, QFile::encodeName(sAbsolute + u'/' + QLatin1String(sSub)));
    };
    point("XDG_CONFIG_HOME", "config");
    point("XDG_DATA_HOME", "data");
    point("XDG_CACHE_HOME", "cache");
    point("XDG_RUNTIME_DIR", "runtime");
    point("HOME", "home");
    setProgramFolder(sAbsolute + QStringLiteral("/program"));
}

void configure(const QJsonObject& env) {
    clsSet2& set = clsSet2::instance();
    set.setDefault();
    set.setValue(1, {QStringLiteral("127.0.0.1:%1").arg(env.value(QLatin1String("pop3_port")).toInt())});
    set.setValue(2, {encodePassWord(env.value(QLatin1String("user")).toString())});
    set.setValue(3, {encodePassWord(env.value(QLatin1String("password")).toString())});
    set.setValue(4, {QStringLiteral("127.0.0.1:%1").arg(env.value(QLatin1String("smtp_port")).toInt())});
    set.setValue(5, {env.value(QLatin1String("forward_to")).toString()});
    set.setValue(6, {1});
    // Whole mails, no pages: the work is then the same as a forwarder that passes mail on as it is.
    set.setValue(8, {QStringLiteral("0")});
}

// Both servers offer TLS with the test bed's own certificate, and the program takes TLS whenever it is
// offered. Only that certificate is trusted: the program itself finds system roots on demand, whereas a
// list of them given here would be copied into every connection and would measure that copying instead.
void trustCertificate(const QString& sPath) {
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(sPath, QSsl::Pem);
    if (certificates.isEmpty())
        die(QStringLiteral("no certificate in ") + sPath);
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(config);
}

// The name the program keeps its settings under.
const QString sAppName = QStringLiteral("Q-Post");

// One pass: as many checks as it takes to read everything new (a check takes at most one store of mail),
// measured together. Appends its record and answers whether it forwarded exactly the new mail.
struct Run {
    const Options& o;
    clsSimpleCycle& cycle;
    QFile& results;
    QString sAccount;
    QString sMailUser; // the mailbox's user in the test bed
    int iExpectedTotal = 0;

    bool pass(int iPass, int iIdleRep, const QJsonObject& startFigures);
};

bool Run::pass(int iPass, int iIdleRep, const QJsonObject& startFigures) {
    clsMailTransfer& store = clsMailTransfer::instance();
    const QStringList dirArgs{QStringLiteral("--dir"), o.sEnvDir};
    if (iPass == 3)
        mailEnv(o, QStringList{QStringLiteral("seed")} + dirArgs +
                       QStringList{QStringLiteral("--count"), QString::number(o.iNew)});
    const QByteArray mark = mailEnv(o, QStringList{QStringLiteral("mark")} + dirArgs).trimmed();
    const int iSeeded = seededTotal(o.sEnvDir);
    const int iExpected = iSeeded - iExpectedTotal;
    iExpectedTotal = iSeeded;
    const qsizetype iLedgerBefore = clsForwardLedger::instance().entryCount(sAccount);

    // Where the kernel refuses the reset, the figure is the peak of the process so far.
    const qint64 iResident = TestSupport::resetPeakMemory();
    const bool bPeakReset = TestSupport::peakMemory() <= iResident + 1024 * 1024;
    const Cpu cpuBefore = cpuNow();
    const auto start = std::chrono::steady_clock::now();
    // A full store may have left mail on the server: one more check then. Bounded by the mail there is to
    // take and by time, should the program never say it is done.
    const int iMaxChecks = iExpected / clsMailTransfer::iSlots + 3;
    const auto deadline = start + std::chrono::minutes(30);
    int iChecks = 0;
    qint32 lForwarded = 0;
    CheckOutcome outcome = CheckOutcome::CarryOn;
    for (;;) {
        const qint32 lBefore = store.getTransAll();
        outcome = cycle.tick();
        ++iChecks;
        const qint32 lNow = store.getTransAll() - lBefore;
        lForwarded += lNow;
        if (outcome != CheckOutcome::CarryOn || lNow < clsMailTransfer::iSlots || iChecks >= iMaxChecks ||
            std::chrono::steady_clock::now() > deadline)
            break;
    }
    const double fWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Cpu cpuAfter = cpuNow();
    const double fCpu = cpuAfter.total() - cpuBefore.total();
    const qint64 iPeak = TestSupport::peakMemory();

    QJsonObject record = QJsonDocument::fromJson(
                             mailEnv(o, QStringList{QStringLiteral("measure")} + dirArgs +
                                            QStringList{QStringLiteral("--mark"), QString::fromUtf8(mark)}))
                             .object();
    const SinkCount sink = countSink(QDir(o.sEnvDir).filePath(QStringLiteral("sink")));
    const SeededCount seeded = countSeeded(o.sEnvDir, sMailUser);
    const int iAlike = seeded.iTotal - seeded.iDistinct;
    const int iDuplicates = sink.iTotal - sink.iDistinct - iAlike;
    const int iMissing = seeded.iDistinct - sink.iDistinct;
    record.insert(QStringLiteral("tool"), QStringLiteral("pelimomail"));
    record.insert(QStringLiteral("scenario"), o.sScenario);
    record.insert(QStringLiteral("messages"), o.iMessages);
    record.insert(QStringLiteral("attach_kb"), o.iAttachKb);
    record.insert(QStringLiteral("attach_every"), o.iAttachEvery);
    record.insert(QStringLiteral("new"), o.iNew);
    record.insert(QStringLiteral("rep"), o.iRep);
    record.insert(QStringLiteral("pass"), iPass);
    record.insert(QStringLiteral("idle_rep"), iIdleRep);
    record.insert(QStringLiteral("expected"), iExpected);
    record.insert(QStringLiteral("wall_s"), fWall);
    record.insert(QStringLiteral("cpu_s"), fCpu);
    record.insert(QStringLiteral("user_s"), cpuAfter.fUser - cpuBefore.fUser);
    record.insert(QStringLiteral("sys_s"), cpuAfter.fSystem - cpuBefore.fSystem);
    record.insert(QStringLiteral("maxrss_kb"), iPeak / 1024);
    record.insert(QStringLiteral("peak_reset"), bPeakReset);
    record.insert(QStringLiteral("checks"), iChecks);
    record.insert(QStringLiteral("forwarded"), lForwarded);
    record.insert(QStringLiteral("outcome"), int(outcome));
    record.insert(QStringLiteral("ledger_entries_before"), qint64(iLedgerBefore));
    record.insert(QStringLiteral("duplicates"), iDuplicates);
    record.insert(QStringLiteral("distinct_delivered"), sink.iDistinct);
    record.insert(QStringLiteral("missing"), iMissing);
    record.insert(QStringLiteral("seeded_alike"), iAlike);
    for (auto it = startFigures.begin(); it != startFigures.end(); ++it)
        record.insert(it.key(), it.value());
    // The forward is the text, not the original mail, so the test bed's Message-ID match does not apply.
    record.remove(QStringLiteral("unknown"));
    record.remove(QStringLiteral("body_changed"));
    record.remove(QStringLiteral("body_changed_kinds"));
    if (results.isOpen()) {
        results.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
        results.flush();
    }

    const int iDelivered = record.value(QLatin1String("delivered")).toInt();
    const bool bGood =
        outcome == CheckOutcome::CarryOn && iDelivered == iExpected && iDuplicates == 0 && iMissing == 0;
    std::printf("pelimomail     pass %d: wall %.3fs cpu %.3fs rss %.1fMiB pop3->client %lld B, "
                "delivered %d (expected %d), duplicates %d, missing %d, %d check(s), %lld held before%s\n",
                iPass, fWall, fCpu, double(iPeak) / 1048576.0,
                static_cast<long long>(record.value(QLatin1String("pop3_bytes_to_client")).toDouble()),
                iDelivered, iExpected, iDuplicates, iMissing, iChecks, static_cast<long long>(iLedgerBefore),
                bGood ? "" : "  <-- wrong");
    std::fflush(stdout);
    return bGood;
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Where the program keeps its record: its own names, not this tool's.
    QCoreApplication::setApplicationName(QStringLiteral("PelimoMail"));
    QCoreApplication::setOrganizationName(QStringLiteral("PelimoMail"));
    Options o = parseArguments(app.arguments());
    if (o.sScenario.isEmpty())
        o.sScenario = QStringLiteral("A-N%1-K%2-E%3-M%4")
                          .arg(o.iMessages)
                          .arg(o.iAttachKb)
                          .arg(o.iAttachEvery)
                          .arg(o.iNew);
    useHome(o.sHome);

    QFile envFile(QDir(o.sEnvDir).filePath(QStringLiteral("env.json")));
    if (!envFile.open(QIODevice::ReadOnly))
        die(QStringLiteral("no env.json in ") + o.sEnvDir);
    const QJsonObject env = QJsonDocument::fromJson(envFile.readAll()).object();

    clsSystem::instance().RunLog = false;
    trustCertificate(env.value(QLatin1String("ca_cert")).toString());
    const bool bRestart = o.passes.contains(4);
    QJsonObject startFigures;
    if (bRestart) {
        // As the program starts: its settings and its forwarding record are read before the first check.
        const double fCpuBefore = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        if (!clsSet2::instance().loadRegistory(sAppName))
            die(QStringLiteral("no settings in ") + o.sHome);
        const QString sNote = clsForwardLedger::instance().open();
        if (!sNote.isEmpty())
            die(QStringLiteral("the forwarding record: ") + sNote);
        startFigures.insert(QStringLiteral("start_wall_s"),
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        startFigures.insert(QStringLiteral("start_cpu_s"), cpuSeconds() - fCpuBefore);
    } else {
        // As the settings dialog leaves them, so that a later start reads them back.
        configure(env);
        if (!clsSet2::instance().saveRegistory(sAppName))
            die(QStringLiteral("cannot save the settings in ") + o.sHome);
        const QString sNote = clsForwardLedger::instance().open();
        if (!sNote.isEmpty())
            die(QStringLiteral("the forwarding record: ") + sNote);
    }

    // As the main window sets them up; the clients live as long as the program, and with them what the
    // POP3 client has already read.
    Pop3Client pop;
    SmtpClient smtp;
    pop.SessionMode = 1;
    smtp.SessionMode = 1;
    clsSimpleCycle cycle(pop, smtp);
    cycle.start();

    QFile results(o.sResults);
    if (!o.sResults.isEmpty() && !results.open(QIODevice::WriteOnly | QIODevice::Append))
        die(QStringLiteral("cannot write ") + o.sResults);

    Run run{o, cycle, results,
            clsSet2::instance().getValue(1).toString().trimmed() + u'\n' +
                decodePassWord(clsSet2::instance().getValue(2).toString()),
            env.value(QLatin1String("user")).toString(),
            // A new process was preceded by passes that took everything there is now.
            bRestart ? seededTotal(o.sEnvDir) : 0};
    int iFailures = 0;
    for (const int iPass : o.passes) {
        const int iReps = iPass == 2 ? o.iIdleReps : 1;
        for (int i = 1; i <= iReps; ++i)
            iFailures += run.pass(iPass, bRestart ? o.iRestart : i, startFigures) ? 0 : 1;
    }
    clsMailTransfer::instance().clearClass();
    clsForwardLedger::instance().close();
    return iFailures == 0 ? 0 : 1;
}
