#include "TestSupport.h"

#include "dialogs/frmSet.h"
#include "dialogs/mdlSetCommon.h"
#include "settings/SettingsStore.h"
#include "settings/clsSet1.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"
#include "system/mdlScreenSaver.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

using TestSupport::stored;

namespace {
const QString sApp = QStringLiteral("Q-Post");
const QString sMissing = QStringLiteral("<missing>");

void put(const QString& sSection, const QString& sKey, const QString& sValue) {
    QVERIFY(SettingsStore::saveSetting(sApp, sSection, sKey, sValue));
}

// Receive server row r of the store.
void putServer(int r, const QString& sServer, const QString& sUser, const QString& sAddress) {
    const QString sRow = QStringLiteral("Val2_%1_").arg(r);
    put("SRV1", sRow + "0", sServer);
    put("SRV1", sRow + "1", encodePassWord(sUser));
    put("SRV1", sRow + "2", encodePassWord(QStringLiteral("pw")));
    put("SRV1", sRow + "3", sAddress);
    put("SRV1", "Val1", QString::number(r + 1));
}

// A stored detailed set that saves without a word: one receive server and a send entry.
void putSavableSet() {
    putServer(0, "pop.example.com", "me", "me@example.com");
    put("SRV2", "Val1", "1");
    put("SRV2", "Val2_0_0", "smtp.example.com");
    put("SRV2", "Val2_0_3", "phone@example.jp");
    QVERIFY(SettingsStore::sync(sApp));
}

// Deals with the windows that the dialog opens modally, from inside their own event loops, once one has
// been up for iPatience looks 20 ms apart. Gives up after five seconds.
class ModalCloser {
public:
    ModalCloser(const char* sClass, std::function<void(QDialog*)> handle, int iPatience = 1) {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this, sClass, handle, iPatience] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            iSeen = dialog && dialog == seen ? iSeen + 1 : 1;
            seen = dialog;
            if (++iTicks > 250)
                timer.stop();
            else if (dialog && dialog->inherits(sClass) && iSeen >= iPatience) {
                ++iClosed;
                handle(dialog);
                if (dialog->isVisible())
                    dialog->reject();
            }
        });
        timer.start();
    }
    int iClosed = 0;

private:
    QTimer timer;
    QPointer<QDialog> seen;
    int iSeen = 0;
    int iTicks = 0;
};

// Closes the mail check window; bPass plays a check that read the mailbox.
struct TestWindowCloser : ModalCloser {
    explicit TestWindowCloser(bool bPass)
        : ModalCloser("frmTest", [bPass](QDialog*) {
              if (bPass)
                  clsSystem::instance().setValueTest(true, clsSystem::ID_DETAIL);
          }) {}
};
} // namespace

class tst_DetailSetDialog : public QObject {
    Q_OBJECT

    std::unique_ptr<frmSet> dialog;
    std::unique_ptr<MessageRecorder> rec;
    // A window that no test expected would wait for a user for ever.
    std::unique_ptr<ModalCloser> stray;
    int iStray = 0;

