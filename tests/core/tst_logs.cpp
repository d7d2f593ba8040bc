#include "TestSupport.h"
#include "base/mdlLog.h"
#include "settings/clsSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringEncoder>
#include <QTest>
#include <QTime>

namespace {
QByteArray systemBytes(const QString& s) {
    return QStringEncoder(QStringEncoder::System).encode(s);
}

QByteArray readAll(const QString& sFileName) {
    QFile file(logPath(sFileName));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The lines of a stamped log with their stamps checked and removed; empty when any line is malformed.
QList<QByteArray> stampedTexts(const QString& sFileName) {
    QByteArray data = readAll(sFileName);
    if (!data.endsWith("\r\n") || data.count('\r') != data.count('\n') ||
        data.count("\r\n") != data.count('\n'))
        return {};
    static const QRegularExpression stamp(QStringLiteral("^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] $"));
    QList<QByteArray> texts;
    for (const QByteArray& line : data.replace("\r\n", "\n").chopped(1).split('\n')) {
        if (!stamp.match(QString::fromLatin1(line.left(9))).hasMatch())
            return {};
        texts.append(line.mid(9));
    }
    return texts;
}
} // namespace

class tst_logs : public QObject {
    Q_OBJECT
    QString sDir = TestSupport::sandboxDir() + QStringLiteral("/logs");

private Q_SLOTS:
    void init() {
        setProgramFolder(sDir);
        QDir(sDir).removeRecursively();
        QVERIFY(QDir().mkpath(sDir));
        clsSystem& sys = clsSystem::instance();
        sys.RunLog = sys.SmtpLog = sys.Pop3Log = false;
    }

    void cleanupTestCase() {
        setProgramFolder(QString());
        const QFileInfo info(programFolder());
        QVERIFY(info.isDir() && info.isWritable());
    }

    void stampedLineFormat() {
        clsSystem::instance().RunLog = true;
        const QTime before = QTime::currentTime();
        writeRunLog(QStringLiteral("ペリモメール動作ログ"));
        writeRunLog(QStringLiteral("second"));
        writeSendLog(QStringLiteral("-->送信結果:NG -->ﾘﾄﾗｲ= 2"));
        const QTime after = QTime::currentTime();

        const QTime stamp = QTime::fromString(
            QString::fromLatin1(readAll(QStringLiteral("PLRun.log")).left(8)), QStringLiteral("hh:mm:ss"));
        QVERIFY(stamp.isValid());
        if (before <= after) // not across midnight
            QVERIFY(stamp.secsTo(before) <= 0 && stamp.secsTo(after) >= 0);
        QCOMPARE(stampedTexts(QStringLiteral("PLRun.log")),
                 (QList<QByteArray>{systemBytes(QStringLiteral("ペリモメール動作ログ")), "second"}));
        QCOMPARE(stampedTexts(QStringLiteral("sendmail.log")),
                 QList<QByteArray>{systemBytes(QStringLiteral("-->送信結果:NG -->ﾘﾄﾗｲ= 2"))});
    }

    void switchedOff() {
        writeRunLog(QStringLiteral("run"));
        writeSendLog(QStringLiteral("send"));
        QVERIFY(QDir(sDir).isEmpty());
    }

    void blockAppend() {
        // Not switched: the callers decide.
        const QString sFile = QStringLiteral("recvmail.log");
        appendLogBlock(sFile, QString());
        QVERIFY(!QFile::exists(logPath(sFile)));
        appendLogBlock(sFile, QStringLiteral("From: a\nSubject: 件名\rBody\r\n\r\nend"));
        appendLogBlock(sFile, QStringLiteral("second\r\n"));
        appendLogBlock(sFile, QStringLiteral("\n"));
        QCOMPARE(readAll(sFile), systemBytes(QStringLiteral(
                                     "From: a\r\nSubject: 件名\r\nBody\r\n\r\nend\r\nsecond\r\n\r\n")));

        // A block and a stamped line share the send log without merging.
        clsSystem::instance().RunLog = true;
        appendLogBlock(QStringLiteral("sendmail.log"), QStringLiteral("To: x@example.jp"));
        writeSendLog(QStringLiteral("----->送信結果:NG"));
        const QByteArray send = readAll(QStringLiteral("sendmail.log"));
        QVERIFY(send.startsWith("To: x@example.jp\r\n"));
        QVERIFY(send.endsWith(systemBytes(QStringLiteral(" ----->送信結果:NG\r\n"))));
    }

