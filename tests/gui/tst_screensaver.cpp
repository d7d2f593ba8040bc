#include "TestSupport.h"

#include "base/mdlGlobals.h"
#include "dialogs/frmFileSelect.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "system/mdlScreenSaver.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {
// Folder and file name of the record that iFrom names.
QStringList choice(qint16 iFrom) {
    if (iFrom == 0)
        return {clsSet2::instance().getValue(10).toString(), clsSet2::instance().getValue(9).toString()};
    return {clsSet1::instance().PAS1().getValue(4).toString(),
            clsSet1::instance().PAS1().getValue(3).toString()};
}
void setChoice(qint16 iFrom, const QString& sFolder, const QString& sName) {
    if (iFrom == 0) {
        clsSet2::instance().setValue(10, {sFolder});
        clsSet2::instance().setValue(9, {sName});
    } else {
        clsSet1::instance().PAS1().setValue(4, {sFolder});
        clsSet1::instance().PAS1().setValue(3, {sName});
    }
}
template <typename T> T* part(QWidget& dialog, const char* sName) {
    return dialog.findChild<T*>(QString::fromLatin1(sName));
}
} // namespace

class tst_ScreenSaver : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString sMarker;

    // A stand-in screen saver that leaves a marker file when it runs.
    void makeProgram(const QString& sName, QFile::Permissions perms) {
        QFile file(dir.filePath(sName));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\necho started > '" + sMarker.toUtf8() + "'\n");
        file.close();
        QVERIFY(file.setPermissions(perms));
    }
    bool markerStaysAbsent() {
        QTest::qWait(300);
        return !QFile::exists(sMarker);
    }

