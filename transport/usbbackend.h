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
    int (*reset)(int fd);
};

extern const UsbBackend libusbBackend; // character device: libusb on the descriptor
extern const UsbBackend socketBackend; // Unix socket: the virtual device wire protocol
extern const UsbBackend goneBackend;   // closed or unsuitable descriptor: "no device"

// Picks the backend for a handle from what fstat says about it.
const UsbBackend &backendFor(VyrHandle handle);

// libusb_init on the default context; every open calls it again.
int initLibusb();

// Forgets the libusb handle kept for a descriptor (its owner's
// CloseUsbDevice); the descriptor itself stays open.
void releaseHandle(int fd);

} // namespace pipewell

#endif
