#include "FakeLogind.h"
#include "TestSupport.h"

#include "system/clsExitWindows.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTest>

namespace {
const QString sAccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
const QString sInvalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
const QString sUnknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
const QString sManager = QStringLiteral("/org/freedesktop/login1 ");
const QString sSession = QStringLiteral("/org/freedesktop/login1/session/_37 ");

// "object Interface.Method [arguments]", and " interactive" when a password prompt was allowed.
QStringList described(const QList<FakeLogind::Call>& calls) {
    QStringList out;
    for (const FakeLogind::Call& call : calls)
        out << call.sPath + QLatin1Char(' ') + call.sInterface.section(QLatin1Char('.'), -1) +
                   QLatin1Char('.') + call.sMethod + QLatin1Char(' ') +
                   QString::fromUtf8(QJsonDocument(call.args).toJson(QJsonDocument::Compact)) +
                   (call.bInteractive ? QStringLiteral(" interactive") : QString());
    return out;
}

qint32 request(clsExitWindows& exitWindows, const QString& sKind) {
    if (sKind == QLatin1String("log off"))
        return exitWindows.LogOff();
    if (sKind == QLatin1String("shut down"))
        return exitWindows.ShutDown();
    if (sKind == QLatin1String("reboot"))
        return exitWindows.ReBoot();
    return exitWindows.PowerOff();
}

// "Method=error.Name" pairs.
QMap<QString, QString> errorMap(const QStringList& pairs) {
    QMap<QString, QString> map;
    for (const QString& sPair : pairs)
        map.insert(sPair.section(QLatin1Char('='), 0, 0), sPair.section(QLatin1Char('='), 1));
    return map;
}
} // namespace

class tst_exitwindows : public QObject {
    Q_OBJECT
    FakeLogind logind;

private Q_SLOTS:
    void initTestCase() { QVERIFY(logind.start()); }

    void init() {
        if (!logind.isRunning())
            QVERIFY(logind.start());
        logind.setErrors({});
        logind.clearCalls();
    }

    void forceStartsOffAndCanBeTakenBack() {
        clsExitWindows exitWindows;
        QVERIFY(!exitWindows.Force());
        QCOMPARE(exitWindows.lastFlags(), -1);
        exitWindows.setForce(true);
        QVERIFY(exitWindows.Force());
        exitWindows.setForce(false);
        QVERIFY(!exitWindows.Force());
        QVERIFY(exitWindows.ReBoot() != 0);
        QCOMPARE(exitWindows.lastFlags(), clsExitWindows::iReBootFlag);
    }

