// The part of libusb's asynchronous interface the libusb backend uses, as a
// table, so that a test can put a device of its own making behind the same
// queue code. libusbAsync is the table of the real library; TransferQueue
// takes the table it is given, and the libusb backend always gives it this one.
#ifndef PIPEWELL_ASYNCUSB_H
#define PIPEWELL_ASYNCUSB_H

#include <libusb.h>
#include <sys/time.h>

namespace pipewell {

struct AsyncUsb {
    libusb_transfer *(*alloc)();
    void (*release)(libusb_transfer *t);
    int (*submit)(libusb_transfer *t);
    int (*cancel)(libusb_transfer *t);
    // Handles events for at most *tv, returning early once *completed is set
    // (libusb_handle_events_timeout_completed on the process's context).
    int (*handleEvents)(timeval *tv, int *completed);
};

extern const AsyncUsb libusbAsync;

} // namespace pipewell

#endif
