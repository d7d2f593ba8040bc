#include "MailServers.h"
#include "TestSupport.h"

#include "settings/clsSet2.h"
#include "settings/mdlPassWord.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>
#include <algorithm>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString sPython = QStringLiteral("/usr/bin/python3"); // the one with aiosmtpd
constexpr int readyTimeoutMs = 15000;
constexpr int stopTimeoutMs = 8000;

QString serversDir() {
    const QString sDir = QString::fromLocal8Bit(qgetenv("PELIMO_TEST_SERVERS"));
    if (!sDir.isEmpty())
        return sDir;
    // Run by hand rather than by CTest.
    return QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/../servers");
}

bool isRoot() {
    return ::geteuid() == 0;
}

// As root, Dovecot reads the run folder as its own unprivileged users, who must be able to pass through the
// sandbox (made 0700).
QString newRunDir(const QString& sKind) {
    static int counter = 0;
    const QString sBase = TestSupport::sandboxDir() + QStringLiteral("/mail-servers");
    QDir().mkpath(sBase);
    if (isRoot()) {
        ::chmod(QFile::encodeName(TestSupport::sandboxDir()).constData(), 0711);
        ::chmod(QFile::encodeName(sBase).constData(), 0755);
    }
    const QString sDir = QStringLiteral("%1/%2-%3").arg(sBase, sKind).arg(++counter);
    QDir(sDir).removeRecursively();
    QDir().mkpath(sDir);
    return sDir;
}

QString readText(const QString& sPath) {
    QFile file(sPath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString tlsArgument(TestTls tls) {
    switch (tls) {
    case TestTls::StartTls:
        return QStringLiteral("starttls");
    case TestTls::Implicit:
        return QStringLiteral("implicit");
    case TestTls::None:
        break;
    }
    return QStringLiteral("none");
}

// Arguments shared by both servers; false when TLS is wanted but there are no certificates.
bool addTlsArguments(QStringList& args, TestTls tls, bool bWrongHost) {
    args << QStringLiteral("--tls") << tlsArgument(tls);
    if (tls == TestTls::None)
        return true;
    if (TestCertificates::dir().isEmpty())
        return false;
    args << QStringLiteral("--certs") << TestCertificates::dir();
    if (bWrongHost)
        args << QStringLiteral("--cert") << QStringLiteral("other");
    return true;
}
} // namespace

QString TestCertificates::dir() {
    static const QString sDir = [] {
        const QString sTarget = TestSupport::sandboxDir() + QStringLiteral("/certs");
        QProcess make;
        make.setProcessChannelMode(QProcess::MergedChannels);
        make.start(QStringLiteral("/bin/bash"), {serversDir() + QStringLiteral("/make_certs.sh"), sTarget});
        const bool bDone = make.waitForFinished(30000) && make.exitStatus() == QProcess::NormalExit &&
                           make.exitCode() == 0 && QFile::exists(sTarget + QStringLiteral("/ca.pem"));
        if (!bDone) {
            qWarning("make_certs.sh failed: %s", make.readAll().constData());
            make.kill();
            make.waitForFinished(3000);
            return QString();
        }
        return sTarget;
    }();
    return sDir;
}

QString TestCertificates::caFile() {
    const QString sDir = dir();
    return sDir.isEmpty() ? QString() : sDir + QStringLiteral("/ca.pem");
}

void TestCertificates::trustTestCa() {
    static bool bDone = false;
    if (bDone || caFile().isEmpty())
        return;
    bDone = true;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    // Setting any CA list turns off Qt's loading of the system store on demand: keep the system store in it.
    config.setCaCertificates(QSslConfiguration::systemCaCertificates() +
                             QSslCertificate::fromPath(caFile(), QSsl::Pem));
    QSslConfiguration::setDefaultConfiguration(config);
}

ScriptServer::~ScriptServer() {
    stop();
}

bool ScriptServer::launch(const QString& sScript, const QString& sKind, QStringList args,
                          const QString& sLogFile) {
    stop();
    m_sLogFile = sLogFile;
    m_sScript = sScript;
    m_sKind = sKind;
    m_args = args;
    // A test process that dies closes the script's stdin, and the script then stops its server.
    args.prepend(serversDir() + QLatin1Char('/') + sScript);
    args << QStringLiteral("--exit-on-stdin-eof");
    const QString sStderr = m_runDir + QStringLiteral("/stderr.log");
    m_process.setStandardErrorFile(sStderr);
    m_process.start(sPython, args);

    QByteArray line;
    QDeadlineTimer deadline(readyTimeoutMs);
    if (m_process.waitForStarted(readyTimeoutMs)) {
        while (!m_process.canReadLine() && !deadline.hasExpired() &&
               m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())))) {
        }
        line = m_process.readLine();
    }
    const QJsonObject ready = QJsonDocument::fromJson(line).object();
    m_port = quint16(ready.value(QStringLiteral("port")).toInt());
    if (m_port != 0) {
        m_lastPort = m_port;
        return true;
    }
    stop();
    qWarning("%s did not start.\n--- stderr:\n%s\n--- log:\n%s", qPrintable(sKind),
             qPrintable(readText(sStderr)), qPrintable(readText(m_sLogFile)));
    return false;
}

