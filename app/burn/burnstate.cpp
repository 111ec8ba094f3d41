#include "burnstate.h"

#include "burnclock.h"
#include "burnplan.h"

#include <algorithm>

QString SharedText::get() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mText;
}

void SharedText::set(const QString &text) {
    std::lock_guard<std::mutex> lock(mLock);
    mText = text;
}

void SharedText::append(const QString &text) {
    std::lock_guard<std::mutex> lock(mLock);
    mText += text;
}

QString SharedText::take() {
    std::lock_guard<std::mutex> lock(mLock);
    QString text;
    text.swap(mText);
    return text;
}

bool SharedText::isEmpty() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mText.isEmpty();
}

int SharedText::length() const {
    std::lock_guard<std::mutex> lock(mLock);
    return int(mText.length());
}

bool SharedText::operator==(const QString &text) const {
    std::lock_guard<std::mutex> lock(mLock);
    return mText == text;
}

std::atomic<bool> gAppRunning{false};
std::atomic<bool> gBurning{false};
std::atomic<int> gSuccessCount{0};
std::atomic<int> gFailCount{0};
std::atomic<int> gFailCountByStep[FAIL_STEP_SLOTS];
std::atomic<int> gStepCount{0};
std::atomic<bool> gDeviceChanged{false};
std::atomic<bool> gRescanRequest{false};
std::atomic<bool> gDriverInstalling{false};
std::atomic<bool> gEraseMode{false};

RwLock gScanLock;
RwLock gLogLock;
RwLock gRunLock;
RwLock gPortLock;

SharedText gUpgradeDir;
SharedText gPcVersion;
SharedText mediaFilesPath;
std::atomic<bool> gPortLogPending[PORT_COUNT];
PortLog gPortLog[PORT_COUNT];
std::atomic<int> gPortLogHidden[PORT_COUNT];
SharedText gMainLog;
std::atomic<int> gDevCount{0};
SharedText gDevPath[DEV_PATH_SLOTS];
PortInfo gPortInfo[PORT_COUNT];
SharedText gEraseCommand;
std::atomic<int> gUiTick{0};

namespace {
// The installed plan. Only swapped and copied under its own mutex; the plan
// object itself is immutable, so snapshots are read without any lock.
std::mutex gBurnPlanLock;
std::shared_ptr<const BurnPlan> gBurnPlan;
} // namespace

std::shared_ptr<const BurnPlan> burnPlan() {
    std::lock_guard<std::mutex> lock(gBurnPlanLock);
    return gBurnPlan;
}

void setBurnPlan(std::shared_ptr<const BurnPlan> plan) {
    const int count = plan ? plan->commandCount() : 0;
    std::shared_ptr<const BurnPlan> old;
    {
        std::lock_guard<std::mutex> lock(gBurnPlanLock);
        old.swap(gBurnPlan);
        gBurnPlan = std::move(plan);
        gStepCount = count;
    }
    // old is released here, outside the lock: freeing a plan is not free.
}

void resetStatistics() {
    const std::shared_ptr<const BurnPlan> plan = burnPlan();
    WriteLocker lock(&gLogLock);
    gSuccessCount = 0;
    gFailCount = 0;
    gStepCount = plan ? plan->commandCount() : 0;
    // Every entry, not just the first gStepCount: a later plan with more
    // commands must not show counts left over from an earlier one.
    for (std::atomic<int> &n : gFailCountByStep)
        n = 0;
}

void recordSuccess() {
    WriteLocker lock(&gLogLock);
    ++gSuccessCount;
}

void recordFailure(int step) {
    WriteLocker lock(&gLogLock);
    ++gFailCount;
    if (step >= 0 && step < FAIL_STEP_SLOTS) ++gFailCountByStep[step];
}

void appendMainLogLine(const QString &text) {
    WriteLocker lock(&gLogLock);
    if (!gMainLog.isEmpty()) gMainLog.append(QStringLiteral("\n"));
    gMainLog.append(QStringLiteral("[") + BurnClock::timeOfDay() + QStringLiteral("]: ") + text);
}

QStringList currentDevPaths() {
    const int count = std::min<int>(gDevCount, DEV_PATH_SLOTS);
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths << gDevPath[i].get();
    return paths;
}

bool isDevPathListed(const QString &path) {
    const int count = std::min<int>(gDevCount, DEV_PATH_SLOTS);
    for (int i = 0; i < count; ++i) {
        if (gDevPath[i] == path) return true;
    }
    return false;
}

void resetBurnState() {
    setBurnPlan(nullptr);
    gAppRunning = false;
    gBurning = false;
    gDeviceChanged = false;
    gRescanRequest = false;
    gDriverInstalling = false;
    gEraseMode = false;
    {
        WriteLocker lock(&gLogLock);
        gSuccessCount = 0;
        gFailCount = 0;
        for (std::atomic<int> &n : gFailCountByStep)
            n = 0;
        for (int p = 0; p < PORT_COUNT; ++p) {
            gPortLogPending[p] = false;
            gPortLogHidden[p] = 0;
            gPortLog[p].port = p;
            gPortLog[p].text.set(QString());
        }
        gMainLog.set(QString());
    }
    gStepCount = 0;
    gUpgradeDir.set(QString());
    gPcVersion.set(QString());
    mediaFilesPath.set(QString());
    gEraseCommand.set(QString());
    gUiTick = 0;
    {
        WriteLocker lock(&gScanLock);
        gDevCount = 0;
        for (SharedText &path : gDevPath)
            path.set(QString());
    }
    for (PortInfo &port : gPortInfo) {
        port.portPath.set(QString());
        port.handle = 0;
        port.status = PORT_STATUS_NONE;
        port.progress = 0;
        port.devId.set(QString());
        port.lastResult = 0;
        port.message.set(QString());
    }
}
