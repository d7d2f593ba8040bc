// The three passes of the test bed in bench/testbed/ (all new, nothing new, a few new) run by the simple-mode
// check in one process, because what was forwarded is remembered only while the program runs. Each pass
// appends one JSON line in the test bed's record format, so the driver can set it beside fetchmail's.
//
//   bench_sidebyside --env DIR --mailenv bench/testbed/mailenv.py [--new 10] [--rep 1] [--scenario NAME]
//                    [--results FILE]
//
// DIR is an environment brought up with `mailenv.py up`; the passes leave it running.

#include "TestSupport.h"

#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsMailTransfer.h"
#include "engine/clsSimpleCycle.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"
#include "shell/mdlLog.h"

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
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>

namespace {
struct Options {
    QString sEnvDir;
    QString sMailEnv;
    QString sResults;
    QString sScenario = QStringLiteral("A-N100-K200-M10");
    int iNew = 10;
    int iRep = 1;
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
        else
            die(QStringLiteral("unknown option ") + sArg);
    }
    if (o.sEnvDir.isEmpty() || o.sMailEnv.isEmpty())
        die(QStringLiteral("--env and --mailenv are required"));
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

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
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
        const QByteArray head = raw.left(iSplit < 0 ? raw.size() : iSplit);
        QByteArray subject;
        bool bInSubject = false;
        for (const QByteArray& line : head.split('\n')) {
            if (bInSubject && (line.startsWith(' ') || line.startsWith('\t')))
                subject += line;
            else
                bInSubject = line.toLower().startsWith("subject:");
            if (bInSubject && subject.isEmpty())
                subject = line;
        }
        QCryptographicHash digest(QCryptographicHash::Sha256);
        digest.addData(subject);
        digest.addData("\n");
        digest.addData(iSplit < 0 ? QByteArray() : raw.mid(iSplit + 4));
        distinct.insert(digest.result());
        ++count.iTotal;
    }
    count.iDistinct = int(distinct.size());
    return count;
}