private Q_SLOTS:
    void initTestCase() {
        sMarker = dir.filePath(QStringLiteral("marker"));
        makeProgram(QStringLiteral("saver"), QFile::ReadOwner | QFile::ExeOwner);
        makeProgram(QStringLiteral("plain.txt"), QFile::ReadOwner);
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    }

    void init() {
        QFile::remove(sMarker);
        // Each record names a different program, so reading the wrong one shows.
        setChoice(0, QStringLiteral("/old/simple"), QStringLiteral("a"));
        setChoice(1, QStringLiteral("/old/detail"), QStringLiteral("b"));
        clsSystem::instance().setValueSetSelect(0);
        iSelectFrom = 0;
        bWinNT = true;
    }

    void noChoiceStartsNothingAndSaysNothing() {
        MessageRecorder rec;
        for (qint16 iSet : {0, 1}) {
            clsSystem::instance().setValueSetSelect(iSet);
            setChoice(iSet, dir.path(), QString());
            QVERIFY(startScreenSaver(nullptr));
        }
        QVERIFY(rec.shown.isEmpty());
        QVERIFY(markerStaysAbsent());
    }

    void startsProgramOfSetInForce_data() {
        QTest::addColumn<qint16>("iSetSelect");
        QTest::newRow("simple") << qint16(0);
        QTest::newRow("detailed") << qint16(1);
        QTest::newRow("other value is detailed") << qint16(2);
    }
    void startsProgramOfSetInForce() {
        QFETCH(qint16, iSetSelect);
        clsSystem::instance().setValueSetSelect(iSetSelect);
        setChoice(iSetSelect == 0 ? 0 : 1, dir.path(), QStringLiteral("saver"));
        MessageRecorder rec;
        QVERIFY(startScreenSaver(nullptr));
        QVERIFY(rec.shown.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(sMarker), 10000);
    }

    void programThatCannotStartIsReported_data() {
        QTest::addColumn<QString>("sName");
        QTest::newRow("missing") << QStringLiteral("missing");
        QTest::newRow("not executable") << QStringLiteral("plain.txt");
    }
    void programThatCannotStartIsReported() {
        QFETCH(QString, sName);
        setChoice(0, dir.path(), sName);
        MessageRecorder rec;
        QVERIFY(!startScreenSaver(nullptr));
        QCOMPARE(rec.shown.size(), 1);
        QCOMPARE(rec.shown[0].sText,
                 QStringLiteral("スクリーンセイバーの起動に失敗しました。\n\r"
                                "スクリーンセイバーの設定内容が正しいか確認して下さい。"));
        QCOMPARE(rec.shown[0].sTitle, QStringLiteral("ペリモメール"));
        QCOMPARE(rec.shown[0].icon, MsgIcon::Information);
    }

    void execModes() {
        const QString sSaver = dir.filePath(QStringLiteral("saver"));
        QVERIFY(!execScreenSaver(0, nullptr, sSaver));
        QVERIFY(execScreenSaver(1, nullptr, sSaver));
        QVERIFY(markerStaysAbsent());
        QVERIFY(execScreenSaver(2, nullptr, dir.filePath(QStringLiteral("sub"))));
        QVERIFY(!execScreenSaver(2, nullptr, sSaver));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(sMarker), 10000);
    }

    void okSplitsPathIntoRecordOfOpeningDialog_data() {
        QTest::addColumn<qint16>("iFrom");
        QTest::addColumn<QString>("sText");
        QTest::addColumn<QStringList>("expected");
        const QString sSaver = dir.filePath(QStringLiteral("saver"));
        QTest::newRow("simple") << qint16(0) << sSaver << QStringList{dir.path(), QStringLiteral("saver")};
        QTest::newRow("detailed") << qint16(1) << sSaver << QStringList{dir.path(), QStringLiteral("saver")};
        QTest::newRow("root") << qint16(0) << QStringLiteral("/saver") << QStringList{QString(), "saver"};
        QTest::newRow("empty clears") << qint16(1) << QString() << QStringList{QString(), QString()};
    }
    void okSplitsPathIntoRecordOfOpeningDialog() {
        QFETCH(qint16, iFrom);
        QFETCH(QString, sText);
        QFETCH(QStringList, expected);
        iSelectFrom = iFrom;
        const QStringList other = choice(1 - iFrom);
        MessageRecorder rec;
        frmFileSelect dialog;
        dialog.show();
        part<QLineEdit>(dialog, "Text1")->setText(sText);
        part<QPushButton>(dialog, "btnSystem0")->click();
        QVERIFY(rec.shown.isEmpty());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(choice(iFrom), expected);
        QCOMPARE(choice(1 - iFrom), other);
    }

    void okRefusesTextThatIsNotAFullPath_data() {
        QTest::addColumn<QString>("sText");
        QTest::newRow("no separator") << QStringLiteral("saver");
        QTest::newRow("relative") << QStringLiteral("bin/saver");
        QTest::newRow("folder only") << QStringLiteral("/usr/bin/");
    }
    void okRefusesTextThatIsNotAFullPath() {
        QFETCH(QString, sText);
        MessageRecorder rec;
        frmFileSelect dialog;
        dialog.show();
        part<QLineEdit>(dialog, "Text1")->setText(sText);
        part<QPushButton>(dialog, "btnSystem0")->click();
        QCOMPARE(rec.shown.size(), 1);
        QVERIFY(dialog.isVisible());
        QCOMPARE(choice(0), (QStringList{QStringLiteral("/old/simple"), QStringLiteral("a")}));
    }

    void cancelChangesNothingAndPasswordButtonIsHidden() {
        frmFileSelect dialog;
        dialog.show();
        QVERIFY(!part<QPushButton>(dialog, "btnScr1")->isVisible());
        part<QLineEdit>(dialog, "Text1")->setText(dir.filePath(QStringLiteral("saver")));
        part<QPushButton>(dialog, "btnSystem1")->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(choice(0), (QStringList{QStringLiteral("/old/simple"), QStringLiteral("a")}));
    }

    void opensAtStoredChoiceListingOnlyPrograms() {
        iSelectFrom = 1;
        setChoice(1, dir.path(), QStringLiteral("saver"));
        frmFileSelect dialog;
        QCOMPARE(dialog.folderPath(), dir.path());
        QCOMPARE(part<QLineEdit>(dialog, "Text1")->text(), dir.filePath(QStringLiteral("saver")));
        auto* files = part<QListWidget>(dialog, "file1");
        QCOMPARE(files->count(), 1);
        part<QLineEdit>(dialog, "Text1")->clear();
        Q_EMIT files->itemActivated(files->item(0));
        QCOMPARE(part<QLineEdit>(dialog, "Text1")->text(), dir.filePath(QStringLiteral("saver")));
    }

    void withoutChoiceOpensProgramFolder() {
        setChoice(0, dir.path(), QString());
        frmFileSelect dialog;
        QVERIFY(part<QLineEdit>(dialog, "Text1")->text().isEmpty());
        QVERIFY2(dialog.folderPath().endsWith(QStringLiteral("/xscreensaver")) ||
                     dialog.folderPath() == QStringLiteral("/usr/bin"),
                 qPrintable(dialog.folderPath()));
    }

    void unreadableDriveBringsPreviousOneBack() {
        setChoice(0, dir.path(), QStringLiteral("saver"));
        MessageRecorder rec;
        frmFileSelect dialog;
        auto* drives = part<QComboBox>(dialog, "drv1");
        const int iBefore = drives->currentIndex();
        drives->addItem(QStringLiteral("/no/such/drive"));
        drives->setCurrentIndex(drives->count() - 1);
        QCOMPARE(rec.shown.size(), 1);
        QCOMPARE(rec.shown[0].sText, QStringLiteral("選択されたドライブは参照できません"));
        QCOMPARE(drives->currentIndex(), iBefore);
        QCOMPARE(dialog.folderPath(), dir.path());
    }

    void previewFailureIsReported() {
        MessageRecorder rec;
        frmFileSelect dialog;
        part<QLineEdit>(dialog, "Text1")->setText(dir.filePath(QStringLiteral("plain.txt")));
        part<QPushButton>(dialog, "btnScr0")->click();
        QCOMPARE(rec.shown.size(), 1);
        QCOMPARE(
            rec.shown[0].sText,
            QStringLiteral("スクリーンセイバーの起動に失敗しました。\n\r設定内容が正しいか確認して下さい。"));
    }
};

QTEST_MAIN(tst_ScreenSaver)
#include "tst_screensaver.moc"
