#include "TestSupport.h"

#include "dialogs/frmEasySet.h"
#include "dialogs/mdlSetCommon.h"
#include "settings/SettingsStore.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"
#include "system/mdlScreenSaver.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>

namespace {
const QString sBadInterval = QStringLiteral("メール受信のチェック時間の指定に誤りがあります。");
const QString sTooSmall = QStringLiteral("本文の文字数制限には100文字以上を指定して下さい。");
const QString sBadPage = QStringLiteral("本文の文字数制限の指定に誤りがあります。");
const QString sUpdated =
    QStringLiteral("受信(POP3)サーバの設定が更新されました\n\r引き続きメールチェックをおこなって下さい");
const QString sCheckFailed =
    QStringLiteral("メールチェックに失敗しました、\n\r登録／設定内容を再度確認して下さい");
const QString sNotChecked =
    QStringLiteral("メールチェックが完了していません\n\r引き続きメールチェックをおこなって下さい");
const QString sNextRun = QStringLiteral("次回のペリモメール実行時には、\n\r簡易版の設定で実行されます");
} // namespace

class tst_EasySet : public QObject {
    Q_OBJECT

    std::unique_ptr<MessageRecorder> rec;
    std::unique_ptr<frmEasySet> dlg;
    // Stands in for the user at the test window and the screen saver chooser; bounded by its tick count.
    QTimer modalPoll;
    int iPollTicks = 0;
    bool bTestPasses = true;
    QStringList opened;
    qint16 iSelectFromSeen = -1;

    bool open() {
        dlg = std::make_unique<frmEasySet>();
        dlg->show();
        dlg->activateWindow();
        return QTest::qWaitForWindowActive(dlg.get());
    }
    QLineEdit* edit(const QString& sName) const { return dlg->findChild<QLineEdit*>(sName); }
    QPushButton* button(const QString& sName) const { return dlg->findChild<QPushButton*>(sName); }
    static QString stored(const char* sSection, const char* sKey) {
        return TestSupport::stored(QLatin1String(sSection), QLatin1String(sKey));
    }
    // Clicks into the field and replaces its text by typing.
    void type(const QString& sName, const QString& sText) {
        QLineEdit* field = edit(sName);
        QTest::mouseClick(field, Qt::LeftButton);
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, sText);
    }
    void press(Qt::Key key) {
        QTest::keyClick(QApplication::focusWidget(), key);
        // The leaving rules finish after the focus change.
        QCoreApplication::processEvents();
    }
    QStringList messages() const {
        QStringList texts;
        for (const MessageRecorder::Shown& shown : rec->shown)
            texts << shown.sText;
        return texts;
    }

