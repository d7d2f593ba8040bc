#include "FakeLogind.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sys/prctl.h>
#include <utility>

namespace {
constexpr int readyTimeoutMs = 15000;
constexpr int stopTimeoutMs = 5000;

// Before main: whatever the environment says, a test that reaches for the system bus finds none.
struct NoSystemBus {
    NoSystemBus() {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/pelimo-tests-have-no-system-bus", 1);
    }
} noSystemBus;

QString serversDir() {
    const QString sDir = QString::fromLocal8Bit(qgetenv("PELIMO_TEST_SERVERS"));
    if (!sDir.isEmpty())
        return sDir;
    return QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../servers");
}

QString readText(const QString& sPath) {
    QFile file(sPath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Our helpers must not outlive a test process that crashes.
void dieWithParent(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

QByteArray readFirstLine(QProcess& process) {
    QDeadlineTimer deadline(readyTimeoutMs);
    if (!process.waitForStarted(readyTimeoutMs))
        return {};
    while (!process.canReadLine() && !deadline.hasExpired() &&
           process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())))) {
    }
    return process.readLine().trimmed();
}

void stopProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate(); // SIGTERM to the PID we started
    if (!process.waitForFinished(stopTimeoutMs)) {
        process.kill();
        process.waitForFinished(stopTimeoutMs);
    }
}

struct PrivateBus {
    QProcess process;
    QString sAddress;
};

PrivateBus*& privateBus() {
    static PrivateBus* bus = nullptr;
    return bus;
}

void stopPrivateBus() {
    PrivateBus* bus = std::exchange(privateBus(), nullptr);
    if (!bus)
        return;
    stopProcess(bus->process);
    delete bus;
}

bool startPrivateBus() {
    if (privateBus())
        return privateBus()->process.state() == QProcess::Running;
    const QString sDir = TestSupport::sandboxDir() + QStringLiteral("/dbus");
    QDir().mkpath(sDir);
    const QString sConfig = sDir + QStringLiteral("/bus.conf");
    QFile config(sConfig);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    config.write(
        QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
            .arg(sDir)
            .toUtf8());
    config.close();

    auto* bus = new PrivateBus;
    dieWithParent(bus->process);
    bus->process.setStandardErrorFile(sDir + QStringLiteral("/bus.log"));
    bus->process.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--config-file=") + sConfig, QStringLiteral("--nofork"),
                        QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    bus->sAddress = QString::fromUtf8(readFirstLine(bus->process));
    if (!bus->sAddress.startsWith(QLatin1String("unix:"))) {
        qWarning("dbus-daemon did not start: %s", qPrintable(readText(sDir + QStringLiteral("/bus.log"))));
        stopProcess(bus->process);
        delete bus;
        return false;
    }
    privateBus() = bus;
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus->sAddress.toUtf8());
    qAddPostRoutine(stopPrivateBus);
    return true;
}
} // namespace

QString FakeLogind::busAddress() {
    return privateBus() ? privateBus()->sAddress : QString();
}

FakeLogind::~FakeLogind() {
    stop();
    if (!m_runDir.isEmpty())
        QDir(m_runDir).removeRecursively();
}

bool FakeLogind::start() {
    static int counter = 0;
    stop();
    if (!startPrivateBus())
        return false;
    if (m_runDir.isEmpty())
        m_runDir = TestSupport::sandboxDir() + QStringLiteral("/logind-%1").arg(++counter);
    QDir().mkpath(m_runDir);
    QFile::remove(m_runDir + QStringLiteral("/control.json"));
    clearCalls();

    dieWithParent(m_process);
    m_process.setStandardErrorFile(m_runDir + QStringLiteral("/stderr.log"));
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    {serversDir() + QStringLiteral("/fake_logind.py"), QStringLiteral("--bus"), busAddress(),
                     QStringLiteral("--record"), m_runDir + QStringLiteral("/calls.jsonl"),
                     QStringLiteral("--control"), m_runDir + QStringLiteral("/control.json"),
                     QStringLiteral("--exit-on-stdin-eof")});
    const QJsonObject ready = QJsonDocument::fromJson(readFirstLine(m_process)).object();
    if (ready.value(QStringLiteral("pid")).toInt() == 0) {
        stop();
        qWarning("fake_logind.py did not start: %s",
                 qPrintable(readText(m_runDir + QStringLiteral("/stderr.log"))));
        return false;
    }
    // Proves that this process's system bus is the private one: it is not when D-Bus was used before the
    // first start().
    QDBusConnectionInterface* busInterface = QDBusConnection::systemBus().interface();
    if (!busInterface || !busInterface->isServiceRegistered(QStringLiteral("org.freedesktop.login1"))) {
        stop();
        qWarning(
            "the system bus of this process is not the private one: start FakeLogind before using D-Bus");
        return false;
    }
    return true;
}

void FakeLogind::stop() {
    stopProcess(m_process);
}

void FakeLogind::setErrors(const QMap<QString, QString>& errors) {
    QJsonObject map;
    for (auto it = errors.cbegin(); it != errors.cend(); ++it)
        map.insert(it.key(), it.value());
    // Replaced in one step: the fake reads the file at every call.
    QSaveFile file(m_runDir + QStringLiteral("/control.json"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(
            QJsonDocument(QJsonObject{{QStringLiteral("errors"), map}}).toJson(QJsonDocument::Compact));
        file.commit();
    }
}

QList<FakeLogind::Call> FakeLogind::calls() const {
    QList<Call> result;
    QFile file(m_runDir + QStringLiteral("/calls.jsonl"));
    if (!file.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        const QJsonObject call = QJsonDocument::fromJson(line).object();
        result.append({call.value(QStringLiteral("method")).toString(),
                       call.value(QStringLiteral("interface")).toString(),
                       call.value(QStringLiteral("path")).toString(),
                       call.value(QStringLiteral("args")).toArray(),
                       call.value(QStringLiteral("interactive")).toBool()});
    }
    return result;
}

void FakeLogind::clearCalls() {
    QFile file(m_runDir + QStringLiteral("/calls.jsonl"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.close();
}
