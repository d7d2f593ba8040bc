#include "TestSupport.h"

#include "base/mdlGlobals.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "shell/frmTaskBar.h"
#include "shell/frmVersion.h"
#include "ui/mdlMessageBox.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {
const QString sWait = QStringLiteral("しばらくお待ち下さい");

// Both windows open centred (within a pixel, for odd sizes) with their corners cut away.
void checkPlacedAndRounded(const QWidget* w) {
    const QPoint diff = w->geometry().center() - w->screen()->geometry().center();
    QVERIFY(qAbs(diff.x()) <= 1 && qAbs(diff.y()) <= 1);
    QVERIFY(w->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(!w->mask().contains(QPoint(2, 2)));
    QVERIFY(w->mask().contains(w->rect().center()));
}
} // namespace

class tst_Popups : public QObject {
    Q_OBJECT

    QTemporaryDir workDir;

private Q_SLOTS:
    void init() {
        TestSupport::clearStore();
        clsSystem::instance().setDefault();
        clsSet1::instance().setDefault(0);
        clsSet2::instance().setDefault();
    }

    void popupBlinksFiveTimesThenClosesItself() {
        bStopping = true;
        QWidget owner;
        QElapsedTimer clock;
        clock.start();
        QPointer<frmTaskBar> popup = new frmTaskBar(&owner);
        QSignalSpy finished(popup.data(), &frmTaskBar::finished);
        QCOMPARE(popup->size(), QSize(240, 60));
        checkPlacedAndRounded(popup);
        auto* lvlMessage = popup->findChild<QLabel*>(QStringLiteral("lvlMessage"));
        QVERIFY(popup->isVisible() && lvlMessage->isVisible());
        QCOMPARE(lvlMessage->geometry().left(), 0);
        QCOMPARE(lvlMessage->width(), 240);
        QVERIFY(qAbs(lvlMessage->geometry().center().y() - 20) <= 1);

        QList<QString> texts{lvlMessage->text()};
        // Connected after the popup's own handler, so it sees the text each tick left.
        connect(popup->findChild<QTimer*>(), &QTimer::timeout, popup.data(),
                [&] { texts.append(lvlMessage->text()); });
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 8000);
        QTRY_VERIFY_WITH_TIMEOUT(popup.isNull(), 2000);
        // Five toggles, then a last tick that leaves the label empty and closes.
        QCOMPARE(texts, QList<QString>({sWait, {}, sWait, {}, sWait, {}, {}}));
        QVERIFY(clock.elapsed() >= 2300);
        QVERIFY(!bStopping);
    }

    void screenSaverStartsByTheSetInForce_data() {
        QTest::addColumn<int>("iSetSelect");
        QTest::addColumn<int>("iActive");
        QTest::addColumn<bool>("bStoppingBefore");
        QTest::addColumn<bool>("bStarts");
        QTest::newRow("simple ignores the option") << 0 << 1 << false << true;
        QTest::newRow("detailed, option on") << 1 << 0 << false << true;
        QTest::newRow("detailed, option off") << 1 << 1 << false << false;
        QTest::newRow("selection 2 is the simple set") << 2 << 1 << false << true;
        QTest::newRow("stopping, simple") << 0 << 0 << true << false;
        QTest::newRow("stopping, detailed, option on") << 1 << 0 << true << false;
    }

    void screenSaverStartsByTheSetInForce() {
        QFETCH(int, iSetSelect);
        QFETCH(int, iActive);
        QFETCH(bool, bStoppingBefore);
        QFETCH(bool, bStarts);
        // Both sets name a file that cannot run, so the failure message shows exactly when a start is tried.
        const QString sFile = QStringLiteral("missing.scr");
        QVERIFY(clsSet2::instance().setValue(9, {sFile}) &&
                clsSet2::instance().setValue(10, {workDir.path()}));
        clsPAS1& pas1 = clsSet1::instance().PAS1();
        QVERIFY(pas1.setValue(3, {sFile}) && pas1.setValue(4, {workDir.path()}) &&
                pas1.setValue(1, {iActive}));
        QVERIFY(clsSystem::instance().setValueSetSelect(static_cast<qint16>(iSetSelect)));
        bStopping = bStoppingBefore;

        MessageRecorder rec;
        QWidget owner;
        QPointer<frmTaskBar> popup = new frmTaskBar(&owner);
        QTRY_VERIFY_WITH_TIMEOUT(popup.isNull(), 8000);
        QCOMPARE(rec.shown.size(), bStarts ? 1 : 0);
        if (bStarts)
            QVERIFY(
                rec.shown[0].sText.startsWith(QStringLiteral("スクリーンセイバーの起動に失敗しました。")));
        QVERIFY(!bStopping);
    }

    // Qt's own buttons read in Japanese like the rest of the program.
    void standardButtonsAreJapanese() {
        MessageRecorder rec; // put back when it goes, so no later test shows real boxes
        installMessageBoxes();
        QMessageBox box(QMessageBox::Question, QString(), QString(),
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        QVERIFY2(box.button(QMessageBox::Yes)->text().contains(QStringLiteral("はい")),
                 qPrintable(box.button(QMessageBox::Yes)->text()));
        QVERIFY(box.button(QMessageBox::No)->text().contains(QStringLiteral("いいえ")));
        QVERIFY(box.button(QMessageBox::Cancel)->text().contains(QStringLiteral("キャンセル")));
    }

    void aboutBoxShowsVersionAndClosesWithItsButton() {
        QPointer<frmVersion> about = new frmVersion;
        about->show();
        QCOMPARE(about->size(), QSize(300, 170));
        checkPlacedAndRounded(about);
        auto* lvlVersion = about->findChild<QLabel*>(QStringLiteral("lvlVersion"));
        QCOMPARE(lvlVersion->text(), QStringLiteral("Version 2.0.1"));
        QCOMPARE(lvlVersion->pos(), QPoint(114, 62));
        for (auto [i, top] : {std::pair{0, 90}, std::pair{1, 110}}) {
            auto* notice = about->findChild<QLabel*>(QStringLiteral("lblNotice%1").arg(i));
            QVERIFY(!notice->text().isEmpty());
            QCOMPARE(notice->pos(), QPoint(22, top));
            QVERIFY(about->rect().contains(notice->geometry()));
        }
        auto* btn1 = about->findChild<QPushButton*>(QStringLiteral("btn1"));
        QCOMPARE(btn1->text(), QStringLiteral("O K"));
        QVERIFY(about->rect().contains(btn1->geometry()));
        QTest::mouseClick(btn1, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(about.isNull(), 1000);
    }
};

QTEST_MAIN(tst_Popups)
#include "tst_popups.moc"
