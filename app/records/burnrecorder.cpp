#include "burnrecorder.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <chrono>

#include "buildvariant.h"
#include "burnstate.h"
#include "recordforwarder.h"
#include "recordstore.h"
#include "resultgate.h"

namespace {

std::atomic<BurnRecorder *> gActive{nullptr};

QString sha256Of(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&f)) return QString();
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

BurnRecorder *BurnRecorder::active() {
    return gActive.load();
}

void BurnRecorder::setActive(BurnRecorder *recorder) {
    gActive.store(recorder);
}

BurnRecorder::BurnRecorder(Options options) : mOptions(std::move(options)) {
    if (!mOptions.forwardUrl.isEmpty())
        mForwarder = std::make_unique<RecordForwarder>(mOptions.storePath, mOptions.forwardUrl,
                                                       mOptions.retryMs);
    // Busy until the start's marking of interrupted burns was tried, so a
    // flush() waits for it too.
    mBusy = true;
    mThread = std::thread([this] { run(); });
}

BurnRecorder::~BurnRecorder() {
    if (gActive.load() == this) gActive.store(nullptr);
    {
        std::lock_guard<std::mutex> lock(mLock);
        mStopping = true;
    }
    mWake.notify_all();
    mThread.join();
    mForwarder.reset();
}

void BurnRecorder::setPackage(const QString &path) {
    const QString name = path.isEmpty() ? QString() : QFileInfo(path).fileName();
    const QString sha = path.isEmpty() ? QString() : sha256Of(path);
    std::lock_guard<std::mutex> lock(mLock);
    mPackage = name;
    mPackageSha256 = sha;
}

BurnRecord BurnRecorder::baseRecord(int port, int planCommands) const {
    BurnRecord r;
    r.station = mOptions.station;
    r.variant = buildVariant() == BuildVariant::SingleDevice ? QStringLiteral("single")
                                                             : QStringLiteral("multi");
    r.port = port;
    r.portPath = gPortInfo[port].portPath.get();
    r.planCommands = planCommands;
    std::lock_guard<std::mutex> lock(mLock);
    r.package = mPackage;
    r.packageSha256 = mPackageSha256;
    return r;
}

void BurnRecorder::submit(BurnRecord record, uint32_t ticket) {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mQueue.push_back({std::move(record), ticket});
    }
    mWake.notify_all();
}

void BurnRecorder::update(BurnRecord record) {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mQueue.push_back({std::move(record), 0, false});
    }
    mWake.notify_all();
}

void BurnRecorder::setObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(mLock);
    mObserver = std::move(observer);
}

bool BurnRecorder::flush(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mLock);
    return mProgress.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return mQueue.empty() && !mBusy && mHeldCount == 0; });
}

int BurnRecorder::heldCount() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mHeldCount;
}

// One line in the log panel (through the general log the refresh moves there).
void BurnRecorder::say(const QString &text) {
    qWarning().noquote() << text;
    appendMainLogLine(text);
}

void BurnRecorder::run() {
    RecordStore store;
    std::vector<Pending> held; // tried and not written: kept until the store works
    bool broken = false;       // the panel was told the store cannot write
    const bool outbox = mForwarder != nullptr;
    // Burns an earlier run left under way were cut short by its end: marked
    // so before anything of this run is written (retried with every write
    // until the store works).
    bool interruptPending = true;
    const auto interruptLeftovers = [&] {
        QStringList ids;
        if (!store.interruptRunning(outbox, &ids)) {
            qWarning().noquote() << "burn records: cannot mark the burns an earlier run left "
                                    "under way:"
                                 << store.errorText();
            return false;
        }
        interruptPending = false;
        if (!ids.isEmpty())
            say(QStringLiteral("burn records: %1 burn(s) under way when the station last ended "
                               "are recorded as interrupted")
                    .arg(ids.size()));
        return true;
    };
    // No store yet: nothing was left under way (and none is made before the
    // first record).
    if (!QFileInfo::exists(mOptions.storePath))
        interruptPending = false;
    else if (store.open(mOptions.storePath) && !interruptLeftovers())
        store.close();
    {
        std::lock_guard<std::mutex> lock(mLock);
        mBusy = false;
    }
    mProgress.notify_all();
    // Records a previous run left for the server go out first.
    if (mForwarder) mForwarder->wake();

    for (;;) {
        std::vector<Pending> fresh;
        bool stopping;
        {
            std::unique_lock<std::mutex> lock(mLock);
            const auto ready = [this] { return mStopping || !mQueue.empty(); };
            if (held.empty())
                mWake.wait(lock, ready);
            else
                mWake.wait_for(lock, std::chrono::milliseconds(mOptions.retryMs), ready);
            stopping = mStopping;
            while (!mQueue.empty()) {
                fresh.push_back(std::move(mQueue.front()));
                mQueue.pop_front();
            }
            mBusy = !fresh.empty();
            if (stopping && fresh.empty() && held.empty()) break;
        }

        // Held records first: the store keeps the order they were made in.
        QVector<BurnRecord> batch;
        for (const Pending &p : held)
            batch.append(p.record);
        for (const Pending &p : fresh)
            batch.append(p.record);

        bool written = false;
        if (store.isOpen() || store.open(mOptions.storePath))
            written = (!interruptPending || interruptLeftovers()) && store.write(batch, outbox);
        if (!written) store.close(); // opened afresh on the next try

        if (written) {
            if (broken) {
                say(QStringLiteral("burn records: the store %1 works again; %2 kept record(s) "
                                   "written")
                        .arg(mOptions.storePath)
                        .arg(held.size()));
                broken = false;
            }
            held.clear();
            if (mForwarder) mForwarder->wake();
        } else if (!broken) {
            say(QStringLiteral("burn records: cannot write %1 (%2); burning goes on and the "
                               "records are kept in memory until the store works again")
                    .arg(mOptions.storePath, store.errorText()));
            broken = true;
        }

        // A fresh record's result may be painted now: it is on disk, or it
        // is safe in memory while the store is broken.
        Observer observer;
        {
            std::lock_guard<std::mutex> lock(mLock);
            observer = mObserver;
        }
        for (Pending &p : fresh) {
            if (!p.finished) continue;
            ResultGate::release(p.record.port, p.ticket);
            if (observer) observer(p.record, written);
        }
        if (!written)
            for (Pending &p : fresh)
                held.push_back(std::move(p));

        {
            std::lock_guard<std::mutex> lock(mLock);
            mBusy = false;
            mHeldCount = int(held.size());
        }
        mProgress.notify_all();
        if (stopping) {
            std::lock_guard<std::mutex> lock(mLock);
            if (mQueue.empty()) {
                // One last try was made; what is still held is lost with the
                // process, and said so.
                if (!held.empty())
                    qWarning().noquote()
                        << "burn records:" << held.size() << "record(s) could not be written to"
                        << mOptions.storePath;
                break;
            }
        }
    }
    store.close();
}