    void eachKindAsksLogind_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("force");
        QTest::addColumn<int>("flags");
        QTest::addColumn<QStringList>("calls");
        const QString sGetSession = sManager + QStringLiteral("Manager.GetSession [\"auto\"]");
        QTest::newRow("log off") << "log off" << false << 0
                                 << QStringList{sGetSession, sSession + "Session.Terminate [] interactive"};
        QTest::newRow("log off, forced")
            << "log off" << true << 4 << QStringList{sGetSession, sSession + "Session.Terminate []"};
        QTest::newRow("shut down") << "shut down" << false << 1
                                   << QStringList{sManager + "Manager.PowerOff [true] interactive"};
        QTest::newRow("shut down, forced")
            << "shut down" << true << 5 << QStringList{sManager + "Manager.PowerOffWithFlags [16]"};
        QTest::newRow("reboot") << "reboot" << false << 2
                                << QStringList{sManager + "Manager.Reboot [true] interactive"};
        QTest::newRow("reboot, forced")
            << "reboot" << true << 6 << QStringList{sManager + "Manager.RebootWithFlags [16]"};
        QTest::newRow("power off") << "power off" << false << 8
                                   << QStringList{sManager + "Manager.PowerOff [true] interactive"};
        QTest::newRow("power off, forced")
            << "power off" << true << 12 << QStringList{sManager + "Manager.PowerOffWithFlags [16]"};
    }
    void eachKindAsksLogind() {
        QFETCH(QString, kind);
        QFETCH(bool, force);
        QFETCH(int, flags);
        QFETCH(QStringList, calls);
        clsExitWindows exitWindows;
        exitWindows.setForce(force);
        QVERIFY(request(exitWindows, kind) != 0);
        QCOMPARE(exitWindows.lastFlags(), flags);
        QVERIFY(exitWindows.lastResult() != 0);
        QCOMPARE(exitWindows.lastError(), QString());
        QCOMPARE(described(logind.calls()), calls);
    }

    void refusalAnswersZero_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("force");
        QTest::addColumn<QStringList>("errors");
        QTest::addColumn<QStringList>("calls");
        // A forced request that logind refuses is not asked again in a weaker form.
        QTest::newRow("forced power off")
            << "power off" << true << QStringList{"PowerOffWithFlags=" + sAccessDenied}
            << QStringList{sManager + "Manager.PowerOffWithFlags [16]"};
        QTest::newRow("forced reboot needs a password")
            << "reboot" << true
            << QStringList{"RebootWithFlags=org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"}
            << QStringList{sManager + "Manager.RebootWithFlags [16]"};
        QTest::newRow("shut down") << "shut down" << false << QStringList{"PowerOff=" + sAccessDenied}
                                   << QStringList{sManager + "Manager.PowerOff [true] interactive"};
        QTest::newRow("no session to log off")
            << "log off" << true << QStringList{"GetSession=org.freedesktop.login1.NoSessionForPID"}
            << QStringList{sManager + "Manager.GetSession [\"auto\"]"};
        QTest::newRow("log off refused")
            << "log off" << true << QStringList{"Terminate=" + sAccessDenied}
            << QStringList{sManager + "Manager.GetSession [\"auto\"]", sSession + "Session.Terminate []"};
        QTest::newRow("older logind refuses the plain request too")
            << "power off" << true
            << QStringList{"PowerOffWithFlags=" + sInvalidArgs, "PowerOff=" + sAccessDenied}
            << QStringList{sManager + "Manager.PowerOffWithFlags [16]",
                           sManager + "Manager.PowerOff [false]"};
    }
    void refusalAnswersZero() {
        QFETCH(QString, kind);
        QFETCH(bool, force);
        QFETCH(QStringList, errors);
        QFETCH(QStringList, calls);
        logind.setErrors(errorMap(errors));
        clsExitWindows exitWindows;
        exitWindows.setForce(force);
        QCOMPARE(request(exitWindows, kind), 0);
        QCOMPARE(exitWindows.lastResult(), 0);
        QVERIFY2(exitWindows.lastError().startsWith(errors.last().section(QLatin1Char('='), 1)),
                 qPrintable(exitWindows.lastError()));
        QCOMPARE(described(logind.calls()), calls);
    }

    // A logind that does not know the skip-inhibitors flag (or the methods taking flags) gets the plain
    // request, still without interaction.
    void olderLogindGetsThePlainRequest_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("flag unknown") << "power off"
                                      << "PowerOffWithFlags" << sInvalidArgs
                                      << QStringList{sManager + "Manager.PowerOffWithFlags [16]",
                                                     sManager + "Manager.PowerOff [false]"};
        QTest::newRow("method unknown")
            << "reboot"
            << "RebootWithFlags" << sUnknownMethod
            << QStringList{sManager + "Manager.RebootWithFlags [16]", sManager + "Manager.Reboot [false]"};
    }
    void olderLogindGetsThePlainRequest() {
        QFETCH(QString, kind);
        QFETCH(QString, method);
        QFETCH(QString, error);
        QFETCH(QStringList, calls);
        logind.setErrors({{method, error}});
        clsExitWindows exitWindows;
        exitWindows.setForce(true);
        QVERIFY(request(exitWindows, kind) != 0);
        QCOMPARE(described(logind.calls()), calls);
    }

    void noLogindOnTheBus() {
        logind.stop();
        clsExitWindows exitWindows;
        exitWindows.setForce(true);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(exitWindows.PowerOff(), 0);
        QCOMPARE(exitWindows.LogOff(), 0);
        QVERIFY(timer.elapsed() < clsExitWindows::iReplyTimeoutMs);
        QVERIFY2(exitWindows.lastError().startsWith(QLatin1String("org.freedesktop.DBus.Error.")),
                 qPrintable(exitWindows.lastError()));
    }
};

QTEST_GUILESS_MAIN(tst_exitwindows)
#include "tst_exitwindows.moc"
