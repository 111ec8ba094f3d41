// The switch that ends a port's talk with its device. Every device request a
// burn thread makes (through LoaderChannel, the recovery handshake or a copy
// onto the volume) asks the port's gate first; once the station closes the
// gate (the program closes, or Stop) a request fails at once without touching
// the device, so a step on a device that stopped answering ends after the one
// request already on its way, not after every request of the step has waited
// for its own time-out. The step's pauses end early too.
//
// The request already on its way ends too: the gate knows the handle the port
// talks to (bind), and closing it cancels that handle in Romvane
// (VyrCancelDevice), which ends its transfers in flight at once and stops the
// export's retries; opening the gate lifts the cancel again.
//
// Open while the port burns; the station closes it and opens it again when it
// starts the port's thread anew. Thread-safe.
#ifndef DEVICEGATE_H
#define DEVICEGATE_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "vyrhandle.h"

class DeviceGate {
  public:
    bool isOpen() const { return mOpen.load(); }
    // From now on no further request: wakes a pause in progress.
    void close();
    // Refuses further requests without cancelling the one in flight. A line
    // shuts every port's gate before it closes any: a cancelled request frees
    // the turn its port held, and another port must not take that turn and
    // send before its own gate is shut.
    void shut() { mOpen.store(false); }
    void open();

    // The port talks to `handle` from now on (0: none). The handle bound
    // before is let go, its cancel lifted: its owner closes it next. Bound
    // while the gate is closed, the handle is cancelled at once.
    void bind(VyrHandle handle);

    // Sleeps `ms` milliseconds of the engine's clock (BurnClock), or until the
    // gate closes. False when the gate is closed.
    bool pause(int ms);

  private:
    std::atomic<bool> mOpen{true};
    VyrHandle mBound = 0; // guarded by mLock
    std::mutex mLock;
    std::condition_variable mClosed;
};

#endif