bool ScriptServer::restart() {
    if (m_sScript.isEmpty() || m_lastPort == 0)
        return false;
    QStringList args = m_args;
    const qsizetype iPortAt = args.indexOf(QStringLiteral("--port"));
    if (iPortAt >= 0)
        args.remove(iPortAt, 2);
    args << QStringLiteral("--port") << QString::number(m_lastPort);
    const quint16 iPort = m_lastPort;
    if (!launch(m_sScript, m_sKind, args, m_sLogFile))
        return false;
    if (port() == iPort)
        return true;
    stop();
    return false;
}

void ScriptServer::stop() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate(); // SIGTERM to the script's own PID; it stops its server
        if (!m_process.waitForFinished(stopTimeoutMs)) {
            m_process.kill();
            m_process.waitForFinished(stopTimeoutMs);
        }
    }
    m_port = 0;
}

// Dovecot ------------------------------------------------------------------------------------------------

DovecotServer::~DovecotServer() {
    stop();
    if (!m_runDir.isEmpty())
        QDir(m_runDir).removeRecursively();
}

bool Pop3FaultServer::start(const QString& sMode) {
    stop();
    m_runDir = newRunDir(QStringLiteral("pop3-fault"));
    return launch(QStringLiteral("pop3_fault.py"), QStringLiteral("POP3 fault peer"),
                  {QStringLiteral("--mode"), sMode}, QString());
}

bool DovecotServer::start(const Options& options) {
    stop();
    m_runDir = newRunDir(QStringLiteral("dovecot"));
    QStringList args{QStringLiteral("--run"), m_runDir};
    for (const auto& [sUser, sPassword] : options.users)
        args << QStringLiteral("--user") << sUser + QLatin1Char(':') + sPassword;
    if (!addTlsArguments(args, options.tls, options.wrongHostCertificate))
        return false;
    if (options.disablePlaintextAuth)
        args << QStringLiteral("--disable-plaintext-auth");
    if (!options.sUidlFormat.isEmpty())
        args << QStringLiteral("--uidl-format") << options.sUidlFormat;
    return launch(QStringLiteral("dovecot.py"), QStringLiteral("Dovecot"), args,
                  m_runDir + QStringLiteral("/dovecot.log"));
}

QString DovecotServer::maildir(const QString& sUser) const {
    return QStringLiteral("%1/mail/%2/Maildir").arg(m_runDir, sUser);
}

QString DovecotServer::log() const {
    return readText(m_runDir + QStringLiteral("/dovecot.log"));
}

bool DovecotServer::makeMaildir(const QString& sUser) {
    const QString sMaildir = maildir(sUser);
    for (const char* sub : {"new", "cur", "tmp"})
        if (!QDir().mkpath(sMaildir + QLatin1Char('/') + QLatin1String(sub)))
            return false;
    if (isRoot()) {
        // Dovecot works on the maildir as its mail user, which owns the mail folder.
        struct stat owner {};
        if (::stat(QFile::encodeName(m_runDir + QStringLiteral("/mail")).constData(), &owner) != 0)
            return false;
        for (const QString& sPath :
             {sMaildir + QStringLiteral("/.."), sMaildir, sMaildir + QStringLiteral("/new"),
              sMaildir + QStringLiteral("/cur"), sMaildir + QStringLiteral("/tmp")})
            if (::chown(QFile::encodeName(QDir::cleanPath(sPath)).constData(), owner.st_uid, owner.st_gid) !=
                0)
                return false;
    }
    return true;
}

bool DovecotServer::addUser(const QString& sUser, const QString& sPassword) {
    QFile users(m_runDir + QStringLiteral("/users"));
    if (m_runDir.isEmpty() || !users.open(QIODevice::Append))
        return false;
    users.write((sUser + QStringLiteral(":{PLAIN}") + sPassword + QLatin1Char('\n')).toUtf8());
    users.close();
    return makeMaildir(sUser);
}

