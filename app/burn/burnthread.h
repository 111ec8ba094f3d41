// BurnThread: the worker that burns the device on one port. Its state is the
// port's status in gPortInfo; one tick advances it by one step, once a second.
//
// The operations are split by concern over several files, all members of this
// class: burnthread.cpp (tick, log line, presence, handle, identify),
// statemachine.cpp (the per-status step), bootloading.cpp (walking the plan
// through ROM and loaders), memorychannel.cpp (device RAM and the command
// channels, through LoaderChannel) and massstorage.cpp (the volume and the
// file copies).
#ifndef BURNTHREAD_H
#define BURNTHREAD_H

#include <QDir>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "burntrace.h"
#include "devicegate.h"
#include "loaderchannel.h"
#include "vyrhandle.h"

class BurnPlan;
class VolumeWriter;
struct BurnCommand;

class BurnThread : public QThread {
    Q_OBJECT

  public:
    // A burn still open (no result counted) is recorded as interrupted and
    // its result gate dropped. Called by the thread itself, or by Stop once
    // the thread has ended.
    void interruptRecord();

    // Device RAM address where the engine leaves a text for the boot loader
    // and reads the identification text back.
    static constexpr uint32_t commandRamAddress = 0x8F8E0000u;
    // Name under which ROM-mode devices are found.
    static constexpr const char *deviceName = "Skelmar Device";

    explicit BurnThread(int port, QObject *parent = nullptr);
    ~BurnThread() override;

    // Waits until the thread has finished (QThread::wait) and makes
    // everything it did visible to the caller; used before a thread is
    // deleted or its port is cleared.
    void join();
    // True when the thread is not running; then everything its last run did
    // is visible to the caller (a port's thread object is started again for
    // the port's next burn, and that run reads what the previous one left).
    bool hasEnded() const;

    bool isStopped() const { return mStopped.load(); }
    void setStopped(bool stopped) { mStopped.store(stopped); }
    // The port's device gate: the station closes it when the program closes or
    // on Stop (the step then ends without a further device request, its
    // remaining port log lines unwritten, and the thread's loop ends), and
    // opens it as it starts the thread again.
    DeviceGate &deviceGate() { return mGate; }
    int port() const { return mThreadOrder; }
    // The plan command index the port's burn is at, as of the last tick
    // (front ends show it as "step k of n").
    int currentStep() const { return mStepShown.load(); }

    // One tick of the port's state machine (the thread's loop calls it once
    // a second). The plan a burn starts with is held until the burn ends.
    void tick();

    // Port log line "[T <port>][hh:mm:ss]: <text>".
    void logShow(const QString &text);
    // Sees every port log line as it is made, before the length rule of the
    // port's pending text may drop it (diagnostics and tests). Empty: none.
    using LogObserver = std::function<void(int port, const QString &line)>;
    static void setLogObserver(LogObserver observer);
    bool isDevicePresent() const;
    VyrHandle openDeviceHandle();
    int identifyDevice();

    // State machine (statemachine.cpp).
    void burnProcess();
    void rematchPortInfo();

    // Boot-stage loading (bootloading.cpp): one plan command per tick, walked
    // through the row of kLoadKinds that the command's text selects.
    void loadStep();
    bool loadSpl();
    bool loadUboot();
    void loadUimage();
    int makeDevId();

    // Device RAM and command channels (memorychannel.cpp).
    void writeFileToRam(const QString &path, uint32_t address, bool runAfter);
    void writeCommandToRam(const QString &text, uint32_t address);
    void writeCommandToDefaultRam(const QString &text) {
        writeCommandToRam(text, commandRamAddress);
    }
    QString readIdValue(VyrHandle handle);
    QString sendCommandWithReply(const QString &command, int pollCount);
    bool sendCommandToRecovery(const QString &command);
    QString getUpdateStatus();

    // Mass-storage path (massstorage.cpp).
    QString findDiskPath();
    // Copies a directory tree onto the volume, flushed to the device before
    // it returns true; on false copyError() says why.
    bool copyDirectory(const QDir &fromDir, const QDir &toDir, bool overwrite);
    QString copyError() const { return mCopyError; }

    // A file name taken from a plan command or a directory listing: a plain
    // name that cannot leave the directory it is joined to.
    static bool isPlainFileName(const QString &name);
    // Wait-limit rules: the boot loader wait (status 5) and the wait for the
    // device to leave ROM mode (status 6) take the plan's count within bounds.
    static int bootLoaderWaitLimit(const QString &count);
    static int bootmWaitLimit(const QString &count);
    // Wait-count credit after a prepared file of `bytes` was copied: the copy
    // time at 10 MiB per tick, leaving at least 8 ticks of the limit.
    static int creditPrepareCopy(int waitCount, int waitLimit, qint64 bytes);

  protected:
    void run() override;

    // The channel to the device behind `handle`, through the port's gate.
    LoaderChannel channel(VyrHandle handle) const { return LoaderChannel(handle, &mGate); }
    // A pause of the engine's clock within a step; ends early when the gate
    // closes.
    void pause(int ms) { mGate.pause(ms); }