    template <typename T = QWidget> T* part(const QString& sName) {
        T* p = dialog->findChild<T*>(sName);
        if (!p)
            qFatal("no control %s", qPrintable(sName));
        return p;
    }
    QLineEdit* field(const QString& sName) { return part<QLineEdit>(sName); }
    QListWidget* list(const QString& sName) { return part<QListWidget>(sName); }
    // Near the left edge, where a check box has its box, whatever width the layout gives it.
    void click(const QString& sName) {
        QAbstractButton* button = part<QAbstractButton>(sName);
        QTest::mouseClick(button, Qt::LeftButton, {},
                          QPoint(std::min(8, button->width() / 2), button->height() / 2));
    }
    void type(const QString& sName, const QString& sText) {
        field(sName)->clear();
        QTest::keyClicks(field(sName), sText);
    }
    int page() { return part<QStackedWidget>("stkTabs")->currentIndex(); }
    QStringList texts() {
        QStringList out;
        for (const auto& shown : rec->shown)
            out << shown.sText;
        rec->shown.clear();
        return out;
    }
    QStringList rows(const QString& sList) {
        QStringList out;
        for (int i = 0; i < list(sList)->count(); ++i)
            out << list(sList)->item(i)->text();
        return out;
    }
    void open() {
        dialog = std::make_unique<frmSet>();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
    }
    void addServer(const QString& sServer, const QString& sUser, const QString& sAddress) {
        type("SRV1_txt1_0", sServer);
        type("SRV1_txt1_1", sUser);
        type("SRV1_txt1_2", "pw");
        type("SRV1_txt1_3", sAddress);
        click("SRV1_btn1_0");
    }

private Q_SLOTS:
    void init() {
        TestSupport::clearStore();
        clsSet1::instance().setDefault(0);
        clsSystem::instance().setDefault();
        clsSystem::instance().setValueSetSelect(1);
        clsSystem::instance().setValueTest(true, clsSystem::ID_DETAIL);
        rec = std::make_unique<MessageRecorder>();
        iStray = 0;
        stray = std::make_unique<ModalCloser>(
            "QDialog", [this](QDialog*) { ++iStray; }, 25);
    }
    void cleanup() {
        dialog.reset();
        rec.reset();
        stray.reset();
        QCOMPARE(iStray, 0);
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void frameAndPages() {
        open();
        QVERIFY(frmSet::bActive);
        QVERIFY(part<QPushButton>("btnSystem0")->isDefault());
        for (int i = 0; i < 10; ++i)
            QCOMPARE(part("btnTab" + QString::number(i))->isHidden(), i == 7 || i == 9);
        QCOMPARE(part<QLabel>("lblTabTitle")->text(), QStringLiteral("フィルタ１"));
        click("btnTab8");
        QCOMPARE(page(), 8);
        QCOMPARE(part<QLabel>("lblTabTitle")->text(), QStringLiteral("スクリーンセイバー"));
        dialog->btnTab_Click(7);
        QCOMPARE(part<QLabel>("lblTabTitle")->text(), QStringLiteral("メールチェック２"));
        QVERIFY(part("frmTab7")->isVisibleTo(dialog.get()) && !part("frmTab8")->isVisibleTo(dialog.get()));
        QVERIFY(part("WTH1_frm1")->isHidden() && part("SRV2_txt1_1")->isHidden());
        QLineEdit* password = field("SRV1_txt1_2");
        QCOMPARE(password->echoMode(), QLineEdit::Password);
        QCOMPARE(password->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, password),
                 int('*'));
        dialog.reset();
        QVERIFY(!frmSet::bActive);
    }

