// The program-wide burn state shared by the window, the device watch thread
// and the eight burn threads.
//
// Locking rules:
// - gScanLock (write): a whole USB scan (gDevCount, gDevPath, ports 0 <-> 1),
//   a burn thread's re-match of a re-enumerated device, the random generator.
// - gLogLock (write): every change of gPortLog, gPortLogPending, gMainLog and
//   of the statistics counters. Innermost: taken inside gPortLock or
//   gScanLock, never the other way round.
// - gRunLock (write): starting loaded code on a device plus the pause after it.
// - gPortLock (write): the window's refresh pass over the table and Stop.
//
// On top of those rules every field here is safe to touch from any thread on
// its own: integers and flags are atomics, every text sits behind its own
// small mutex (SharedText), and the plan is handed out as a shared snapshot.
// The four locks still order the compound steps (a scan, a log append).
#ifndef BURNSTATE_H
#define BURNSTATE_H

#include <QString>
#include <QStringList>

#include <atomic>
#include <shared_mutex>
#include <memory>
#include <mutex>

#include "vyrhandle.h"

class BurnPlan;

// Port status codes: gPortInfo[].status is both the row's state and the step
// of the port's burn. Codes 9 and 10 are not used; 11 and 12 are also the
// values kept in lastResult.
enum PortStatus : int {
    PORT_STATUS_NONE = 0,                   // no device (or removed after a result)
    PORT_STATUS_CONNECTED = 1,              // the scan found a device on the port's path
    PORT_STATUS_START = 2,                  // burn about to start
    PORT_STATUS_WAIT_START = 3,             // device connected while burning is disabled
    PORT_STATUS_LOADING = 4,                // walking the plan through ROM and boot loaders
    PORT_STATUS_UPDATE_BURNING_TOUBOOT = 5, // boot loader started, waiting for its answer
    PORT_STATUS_WAIT_BOOTM = 6,             // bootm sent, waiting for the device to leave ROM
    PORT_STATUS_WAIT_DISK = 7,              // waiting for the mass-storage disk to be ready
    PORT_STATUS_RECOVERY = 8,               // running the remaining commands through the disk
    PORT_STATUS_SUCCESS = 11,               // burn succeeded, waiting for removal
    PORT_STATUS_FAILED = 12,                // burn failed, waiting for removal
};

constexpr int PORT_COUNT = 8;
constexpr int DEV_PATH_SLOTS = 16;
constexpr int FAIL_STEP_SLOTS = 25;
// A port's log text waiting for the window takes lines up to this many
// characters (some thousands of lines: far more than one refresh ever sees);
// past it the window has stopped collecting and further lines only reach
// the journal (counted in gPortLogHidden).
constexpr int PORT_LOG_PENDING_LIMIT = 256 * 1024;

// A text several threads read and write. Each instance has its own mutex;
// it is a leaf lock (nothing else is taken while it is held), so it may be
// used under any of the four locks above. A std::mutex rather than a QMutex:
// ThreadSanitizer sees its hand-over, it cannot see inside the Qt library.
class SharedText {
  public:
    SharedText() = default;
    SharedText(const SharedText &) = delete;
    SharedText &operator=(const SharedText &) = delete;

    QString get() const;
    void set(const QString &text);
    void append(const QString &text);
    // Returns the text and leaves it empty, in one step.
    QString take();
    bool isEmpty() const;
    int length() const;

    operator QString() const { return get(); }
    SharedText &operator=(const QString &text) {
        set(text);
        return *this;
    }
    bool operator==(const QString &text) const;
    bool operator!=(const QString &text) const { return !(*this == text); }

  private:
    mutable std::mutex mLock;
    QString mText;
};

// One port's entry in the port status table. The text fields are
// SharedText (one mutex per field); the numbers are atomics, so a burn
// thread writes its own entry without a lock and the window may read a value
// one refresh old.
struct PortInfo {
    SharedText portPath;              // port path matched to this row; "none" when unassigned
    std::atomic<VyrHandle> handle{0}; // handle opened on portPath; 0 = none
    std::atomic<int> status{PORT_STATUS_NONE};
    std::atomic<int> progress{0};   // 0..100
    SharedText devId;               // identification number written into the device
    std::atomic<int> lastResult{0}; // 0 cleared, 1 started, 11 success, 12 failure
    SharedText message;             // step text shown in the row
};

