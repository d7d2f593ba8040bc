#include "shell/frmOpening.h"
#include "system/mdlAutostart.h"
#include "ui/mdlMessageBox.h"

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

namespace {
void print(FILE* stream, const QString& sText) {
    std::fputs(sText.toLocal8Bit().constData(), stream);
}

// Answers what the command line asks for without a window or the one-instance lock; -1 to start as usual.
int runCommandLine() {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Forwards new mail from your POP3 mailboxes to your phone over SMTP."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and ends."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version and ends."));
    const QCommandLineOption autostart(
        QStringLiteral("autostart"),
        QStringLiteral("Starts the program with your desktop session (on), or no "
                       "longer (off), and ends."),
        QStringLiteral("on|off"));
    parser.addOptions({help, version, autostart});
    const QString sAutostart =
        parser.parse(QCoreApplication::arguments()) ? parser.value(autostart) : QString();
    if (!parser.errorText().isEmpty() || !parser.positionalArguments().isEmpty() ||
        (parser.isSet(autostart) && sAutostart != u"on" && sAutostart != u"off")) {
        const QString sError =
            parser.errorText().isEmpty()
                ? QStringLiteral("Unexpected argument: ") +
                      (parser.isSet(autostart) ? sAutostart : parser.positionalArguments().first())
                : parser.errorText();
        print(stderr, sError + u'\n' + parser.helpText());
        return 2;
    }
    if (parser.isSet(help)) {
        print(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("PelimoMail ") + QCoreApplication::applicationVersion() + u'\n');
        return 0;
    }
    if (parser.isSet(autostart)) {
        QString sError;
        if (!setAutostart(sAutostart == u"on", QCoreApplication::applicationFilePath(), sError)) {
            print(stderr, sError + u'\n');
            return 1;
        }
        print(stdout, (sAutostart == u"on" ? QStringLiteral("Written: ") : QStringLiteral("Removed: ")) +
                          autostartEntryPath() + u'\n');
        return 0;
    }
    return -1;
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("PelimoMail"));
    QCoreApplication::setOrganizationName(QStringLiteral("PelimoMail"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.0.1"));
    // Answered before any window system is reached, so that it works without a desktop too.
    if (argc > 1) {
        const QCoreApplication commandLine(argc, argv);
        if (const int iCode = runCommandLine(); iCode >= 0)
            return iCode;
    }
    QApplication app(argc, argv);
    // In the tray the program has no window at all; it ends only when asked.
    QApplication::setQuitOnLastWindowClosed(false);
    installMessageBoxes();

    auto* opening = new frmOpening;
    if (!opening->load()) {
        int iCode = opening->exitCode();
        delete opening;
        return iCode;
    }
    opening->show();
    return QApplication::exec();
}