    // Each record value appears in its control and comes back to the store by OK; the To: item is always 1
    // and the values of the pages the user cannot open stay as they were.
    void valuesRoundTrip() {
        const QList<QStringList> kept = {{"FIL1", "Val1", "0"},
                                         {"FIL1", "Val2", "1"},
                                         {"FIL1", "Val3", "0"},
                                         {"FIL1", "Val4", "300"},
                                         {"FIL1", "Val5", "0"},
                                         {"FIL1", "Val7_0", ">"},
                                         {"FIL1", "Val8", "1"},
                                         {"FIL2", "Val3", "1"},
                                         {"FIL2", "Val4", "0"},
                                         {"FIL3", "Val1", "0"},
                                         {"FIL3", "Val2", "2"},
                                         {"FIL3", "Val3_0", "spam@example.com"},
                                         {"WTH1", "Val2", "15"},
                                         {"WTH2", "Val2", "2"},
                                         {"WTH2", "Val3_0_0", "8"},
                                         {"WTH2", "Val3_0_3", "30"},
                                         {"WTH2", "Val3_0_4", "5"},
                                         {"WTH2", "Val3_1_0", "21"},
                                         {"WTH2", "Val3_1_1", "5"},
                                         {"WTH2", "Val3_1_2", "23"},
                                         {"WTH2", "Val3_1_4", "15"},
                                         {"PAS1", "Val1", "0"},
                                         {"OPT1", "Val2", "1"},
                                         {"SRV2", "Val2_0_1", "from@example.com"},
                                         {"SRV2", "Val2_0_4", "cc@example.com"}};
        putSavableSet();
        for (const QStringList& v : kept)
            put(v[0], v[1], v[2]);
        // Three quote entries counted, the empty one not shown; To: stored as 0 by some other hand.
        put("FIL1", "Val6", "3");
        put("FIL1", "Val7_1", "");
        put("FIL1", "Val7_2", "＞");
        put("FIL2", "Val2", "0");
        put("REMOTE", "CommandPin", encodePassWord("kP47q"));
        open();

        QVERIFY(part<QRadioButton>("FIL1_opt1_0")->isChecked() &&
                part<QRadioButton>("FIL1_opt2_1")->isChecked());
        QVERIFY(part<QCheckBox>("FIL1_opt3")->isChecked() && part<QCheckBox>("chkNullRow")->isChecked());
        QCOMPARE(field("FIL1_txt1")->text(), QStringLiteral("300"));
        QCOMPARE(rows("FIL1_lst4"), (QStringList{">", "＞"}));
        QVERIFY(part<QCheckBox>("FIL2_chk1")->isChecked() && !part<QCheckBox>("FIL2_chk2")->isChecked());
        QCOMPARE(rows("FIL3_lst1"), (QStringList{"spam@example.com", ""}));
        QCOMPARE(rows("SRV1_lst1"), QStringList{"pop.example.com    me@example.com    "});
        QCOMPARE(part<QComboBox>("SRV2_Comb1")->currentText(), QStringLiteral("from@example.com"));
        QCOMPARE(rows("WTH2_lst1"), (QStringList{"08:00～00:30  5分毎", "21:05～23:00  15分毎"}));
        QVERIFY(part<QRadioButton>("OPT1_Opt2_1")->isChecked());
        QCOMPARE(field("REMOTE_txt1")->text(), QStringLiteral("kP47q"));
        QCOMPARE(field("REMOTE_txt1")->echoMode(), QLineEdit::Password);
        // The switches set while filling show their parts.
        QVERIFY(!part("FIL1_frm4")->isHidden() && part("FIL2_frm2")->isHidden());

        click("btnSystem0");
        QCOMPARE(texts(), QStringList());
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        for (const QStringList& v : kept)
            QCOMPARE(stored(v[0], v[1]), v[2]);
        QCOMPARE(stored("FIL1", "Val6"), QStringLiteral("2"));
        QCOMPARE(stored("FIL1", "Val7_1"), QStringLiteral("＞"));
        QCOMPARE(stored("FIL2", "Val2"), QStringLiteral("1"));
        QCOMPARE(stored("SYSTEM", "Setting1"), QStringLiteral("True"));
        QCOMPARE(decodePassWord(stored("REMOTE", "CommandPin")), QStringLiteral("kP47q"));
        QVERIFY(!stored("REMOTE", "CommandPin").contains(QStringLiteral("kP47q")));
    }

    void switchesShowTheirParts_data() {
        QTest::addColumn<int>("iPage");
        QTest::addColumn<QStringList>("clicks"); // on, then off
        QTest::addColumn<QStringList>("parts");
        auto row = [](const char* sTag, int iPage, QStringList clicks, QStringList parts) {
            QTest::newRow(sTag) << iPage << clicks << parts;
        };
        row("attachments", 0, {"FIL1_opt1_0", "FIL1_opt1_1"}, {"FIL1_frm2"});
        row("division", 0, {"FIL1_opt3", "FIL1_opt3"}, {"FIL1_txt1", "FIL1_lvl1"});
        row("quotes", 0, {"FIL1_opt4", "FIL1_opt4"}, {"FIL1_frm4"});
        row("recipients", 1, {"FIL2_opt1", "FIL2_opt1"}, {"FIL2_frm2"});
        row("senders", 2, {"FIL3_opt1", "FIL3_opt1"}, {"FIL3_frm1"});
        row("subjects", 3, {"FIL4_opt1", "FIL4_opt1"}, {"FIL4_frm1"});
        row("screen saver", 8, {"PAS1_opt1", "PAS1_opt1"}, {"PAS1_btn1"});
    }
    void switchesShowTheirParts() {
        QFETCH(int, iPage);
        QFETCH(QStringList, clicks);
        QFETCH(QStringList, parts);
        open();
        dialog->btnTab_Click(iPage);
        for (int i = 0; i < 3; ++i) {
            if (i > 0)
                click(clicks[i - 1]);
            for (const QString& sPart : parts)
                QCOMPARE(part(sPart)->isVisible(), i == 1);
        }
    }

