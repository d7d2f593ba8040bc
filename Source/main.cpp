#include "shell/frmOpening.h"
#include "shell/mdlMessageBox.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PelimoMail"));
    QApplication::setOrganizationName(QStringLiteral("PelimoMail"));
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
