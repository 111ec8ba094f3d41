// Copies onto the recovery volume, flushed to the device before success.
#include "volumewriter.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "devicegate.h"

namespace {

constexpr size_t kCopyBlock = 1 << 20;

int closeKeepingError(int fd, int err) {
    ::close(fd);
    return err;
}

int writeAll(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

int systemCopyFile(const char *from, const char *to) {
    const int in = ::open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    const int out = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) return closeKeepingError(in, errno);
    std::vector<char> block(kCopyBlock);
    int err = 0;
    for (;;) {
        const ssize_t n = ::read(in, block.data(), block.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        if (n == 0) break;
        err = writeAll(out, block.data(), static_cast<size_t>(n));
        if (err != 0) break;
    }
    ::close(in);
    // A full disk may only show when the last blocks are handed over.
    if (::close(out) != 0 && err == 0) err = errno;
    if (err != 0) ::unlink(to);
    return err;
}

int systemRemoveFile(const char *path) {
    return ::unlink(path) == 0 ? 0 : errno;
}

int systemMakeDirectory(const char *path) {
    return ::mkdir(path, 0755) == 0 ? 0 : errno;
}

int systemSyncPath(const char *path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = ::fsync(fd) == 0 ? 0 : errno;
    return closeKeepingError(fd, err);
}

int systemSyncFileSystem(const char *path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = ::syncfs(fd) == 0 ? 0 : errno;
    return closeKeepingError(fd, err);
}

const VolumeFileOps kSystemOps{systemCopyFile, systemRemoveFile, systemMakeDirectory,
                               systemSyncPath, systemSyncFileSystem};
std::atomic<const VolumeFileOps *> gOps{&kSystemOps};

QByteArray local(const QString &path) {
    return QFile::encodeName(path);
}

} // namespace

const VolumeFileOps &systemVolumeFileOps() {
    return kSystemOps;
}

const VolumeFileOps &volumeFileOps() {
    return *gOps.load();
}

void setVolumeFileOps(const VolumeFileOps *ops) {
    gOps.store(ops ? ops : &kSystemOps);
}

VolumeWriter::VolumeWriter(const QString &volume, const DeviceGate *gate)
    : mOps(volumeFileOps()), mVolume(volume), mGate(gate) {}

bool VolumeWriter::refused() {
    if (!mGate || mGate->isOpen()) return false;
    mError = QStringLiteral("stopped");
    return true;
}

// The error text names the operation and the entry by its name only: it is
// appended to a port log line, whose pending text has a length limit.
bool VolumeWriter::failed(const QString &what, const QString &path, int err, bool named) {
    mError = what;
    if (named) mError += QLatin1Char(' ') + QFileInfo(path).fileName();
    mError += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
    qDebug().noquote() << "volume:" << what << path << std::strerror(err);
    return false;
}

void VolumeWriter::changed(const QString &path) {
    mChangedDirs.insert(QFileInfo(path).absolutePath());
}

bool VolumeWriter::copyFile(const QString &from, const QString &to) {
    if (refused()) return false;
    const QByteArray target = local(to);
    if (const int err = mOps.copyFile(local(from).constData(), target.constData()))
        return failed(QStringLiteral("copy to"), to, err);
    mCreated.append(to);
    changed(to);
    if (const int err = mOps.syncPath(target.constData()))
        return failed(QStringLiteral("flush"), to, err);
    return true;
}

bool VolumeWriter::removeFile(const QString &path) {
    if (refused()) return false;
    if (const int err = mOps.removeFile(local(path).constData()))
        return failed(QStringLiteral("remove"), path, err);
    changed(path);
    return true;
}

bool VolumeWriter::makeDirectory(const QString &path) {
    if (refused()) return false;
    if (const int err = mOps.makeDirectory(local(path).constData()))
        return failed(QStringLiteral("make directory"), path, err);
    changed(path);
    return true;
}

bool VolumeWriter::finish() {
    if (refused()) return false;
    for (const QString &dir : std::as_const(mChangedDirs)) {
        if (const int err = mOps.syncPath(local(dir).constData()))
            return failed(QStringLiteral("flush"), dir, err);
    }
    mChangedDirs.clear();
    if (const int err = mOps.syncFileSystem(local(mVolume).constData()))
        return failed(QStringLiteral("flush volume"), mVolume, err, false);
    return true;
}

void VolumeWriter::discard() {
    for (const QString &path : std::as_const(mCreated))
        mOps.removeFile(local(path).constData());
    mCreated.clear();
}