    void fieldsCheckedOnLeaving_data() {
        QTest::addColumn<QString>("sField");
        QTest::addColumn<QString>("sTyped");
        QTest::addColumn<QString>("sAfter");
        QTest::addColumn<QString>("sMessage");
        const QString sSize = QStringLiteral("文字数の指定に誤りがあります。");
        const QString sTime = QStringLiteral("監視時間の指定に誤りがあります。");
        for (const char* s : {"0", "", "12a", "40000", "-3"})
            QTest::addRow("size '%s'", s) << "FIL1_txt1" << s << "250" << sSize;
        for (const char* s : {"", "x", "0", "1441"})
            QTest::addRow("interval '%s'", s) << "WTH1_txt1" << s << "60" << sTime;
        for (const char* s : {"FIL1_txt1=300", "WTH1_txt1=-5", "WTH1_txt1=1440"}) {
            const QString sValue = QString::fromLatin1(s).section('=', 1);
            QTest::addRow("%s passes", s)
                << QString::fromLatin1(s).section('=', 0, 0) << sValue << sValue << QString();
        }
    }
    void fieldsCheckedOnLeaving() {
        QFETCH(QString, sField);
        QFETCH(QString, sTyped);
        QFETCH(QString, sAfter);
        QFETCH(QString, sMessage);
        put("FIL1", "Val3", "0");
        open();
        dialog->btnTab_Click(sField.startsWith("FIL1") ? 0 : 6);
        field(sField)->setFocus();
        type(sField, sTyped);
        QTest::keyClick(field(sField), Qt::Key_Tab);
        QCOMPARE(texts(), sMessage.isEmpty() ? QStringList() : QStringList{sMessage});
        QCOMPARE(field(sField)->text(), sAfter);
        QCOMPARE(QApplication::focusWidget() == field(sField), !sMessage.isEmpty());
    }

