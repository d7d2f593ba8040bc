#include "ui/mdlMessageBox.h"

#include "base/mdlMessage.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QThread>
#include <QTranslator>

namespace {
MsgAnswer showBox(const QString& sText, const QString& sTitle, MsgIcon icon, MsgButtons buttons) {
    QMessageBox box;
    box.setWindowTitle(sTitle);
    box.setText(sText);
    switch (icon) {
    case MsgIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case MsgIcon::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case MsgIcon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case MsgIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    }
    if (buttons == MsgButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
        return box.exec() == QMessageBox::No ? MsgAnswer::No : MsgAnswer::Yes;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return MsgAnswer::Ok;
}
} // namespace

void installMessageBoxes() {
    static QTranslator qtTexts;
    if (qtTexts.isEmpty() &&
        qtTexts.load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"),
                     QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts);
    setMessageHandler([](const QString& sText, const QString& sTitle, MsgIcon icon, MsgButtons buttons) {
        // Widgets live on the user-interface thread only; a check on the worker waits there for the answer.
        if (qApp && QThread::currentThread() != qApp->thread()) {
            MsgAnswer answer = MsgAnswer::Ok;
            QMetaObject::invokeMethod(
                qApp, [&] { answer = showBox(sText, sTitle, icon, buttons); }, Qt::BlockingQueuedConnection);
            return answer;
        }
        return showBox(sText, sTitle, icon, buttons);
    });
}
