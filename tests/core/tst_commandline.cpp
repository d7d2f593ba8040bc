#include "TestSupport.h"

#include "system/mdlAutostart.h"

#include <QFile>
#include <QTest>

namespace {
using TestSupport::ProgramRun;
using TestSupport::runProgram;
} // namespace

class tst_CommandLine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Answered without a display and without the one-instance lock; anything unknown is refused with the
    // usage and code 2.
    void answersAndEnds() {
        const QString sLock = TestSupport::sandboxDir() + QStringLiteral("/runtime/PelimoMail.lock");
        ProgramRun r = runProgram({QStringLiteral("--version")});
        QCOMPARE(r.iCode, 0);
        QCOMPARE(r.sOut, QStringLiteral("PelimoMail 2.0.1\n"));
        for (const char* sHelp : {"--help", "-h"}) {
            r = runProgram({QString::fromLatin1(sHelp)});
            QCOMPARE(r.iCode, 0);
            QVERIFY2(r.sOut.contains(QStringLiteral("--autostart <on|off>")), qPrintable(r.sOut));
        }
        for (const QStringList& bad :
             {QStringList{"--bogus"}, QStringList{"--autostart", "maybe"}, QStringList{"extra"}}) {
            r = runProgram(bad);
            QCOMPARE(r.iCode, 2);
            QVERIFY2(r.sErr.contains(QStringLiteral("Usage:")), qPrintable(r.sErr));
            QVERIFY(r.sOut.isEmpty());
        }
        QVERIFY(!QFile::exists(sLock));
    }

    // The entry that starts the program with the session is written and removed.
    void autostartEntry() {
        const QString sEntry = autostartEntryPath();
        QVERIFY(sEntry.startsWith(TestSupport::sandboxDir() + QStringLiteral("/config/autostart/")));
        QCOMPARE(runProgram({QStringLiteral("--autostart"), QStringLiteral("on")}).iCode, 0);
        QFile file(sEntry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString sText = QString::fromUtf8(file.readAll());
        QVERIFY2(sText.contains(QStringLiteral("Exec=\"") + qEnvironmentVariable("PELIMO_PROGRAM") + u'"'),
                 qPrintable(sText));
        QVERIFY(sText.startsWith(QStringLiteral("[Desktop Entry]\nType=Application\n")));
        file.close();
        QCOMPARE(runProgram({QStringLiteral("--autostart"), QStringLiteral("off")}).iCode, 0);
        QVERIFY(!QFile::exists(sEntry));
        QCOMPARE(runProgram({QStringLiteral("--autostart"), QStringLiteral("off")}).iCode, 0);
    }
};

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