    // Bad values stop the save before anything is written; the send page checks bring page 5 forward.
    void saveChecks_data() {
        QTest::addColumn<QString>("sField");
        QTest::addColumn<QString>("sText");
        QTest::addColumn<QString>("sMessage");
        QTest::addColumn<int>("iIcon");
        auto row = [](const char* sTag, const char* sField, const char* sText, const char* sMessage,
                      MsgIcon icon) {
            QTest::newRow(sTag) << sField << sText << QString::fromUtf8(sMessage) << int(icon);
        };
        const MsgIcon warn = MsgIcon::Exclamation;
        const MsgIcon error = MsgIcon::Critical;
        const char* sNoInterval = "監視時間が設定されていません\n\r監視時間の設定をおこなって下さい";
        const char* sBadSize = "転送文字数の設定が不正です\n\r再度設定をおこなって下さい";
        row("negative interval", "WTH1_txt1", "-5", sNoInterval, warn);
        row("page size 0, division off", "FIL1_txt1", "0", sBadSize, warn);
        row("no page size, division off", "FIL1_txt1", "", sBadSize, warn);
        row("no SMTP server", "SRV2_txt1_0", "", "送信(SMTP)サーバ名が設定されていません。", error);
        row("no destination", "SRV2_txt1_3", "", "転送先メールアドレスが設定されていません。", error);
        row("bad sender", "SRV2_Comb1", "me@.example.com", "指定された転送元メールアドレスに誤りがあります。",
            error);
        row("bad destination", "SRV2_txt1_3", "phone", "指定された転送先メールアドレスに誤りがあります。",
            error);
        row("bad cc", "SRV2_txt1_4", "a b@example.com", "指定されたCC：メールアドレスに誤りがあります。",
            error);
        row("bad bcc", "SRV2_txt1_5", "b@", "指定されたBCC：メールアドレスに誤りがあります。", error);
        row("blank sender passes", "SRV2_Comb1", "  ", "", error);
        row("empty cc passes", "SRV2_txt1_4", "", "", error);
        row("PIN with a blank", "REMOTE_txt1", "47 11",
            "指定されたコマンドの暗証番号に誤りがあります。半角英数字で入力して下さい。", error);
    }
    void saveChecks() {
        QFETCH(QString, sField);
        QFETCH(QString, sText);
        QFETCH(QString, sMessage);
        QFETCH(int, iIcon);
        putSavableSet();
        open();
        if (auto* choice = qobject_cast<QComboBox*>(part(sField)))
            choice->setEditText(sText);
        else
            field(sField)->setText(sText);
        click("btnSystem0");
        if (sMessage.isEmpty()) {
            QCOMPARE(texts(), QStringList());
            QCOMPARE(dialog->result(), int(QDialog::Accepted));
            return;
        }
        QCOMPARE(rec->shown.size(), 1);
        QCOMPARE(rec->shown[0].icon, MsgIcon(iIcon));
        QCOMPARE(rec->shown[0].sTitle, QStringLiteral("ペリモメール"));
        QCOMPARE(texts(), QStringList{sMessage});
        QVERIFY(dialog->isVisible());
        QCOMPARE(stored("FIL1", "Val1"), sMissing);
        if (sField.startsWith("SRV2")) {
            QCOMPARE(page(), 5);
            QVERIFY(part(sField)->isAncestorOf(QApplication::focusWidget()) ||
                    QApplication::focusWidget() == part(sField));
        }
    }

    void recordRefusalBringsItsPage_data() {
        QTest::addColumn<QString>("sSection");
        QTest::addColumn<QString>("sMessage");
        QTest::addColumn<int>("iPage");
        QTest::newRow("sender filter, no sender") << "FIL3"
                                                  << "少なくても１つのfrom:アドレスを設定してください" << 2;
        QTest::newRow("subject filter, no word") << "FIL4"
                                                 << "少なくても１つの文字列を設定してください" << 3;
        QTest::newRow("no receive server") << "SRV1"
                                           << "少なくても１つの受信サーバーを設定してください" << 4;
    }
    void recordRefusalBringsItsPage() {
        QFETCH(QString, sSection);
        QFETCH(QString, sMessage);
        QFETCH(int, iPage);
        putSavableSet();
        put(sSection, "Val1", "0");
        open();
        click("btnSystem1");
        QCOMPARE(texts(), QStringList{sMessage});
        QCOMPARE(page(), iPage);
        QCOMPARE(stored("SYSTEM", "SetSelect"), sMissing);
    }

