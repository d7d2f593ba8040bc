#include "TestSupport.h"

#include "base/mdlGlobals.h"
#include "engine/clsForwardLedger.h"
#include "settings/SettingsStore.h"
#include "settings/clsSystem.h"
#include "shell/frmMain.h"
#include "shell/frmOpening.h"
#include "ui/mdlCommon.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLockFile>
#include <QPointer>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
frmMain* findMain() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* m = qobject_cast<frmMain*>(w); m && m->isVisible())
            return m;
    return nullptr;
}
} // namespace

class tst_Opening : public QObject {
    Q_OBJECT

    QTemporaryDir workDir;

private Q_SLOTS:
    void initTestCase() { QDir::setCurrent(workDir.path()); }

    void init() {
        TestSupport::clearStore();
        releaseSingleInstance();
    }

    void secondInstanceIsRefusedBeforeSettingsAreRead() {
        // Another process would hold this lock; a second lock object in this process looks the same.
        QLockFile other(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
                        QStringLiteral("/PelimoMail.lock"));
        QVERIFY(other.tryLock(0));
        SettingsStore::saveSetting(QStringLiteral("Q-Post"), "SYSTEM", "SetSelect", "1");
        clsSystem::instance().setDefault();

        MessageRecorder rec;
        QPointer<frmOpening> opening = new frmOpening;
        QVERIFY(!opening->load());
        QCOMPARE(rec.shown.size(), 1);
        QCOMPARE(rec.shown[0].sText, QStringLiteral("すでに起動されています"));
        QCOMPARE(rec.shown[0].sTitle, QStringLiteral("ペリモメール"));
        QCOMPARE(rec.shown[0].icon, MsgIcon::Information);
        QCOMPARE(clsSystem::instance().getValueSetSelect(), 0);
        delete opening;
    }

    void unreadableSettingsEndTheProgramWithAMessage() {
        SettingsStore::saveSetting(QStringLiteral("Q-Post"), "ESET", "Val6", "abc");
        MessageRecorder rec;
        auto* opening = new frmOpening;
        QVERIFY(!opening->load());
        QCOMPARE(opening->exitCode(), 1);
        QCOMPARE(rec.shown.size(), 1);
        QCOMPARE(rec.shown[0].sText, QStringLiteral("設定情報の取得に失敗しました。"));
        delete opening;
    }

    // Said before running starts, since old mail will not be forwarded this time.
    void aDamagedForwardingRecordIsReported() {
        clsForwardLedger& ledger = clsForwardLedger::instance();
        QVERIFY(QDir().mkpath(QFileInfo(ledger.filePath()).path()));
        QFile file(ledger.filePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a record");
        file.close();
        MessageRecorder rec;
        auto* opening = new frmOpening;
        QVERIFY(opening->load());
        QCOMPARE(rec.shown.size(), 1);
        QVERIFY2(rec.shown[0].sText.startsWith(QStringLiteral("転送記録を読めないため、別名で残しました: ")),
                 qPrintable(rec.shown[0].sText));
        QCOMPARE(rec.shown[0].icon, MsgIcon::Exclamation);
        delete opening;
    }

    void startUpEmptiesTempFolderAndHandsOverAfterThreeSeconds() {
        QDir().mkpath(clsSystem::ownTempDir());
        QFile left(clsSystem::ownTempDir() + QStringLiteral("/old.tmp"));
        QVERIFY(left.open(QIODevice::WriteOnly));
        left.close();
        // A folder of the same name where the program starts is the user's.
        QDir().mkpath(workDir.path() + QStringLiteral("/TmpFiles"));
        QFile mine(workDir.path() + QStringLiteral("/TmpFiles/important.txt"));
        QVERIFY(mine.open(QIODevice::WriteOnly));
        mine.close();

        MessageRecorder rec;
        QPointer<frmOpening> opening = new frmOpening;
        QVERIFY(opening->load());
        opening->show();
        QVERIFY(rec.shown.isEmpty());
        QVERIFY(bWinNT);
        QVERIFY(!left.exists());
        QVERIFY(mine.exists());
        QCOMPARE(opening->findChild<QLabel*>(QStringLiteral("lblVer"))->text(),
                 QStringLiteral("Version 2.0.1"));
        auto* status = opening->findChild<QLabel*>(QStringLiteral("lvl1"));
        QCOMPARE(status->text(), QStringLiteral("設定情報をロードしています"));
        QVERIFY(!opening->size().isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("起動しています"), 2900);
        QVERIFY(!findMain());
        QTRY_VERIFY_WITH_TIMEOUT(findMain() != nullptr, 2000);
        QTRY_VERIFY_WITH_TIMEOUT(opening.isNull(), 1000);

        // Declining the question leaves the program as it was; agreeing ends it.
        frmMain* main = findMain();
        rec.answer = MsgAnswer::No;
        main->endProgram();
        QVERIFY(main->isVisible());
        QCOMPARE(rec.shown.last().sText, QStringLiteral("ペリモメールを終了しますか？"));
        QCOMPARE(rec.shown.last().buttons, MsgButtons::YesNo);
        QPointer<frmMain> guard = main;
        rec.answer = MsgAnswer::Yes;
        main->endProgram();
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 1000);
    }

    void windowsAreKeptOnScreen() {
        QWidget w;
        w.resize(200, 100);
        QRect screen = w.screen()->geometry();
        w.move(screen.right() - 50, 10);
        keepOnScreen(&w);
        QCOMPARE(w.pos(), QPoint(screen.x() + screen.width() - 200, 10));
        w.move(screen.x() - 30, screen.y() - 5);
        keepOnScreen(&w);
        QCOMPARE(w.pos(), screen.topLeft());
        w.resize(screen.width(), 100);
        w.move(screen.x() + 1, 20);
        keepOnScreen(&w);
        QCOMPARE(w.x(), screen.x());
        placeWindow(2, &w);
        QCOMPARE(w.pos(), screen.topLeft());
    }
};

QTEST_MAIN(tst_Opening)
#include "tst_opening.moc"
