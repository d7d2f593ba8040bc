#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

// Every command the README shows is one that works, so the guide cannot drift from the program: each is run
// here, or checked against what another test runs.
class tst_Readme : public QObject {
    Q_OBJECT

    static QString sourceDir() { return qEnvironmentVariable("PELIMO_SOURCE_DIR"); }

    // The commands of the README's code blocks and of its inline code that starts with a command.
    static QStringList commands() {
        QFile file(sourceDir() + QStringLiteral("/README.md"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QString sText = QString::fromUtf8(file.readAll());
        QStringList found;
        QString sProse;
        bool bBlock = false;
        for (const QString& sLine : sText.split(u'\n')) {
            if (sLine.startsWith(QStringLiteral("```")))
                bBlock = !bBlock;
            else if (bBlock)
                found << sLine.section(u'#', 0, 0).trimmed();
            else
                sProse += sLine + u'\n';
        }
        static const QRegularExpression inlineCode(QStringLiteral("`([^`]+)`"));
        for (auto it = inlineCode.globalMatch(sProse); it.hasNext();)
            found << it.next().captured(1).trimmed();
        static const QRegularExpression command(QStringLiteral("^(scripts/|PelimoMail |cmake |sudo )"));
        return found.filter(command);
    }

    static QString architecture() {
        QProcess dpkg;
        dpkg.start(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")});
        dpkg.waitForFinished(10000);
        return QString::fromLatin1(dpkg.readAllStandardOutput()).trimmed();
    }

private Q_SLOTS:
    void everyCommandWorks() {
        const QStringList found = commands();
        QVERIFY(found.size() >= 8);
        const QString sDeb = QStringLiteral("pelimomail_%1_%2.deb")
                                 .arg(qEnvironmentVariable("PELIMO_VERSION"), architecture());
        for (const QString& sCommand : found) {
            const QStringList words = sCommand.split(u' ', Qt::SkipEmptyParts);
            if (sCommand.startsWith(QStringLiteral("scripts/"))) {
                // The two set-up commands run in CI and the demo in tst_demo; here: they exist, take the
                // options shown, and run.
                const QFileInfo script(sourceDir() + u'/' + words[0]);
                QVERIFY2(script.isExecutable(), qPrintable(sCommand));
                QFile text(script.filePath());
                QVERIFY(text.open(QIODevice::ReadOnly));
                const QByteArray body = text.readAll();
                for (const QString& sOption : words.mid(1))
                    QVERIFY2(body.contains(sOption.toUtf8()), qPrintable(sCommand));
            } else if (words[0] == u"PelimoMail") {
                const TestSupport::ProgramRun run = TestSupport::runProgram(words.mid(1));
                QVERIFY2(run.iCode == 0, qPrintable(sCommand + u'\n' + run.sErr));
            } else if (words[0] == u"cmake") {
                // What tst_install makes of a build: the install and the package.
                QCOMPARE(sCommand,
                         QStringLiteral("cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build "
                                        "build -j && (cd build && cpack -G DEB)"));
            } else if (sCommand.startsWith(QStringLiteral("sudo apt install "))) {
                QCOMPARE(sCommand, QStringLiteral("sudo apt install ./build/") + sDeb);
            } else {
                QCOMPARE(sCommand, QStringLiteral("sudo apt remove pelimomail"));
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_Readme)
#include "tst_readme.moc"