    // The store refuses every write: the user hears of it, the mode is not switched and the file on disk is
    // what the next start reads, untouched.
    void unwritableStore() {
        putSavableSet();
        clsSystem::instance().setValueSetSelect(0);
        const QString sFile = SettingsStore::fileName(sApp);
        auto content = [&] {
            QFile file(sFile);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        const QByteArray before = content();
        open();
        field("SRV2_txt1_0")->setText("smtp2.example.com");
        QVERIFY(QFile::rename(sFile, sFile + ".keep"));
        QVERIFY(QDir().mkdir(sFile));
        click("btnSystem0");
        QCOMPARE(texts(), QStringList{"設定情報の保存に失敗しました。"});
        QVERIFY(dialog->isVisible());
        QCOMPARE(clsSystem::instance().getValueSetSelect(), qint16(0));
        QVERIFY(QDir().rmdir(sFile));
        QVERIFY(QFile::rename(sFile + ".keep", sFile));
        QCOMPARE(content(), before);
    }

    // An added receive server forces the test even though it had passed; a failed test keeps the dialog open
    // and the next save asks for the test once more.
    void addedReceiveServerForcesTest() {
        putSavableSet();
        open();
        dialog->btnTab_Click(4);
        addServer("pop2.example.com", "you", "you@example.com");
        const QString sPending =
            "メールチェックが完了していません\n\r引き続きメールチェックをおこなって下さい";
        for (bool bPass : {false, true}) {
            TestWindowCloser closer(bPass);
            click(bPass ? "btnSystem0" : "btnSystem1");
            QCOMPARE(closer.iClosed, 1);
        }
        QCOMPARE(
            texts(),
            (QStringList{"受信(POP3)サーバの設定が更新されました\n\r引き続きメールチェックをおこなって下さい",
                         "メールチェックに失敗しました、\n\r登録／設定内容を再度確認して下さい", sPending}));
        QCOMPARE(dialog->result(), int(QDialog::Accepted));

        // Not passed and nothing changed: the test window again, then the dialog stays without a further
        // word.
        clsSystem::instance().setValueTest(false, clsSystem::ID_DETAIL);
        open();
        TestWindowCloser closer(false);
        click("btnSystem0");
        QCOMPARE(closer.iClosed, 1);
        QCOMPARE(texts(), QStringList{sPending});
        QVERIFY(dialog->isVisible());
    }

    // Deleting a receive server forces no test. The first save after the simple mode tells of the next run;
    // the second does not.
    void deletedServerAndNextRunMessage() {
        putSavableSet();
        putServer(1, "pop2.example.com", "you", "you@example.com");
        clsSystem::instance().setValueSetSelect(0);
        open();
        dialog->btnTab_Click(4);
        list("SRV1_lst1")->setCurrentRow(0);
        click("SRV1_btn1_1");
        QCOMPARE(rows("SRV1_lst1"), QStringList{"pop2.example.com    you@example.com    "});
        click("btnSystem1");
        QCOMPARE(texts(), QStringList{"次回のペリモメール実行時には、\n\r詳細版の設定で実行されます。"});
        QCOMPARE(stored("SYSTEM", "SetSelect"), QStringLiteral("1"));
        QCOMPARE(stored("SRV1", "Val1"), QStringLiteral("1"));
        QCOMPARE(stored("SRV1", "Val2_0_0"), QStringLiteral("pop2.example.com"));
        click("btnSystem0");
        QCOMPARE(texts(), QStringList());
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
    }

    void closingWithoutSaving_data() {
        QTest::addColumn<QString>("sButton");
        QTest::addColumn<int>("iResult");
        QTest::newRow("cancel") << "btnSystem2" << int(QDialog::Rejected);
        QTest::newRow("escape") << QString() << int(QDialog::Rejected);
        QTest::newRow("to simple dialog") << "btnSetEasy" << iSwitchDialog;
    }
    void closingWithoutSaving() {
        QFETCH(QString, sButton);
        QFETCH(int, iResult);
        putSavableSet();
        open();
        field("WTH1_txt1")->setText("30");
        if (sButton.isEmpty())
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
        else
            click(sButton);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), iResult);
        QCOMPARE(stored("WTH1", "Val2"), sMissing);
        QCOMPARE(texts(), QStringList());
    }

    void listCapacities_data() {
        QTest::addColumn<int>("iPage");
        QTest::addColumn<QString>("sList");
        QTest::addColumn<int>("iCapacity");
        QTest::newRow("quote characters") << 0 << "FIL1_lst4" << 30;
        QTest::newRow("refused senders") << 2 << "FIL3_lst1" << 30;
        QTest::newRow("subject words") << 3 << "FIL4_lst1" << 30;
        QTest::newRow("receive servers") << 4 << "SRV1_lst1" << 20;
    }
    void listCapacities() {
        QFETCH(int, iPage);
        QFETCH(QString, sList);
        QFETCH(int, iCapacity);
        put("FIL1", "Val5", "0");
        put("FIL1", "Val6", "0");
        put("FIL3", "Val1", "0");
        put("FIL4", "Val1", "0");
        open();
        dialog->btnTab_Click(iPage);
        auto add = [&](int n) {
            const QString sEntry = QStringLiteral("e%1@example.com").arg(n);
            if (iPage == 4)
                return addServer("pop.example.com", "me", sEntry);
            type(QString(sList).replace("lst", "txt"), sEntry);
            click(QString(sList).replace("lst", "btn") + "_0");
        };
        for (int n = 0; n < iCapacity; ++n)
            add(n);
        QCOMPARE(texts(), QStringList());
        add(iCapacity);
        QCOMPARE(
            texts(),
            QStringList{
                QStringLiteral("登録できるのは、%1件までです。これ以上登録はできません。").arg(iCapacity)});
        QCOMPARE(list(sList)->count(), iCapacity);
        if (iPage == 4)
            QCOMPARE(clsSet1::instance().SRV1().getValue(1).toInt(), iCapacity);
    }

    void duplicatesAreExact() {
        put("FIL1", "Val5", "0");
        put("FIL1", "Val6", "0");
        put("FIL3", "Val1", "0");
        putSavableSet();
        open();
        for (int i = 0; i < 2; ++i) {
            type("FIL1_txt4", ">");
            click("FIL1_btn4_0");
        }
        QCOMPARE(texts(), QStringList{"指定された文字はすでに登録されています。"});
        QCOMPARE(list("FIL1_lst4")->count(), 1);

        dialog->btnTab_Click(2);
        for (const char* s : {"Boss@example.com", "boss@example.com", "boss@example.com", "boss"}) {
            type("FIL3_txt1", s);
            click("FIL3_btn1_0");
        }
        QCOMPARE(rows("FIL3_lst1"), (QStringList{"Boss@example.com", "boss@example.com"}));
        QCOMPARE(rec->shown.last().icon, MsgIcon::Critical);
        QCOMPARE(texts(), (QStringList{"指定されたメールアドレスはすでに登録されています。",
                                       "指定されたメールアドレスに誤りがあります。"}));
        list("FIL3_lst1")->clearSelection();
        click("FIL3_btn1_1");
        QCOMPARE(list("FIL3_lst1")->count(), 2);
        // A second press after a deletion finds nothing chosen, so it deletes nothing more.
        list("FIL3_lst1")->setCurrentRow(0);
        click("FIL3_btn1_1");
        click("FIL3_btn1_1");
        QCOMPARE(rows("FIL3_lst1"), QStringList{"boss@example.com"});

        dialog->btnTab_Click(4);
        addServer("pop.example.com", "other", "me@example.com");
        QCOMPARE(texts(), QStringList{"指定されたメールアドレスはすでに登録されています。"});
        QCOMPARE(list("SRV1_lst1")->count(), 1);
        QCOMPARE(clsSet1::instance().SRV1().getValue(1).toInt(), 1);
        addServer("pop2.example.com", "you", "you@example.com");
        list("SRV1_lst1")->setCurrentRow(0);
        click("SRV1_btn1_1");
        click("SRV1_btn1_1");
        QCOMPARE(list("SRV1_lst1")->count(), 1);
        QCOMPARE(clsSet1::instance().SRV1().getValue(1).toInt(), 1);
    }

    void receiveServerEditor() {
        putSavableSet();
        open();
        dialog->btnTab_Click(4);
        const QStringList missing = {"受信(POP3)サーバ名", "ユーザＩＤ", "パスワード", "メールアドレス"};
        for (int i = 0; i < 4; ++i) {
            click("SRV1_btn1_0");
            QCOMPARE(rec->shown.last().icon, MsgIcon::Critical);
            QCOMPARE(texts(), QStringList{missing[i] + "が設定されていません。"});
            QCOMPARE(QApplication::focusWidget(), field(QStringLiteral("SRV1_txt1_%1").arg(i)));
            if (i < 3)
                QTest::keyClicks(field(QStringLiteral("SRV1_txt1_%1").arg(i)),
                                 i == 0 ? "pop2.example.com " : "x");
        }
        // Getting the focus, the empty address field took the proposal; a field with text keeps it.
        QCOMPARE(field("SRV1_txt1_3")->text(), QStringLiteral("x@pop2.example.com"));
        type("SRV1_txt1_3", "x@");
        click("SRV1_btn1_0");
        QCOMPARE(texts(), QStringList{"指定されたメールアドレスに誤りがあります。"});
        QCOMPARE(field("SRV1_txt1_3")->text(), QStringLiteral("x@"));
        addServer("pop2.example.com", "you", "you@example.com");
        QCOMPARE(texts(), QStringList());
        QVERIFY(field("SRV1_txt1_0")->text().isEmpty() && field("SRV1_txt1_3")->text().isEmpty());

        list("SRV1_lst1")->clearSelection();
        click("SRV1_btn1_1");
        QCOMPARE(list("SRV1_lst1")->count(), 2);
        QCOMPARE(clsSet1::instance().SRV1().getValue(1).toInt(), 2);

        QListWidget* servers = list("SRV1_lst1");
        const QPoint pos = servers->visualItemRect(servers->item(1)).center();
        QTest::mouseClick(servers->viewport(), Qt::LeftButton, {}, pos);
        QTest::mouseDClick(servers->viewport(), Qt::LeftButton, {}, pos);
        QStringList shown;
        for (int i = 0; i < 4; ++i)
            shown << field(QStringLiteral("SRV1_txt1_%1").arg(i))->text();
        QCOMPARE(shown, (QStringList{"pop2.example.com", "you", "pw", "you@example.com"}));
        QCOMPARE(servers->count(), 2);

        TestWindowCloser closer(true);
        click("btnSystem0");
        QCOMPARE(decodePassWord(stored("SRV1", "Val2_1_1")), QStringLiteral("you"));
        QCOMPARE(decodePassWord(stored("SRV1", "Val2_1_2")), QStringLiteral("pw"));
        QVERIFY(stored("SRV1", "Val2_1_1") != QStringLiteral("you") && stored("SRV1", "Val2_1_2") != "pw");
    }

    void senderAddressChoice() {
        putSavableSet();
        putServer(1, " pop2.example.com ", "you", "you@example.com");
        open();
        dialog->btnTab_Click(5);
        auto* choice = part<QComboBox>("SRV2_Comb1");
        choice->lineEdit()->setFocus();
        QTest::keyClicks(choice->lineEdit(), "typed@example.jp");
        dialog->btnTab_Click(4);
        addServer("pop3.example.com", "him", "him@example.com");
        dialog->btnTab_Click(5);

        choice->showPopup();
        QStringList entries;
        for (int i = 0; i < choice->count(); ++i)
            entries << choice->itemText(i);
        QCOMPARE(entries, (QStringList{"", "me@example.com", "you@example.com", "him@example.com"}));
        QCOMPARE(choice->currentText(), QStringLiteral("typed@example.jp"));
        choice->hidePopup();
        QCOMPARE(choice->currentText(), QStringLiteral("typed@example.jp"));

        // The second receive server's name, trimmed; the empty entry then leaves it.
        for (int iEntry : {2, 0}) {
            choice->showPopup();
            choice->view()->setCurrentIndex(choice->model()->index(iEntry, 0));
            QTest::keyClick(choice->view(), Qt::Key_Return);
            QCOMPARE(field("SRV2_txt1_0")->text(), QStringLiteral("pop2.example.com"));
        }
        QCOMPARE(choice->currentText(), QString());
    }

    void screenSaverChooserOpensForThisDialog() {
        put("PAS1", "Val1", "0");
        putSavableSet();
        iSelectFrom = 0;
        open();
        dialog->btnTab_Click(8);
        ModalCloser closer("frmFileSelect", [](QDialog* chooser) {
            chooser->findChild<QLineEdit*>("Text1")->setText("/opt/savers/blank");
            chooser->accept();
        });
        click("PAS1_btn1");
        QCOMPARE(closer.iClosed, 1);
        QCOMPARE(iSelectFrom, qint16(1));
        click("btnSystem0");
        QCOMPARE(stored("PAS1", "Val3"), QStringLiteral("blank"));
        QCOMPARE(stored("PAS1", "Val4"), QStringLiteral("/opt/savers"));
    }
};

QTEST_MAIN(tst_DetailSetDialog)
#include "tst_detailsetdialog.moc"
