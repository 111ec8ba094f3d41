#include "devicegate.h"

#include <chrono>

#include "burnclock.h"
#include "romvane.h"

void DeviceGate::close() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mOpen.store(false);
        // Under the lock, so that the handle cannot be let go (and closed by
        // its owner) while it is being cancelled.
        if (mBound != 0) VyrCancelDevice(mBound);
    }
    mClosed.notify_all();
}

void DeviceGate::open() {
    std::lock_guard<std::mutex> lock(mLock);
    if (mBound != 0) VyrResumeDevice(mBound);
    mOpen.store(true);
}

void DeviceGate::bind(VyrHandle handle) {
    std::lock_guard<std::mutex> lock(mLock);
    if (mBound == handle) return;
    if (mBound != 0) VyrResumeDevice(mBound);
    mBound = handle;
    if (mBound != 0 && !mOpen.load()) VyrCancelDevice(mBound);
}

bool DeviceGate::pause(int ms) {
    const int real = BurnClock::scaledMs(ms);
    std::unique_lock<std::mutex> lock(mLock);
    if (real > 0)
        mClosed.wait_for(lock, std::chrono::milliseconds(real), [this] { return !mOpen.load(); });
    return mOpen.load();
}
