// Real devices: the first call on a descriptor wraps a duplicate of it into a
// libusb handle, which every later call on that descriptor reuses until the
// owner's CloseUsbDevice, a "no device" result, or the descriptor number
// turning up for another file (handlecache.h). The duplicate belongs to the
// handle, so libusb never polls a descriptor its owner has closed, and the
// owner's descriptor stays open for its owner. The configuration is never
// changed: vendor requests go to endpoint 0, bulk transfers to interface 0 of
// the current configuration, claimed by the first bulk transfer and released
// with the handle. Every transfer goes through libusb's asynchronous interface
// (TransferQueue), so that a cancel of the descriptor ends it at once and the
// blocks of a large transfer can be in flight together.
#include "handlecache.h"
#include "transferqueue.h"
#include "usbbackend.h"

#include <atomic>
#include <fcntl.h>
#include <libusb.h>
#include <mutex>
#include <unistd.h>

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

struct LibusbHandle {
    int fd = -1; // the handle's own duplicate of the caller's descriptor
    libusb_device_handle *handle = nullptr;
    std::mutex claimLock;
    bool claimed = false;

    LibusbHandle() = default;
    LibusbHandle(const LibusbHandle &) = delete;
    LibusbHandle &operator=(const LibusbHandle &) = delete;
    ~LibusbHandle() {
        if (handle) {
            if (claimed) libusb_release_interface(handle, 0);
            libusb_close(handle);
        }
        if (fd >= 0) ::close(fd);
    }

    // usbfs expects the interface claimed before its endpoints are used (it
    // claims it on the caller's behalf otherwise, with a kernel warning per
    // transfer).
    int claim() {
        std::lock_guard<std::mutex> lock(claimLock);
        if (claimed) return 0;
        int r = libusb_claim_interface(handle, 0);
        if (r == 0) claimed = true;
        return r;
    }
};

int makeHandle(int fd, std::shared_ptr<LibusbHandle> &out) {
    int r = ensureContext();
    if (r < 0) return r;
    auto h = std::make_shared<LibusbHandle>();
    h->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (h->fd < 0) return LIBUSB_ERROR_NO_DEVICE;
    r = libusb_wrap_sys_device(nullptr, intptr_t(h->fd), &h->handle);
    if (r < 0) return r;
    if (!h->handle) return LIBUSB_ERROR_NO_DEVICE;
    out = std::move(h);
    return 0;
}

// Never destroyed: calls may still be running while the process exits.
HandleCache<LibusbHandle> &cache() {
    static auto *c = new HandleCache<LibusbHandle>(makeHandle, LIBUSB_ERROR_NO_DEVICE);
    return *c;
}

// Runs f on the descriptor's handle. f returns the call's result and sets
// gone when libusb found the device gone; its handle is then forgotten.
template <class F> int withHandle(int fd, F f) {
    std::shared_ptr<LibusbHandle> h;
    int r = cache().get(fd, h);
    if (r < 0) return r;
    bool gone = false;
    int ret = f(*h, gone);
    if (gone) cache().forget(fd, h);
    return ret;
}

int control(int fd, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
            uint16_t length, unsigned timeoutMs) {
    return withHandle(fd, [&](LibusbHandle &h, bool &gone) {
        TransferQueue q(libusbAsync, fd);
        int r = q.control(h.handle, type, request, value, index, data, length, timeoutMs);
        gone = q.deviceGone() || r == LIBUSB_ERROR_NO_DEVICE;
        return r;
    });
}

int blocks(int fd, uint8_t endpoint, uint8_t *data, const uint32_t *lengths, int count,
           unsigned timeoutMs, int32_t *results) {
    int judged = withHandle(fd, [&](LibusbHandle &h, bool &gone) {
        int r = h.claim();
        if (r < 0) {
            gone = r == LIBUSB_ERROR_NO_DEVICE;
            results[0] = r;
            return 1;
        }
        TransferQueue q(libusbAsync, fd);
        int judged = q.blocks(h.handle, endpoint, data, lengths, count, timeoutMs, results);
        gone = q.deviceGone();
        return judged;
    });
    if (judged < 0) results[0] = judged; // no handle for the descriptor
    return judged < 0 ? 1 : judged;
}

int bulk(int fd, uint8_t endpoint, uint8_t *data, uint32_t length, unsigned timeoutMs) {
    int32_t result = LIBUSB_ERROR_IO;
    // A transfer that moved something before an error (a time-out part way)
    // reports what it moved.
    blocks(fd, endpoint, data, &length, 1, timeoutMs, &result);
    return result;
}

int reset(int fd) {
    return withHandle(fd, [](LibusbHandle &h, bool &gone) {
        int r = libusb_reset_device(h.handle);
        // NOT_FOUND: the device came back as another device after the reset.
        gone = r == LIBUSB_ERROR_NO_DEVICE || r == LIBUSB_ERROR_NOT_FOUND;
        return r;
    });
}

// In-flight transfers end through CancelRegistry, which cancels every
// TransferQueue of the descriptor; nothing else to do here.
void cancel(int) {}

libusb_transfer *allocTransfer() {
    return libusb_alloc_transfer(0);
}

int handleEvents(timeval *tv, int *completed) {
    return libusb_handle_events_timeout_completed(nullptr, tv, completed);
}

} // namespace

void releaseHandle(int fd) {
    cache().forget(fd);
}

const AsyncUsb libusbAsync = {allocTransfer, libusb_free_transfer, libusb_submit_transfer,
                              libusb_cancel_transfer, handleEvents};

const UsbBackend libusbBackend = {"libusb", control, bulk, blocks, reset, cancel};

} // namespace pipewell