QString DovecotServer::addMessage(const QString& sUser, const QByteArray& raw) {
    static int counter = 0;
    if (m_runDir.isEmpty() || !makeMaildir(sUser))
        return QString();
    // Dovecot numbers new mail by the time at the start of the name, microseconds included.
    const qint64 usecs = QDateTime::currentMSecsSinceEpoch() * 1000 + (++counter % 1000);
    const QString sName = QStringLiteral("%1.M%2P%3Q%4.pelimo-test")
                              .arg(usecs / 1000000)
                              .arg(usecs % 1000000, 6, 10, QLatin1Char('0'))
                              .arg(::getpid())
                              .arg(counter);
    // Written in tmp/ and moved to new/, so Dovecot never reads half a message.
    const QString sTmp = maildir(sUser) + QStringLiteral("/tmp/") + sName;
    const QString sNew = maildir(sUser) + QStringLiteral("/new/") + sName;
    QFile file(sTmp);
    if (!file.open(QIODevice::WriteOnly) || file.write(raw) != raw.size())
        return QString();
    file.close();
    return QFile::rename(sTmp, sNew) ? sNew : QString();
}

// SMTP ---------------------------------------------------------------------------------------------------

SmtpTestServer::~SmtpTestServer() {
    stop();
    if (!m_runDir.isEmpty())
        QDir(m_runDir).removeRecursively();
}

bool SmtpTestServer::start(const Options& options) {
    stop();
    m_runDir = newRunDir(QStringLiteral("smtp"));
    QStringList args{QStringLiteral("--store"), storeDir(), QStringLiteral("--log"),
                     m_runDir + QStringLiteral("/smtp.log")};
    if (!addTlsArguments(args, options.tls, options.wrongHostCertificate))
        return false;
    if (!options.sUser.isEmpty())
        args << QStringLiteral("--auth") << options.sUser + QLatin1Char(':') + options.sPassword;
    return launch(QStringLiteral("smtp_server.py"), QStringLiteral("SMTP server"), args,
                  m_runDir + QStringLiteral("/smtp.log"));
}

QString SmtpTestServer::storeDir() const {
    return m_runDir + QStringLiteral("/store");
}

QString SmtpTestServer::log() const {
    return readText(m_runDir + QStringLiteral("/smtp.log"));
}

void SmtpTestServer::setControl(const QJsonObject& control) {
    QDir().mkpath(storeDir());
    // Replaced in one step: the server reads the file at every command.
    QSaveFile file(storeDir() + QStringLiteral("/control.json"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(control).toJson(QJsonDocument::Compact));
        file.commit();
    }
}

QList<SmtpTestServer::Message> SmtpTestServer::messages() const {
    static const QRegularExpression numbered(QStringLiteral("^(\\d+)\\.json$"));
    std::map<int, QString> stems;
    for (const QString& sName : QDir(storeDir()).entryList(QDir::Files)) {
        const QRegularExpressionMatch match = numbered.match(sName);
        if (match.hasMatch())
            stems.emplace(match.captured(1).toInt(), storeDir() + QLatin1Char('/') + match.captured(1));
    }
    QList<Message> result;
    for (const auto& [number, sStem] : stems) {
        QFile raw(sStem + QStringLiteral(".eml"));
        QFile facts(sStem + QStringLiteral(".json"));
        if (raw.open(QIODevice::ReadOnly) && facts.open(QIODevice::ReadOnly))
            result.append({raw.readAll(), QJsonDocument::fromJson(facts.readAll()).object()});
    }
    return result;
}

bool SmtpTestServer::waitForMessages(int n, int timeoutMs) const {
    static const QRegularExpression numbered(QStringLiteral("^\\d+\\.json$"));
    return QTest::qWaitFor(
        [&] { return QDir(storeDir()).entryList(QDir::Files).filter(numbered).size() >= n; }, timeoutMs);
}

void pointSimpleSetAt(const DovecotServer& pop3, const SmtpTestServer& smtp, const QString& sUser,
                      const QString& sPassword, const QString& sPhone, qint16 iInterval, qint16 iPageSize) {
    clsSet2& set = clsSet2::instance();
    set.setDefault();
    set.setValue(1, {QStringLiteral("127.0.0.1:%1").arg(pop3.port())});
    set.setValue(2, {encodePassWord(sUser)});
    set.setValue(3, {encodePassWord(sPassword)});
    set.setValue(4, {QStringLiteral("127.0.0.1:%1").arg(smtp.port())});
    set.setValue(5, {sPhone});
    set.setValue(6, {iInterval});
    set.setValue(8, {QString::number(iPageSize)});
}
