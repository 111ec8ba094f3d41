// The switch that ends a port's talk with its device. Every device request a
// burn thread makes (through LoaderChannel, the recovery handshake or a copy
// onto the volume) asks the port's gate first; once the station closes the
// gate (the program closes, or Stop) a request fails at once without touching
// the device, so a step on a device that stopped answering ends after the one
// request already on its way, not after every request of the step has waited
// for its own time-out. The step's pauses end early too.
//
// Open while the port burns; the station closes it and opens it again when it
// starts the port's thread anew. Thread-safe.
#ifndef DEVICEGATE_H
#define DEVICEGATE_H

#include <atomic>
#include <condition_variable>
#include <mutex>

class DeviceGate {
  public:
    bool isOpen() const { return mOpen.load(); }
    // From now on no further request: wakes a pause in progress.
    void close();
    void open();

    // Sleeps `ms` milliseconds of the engine's clock (BurnClock), or until the
    // gate closes. False when the gate is closed.
    bool pause(int ms);

  private:
    std::atomic<bool> mOpen{true};
    std::mutex mLock;
    std::condition_variable mClosed;
};

#endif
