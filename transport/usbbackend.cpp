#include "usbbackend.h"

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
} // namespace

const UsbBackend goneBackend = {"gone", noDevice, noDeviceBulk, noDeviceReset};

const UsbBackend &backendFor(VyrHandle handle) {
    // Handles are descriptors of at least 3; 0 means "none".
    if (handle < 3 || handle > INT_MAX) return goneBackend;
    struct stat st;
    if (::fstat(int(handle), &st) != 0) return goneBackend;
    if (S_ISCHR(st.st_mode)) return libusbBackend;
    if (S_ISSOCK(st.st_mode)) return socketBackend;
    return goneBackend;
}

} // namespace pipewell
