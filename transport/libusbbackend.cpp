// Real devices: each call wraps the descriptor into a libusb handle for that
// call only and closes the handle afterwards (which leaves the descriptor open
// for its owner). The configuration is never changed: vendor requests go to
// endpoint 0, bulk transfers to interface 0 of the current configuration,
// claimed for the length of the transfer.
#include "usbbackend.h"

#include <libusb.h>
#include <atomic>

namespace pipewell {

namespace {
std::atomic<bool> contextReady{false};
} // namespace

int initLibusb() {
    int r = libusb_init(nullptr);
    if (r == 0) contextReady = true;
    return r;
}

namespace {

// libusb_wrap_sys_device needs the default context; a caller that skipped
// OpenUsbDevice (or whose open could not initialise libusb) must not reach
// libusb without one.
int ensureContext() {
    return contextReady ? 0 : initLibusb();
}

template <class F> int withHandle(int fd, F f) {
    int r = ensureContext();
    if (r < 0) return r;
    libusb_device_handle *h = nullptr;
    r = libusb_wrap_sys_device(nullptr, intptr_t(fd), &h);
    if (r < 0) return r;
    if (!h) return LIBUSB_ERROR_NO_DEVICE;
    int ret = f(h);
    libusb_close(h);
    return ret;
}

int control(int fd, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
            uint16_t length, unsigned timeoutMs) {
    return withHandle(fd, [&](libusb_device_handle *h) {
        return libusb_control_transfer(h, type, request, value, index, data, length, timeoutMs);
    });
}

int bulk(int fd, uint8_t endpoint, uint8_t *data, uint32_t length, unsigned timeoutMs) {
    return withHandle(fd, [&](libusb_device_handle *h) {
        // usbfs expects the interface claimed before its endpoints are used
        // (it claims it on the caller's behalf otherwise, with a kernel
        // warning per transfer); released again so the next call, or another
        // program, finds it free.
        int claim = libusb_claim_interface(h, 0);
        if (claim < 0) return claim;
        int moved = 0;
        int r = libusb_bulk_transfer(h, endpoint, data, int(length), &moved, timeoutMs);
        libusb_release_interface(h, 0);
        // A transfer that moved something before an error (a time-out part way)
        // reports what it moved.
        return moved > 0 ? moved : (r < 0 ? r : 0);
    });
}

int reset(int fd) {
    return withHandle(fd, [](libusb_device_handle *h) { return libusb_reset_device(h); });
}

} // namespace

const UsbBackend libusbBackend = {"libusb", control, bulk, reset};

} // namespace pipewell
