#include "singleinstance.h"

#include <QDebug>
#include <QDir>
#include <QLockFile>
#include <memory>

namespace SingleInstance {

const char *const kInstanceName = "['{EFEB2EF6-F8E0-AE44-BABE-1BBEF2C7FD56}']";

namespace {
std::unique_ptr<QLockFile> gInstanceLock;
}

QString lockFilePath() {
    QString name;
    for (QChar c : QString::fromLatin1(kInstanceName))
        if (c.isLetterOrNumber()) name += c;
    return QDir::tempPath() + QLatin1Char('/') + name;
}

bool acquire() {
    auto lock = std::make_unique<QLockFile>(lockFilePath());
    // Only a live owner counts; age alone never makes a lock stale.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        gInstanceLock = std::move(lock);
        return true;
    }
    return lock->error() != QLockFile::LockFailedError;
}

void release() {
    if (!gInstanceLock) return;
    qDebug() << "CloseHandle(hMutex)";
    gInstanceLock->unlock();
    gInstanceLock.reset();
}

} // namespace SingleInstance