    // Plan access through the tick's snapshot; out-of-range indexes read as an
    // empty record.
    const BurnCommand &record(int index) const;
    int planCount() const;
    // record(), and an empty record at or beyond the plan's count.
    const BurnCommand &planRecord(int index) const;
    QString recordCommand(int index) const; // trimmed
    void fail();
    void advanceRecoveryCommand();
    bool placeUpdateFile(const QString &fileName);
    bool copyTree(VolumeWriter &writer, const QDir &fromDir, const QDir &toDir, bool overwrite,
                  QStringList &trees);
    // One file onto the volume, flushed; a failed copy leaves nothing behind.
    bool copyFileToVolume(const QString &from, const QString &to);
    void runPreparation();
    void copyMediaCommand();
    void waitForBootLoader(); // PORT_STATUS_UPDATE_BURNING_TOUBOOT
    void waitForRomExit();    // PORT_STATUS_WAIT_BOOTM
    void waitForDisk();       // PORT_STATUS_WAIT_DISK
    void runRecovery();       // PORT_STATUS_RECOVERY
    void holdSuccess();       // PORT_STATUS_SUCCESS
    void holdFailure();       // PORT_STATUS_FAILED
    bool mediaDirLost(const QString &media);
    void resetMembers();

    // Burn record of the current burn (burnrecording.cpp): opened as a burn
    // starts, fed with each tick's status change and every port log line,
    // handed to the recorder the tick its result is counted.
    void beginRecord();
    void recordTick(int statusBefore, bool resultPendingBefore, int linesBefore);
    void advance();
    bool readIdText(VyrHandle handle, QString *text);

    // A kind of loading command (bootloading.cpp).
    enum class Counting {
        Nothing,        // no limit
        Ticks,          // every tick counts, before the attempt
        FailedAttempts, // only an attempt that failed counts
    };
    enum class FailNames { Nothing, File, RamText, Command }; // what %1 of failText is
    using LoadAction = bool (BurnThread::*)(const BurnCommand &rec, const QString &cmdText);
    struct LoadKind {
        const char *command;      // the command's text; nullptr: any other text
        bool isPrefix;            // the text starts with `command`
        bool showsCommand;        // the row shows the command from the start of its tick
        int BurnThread::*counter; // counted against the limit
        Counting counting;
        int failLimit;        // a count above it fails the burn; 0: no limit
        int rescanTick;       // a system rescan is asked at this count; 0: never
        const char *failText; // port log line of that failure
        FailNames failNames;
        const char *debugText; // its debug line; nullptr: failText, "": none
        void (BurnThread::*announce)(const BurnCommand &rec, const QString &cmdText);
        LoadAction attempt; // true: carried out, the next command follows
    };
    static const LoadKind kLoadKinds[];
    static const LoadKind &loadKindOf(const QString &cmdText);
    bool countLoad(const LoadKind &kind, const BurnCommand &rec, const QString &cmdText);
    void announceSpl(const BurnCommand &rec, const QString &cmdText);
    void announceUboot(const BurnCommand &rec, const QString &cmdText);
    void announceUimage(const BurnCommand &rec, const QString &cmdText);
    void announceToRam(const BurnCommand &rec, const QString &cmdText);
    void announceAddr(const BurnCommand &rec, const QString &cmdText);
    bool attemptSpl(const BurnCommand &rec, const QString &cmdText);
    bool attemptUboot(const BurnCommand &rec, const QString &cmdText);
    bool attemptRun(const BurnCommand &rec, const QString &cmdText);
    bool attemptUimage(const BurnCommand &rec, const QString &cmdText);
    bool attemptToRam(const BurnCommand &rec, const QString &cmdText);
    bool attemptCheck(const BurnCommand &rec, const QString &cmdText);
    bool attemptAddr(const BurnCommand &rec, const QString &cmdText);
    bool attemptText(const BurnCommand &rec, const QString &cmdText);

    std::shared_ptr<const BurnPlan> mPlan; // held from the start of a burn to its end

    // Core members.
    int mCurBurnCmd = 0;
    const int mThreadOrder;
    int mMaxBurnWaitNum = 0;
    int mBurnWaitCount = 0;
    std::atomic<bool> mStopped{true};
    DeviceGate mGate;
    std::atomic<int> mRunsEnded{0}; // released at the end of run(), acquired by join()
    bool mResultPending = true;
    bool mNeedDiskCheck = false;
    QString mLastCmdText;
    bool mDiskFound = false;
    QString mDiskPath;
    bool mMediaCopied = false;
    bool mCmdSent = false;
    QString mRecoveryCmd;
    QString mPrepareCmd;
    QString mCopyError;             // why the last copy onto the volume failed
    BurnTrace mTrace;               // open while a burn with records on runs
    std::atomic<int> mStepShown{0}; // mCurBurnCmd after the last tick

    // Boot-stage loading members.
    int mLoadedStage = 0;
    bool mUbootLoaded = false;
    bool mJustLoaded = false;
    int mCrcRetry = 0;
    int mUbootFailCount = 0;
};

#endif