    // The last run's logs are kept once, over the run before, and the new run starts with none.
    void rotation() {
        const QStringList sLogs = {"clsMailTransfer.log", "sendmail.log", "recvmail.log",
                                   "PLSmtp.log",          "PLPop3.log",   "PLRun.log"};
        for (const char* sRun : {"older", "last"}) {
            for (const QString& sName : sLogs + QStringList{"keep.log"}) {
                QFile file(logPath(sName));
                QVERIFY(file.open(QIODevice::WriteOnly) && file.write(sRun) > 0);
            }
            rotateLogs();
        }
        QStringList expected{"keep.log"};
        for (const QString& sName : sLogs) {
            expected << sName + QStringLiteral(".1");
            QFile kept(logPath(sName + QStringLiteral(".1")));
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), QByteArray("last"));
        }
        expected.sort();
        QCOMPARE(QDir(sDir).entryList(QDir::Files, QDir::Name), expected);
        rotateLogs(); // nothing left to keep
        QCOMPARE(QDir(sDir).entryList(QDir::Files, QDir::Name), expected);
    }

    void startLines_data() {
        QTest::addColumn<bool>("runLog");
        QTest::addColumn<bool>("smtpLog");
        QTest::addColumn<bool>("pop3Log");
        for (int i = 0; i < 8; ++i)
            QTest::addRow("run%d smtp%d pop3%d", i & 1, (i >> 1) & 1, (i >> 2) & 1)
                << bool(i & 1) << bool(i & 2) << bool(i & 4);
    }

    void startLines() {
        QFETCH(bool, runLog);
        QFETCH(bool, smtpLog);
        QFETCH(bool, pop3Log);
        clsSystem& sys = clsSystem::instance();
        sys.RunLog = runLog;
        sys.SmtpLog = smtpLog;
        sys.Pop3Log = pop3Log;
        QString sSmtp = QStringLiteral("stale");
        QString sPop3 = QStringLiteral("stale");
        writeStartLogLines(sSmtp, sPop3);

        QCOMPARE(sSmtp, smtpLog ? sDir + QStringLiteral("/PLSmtp.log") : QString());
        QCOMPARE(sPop3, pop3Log ? sDir + QStringLiteral("/PLPop3.log") : QString());
        // The traces belong to the components; with the run log off nothing is written at all.
        QList<QByteArray> expected;
        if (runLog) {
            expected.append(systemBytes(QStringLiteral("ペリモメール動作ログ")));
            if (smtpLog)
                expected.append("SMTP LOG ON");
            if (pop3Log)
                expected.append("POP3 LOG ON");
        }
        QCOMPARE(QDir(sDir).entryList(QDir::Files),
                 runLog ? QStringList{QStringLiteral("PLRun.log")} : QStringList());
        if (runLog)
            QCOMPARE(stampedTexts(QStringLiteral("PLRun.log")), expected);
    }

    void unreachableFolder() {
        setProgramFolder(sDir + QStringLiteral("/missing/folder"));
        clsSystem::instance().RunLog = true;
        writeRunLog(QStringLiteral("lost"));
        appendLogBlock(QStringLiteral("recvmail.log"), QStringLiteral("lost"));
        rotateLogs();
        QVERIFY(!QFileInfo::exists(sDir + QStringLiteral("/missing")));
    }
};

QTEST_GUILESS_MAIN(tst_logs)
#include "tst_logs.moc"
