#include "usbbackend.h"

#include "cancelregistry.h"

#include <climits>
#include <libusb.h>
#include <sys/stat.h>

namespace pipewell {

namespace {
int noDevice(int, uint8_t, uint8_t, uint16_t, uint16_t, uint8_t *, uint16_t, unsigned) {
    return LIBUSB_ERROR_NO_DEVICE;
}
int noDeviceBulk(int, uint8_t, uint8_t *, uint32_t, unsigned) {
    return LIBUSB_ERROR_NO_DEVICE;
}
int noDeviceReset(int) {
    return LIBUSB_ERROR_NO_DEVICE;
}
void nothingInFlight(int) {}

int interrupted(int, uint8_t, uint8_t, uint16_t, uint16_t, uint8_t *, uint16_t, unsigned) {
    return LIBUSB_ERROR_INTERRUPTED;
}
int interruptedBulk(int, uint8_t, uint8_t *, uint32_t, unsigned) {
    return LIBUSB_ERROR_INTERRUPTED;
}
int interruptedReset(int) {
    return LIBUSB_ERROR_INTERRUPTED;
}

bool descriptor(VyrHandle handle) {
    // Handles are descriptors of at least 3; 0 means "none".
    return handle >= 3 && handle <= INT_MAX;
}

// The backend by the kind of file behind the handle, cancelled or not.
const UsbBackend &backendByKind(VyrHandle handle) {
    if (!descriptor(handle)) return goneBackend;
    struct stat st;
    if (::fstat(int(handle), &st) != 0) return goneBackend;
    if (S_ISCHR(st.st_mode)) return libusbBackend;
    if (S_ISSOCK(st.st_mode)) return socketBackend;
    return goneBackend;
}

} // namespace

const UsbBackend goneBackend = {"gone",  noDevice,      noDeviceBulk,
                                nullptr, noDeviceReset, nothingInFlight};
const UsbBackend cancelledBackend = {"cancelled", interrupted,      interruptedBulk,
                                     nullptr,     interruptedReset, nothingInFlight};

const UsbBackend &backendFor(VyrHandle handle) {
    if (descriptor(handle) && CancelRegistry::instance().isCancelled(int(handle)))
        return cancelledBackend;
    return backendByKind(handle);
}

void cancelHandle(VyrHandle handle) {
    if (!descriptor(handle)) return;
    const UsbBackend &b = backendByKind(handle);
    // Marked first: a call starting from now on is refused, one already on
    // its way is ended by the backend.
    CancelRegistry::instance().cancel(int(handle));
    b.cancel(int(handle));
}

void resumeHandle(VyrHandle handle) {
    if (descriptor(handle)) CancelRegistry::instance().resume(int(handle));
}

bool handleCancelled(VyrHandle handle) {
    return descriptor(handle) && CancelRegistry::instance().isCancelled(int(handle));
}

} // namespace pipewell
