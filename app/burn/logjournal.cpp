#include "logjournal.h"

#include <QDir>
#include <QFileInfo>
#include <atomic>

#include "logfiles.h"

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

std::atomic<LogJournal *> gActive{nullptr};

// The data of `file` on the disk (its size too; other metadata need not be).
bool syncData(QFile &file) {
#ifdef Q_OS_WIN
    return _commit(file.handle()) == 0;
#elif defined(Q_OS_MACOS)
    return ::fsync(file.handle()) == 0;
#else
    return ::fdatasync(file.handle()) == 0;
#endif
}

QString freeName(const QString &path) {
    if (!QFileInfo::exists(path)) return path;
    QString base = path;
    base.chop(4); // ".log"
    for (int n = 2;; ++n) {
        const QString candidate = base + QLatin1Char('-') + QString::number(n) + ".log";
        if (!QFileInfo::exists(candidate)) return candidate;
    }
}

} // namespace

QString LogJournal::pathFor(const QString &logDir, const QDateTime &t) {
    return QDir(logDir).filePath(QStringLiteral("journal_") +
                                 t.toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss")) +
                                 QStringLiteral(".log"));
}

QStringList LogJournal::recoverDead(const QString &logDir, QStringList *failed) {
    QStringList saved;
    const QDir dir(logDir);
    const QFileInfoList journals =
        dir.entryInfoList({QStringLiteral("journal_*.log")}, QDir::Files, QDir::Name);
    for (const QFileInfo &info : journals) {
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly)) {
            if (failed) *failed << info.filePath();
            continue;
        }
        QString text = QString::fromUtf8(file.readAll());
        file.close();
        if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
        if (text.isEmpty()) {
            QFile::remove(info.filePath());
            continue;
        }
        const QDateTime died = info.lastModified();
        const QString name = freeName(dir.filePath(died.toString(QStringLiteral("MM.dd.hh.mm")) +
                                                   QStringLiteral("_recovered.log")));
        if (!LogFiles::writeSavedLog(name, text)) {
            if (failed) *failed << info.filePath();
            continue;
        }
        QFile::remove(info.filePath());
        saved << name;
    }
    return saved;
}

LogJournal::~LogJournal() {
    if (gActive.load() == this) gActive.store(nullptr);
    {
        std::lock_guard<std::mutex> lock(mLock);
        mStopping = true;
    }
    mWake.notify_all();
    if (mSyncer.joinable()) mSyncer.join();
}

void LogJournal::syncLoop() {
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
        mWake.wait(lock, [this] { return mStopping || mSyncFd >= 0; });
        if (mSyncFd < 0) return; // stopping, nothing left to sync
        const int fd = mSyncFd;
        const unsigned long asked = mAsked;
        mSyncFd = -1;
        lock.unlock();
        // The duplicate keeps the file open even if the journal is closed
        // or removed meanwhile. It is closed under the lock: the next sync()
        // may be given the same descriptor number by dup(), and must not be
        // able to before this close.
#ifdef Q_OS_WIN
        _commit(fd);
        lock.lock();
        _close(fd);
#elif defined(Q_OS_MACOS)
        ::fsync(fd);
        lock.lock();
        ::close(fd);
#else
        ::fdatasync(fd);
        lock.lock();
        ::close(fd);
#endif
        mDone = asked;
        mSynced.notify_all();
    }
}

bool LogJournal::open(const QString &path) {
    std::lock_guard<std::mutex> lock(mLock);
    mFile.close();
    QDir().mkpath(QFileInfo(path).absolutePath());
    mFile.setFileName(freeName(path));
    // Unbuffered: every append is a write() of its own, so the lines are in
    // the kernel's hands at once and only the disk sync waits for the refresh.
    return mFile.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered);
}

bool LogJournal::isOpen() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mFile.isOpen();
}

QString LogJournal::path() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mFile.fileName();
}

void LogJournal::append(const QString &text) {
    const QByteArray bytes = text.toUtf8() + '\n';
    std::lock_guard<std::mutex> lock(mLock);
    if (!mFile.isOpen()) return;
    if (mFile.write(bytes) != bytes.size()) mBroken = true;
    mDirty = true;
}

void LogJournal::sync() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (!mFile.isOpen() || !mDirty) return;
        mDirty = false;
        ++mAsked;
        if (mSyncFd >= 0) return; // the one waiting covers these lines too
#ifdef Q_OS_WIN
        mSyncFd = _dup(mFile.handle());
#else
        mSyncFd = ::dup(mFile.handle());
#endif
        if (mSyncFd < 0) {
            syncData(mFile); // no descriptor to spare: synced here
            mDone = mAsked;
            return;
        }
        if (!mSyncer.joinable()) mSyncer = std::thread([this] { syncLoop(); });
    }
    mWake.notify_all();
}

void LogJournal::waitSynced() {
    std::unique_lock<std::mutex> lock(mLock);
    mSynced.wait(lock, [this] { return mDone >= mAsked; });
}

bool LogJournal::intact() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mFile.isOpen() && !mBroken;
}

QString LogJournal::text() const {
    std::lock_guard<std::mutex> lock(mLock);
    if (!mFile.isOpen()) return QString();
    QFile reader(mFile.fileName());
    if (!reader.open(QIODevice::ReadOnly)) return QString();
    QString text = QString::fromUtf8(reader.readAll());
    if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
    return text;
}

void LogJournal::truncate() {
    std::lock_guard<std::mutex> lock(mLock);
    if (!mFile.isOpen()) return;
    mBroken = !mFile.resize(0) || !mFile.seek(0);
    syncData(mFile);
    mDirty = false;
}

void LogJournal::remove() {
    std::lock_guard<std::mutex> lock(mLock);
    if (!mFile.isOpen()) return;
    mFile.close();
    QFile::remove(mFile.fileName());
    mDirty = false;
}

LogJournal *LogJournal::active() {
    return gActive.load();
}

void LogJournal::setActive(LogJournal *journal) {
    gActive.store(journal);
}
