#include "TestSupport.h"

#include "engine/clsForwardLedger.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {
std::string& sandboxPath() {
    static std::string path;
    return path;
}

void removeSandbox() {
    if (!sandboxPath().empty())
        QDir(QString::fromStdString(sandboxPath())).removeRecursively();
}

// Runs before main: Qt reads these folders once, when they are first asked for.
struct Sandbox {
    Sandbox() {
        // A child process a test starts as the program run again shares its parent's folders.
        if (const char* inherited = ::getenv("PELIMO_TEST_SANDBOX")) {
            sandboxPath() = inherited;
            return;
        }
        char pattern[] = "/tmp/pelimo-test-XXXXXX";
        const char* dir = ::mkdtemp(pattern);
        if (!dir)
            std::abort();
        sandboxPath() = dir;
        for (const char* sub : {"config", "data", "runtime", "home", "cache"}) {
            std::string path = sandboxPath() + "/" + sub;
            QDir().mkpath(QString::fromStdString(path));
        }
        ::chmod((sandboxPath() + "/runtime").c_str(), 0700);
        ::setenv("XDG_CONFIG_HOME", (sandboxPath() + "/config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (sandboxPath() + "/data").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (sandboxPath() + "/runtime").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (sandboxPath() + "/cache").c_str(), 1);
        ::setenv("HOME", (sandboxPath() + "/home").c_str(), 1);
        std::atexit(removeSandbox);
    }
} sandbox;
} // namespace

QString TestSupport::sandboxDir() {
    return QString::fromStdString(sandboxPath());
}

void TestSupport::clearStore() {
    clsForwardLedger::instance().wipe();
    SettingsStore::reset();
    QDir(sandboxDir() + QStringLiteral("/config")).removeRecursively();
    QDir().mkpath(sandboxDir() + QStringLiteral("/config"));
}

QString TestSupport::stored(const QString& sSection, const QString& sKey) {
    QString sValue;
    SettingsStore::getSetting(QStringLiteral("Q-Post"), sSection, sKey, QStringLiteral("<missing>"), sValue);
    return sValue;
}

TestSupport::ProgramRun TestSupport::runProgram(const QStringList& arguments) {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("PELIMO_PROGRAM"), arguments);
    if (!program.waitForFinished(60000))
        program.kill();
    return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
            QString::fromLocal8Bit(program.readAllStandardOutput()),
            QString::fromLocal8Bit(program.readAllStandardError())};
}

QString TestSupport::testDataDir() {
    return QString::fromLocal8Bit(qgetenv("PELIMO_TEST_DATA"));
}

MessageRecorder::MessageRecorder(MsgAnswer a) : answer(a) {
    previous =
        setMessageHandler([this](const QString& sText, const QString& sTitle, MsgIcon icon, MsgButtons b) {
            shown.append({sText, sTitle, icon, b});
            return answer;
        });
}

MessageRecorder::~MessageRecorder() {
    setMessageHandler(previous);
}

namespace {
qint64 statusKiB(const char* sField) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(sField))
            return line.mid(qstrlen(sField)).trimmed().split(' ').front().toLongLong();
    return -1;
}
} // namespace

qint64 TestSupport::peakMemory() {
    return statusKiB("VmHWM:") * 1024;
}

qint64 TestSupport::resetPeakMemory() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    return statusKiB("VmRSS:") * 1024;
}
