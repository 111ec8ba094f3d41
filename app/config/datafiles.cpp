#include "datafiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QMutex gCheckLock;
std::function<bool()> gPrivilegedCheck;

QString besideProgram(const char *relative) {
    // applicationDirPath() needs the application object; without one (a tool
    // linking the core before it made one) only the working directory counts.
    if (!QCoreApplication::instance()) return QString();
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                           QLatin1String(relative));
}

QString programDir() {
    if (!QCoreApplication::instance()) return QString();
    return QCoreApplication::applicationDirPath();
}

// Root-owned and writable by nobody else (the owner's own write bit is root's).
bool rootOnlyMode(const struct stat &st) {
    return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

namespace DataFiles {

QString installedDataDir() {
    return besideProgram(PYREWICK_BIN_TO_DATA);
}

QString installedHelperDir() {
    return besideProgram(PYREWICK_BIN_TO_HELPERS);
}

bool privileged() {
    std::function<bool()> check;
    {
        QMutexLocker lock(&gCheckLock);
        check = gPrivilegedCheck;
    }
    return check ? check() : ::geteuid() == 0;
}

void setPrivilegedCheck(std::function<bool()> check) {
    QMutexLocker lock(&gCheckLock);
    gPrivilegedCheck = std::move(check);
}

bool rootOnly(const QString &path, QString *why) {
    auto refuse = [&](const QString &text) {
        if (why) *why = text;
        return false;
    };
    // The real path: a link is as good as its target, and every directory on
    // the way to the target must be root's alone (links among them were made
    // by root when their directories are).
    const QByteArray name = QFile::encodeName(path);
    char real[PATH_MAX];
    if (name.isEmpty() || !::realpath(name.constData(), real))
        return refuse(path + QStringLiteral(": not found"));
    struct stat st;
    if (::stat(real, &st) != 0) return refuse(path + QStringLiteral(": not found"));
    if (!S_ISREG(st.st_mode)) return refuse(path + QStringLiteral(": not a regular file"));
    if (!rootOnlyMode(st))
        return refuse(path + QStringLiteral(": not root's alone (owner or group/other write)"));
    QByteArray dir(real);
    do {
        const qsizetype slash = dir.lastIndexOf('/');
        dir = slash > 0 ? dir.left(slash) : QByteArray("/");
        if (::stat(dir.constData(), &st) != 0 || !rootOnlyMode(st))
            return refuse(path + QStringLiteral(": its directory %1 is not root's alone")
                                     .arg(QFile::decodeName(dir)));
    } while (dir != "/");
    return true;
}

QString installedFile(const QString &name) {
    const QString dir = installedDataDir();
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/') + name;
}

QString installedProgram(const QString &name) {
    const QString dir = installedHelperDir();
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/') + name;
}

QString setupPath(const QString &installed, const QString &name) {
    if (installed.isEmpty() || QFileInfo::exists(installed)) return installed;
    const QString beside = programDir() + QLatin1Char('/') + name;
    return QFileInfo::exists(beside) ? beside : installed;
}

QString find(const QString &name) {
    if (QFileInfo(name).isFile()) return name;
    const QString dir = installedDataDir();
    if (!dir.isEmpty()) {
        const QString installed = dir + QLatin1Char('/') + name;
        if (QFileInfo(installed).isFile()) return installed;
    }
    return name;
}

QString findProgram(const QString &name) {
    if (privileged()) {
        const QString installed = installedProgram(name);
        return installed.isEmpty() ? name : installed;
    }
    const QFileInfo local(name);
    if (local.isFile() && local.isExecutable()) return local.absoluteFilePath();
    const QString dir = installedHelperDir();
    if (!dir.isEmpty()) {
        const QFileInfo installed(dir + QLatin1Char('/') + name);
        if (installed.isFile() && installed.isExecutable()) return installed.absoluteFilePath();
    }
    return name;
}

} // namespace DataFiles
