#include "DesktopTest.h"
#include "MailServers.h"
#include "TestSupport.h"

#include "dialogs/frmEasySet.h"
#include "dialogs/frmSet.h"
#include "dialogs/frmTest.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <cstdlib>

// Shows the settings dialogs and the mail check window on a virtual display, as a person sees them, checks
// that no text is cut off and saves screenshots for review. Runs once at scale 1 and once at scale 2.
namespace {
QString sSkipReason;

QByteArray readFile(const QString& sPath) {
    QFile f(sPath);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every text of the window gets at least the room it asks for and lies wholly inside the window.
void checkTextsFit(QWidget* window) {
    const QRect rcWindow = window->rect();
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window))
            continue;
        QString sText;
        if (auto* label = qobject_cast<QLabel*>(w); label && label->pixmap().isNull())
            sText = label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            sText = button->text();
        if (sText.isEmpty())
            continue;
        const QSize hint = w->sizeHint();
        auto* label = qobject_cast<QLabel*>(w);
        const bool bWraps = label && label->wordWrap();
        const QString sWhere = QStringLiteral("%1 \"%2\" %3x%4, wants %5x%6")
                                   .arg(w->objectName(), sText)
                                   .arg(w->width())
                                   .arg(w->height())
                                   .arg(hint.width())
                                   .arg(hint.height());
        if (bWraps)
            QVERIFY2(w->height() >= label->heightForWidth(w->width()), qPrintable(sWhere));
        else
            QVERIFY2(w->width() >= hint.width() && w->height() >= hint.height(), qPrintable(sWhere));
        const QRect rc(w->mapTo(window, QPoint(0, 0)), w->size());
        QVERIFY2(rcWindow.contains(rc), qPrintable(sWhere + QStringLiteral(" outside the window")));
    }
    QVERIFY(window->screen()->availableGeometry().contains(window->frameGeometry()));
}
} // namespace

class tst_DialogShots : public QObject {
    Q_OBJECT

    DovecotServer dovecot;
    SmtpTestServer smtp;
    QString sShots;
    QString sSuffix;

    void shoot(QWidget* window, const QString& sName) {
        QApplication::processEvents();
        QTest::qWait(300);
        const QPixmap shot = window->screen()->grabWindow(0);
        QVERIFY(!shot.isNull());
        // The grab counts device pixels; window geometry counts logical ones.
        const qreal dScale = shot.devicePixelRatio();
        const QRect rc = window->frameGeometry().adjusted(-8, -8, 8, 8);
        const QRect rcShot(rc.topLeft() * dScale, rc.size() * dScale);
        QVERIFY(shot.copy(rcShot).save(sShots + u'/' + sName + sSuffix + QStringLiteral(".png")));
    }

private Q_SLOTS:
    void initTestCase() {
        if (!sSkipReason.isEmpty())
            QSKIP(qPrintable(sSkipReason));
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        sShots =
            qEnvironmentVariable("PELIMO_SCREENSHOTS", QDir::currentPath() + QStringLiteral("/screenshots"));
        QVERIFY(QDir().mkpath(sShots));
        if (qEnvironmentVariable("QT_SCALE_FACTOR") == QStringLiteral("2"))
            sSuffix = QStringLiteral("-2x");

        TestCertificates::trustTestCa();
        QVERIFY(dovecot.start());
        const QString sMail = TestSupport::testDataDir() + QStringLiteral("/mail/");
        for (const char* sName : {"ja-decomail-au-iso2022jp.eml", "ja-emoji-docomo-sjis-private-use.eml",
                                  "ja-decomail-emobile-sjis-related.eml"})
            QVERIFY(!dovecot.addMessage(QStringLiteral("alice"), readFile(sMail + QLatin1String(sName)))
                         .isEmpty());

        const QString sServer = QStringLiteral("127.0.0.1:%1").arg(dovecot.port());
        clsSet2& easy = clsSet2::instance();
        easy.setDefault();
        QVERIFY(easy.setValue(1, {sServer}));
        QVERIFY(easy.setValue(2, {encodePassWord(QStringLiteral("alice"))}));
        QVERIFY(easy.setValue(3, {encodePassWord(QStringLiteral("secret"))}));
        QVERIFY(
            smtp.start(SmtpTestServer::Options::login(QStringLiteral("alice"), QStringLiteral("secret"))));
        QVERIFY(easy.setValue(4, {QStringLiteral("127.0.0.1:%1").arg(smtp.port())}));
        QVERIFY(easy.setValue(5, {QStringLiteral("phone@example.jp")}));
        QVERIFY(easy.saveRegistory(QStringLiteral("Q-Post")));
        clsSet1& set = clsSet1::instance();
        set.setDefault(0);
        QVERIFY(set.SRV1().additionValue(0, {sServer, encodePassWord(QStringLiteral("alice")),
                                             encodePassWord(QStringLiteral("secret")),
                                             QStringLiteral("alice@example.jp")}));
        QVERIFY(set.SRV2().additionValue(0, {QStringLiteral("127.0.0.1"), QStringLiteral("alice@example.jp"),
                                             QString(), QStringLiteral("phone@example.jp"), QString(),
                                             QString()}));
        QVERIFY(set.FIL3().setValue(2, {1}));
        QVERIFY(set.FIL3().setValue(3, {QStringLiteral("spam@example.com"), 0}));
        QVERIFY(set.saveRegistory(0, QStringLiteral("Q-Post")));
    }

    void simpleDialog() {
        MessageRecorder rec;
        frmEasySet dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(rec.shown.isEmpty());
        checkTextsFit(&dialog);
        shoot(&dialog, QStringLiteral("settings-simple"));
    }

    void detailedDialogEveryOfferedPage() {
        MessageRecorder rec;
        frmSet dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(rec.shown.isEmpty());
        for (int iPage : {0, 1, 2, 3, 4, 5, 6, 8}) {
            dialog.btnTab_Click(iPage);
            checkTextsFit(&dialog);
            shoot(&dialog, QStringLiteral("settings-detailed-page%1").arg(iPage));
        }
    }

    void mailCheckWindowWithPreviews() {
        MessageRecorder rec;
        QVERIFY(clsSystem::instance().setValueSetSelect(0));
        frmTest window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* check = window.findChild<QPushButton*>(QStringLiteral("btn1_1"));
        QVERIFY(check);
        QTest::mouseClick(check, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(rec.shown.size(), 1, 20000);
        QCOMPARE(rec.shown.at(0).sText, QStringLiteral("メールチェックは正常に終了しました\r\n"
                                                       "送信(SMTP)サーバ: 接続と認証を確認しました"));
        checkTextsFit(&window);
        shoot(&window, QStringLiteral("mail-check"));
        // The result as its message box shows it.
        QMessageBox result(QMessageBox::Information, rec.shown.at(0).sTitle, rec.shown.at(0).sText,
                           QMessageBox::Ok, &window);
        result.show();
        QVERIFY(QTest::qWaitForWindowExposed(&result));
        shoot(&result, QStringLiteral("mail-check-result"));
    }
};

int main(int argc, char** argv) {
    // Doubled, the dialogs need a screen twice as large to show whole.
    const bool bDouble = qEnvironmentVariable("QT_SCALE_FACTOR") == QStringLiteral("2");
    return runOnDesktop<tst_DialogShots>(argc, argv, false, sSkipReason,
                                         bDouble ? "2048x1536x24" : "1024x768x24");
}

#include "tst_dialogshots.moc"
