#include "base/mdlLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>
#include <QStringEncoder>
#include <QTime>

#include <atomic>

namespace {
// A check runs on a worker thread while the shell may still log; the lock keeps lines whole.
QMutex logLock;
QString sFolderOverride;
std::atomic<const bool*> pRunLogOn{nullptr};

const QString sCrLf = QStringLiteral("\r\n");

void appendToFile(const QString& sFileName, const QString& sText) {
    QStringEncoder encoder(QStringEncoder::System);
    const QByteArray bytes = encoder.encode(sText);
    const QString sPath = logPath(sFileName);
    QMutexLocker lock(&logLock);
    QFile file(sPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    file.write(bytes);
    file.close();
}

void writeStampedLine(const QString& sFileName, const QString& sText) {
    const bool* pOn = pRunLogOn.load();
    if (!pOn || !*pOn)
        return;
    appendToFile(sFileName, QTime::currentTime().toString(QStringLiteral("hh:mm:ss ")) + sText + sCrLf);
}
} // namespace

QString programFolder() {
    {
        QMutexLocker lock(&logLock);
        if (!sFolderOverride.isEmpty())
            return sFolderOverride;
    }
    // Installed programs usually sit in a folder the user cannot write to.
    const QString sAppDir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    if (!sAppDir.isEmpty() && QFileInfo(sAppDir).isWritable())
        return sAppDir;
    const QString sDataDir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(sDataDir);
    return sDataDir;
}

void setProgramFolder(const QString& sFolder) {
    QMutexLocker lock(&logLock);
    sFolderOverride = sFolder;
}

QString logPath(const QString& sFileName) {
    return programFolder() + u'/' + sFileName;
}

void rotateLogs() {
    for (const char* name :
         {"clsMailTransfer.log", "sendmail.log", "recvmail.log", "PLSmtp.log", "PLPop3.log", "PLRun.log"}) {
        const QString sPath = logPath(QString::fromLatin1(name));
        if (!QFileInfo::exists(sPath))
            continue;
        QFile::remove(sPath + QStringLiteral(".1"));
        // A log that cannot be kept must still not run on into the new run.
        if (!QFile::rename(sPath, sPath + QStringLiteral(".1")))
            QFile::remove(sPath);
    }
}

void writeRunLog(const QString& sText) {
    writeStampedLine(QStringLiteral("PLRun.log"), sText);
}

void writeSendLog(const QString& sText) {
    writeStampedLine(QStringLiteral("sendmail.log"), sText);
}

void appendLogBlock(const QString& sFileName, const QString& sText) {
    if (sText.isEmpty())
        return;
    QString sBlock = sText;
    sBlock.replace(sCrLf, QStringLiteral("\n")).replace(u'\r', u'\n').replace(QStringLiteral("\n"), sCrLf);
    if (!sBlock.endsWith(sCrLf))
        sBlock += sCrLf;
    appendToFile(sFileName, sBlock);
}

void setRunLogSwitch(const bool* pOn) {
    pRunLogOn.store(pOn);
}