// Every message the test bed has put in the mailbox so far.
int seededCount(const QString& sEnvDir) {
    QFile manifest(QDir(sEnvDir).filePath(QStringLiteral("manifest.jsonl")));
    if (!manifest.open(QIODevice::ReadOnly))
        die(QStringLiteral("no manifest.jsonl in ") + sEnvDir);
    int n = 0;
    for (const QByteArray& line : manifest.readAll().split('\n'))
        n += line.trimmed().isEmpty() ? 0 : 1;
    return n;
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
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Options o = parseArguments(app.arguments());

    QFile envFile(QDir(o.sEnvDir).filePath(QStringLiteral("env.json")));
    if (!envFile.open(QIODevice::ReadOnly))
        die(QStringLiteral("no env.json in ") + o.sEnvDir);
    const QJsonObject env = QJsonDocument::fromJson(envFile.readAll()).object();
    const QString sSinkDir = QDir(o.sEnvDir).filePath(QStringLiteral("sink"));

    QTemporaryDir logDir;
    setProgramFolder(logDir.path());
    clsSystem::instance().RunLog = false;
    trustCertificate(env.value(QLatin1String("ca_cert")).toString());
    configure(env);

    // As the main window sets them up; the clients live as long as the program, and with them what the
    // POP3 client has already read.
    Pop3Client pop;
    SmtpClient smtp;
    pop.SessionMode = 1;
    smtp.SessionMode = 1;
    clsSimpleCycle cycle(pop, smtp);
    cycle.start();
    clsMailTransfer& store = clsMailTransfer::instance();

    const QStringList dirArgs{QStringLiteral("--dir"), o.sEnvDir};
    QFile results(o.sResults);
    if (!o.sResults.isEmpty() && !results.open(QIODevice::WriteOnly | QIODevice::Append))
        die(QStringLiteral("cannot write ") + o.sResults);

    int iFailures = 0;
    int iExpectedTotal = 0;
    for (int iPass = 1; iPass <= 3; ++iPass) {
        if (iPass == 3)
            mailEnv(o, QStringList{QStringLiteral("seed")} + dirArgs +
                           QStringList{QStringLiteral("--count"), QString::number(o.iNew)});
        const QByteArray mark = mailEnv(o, QStringList{QStringLiteral("mark")} + dirArgs).trimmed();
        const int iSeeded = seededCount(o.sEnvDir);
        const int iExpected = iSeeded - iExpectedTotal;
        iExpectedTotal = iSeeded;

        // Where the kernel refuses the reset, the figure is the peak of the process so far.
        const qint64 iResident = TestSupport::resetPeakMemory();
        const bool bPeakReset = TestSupport::peakMemory() <= iResident + 1024 * 1024;
        const double fCpuBefore = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        // A check takes at most one store of mail; one that filled it may have left some on the server.
        int iChecks = 0;
        qint32 lForwarded = 0;
        CheckOutcome outcome = CheckOutcome::CarryOn;
        for (;;) {
            const qint32 lBefore = store.getTransAll();
            outcome = cycle.tick();
            ++iChecks;
            const qint32 lNow = store.getTransAll() - lBefore;
            lForwarded += lNow;
            if (outcome != CheckOutcome::CarryOn || lNow < clsMailTransfer::iSlots || iChecks >= 20)
                break;
        }
        const double fWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double fCpu = cpuSeconds() - fCpuBefore;
        const qint64 iPeak = TestSupport::peakMemory();

        QJsonObject record =
            QJsonDocument::fromJson(
                mailEnv(o, QStringList{QStringLiteral("measure")} + dirArgs +
                               QStringList{QStringLiteral("--mark"), QString::fromUtf8(mark)}))
                .object();
        const SinkCount sink = countSink(sSinkDir);
        record.insert(QStringLiteral("tool"), QStringLiteral("pelimomail"));
        record.insert(QStringLiteral("scenario"), o.sScenario);
        record.insert(QStringLiteral("rep"), o.iRep);
        record.insert(QStringLiteral("pass"), iPass);
        record.insert(QStringLiteral("expected"), iExpected);
        record.insert(QStringLiteral("wall_s"), fWall);
        record.insert(QStringLiteral("cpu_s"), fCpu);
        record.insert(QStringLiteral("maxrss_kb"), iPeak / 1024);
        record.insert(QStringLiteral("peak_reset"), bPeakReset);
        record.insert(QStringLiteral("checks"), iChecks);
        record.insert(QStringLiteral("forwarded"), lForwarded);
        record.insert(QStringLiteral("outcome"), int(outcome));
        record.insert(QStringLiteral("duplicates"), sink.iTotal - sink.iDistinct);
        record.insert(QStringLiteral("distinct_delivered"), sink.iDistinct);
        record.insert(QStringLiteral("missing"), iSeeded - sink.iDistinct);
        // The forward is the text, not the original mail, so the test bed's Message-ID match does not apply.
        record.remove(QStringLiteral("unknown"));
        record.remove(QStringLiteral("body_changed"));
        record.remove(QStringLiteral("body_changed_kinds"));
        if (results.isOpen()) {
            results.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
            results.flush();
        }

        const int iDelivered = record.value(QLatin1String("delivered")).toInt();
        const bool bGood = outcome == CheckOutcome::CarryOn && iDelivered == iExpected &&
                           sink.iTotal == sink.iDistinct && iSeeded == sink.iDistinct;
        if (!bGood)
            ++iFailures;
        std::printf("pelimomail     pass %d: wall %.3fs cpu %.2fs rss %.1fMiB pop3->client %lld B, "
                    "delivered %d (expected %d), duplicates %d, missing %d, %d check(s)%s\n",
                    iPass, fWall, fCpu, double(iPeak) / 1048576.0,
                    static_cast<long long>(record.value(QLatin1String("pop3_bytes_to_client")).toDouble()),
                    iDelivered, iExpected, sink.iTotal - sink.iDistinct, iSeeded - sink.iDistinct, iChecks,
                    bGood ? "" : "  <-- wrong");
        std::fflush(stdout);
    }
    store.clearClass();
    return iFailures == 0 ? 0 : 1;
}
