// The one thread that writes burn records. A burn's record is written when it
// starts (result "running") and again as each step is entered (update());
// its finished record goes to submit(). Both only queue; the recorder thread
// commits to the station's SQLite store in the order given, and for a
// finished record releases the port's result for painting and tells the
// observer; it wakes the forwarder when the line has a server. At its start
// every record an earlier run left "running" becomes "interrupted".
//
// A store that cannot be written (disk full, read-only, a path that is not a
// directory) does not stop the station: the records stay in memory, the log
// panel says so once, and they are written as soon as the store works again.
#ifndef BURNRECORDER_H
#define BURNRECORDER_H

#include <QString>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "burnrecord.h"

class RecordForwarder;

class BurnRecorder {
  public:
    struct Options {
        QString storePath;  // the SQLite file
        QString forwardUrl; // postgresql://...; empty: records stay local
        QString station;    // the station field of every record
        int retryMs = 2000; // an unwritable store is tried again this often
    };
    explicit BurnRecorder(Options options);
    // Writes what is still queued (one more try), then ends both threads.
    ~BurnRecorder();
    BurnRecorder(const BurnRecorder &) = delete;
    BurnRecorder &operator=(const BurnRecorder &) = delete;

    // The recorder burn threads hand their records to; null: records off.
    // Set it before burning starts and clear it only after every burn thread
    // has ended.
    static BurnRecorder *active();
    static void setActive(BurnRecorder *recorder);

    // The imported upgrade package: its file name and SHA-256 go into every
    // record of a burn started from now on. Hashes the file in the caller's
    // thread. An empty path: no package.
    void setPackage(const QString &path);
    // Station, variant, package and plan fields a new burn's record starts with.
    BurnRecord baseRecord(int port, int planCommands) const;

    // Any thread; never waits for the disk. `ticket` is the one the port's
    // result gate was held with (ResultGate::hold).
    void submit(BurnRecord record, uint32_t ticket);
    // Any thread: the record of a burn under way (or one that ended without
    // a result); written like a finished one, but no result is released and
    // the observer is not told.
    void update(BurnRecord record);

    // Called on the recorder thread once per record after its first write
    // attempt: stored false means it is held in memory for now.
    using Observer = std::function<void(const BurnRecord &record, bool stored)>;
    void setObserver(Observer observer);

    // Waits until every submitted record has had its first write attempt and
    // none is held in memory; false on time-out.
    bool flush(int timeoutMs);
    // Records waiting in memory for the store.
    int heldCount() const;
    QString storePath() const { return mOptions.storePath; }
    // Null when the records are not forwarded.
    RecordForwarder *forwarder() const { return mForwarder.get(); }

  private:
    struct Pending {
        BurnRecord record;
        uint32_t ticket = 0;
        bool finished = true; // submit(); false: update()
    };
    void run();
    void say(const QString &text);

    Options mOptions;
    std::unique_ptr<RecordForwarder> mForwarder;

    mutable std::mutex mLock;
    std::condition_variable mWake;
    std::condition_variable mProgress;
    std::deque<Pending> mQueue; // submitted, not yet tried
    int mHeldCount = 0;         // tried and kept in memory (the thread's list)
    bool mStopping = false;
    bool mBusy = false; // the thread is trying records taken from the queue
    Observer mObserver;
    QString mPackage, mPackageSha256;
    std::thread mThread;
};

#endif
