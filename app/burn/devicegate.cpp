#include "devicegate.h"

#include <chrono>

#include "burnclock.h"

void DeviceGate::close() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mOpen.store(false);
    }
    mClosed.notify_all();
}

void DeviceGate::open() {
    std::lock_guard<std::mutex> lock(mLock);
    mOpen.store(true);
}

bool DeviceGate::pause(int ms) {
    const int real = BurnClock::scaledMs(ms);
    std::unique_lock<std::mutex> lock(mLock);
    if (real > 0)
        mClosed.wait_for(lock, std::chrono::milliseconds(real), [this] { return !mOpen.load(); });
    return mOpen.load();
}
