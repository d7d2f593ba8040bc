#include "base/mdlGlobals.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>
#include <memory>

bool bWinNT = false;
bool bStopping = false;

namespace {
std::unique_ptr<QLockFile> instanceLock;

QString lockPath() {
    QString sDir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (sDir.isEmpty())
        sDir = QDir::tempPath();
    return sDir + QStringLiteral("/PelimoMail.lock");
}
} // namespace

bool acquireSingleInstance() {
    if (instanceLock)
        return true;
    auto lock = std::make_unique<QLockFile>(lockPath());
    // A lock left by a crashed instance is taken over: QLockFile sees that its process is gone.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return false;
    instanceLock = std::move(lock);
    return true;
}

void releaseSingleInstance() {
    instanceLock.reset();
}
