#include "TestSupport.h"

#include "settings/SettingsStore.h"
#include "settings/clsSRV1.h"
#include "settings/clsSRV2.h"

#include <QTest>

namespace {
const QString sApp = QStringLiteral("Q-Post");

using TestSupport::stored;

template <typename Record> QString cell(const Record& srv, int iRow, int iField) {
    return srv.getValue(2, {iRow, iField}).toString();
}
} // namespace

class tst_ServerLists : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { TestSupport::clearStore(); }

    void emptyListsAreRefused() {
        clsSRV1 srv1;
        clsSRV2 srv2;
        QVERIFY(srv1.loadRegistory(sApp) && srv2.loadRegistory(sApp));
        QCOMPARE(srv1.getValue(1), QVariant(0));
        MessageRecorder rec;
        QVERIFY(!srv1.saveRegistory(sApp) && !srv2.saveRegistory(sApp));
        QCOMPARE(rec.shown.size(), 2);
        QCOMPARE(rec.shown[0].sText, QStringLiteral("少なくても１つの受信サーバーを設定してください"));
        QCOMPARE(rec.shown[0].sTitle, QStringLiteral("受信サーバー設定エラー"));
        QCOMPARE(rec.shown[1].sText, QStringLiteral("少なくても１つの送信サーバーを設定してください"));
        QCOMPARE(rec.shown[1].sTitle, QStringLiteral("送信サーバー設定エラー"));
        QVERIFY(rec.shown[1].icon == MsgIcon::Exclamation && rec.shown[1].buttons == MsgButtons::Ok);
        QCOMPARE(stored("SRV1", "Val1"), QStringLiteral("<missing>"));
        QCOMPARE(stored("SRV2", "Val1"), QStringLiteral("<missing>"));
    }

    void receiveRowsRoundTrip() {
        clsSRV1 srv;
        QVERIFY(srv.additionValue(0, {"pop.example.com", "encId", "encPw", "me@example.com"}));
        QVERIFY(srv.setValue(2, {"memory only", 0, 4}) && srv.setValue(2, {"spare", 20, 0}));
        QVERIFY(!srv.setValue(2, {"x", 21, 0}) && !srv.additionValue(21, {"a", "b", "c", "d"}));
        QVERIFY(srv.saveRegistory(sApp));
        QCOMPARE(stored("SRV1", "Val2_0_3"), QStringLiteral("me@example.com"));
        QCOMPARE(stored("SRV1", "Val2_19_3"), QString()); // rows beyond the count are written too
        QCOMPARE(stored("SRV1", "Val2_0_4"), QStringLiteral("<missing>"));
        QCOMPARE(stored("SRV1", "Val2_20_0"), QStringLiteral("<missing>"));

        clsSRV1 back;
        QVERIFY(back.loadRegistory(sApp));
        QCOMPARE(back.getValue(1), QVariant(1));
        QCOMPARE(cell(back, 0, 0), QStringLiteral("pop.example.com"));
        QCOMPARE(cell(back, 0, 2), QStringLiteral("encPw"));
    }

    void missingCellKeepsMemory() {
        SettingsStore::saveSetting(sApp, "SRV1", "Val1", "1");
        SettingsStore::saveSetting(sApp, "SRV1", "Val2_0_0", "pop");
        clsSRV1 srv;
        QVERIFY(srv.setValue(2, {"stale", 0, 1}));
        QVERIFY(srv.loadRegistory(sApp));
        QCOMPARE(cell(srv, 0, 0), QStringLiteral("pop"));
        QCOMPARE(cell(srv, 0, 1), QStringLiteral("stale"));
        SettingsStore::saveSetting(sApp, "SRV1", "Val1", "40000");
        QVERIFY(!srv.loadRegistory(sApp));
    }

    void deleteMovesRowsUp() {
        clsSRV1 srv;
        QVERIFY(!srv.deleteValue(0));
        for (int i = 0; i < 3; ++i)
            srv.additionValue(qint16(i), {QStringLiteral("pop%1").arg(i), "id", "pw", "me@example.com"});
        QVERIFY(srv.setValue(2, {"last", 19, 2}) && srv.setValue(2, {"kept", 0, 4}));
        QVERIFY(srv.deleteValue(0));
        QCOMPARE(srv.getValue(1), QVariant(2));
        QCOMPARE(cell(srv, 0, 0), QStringLiteral("pop1"));
        QCOMPARE(cell(srv, 1, 0), QStringLiteral("pop2"));
        QCOMPARE(cell(srv, 18, 2), QStringLiteral("last"));
        QCOMPARE(cell(srv, 19, 2), QString());
        QCOMPARE(cell(srv, 0, 4), QStringLiteral("kept")); // the memory-only field never moves

        QVERIFY(!srv.deleteValue(-1));
        QVERIFY(srv.deleteValue(25));
        QCOMPARE(srv.getValue(1), QVariant(1));
        QCOMPARE(cell(srv, 0, 0), QStringLiteral("pop1"));
    }

    void sendEntryIsOneRow() {
        clsSRV2 srv;
        QVERIFY(
            srv.additionValue(0, {"smtp", "from@example.com", "Nick", "phone@example.jp", "cc@x", "bcc@x"}));
        QVERIFY(srv.additionValue(1, {"smtp2", "", "Nick", "phone2@example.jp", "", ""}));
        QCOMPARE(srv.getValue(1), QVariant(1));
        QVERIFY(srv.saveRegistory(sApp));
        QCOMPARE(stored("SRV2", "Val2_19_5"), QString());

        clsSRV2 back;
        QVERIFY(back.loadRegistory(sApp));
        const QStringList sRow = {"smtp", "from@example.com", "", "phone@example.jp", "cc@x", "bcc@x"};
        for (int f = 0; f < 6; ++f)
            QCOMPARE(cell(back, 0, f), sRow[f]);
        QCOMPARE(cell(back, 1, 2), QString());
    }
};

QTEST_GUILESS_MAIN(tst_ServerLists)
#include "tst_serverlists.moc"