private Q_SLOTS:
    void initTestCase() {
        modalPoll.setInterval(10);
        connect(&modalPoll, &QTimer::timeout, this, [this] {
            auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (++iPollTicks > 3000 || !modal || modal == dlg.get())
                return;
            opened << QString::fromLatin1(modal->metaObject()->className());
            iSelectFromSeen = iSelectFrom;
            clsSystem::instance().setValueTest(bTestPasses, clsSystem::ID_SIMPLE);
            modal->reject();
        });
    }

    void init() {
        TestSupport::clearStore();
        clsSet2& set = clsSet2::instance();
        set.setDefault();
        // Every value set, so one that goes astray shows; the user ID, password and own address scrambled.
        const QStringList texts{"127.0.0.1", "user", "secret", "127.0.0.1", "phone@example.jp", "30",
                                "",          "250",  "",       "",          "me@example.jp"};
        for (qint16 iID = 1; iID <= 11; ++iID)
            set.setValue(
                iID, {iID == 2 || iID == 3 || iID == 11 ? encodePassWord(texts[iID - 1]) : texts[iID - 1]});
        clsSystem::instance().setDefault();
        clsSystem::instance().setValueTest(true, clsSystem::ID_SIMPLE);
        rec = std::make_unique<MessageRecorder>();
        opened.clear();
        bTestPasses = true;
        iPollTicks = 0;
        modalPoll.start();
    }

    void cleanup() {
        modalPoll.stop();
        dlg.reset();
        QVERIFY(!frmEasySet::bActive);
        rec.reset();
    }

    void addressRules() {
        const std::pair<const char*, bool> cases[] = {
            {"a@b", false},    {"ab@c", true},    {"ab.@cd", false}, {"ab@.cd", false},
            {"@abcd", false},  {"abcd@", false},  {"a b@cd", false}, {"a~b@cd", false},
            {"ab@c/d", false}, {"a@b@cd", false}, {"abcde", false},  {"ab@c..d", true}};
        for (const auto& [sAddress, bValid] : cases)
            QVERIFY2(checkMailAddress(QString::fromLatin1(sAddress)) == bValid, sAddress);
    }

    void listAndColumnRoutines() {
        const QStringList values{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
        QCOMPARE(joinColumns(1, 2, values), QStringLiteral("a    b    "));
        QCOMPARE(joinColumns(2, 5, values), QStringLiteral("abc"));
        QCOMPARE(joinColumns(3, 2, values), QString());
        QListWidget list;
        list.addItems(values);
        QVERIFY(listContains(&list, QStringLiteral("b")));
        QCOMPARE(list.currentRow(), 1);
        QVERIFY(!listContains(&list, QStringLiteral("B")));
        QCOMPARE(list.currentRow(), 2);
    }

    // Typed into a field, then Tab (leaving it) or Enter (OK without leaving), or Tab then Enter.
    void intervalAndPageSize_data() {
        QTest::addColumn<QString>("sField");
        QTest::addColumn<QString>("sTyped");
        QTest::addColumn<QString>("sKeys");
        QTest::addColumn<QString>("sShown");
        QTest::addColumn<QString>("sMessage");
        QTest::addColumn<QString>("sFocus");
        QTest::addColumn<QString>("sStored"); // empty: the dialog stays open and nothing is saved
        auto row = [](const char* sName, const char* sField, const QString& sTyped, const char* sKeys,
                      const QString& sShown, const QString& sMessage, const char* sFocus,
                      const char* sStored) {
            QTest::newRow(sName) << QString::fromLatin1(sField) << sTyped << QString::fromLatin1(sKeys)
                                 << sShown << sMessage << QString::fromLatin1(sFocus)
                                 << QString::fromLatin1(sStored);
        };
        const QString sNone = QStringLiteral("分割なし");
        row("interval 0", "txtChkTime", "0", "E", "60", sBadInterval, "txtChkTime", "");
        row("interval 1", "txtChkTime", "1", "E", "1", "", "", "1");
        row("interval 1440", "txtChkTime", "1440", "E", "1440", "", "", "1440");
        row("interval 1441", "txtChkTime", "1441", "E", "60", sBadInterval, "txtChkTime", "");
        row("interval empty", "txtChkTime", "", "E", "60", sBadInterval, "txtChkTime", "");
        row("interval letters", "txtChkTime", "abc", "E", "60", sBadInterval, "txtChkTime", "");
        row("interval letters left", "txtChkTime", "abc", "T", "60", sBadInterval, "txtChkTime", "");
        row("page 0 left", "txtSnd2", "0", "TE", sNone, "", "", "0");
        row("page 0 entered", "txtSnd2", "0", "E", "100", sTooSmall, "txtSnd2", "");
        row("page 99 left", "txtSnd2", "99", "T", "100", sTooSmall, "txtChkTime", "");
        row("page -5 left", "txtSnd2", "-5", "T", "100", sTooSmall, "txtChkTime", "");
        row("page 99 entered", "txtSnd2", "99", "E", "100", sTooSmall, "txtSnd2", "");
        row("page 100", "txtSnd2", "100", "TE", "100", "", "", "100");
        row("page 150abc entered keeps old", "txtSnd2", "150abc", "E", "150abc", "", "", "250");
        row("page 150abc left", "txtSnd2", "150abc", "T", sNone, sBadPage, "txtSnd2", "");
        row("page 32768 left", "txtSnd2", "32768", "T", sNone, sBadPage, "txtSnd2", "");
    }
    void intervalAndPageSize() {
        QFETCH(QString, sField);
        QFETCH(QString, sTyped);
        QFETCH(QString, sKeys);
        QFETCH(QString, sShown);
        QFETCH(QString, sMessage);
        QFETCH(QString, sFocus);
        QFETCH(QString, sStored);
        QVERIFY(open());
        type(sField, sTyped);
        for (QChar key : sKeys)
            press(key == u'T' ? Qt::Key_Tab : Qt::Key_Return);
        QCOMPARE(messages(), sMessage.isEmpty() ? QStringList() : QStringList{sMessage});
        QCOMPARE(edit(sField)->text(), sShown);
        QCOMPARE(stored("ESET", sField == QLatin1String("txtChkTime") ? "Val6" : "Val8"),
                 sStored.isEmpty() ? QStringLiteral("<missing>") : sStored);
        QCOMPARE(dlg->isVisible(), sStored.isEmpty());
        if (!sFocus.isEmpty())
            QCOMPARE(QApplication::focusWidget(), edit(sFocus));
        // Only the check on saving reports with the error icon.
        if (!sMessage.isEmpty())
            QCOMPARE(rec->shown[0].icon, sKeys.endsWith(u'E') ? MsgIcon::Critical : MsgIcon::Information);
    }

    void checkInputStopsAtFirstFault_data() {
        QTest::addColumn<QString>("sField");
        QTest::addColumn<QString>("sText");
        QTest::addColumn<QString>("sMessage");
        auto row = [](const char* sName, const char* sField, const char* sText, const QString& sMessage) {
            QTest::newRow(sName) << QString::fromLatin1(sField) << QString::fromLatin1(sText) << sMessage;
        };
        row("all empty", "*", "", QStringLiteral("受信サーバ名が設定されていません。"));
        row("user ID", "txtRcv1", "", QStringLiteral("ユーザＩＤが設定されていません。"));
        row("password", "txtRcv2", "", QStringLiteral("パスワードが設定されていません。"));
        row("SMTP server", "txtSnd0", "", QStringLiteral("送信サーバ名が設定されていません。"));
        row("no address", "txtSnd1", "", QStringLiteral("宛先(To:)メールアドレスが設定されていません。"));
        row("bad address", "txtSnd1", "a@b", QStringLiteral("宛先(To:)メールアドレスの設定が不正です。"));
        row("blank is not empty", "txtSnd0", " ", QString());
    }
    void checkInputStopsAtFirstFault() {
        QFETCH(QString, sField);
        QFETCH(QString, sText);
        QFETCH(QString, sMessage);
        QVERIFY(open());
        const bool bAll = sField == QLatin1String("*");
        for (QLineEdit* field : dlg->findChildren<QLineEdit*>())
            if (bAll || field->objectName() == sField)
                field->setText(sText);
        QCOMPARE(dlg->checkInput(), sMessage.isEmpty());
        QCOMPARE(messages(), sMessage.isEmpty() ? QStringList() : QStringList{sMessage});
        if (sMessage.isEmpty())
            return;
        QCOMPARE(rec->shown[0].icon, MsgIcon::Critical);
        QCOMPARE(rec->shown[0].sTitle, QStringLiteral("ペリモメール"));
        QCOMPARE(QApplication::focusWidget(), edit(bAll ? QStringLiteral("txtRcv0") : sField));
    }

    void receiveChangeAndTestWindow_data() {
        QTest::addColumn<QString>("sField");
        QTest::addColumn<QString>("sTyped");
        QTest::addColumn<bool>("bProvedBefore");
        QTest::addColumn<bool>("bPasses");
        QTest::addColumn<QStringList>("expected");
        auto row = [](const char* sName, const char* sField, const char* sTyped, bool bProved, bool bPasses,
                      const QStringList& expected) {
            QTest::newRow(sName) << QString::fromLatin1(sField) << QString::fromLatin1(sTyped) << bProved
                                 << bPasses << expected;
        };
        row("user ID changed", "txtRcv1", "userX", true, true, {sUpdated});
        row("user ID changed, test fails", "txtRcv1", "userX", true, false, {sUpdated, sCheckFailed});
        row("user ID changed back", "txtRcv1", "user", true, true, {});
        row("password changed", "txtRcv2", "s3cret", true, true, {sUpdated});
        row("never proved", "txtSnd1", "other@example.jp", false, true, {sNotChecked});
        row("never proved, test fails", "txtSnd1", "other@example.jp", false, false, {sNotChecked});
    }
    void receiveChangeAndTestWindow() {
        QFETCH(QString, sField);
        QFETCH(QString, sTyped);
        QFETCH(bool, bProvedBefore);
        QFETCH(bool, bPasses);
        QFETCH(QStringList, expected);
        clsSystem::instance().setValueTest(bProvedBefore, clsSystem::ID_SIMPLE);
        bTestPasses = bPasses;
        QVERIFY(open());
        type(sField, sTyped);
        press(Qt::Key_Return);
        QCOMPARE(messages(), expected);
        QCOMPARE(opened, expected.isEmpty() ? QStringList() : QStringList{QStringLiteral("frmTest")});
        QCOMPARE(dlg->isVisible(), !bPasses);
        // Whether or not the test passed, the new values are saved and the simple mode is selected.
        QCOMPARE(stored("ESET", "Val5"), edit("txtSnd1")->text());
        QCOMPARE(stored("SYSTEM", "Setting2"), QStringLiteral("True"));
    }

    void nextRunMessageOnlyWhenComingFromDetailedMode() {
        clsSystem::instance().setValueSetSelect(1);
        QVERIFY(open());
        for (int i = 0; i < 2; ++i)
            button("btnSystem1")->click();
        QCOMPARE(messages(), QStringList{sNextRun});
        QVERIFY(dlg->isVisible());
        QCOMPARE(stored("SYSTEM", "SetSelect"), QStringLiteral("0"));
    }

    void leavingPop3ServerCopiesItToSmtp() {
        QVERIFY(open());
        type("txtRcv0", QString());
        press(Qt::Key_Tab);
        QCOMPARE(edit("txtSnd0")->text(), QStringLiteral("127.0.0.1"));
        type("txtRcv0", QStringLiteral("localhost"));
        press(Qt::Key_Tab);
        QCOMPARE(edit("txtSnd0")->text(), QStringLiteral("localhost"));
    }

    void passwordIsMaskedAndStoredScrambled() {
        QVERIFY(open());
        QCOMPARE(edit("txtRcv2")->displayText(), QStringLiteral("******"));
        type("txtRcv2", QStringLiteral("n3w pass"));
        QCOMPARE(edit("txtRcv2")->displayText(), QStringLiteral("********"));
        press(Qt::Key_Return);
        const QString sStored = stored("ESET", "Val3");
        QVERIFY(sStored != QStringLiteral("n3w pass"));
        QCOMPARE(decodePassWord(sStored), QStringLiteral("n3w pass"));
        QCOMPARE(decodePassWord(stored("ESET", "Val2")), QStringLiteral("user"));
    }

    void cancelAndSwitchSaveNothing_data() {
        QTest::addColumn<QString>("sButton");
        QTest::addColumn<int>("iResult");
        QTest::newRow("cancel") << "btnSystem2" << int(QDialog::Rejected);
        QTest::newRow("switch") << "btnSetDetail" << iSwitchDialog;
    }
    void cancelAndSwitchSaveNothing() {
        QFETCH(QString, sButton);
        QFETCH(int, iResult);
        clsSystem::instance().setValueSetSelect(1);
        QVERIFY(open());
        type("txtRcv0", QStringLiteral("localhost"));
        type("txtSnd2", QStringLiteral("0"));
        press(Qt::Key_Tab);
        QTest::mouseClick(button(sButton), Qt::LeftButton);
        QCOMPARE(dlg->result(), iResult);
        QVERIFY(!dlg->isVisible() && opened.isEmpty() && rec->shown.isEmpty());
        QCOMPARE(clsSet2::instance().getValue(1).toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(clsSet2::instance().getValue(8).toInt(), 250);
        QCOMPARE(clsSystem::instance().getValueSetSelect(), qint16(1));
        QCOMPARE(stored("ESET", "Val1"), QStringLiteral("<missing>"));
    }

    void unwritableStoreStopsSave() {
        clsSystem::instance().setValueSetSelect(1);
        QVERIFY(open());
        // A folder where the settings file belongs cannot be written, not even by root.
        const QString sFile = SettingsStore::fileName(QStringLiteral("Q-Post"));
        TestSupport::clearStore();
        QVERIFY(QDir().mkpath(sFile));
        button("btnSystem0")->click();
        QCOMPARE(messages(), QStringList{QStringLiteral("設定情報の保存に失敗しました。")});
        QVERIFY(dlg->isVisible() && opened.isEmpty());
        QCOMPARE(clsSystem::instance().getValueSetSelect(), qint16(1));
        QVERIFY(!clsSystem::instance().getValueSetting(clsSystem::ID_SIMPLE));
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(QDir(sFile).removeRecursively());
    }

    void screenSaverChooserEditsSimpleRecord() {
        iSelectFrom = 1;
        QVERIFY(open());
        button("btnPassword")->click();
        QCOMPARE(opened, QStringList{QStringLiteral("frmFileSelect")});
        QCOMPARE(iSelectFromSeen, qint16(0));
    }

    void tabOrderAndLook() {
        QVERIFY(open());
        QVERIFY(frmEasySet::bActive);
        // The own address is neither shown nor lost.
        QVERIFY(!edit("txtRcv3")->isVisible());
        QCOMPARE(edit("txtRcv3")->text(), QStringLiteral("me@example.jp"));
        QTest::mouseClick(edit("txtRcv0"), Qt::LeftButton);
        QStringList order;
        for (int i = 0; i < 6; ++i) {
            press(Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order, (QStringList{"txtRcv1", "txtRcv2", "txtSnd0", "txtSnd1", "txtSnd2", "txtChkTime"}));
        for (const QLabel* label : dlg->findChildren<QLabel*>())
            if (label->isVisible())
                QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
    }
};

QTEST_MAIN(tst_EasySet)
#include "tst_easyset.moc"
