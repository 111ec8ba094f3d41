// How one transport call reaches its device. The handle is a file descriptor:
// a USB device node goes through libusb, a Unix socket (a device of the virtual
// line) through the virtual device wire protocol, and anything else behaves as
// a device that is not there. backendFor() is the one place that decides.
#ifndef PIPEWELL_USBBACKEND_H
#define PIPEWELL_USBBACKEND_H

#include "vyrhandle.h"

#include <cstdint>

namespace pipewell {

// Every function returns the number of bytes moved (0 for reset) or a negative
// libusb error code (LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_TIMEOUT, ...).
struct UsbBackend {
    const char *name; // printed by every failure line of a call that went through it
    int (*control)(int fd, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                   uint8_t *data, uint16_t length, unsigned timeoutMs);
    int (*bulk)(int fd, uint8_t endpoint, uint8_t *data, uint32_t length, unsigned timeoutMs);
    // count bulk blocks on one endpoint, in flight together: block i moves
    // lengths[i] bytes from data + the lengths before it. results[i] gets
    // what bulk would have answered for it. Returns how many blocks were
    // judged (TransferQueue::blocks). Null: the blocks go one at a time
    // through bulk, stopping at the first that does not move its length.
    int (*blocks)(int fd, uint8_t endpoint, uint8_t *data, const uint32_t *lengths, int count,
                  unsigned timeoutMs, int32_t *results);
    int (*reset)(int fd);
    // Ends at once whatever is in flight on fd; fd is already marked in
    // CancelRegistry, so no new transfer starts on it.
    void (*cancel)(int fd);
};

extern const UsbBackend libusbBackend; // character device: libusb on the descriptor
extern const UsbBackend socketBackend; // Unix socket: the virtual device wire protocol
extern const UsbBackend goneBackend;   // closed or unsuitable descriptor: "no device"
// A cancelled descriptor: every call fails with LIBUSB_ERROR_INTERRUPTED and
// nothing reaches the device.
extern const UsbBackend cancelledBackend;

// Picks the backend for a handle from what fstat says about it, and
// cancelledBackend while its descriptor is cancelled.
const UsbBackend &backendFor(VyrHandle handle);

// Cancels the descriptor of handle (CancelRegistry) and ends what is in
// flight on it through its backend; resumeHandle lifts the cancel.
void cancelHandle(VyrHandle handle);
void resumeHandle(VyrHandle handle);
bool handleCancelled(VyrHandle handle);

// libusb_init on the default context; every open calls it again.
int initLibusb();

// Forgets the libusb handle kept for a descriptor (its owner's
// CloseUsbDevice); the descriptor itself stays open.
void releaseHandle(int fd);

} // namespace pipewell

#endif