// Per-port log text not yet shown by the window. Changed only under gLogLock.
struct PortLog {
    std::atomic<int> port{0}; // the record's own index
    SharedText text;
};

extern std::atomic<bool> gAppRunning;
extern std::atomic<bool> gBurning;
extern std::atomic<int> gSuccessCount;
extern std::atomic<int> gFailCount;
// Failures by the plan command index at which they happened. Read freely;
// written only by recordFailure() and resetStatistics().
extern std::atomic<int> gFailCountByStep[FAIL_STEP_SLOTS];
extern std::atomic<int> gStepCount;
extern std::atomic<bool> gDeviceChanged;
extern std::atomic<bool> gRescanRequest;
extern std::atomic<bool> gDriverInstalling;
extern std::atomic<bool> gEraseMode;

// The four burn locks are read-write locks built on std::shared_mutex, so the
// thread checker sees every hand-over (Qt's own lock lives in an
// uninstrumented library). Every user takes them for writing.
class RwLock {
  public:
    void lockForWrite() { mMutex.lock(); }
    void lockForRead() { mMutex.lock_shared(); }
    void unlockWrite() { mMutex.unlock(); }
    void unlockRead() { mMutex.unlock_shared(); }

  private:
    std::shared_mutex mMutex;
};

class WriteLocker {
  public:
    explicit WriteLocker(RwLock *lock) : mLock(lock) { mLock->lockForWrite(); }
    ~WriteLocker() { mLock->unlockWrite(); }
    WriteLocker(const WriteLocker &) = delete;
    WriteLocker &operator=(const WriteLocker &) = delete;

  private:
    RwLock *mLock;
};

extern RwLock gScanLock;
extern RwLock gLogLock;
extern RwLock gRunLock;
extern RwLock gPortLock;

extern SharedText gUpgradeDir; // unpacked upgrade files, ends in a separator
extern SharedText gPcVersion;  // "xp", "win7" or "unknow"
extern SharedText mediaFilesPath;
extern std::atomic<bool> gPortLogPending[PORT_COUNT];
extern PortLog gPortLog[PORT_COUNT];
// Port log lines not put into gPortLog because it was full. Under gLogLock.
extern std::atomic<int> gPortLogHidden[PORT_COUNT];
extern SharedText gMainLog;
extern std::atomic<int> gDevCount; // devices found by the last scan; -1 when it failed
extern SharedText gDevPath[DEV_PATH_SLOTS];
extern PortInfo gPortInfo[PORT_COUNT];
extern SharedText gEraseCommand;
extern std::atomic<int> gUiTick;

// The current burn plan. A burn thread takes a snapshot once per tick and
// keeps using it even if the window installs a new plan meanwhile; the old
// plan is freed when its last snapshot goes. Null until the first plan.
std::shared_ptr<const BurnPlan> burnPlan();
// Installs a new plan (or none) and sets gStepCount to its command count
// (0 for none), so the engine never walks a plan with a stale count.
void setBurnPlan(std::shared_ptr<const BurnPlan> plan);

// Statistics reset of the imports: zeroes gSuccessCount, gFailCount and every
// entry of gFailCountByStep, and sets gStepCount from the current plan.
// Takes gLogLock itself.
void resetStatistics();
// One finished device. Both take gLogLock themselves: call them without it.
void recordSuccess();
// Counts a failure at plan command index step: in gFailCount always, in
// gFailCountByStep only when 0 <= step < FAIL_STEP_SLOTS.
void recordFailure(int step);

// Appends "[hh:mm:ss]: " + text as one line of the general log (gMainLog, which
// the refresh moves into the log panel): after a line break when the log
// already holds text. Takes gLogLock itself: call it without it.
void appendMainLogLine(const QString &text);

// The first gDevCount entries of gDevPath (none when gDevCount <= 0).
QStringList currentDevPaths();
// True when path equals one of the first gDevCount entries of gDevPath.
bool isDevPathListed(const QString &path);

// Puts every variable back to its start value and drops the plan (tests).
void resetBurnState();

#endif
