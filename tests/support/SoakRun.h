#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <cstdio>

// A long run of simple-mode checks against the private Dovecot and the recording SMTP server: mail arrives,
// SMTP steps fail and the POP3 server goes away and comes back, all drawn at random from one seed. Each check
// is driven as the main window drives it (minute counts until one is due, then the check on a worker thread)
// and is bounded by a deadline. The invariants are described in SoakRun.cpp.
struct SoakOptions {
    int iChecks = 1000;
    quint32 iSeed = 1;
    // Memory and open descriptors are first taken after this check, and compared at the end.
    int iMeasureAt = 100;
    int iCheckDeadlineMs = 120000;
    // A line every 100 checks, when given.
    std::FILE* progress = nullptr;
};

struct SoakResult {
    QStringList failures; // empty when every invariant held
    QString sSummary;     // for a person, several lines
};

// Needs the test servers (PELIMO_TEST_SERVERS) and the sandbox of TestSupport. A check that outlives its
// deadline cannot be stopped; the process then ends at once with exit code 3 after saying so.
SoakResult runSoak(const SoakOptions& options);
