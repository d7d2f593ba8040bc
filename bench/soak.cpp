// The soak run: 1,000 simple-mode checks against the test servers with mail arriving, SMTP steps failing and
// the POP3 server restarting at random. Prints a summary and exits 1 when an invariant broke (3 when a check
// hung). tests/core/tst_soak.cpp runs a short stretch of the same code.
//
//     bench_soak [--checks N] [--seed S] [--measure-at N]

#include "SoakRun.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("PELIMO_TEST_SERVERS"))
        qputenv("PELIMO_TEST_SERVERS", PELIMO_SERVERS_DIR);

    SoakOptions options;
    options.progress = stdout;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        bool ok = i + 1 < args.size();
        const QString sValue = ok ? args.at(i + 1) : QString();
        if (args.at(i) == QLatin1String("--checks"))
            options.iChecks = sValue.toInt(&ok);
        else if (args.at(i) == QLatin1String("--seed"))
            options.iSeed = sValue.toUInt(&ok);
        else if (args.at(i) == QLatin1String("--measure-at"))
            options.iMeasureAt = sValue.toInt(&ok);
        else
            ok = false;
        if (!ok || options.iChecks < 1) {
            std::fprintf(stderr, "usage: bench_soak [--checks N] [--seed S] [--measure-at N]\n");
            return 2;
        }
        ++i;
    }
    options.iMeasureAt = qBound(1, options.iMeasureAt, options.iChecks);

    const SoakResult result = runSoak(options);
    std::printf("%s\n", qPrintable(result.sSummary));
    for (const QString& sFailure : result.failures)
        std::printf("FAILED: %s\n", qPrintable(sFailure));
    std::printf("%s\n", result.failures.isEmpty() ? "all invariants held" : "invariants broken");
    return result.failures.isEmpty() ? 0 : 1;
}
