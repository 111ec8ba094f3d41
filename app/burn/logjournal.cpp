#include "logjournal.h"

#include <QDir>
#include <QFileInfo>
#include <atomic>

#include "logfiles.h"
#include "tracemoor.h"

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

LogJournal::RunStart LogJournal::startRun(LogJournal &journal, const QDateTime &started) {
    const QString logDir = QString::fromLatin1(LogFiles::kLogDir);
    QDir().mkdir(logDir);
    vyr_open_logfile(LogFiles::usbLogPath(started).toLatin1().constData(), 1);
    RunStart start;
    start.recovered = recoverDead(logDir, &start.unreadable);
    start.journalOpen = journal.open(pathFor(logDir, started));
    if (start.journalOpen) setActive(&journal);
    return start;
}

LogJournal::~LogJournal() {
    if (gActive.load() == this) gActive.store(nullptr);
    {
        std::lock_guard<std::mutex> lock(mLock);
        mStopping = true;
    }
    mWake.notify_all();
    if (mSyncer.joinable()) mSyncer.join();
    if (mSyncFd >= 0) ::close(mSyncFd);
}

void LogJournal::syncLoop() {
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
        mWake.wait(lock, [this] { return mStopping || mPending; });
        if (!mPending) return; // stopping, nothing left to sync
        mPending = false;
        const int fd = mSyncFd;
        const unsigned long asked = mAsked;
        mSyncing = true;
        lock.unlock();
        // The duplicate stays open until this sync has ended (dropSyncFd
        // waits for it), even if the journal is closed or removed meanwhile.
#ifdef Q_OS_WIN
        _commit(fd);
#elif defined(Q_OS_MACOS)
        ::fsync(fd);
#else
        ::fdatasync(fd);
#endif
        lock.lock();
        mSyncing = false;
        if (mDone < asked) mDone = asked;
        mSynced.notify_all();
    }
}

// Called with the lock held, before the file is closed: waits for a sync in
// progress, then closes the duplicate. A sync asked for and not yet taken is
// over too: the file it was for is being closed.
void LogJournal::dropSyncFd(std::unique_lock<std::mutex> &lock) {
    mSynced.wait(lock, [this] { return !mSyncing; });
    if (mSyncFd >= 0) {
#ifdef Q_OS_WIN
        _close(mSyncFd);
#else
        ::close(mSyncFd);
#endif
    }
    mSyncFd = -1;
    mPending = false;
    mDone = mAsked;
    mSynced.notify_all();
}

bool LogJournal::open(const QString &path) {
    std::unique_lock<std::mutex> lock(mLock);
    dropSyncFd(lock);
    mFile.close();
    QDir().mkpath(QFileInfo(path).absolutePath());
    mFile.setFileName(freeName(path));
    // Unbuffered: every append is a write() of its own, so the lines are in
    // the kernel's hands at once and only the disk sync waits for the refresh.
    if (!mFile.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;
#ifdef Q_OS_WIN
    mSyncFd = _dup(mFile.handle());
#else
    mSyncFd = ::dup(mFile.handle());
#endif
    return true;
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
        if (mSyncFd < 0) {
            syncData(mFile); // no descriptor to spare: synced here
            mDone = mAsked;
            return;
        }
        mPending = true; // one waiting covers every line appended before it is taken
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
    std::unique_lock<std::mutex> lock(mLock);
    if (!mFile.isOpen()) return;
    dropSyncFd(lock);
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
