// The two exports that list ROM-mode devices by port path and open one.
#include "hubsift.h"

#include "portpath.h"
#include "tracemoor.h"
#include "usbtree.h"

#include <unistd.h>

using namespace hubsift;

/* Results: 0..8 devices found (slots 0..count-1 hold their port paths);
 * -1 the walk failed or an argument is missing. */
extern "C" VYR_EXPORT int VyrScanUsbX3Devices(const char *description, char **slots) {
    bool argsOk = description != nullptr && slots != nullptr;
    for (int k = 0; argsOk && k < kSlotCount; ++k)
        argsOk = slots[k] != nullptr;
    ScanRequest req;
    if (argsOk) {
        req.wanted = description;
        req.slots = slots;
    }
    if (!argsOk || !walkUsbTree(req)) {
        vyr_printf("VyrScanUsbX3Devices:scan usb devices failed\n");
        return -1;
    }
    return req.found;
}

/* Results: a descriptor (>= 3) of the device with that description on that
 * port path; 0 when there is none, the walk failed or an argument is
 * missing; -1 when the device is there but could not be opened. */
extern "C" VYR_EXPORT VyrHandle VyrGetDeviceHandle(const char *description, const char *portPath) {
    if (description == nullptr || portPath == nullptr) {
        vyr_printf("get usb devices handle failed\n");
        return 0;
    }
    char buffers[kSlotCount][kSlotSize] = {};
    char *slots[kSlotCount];
    for (int k = 0; k < kSlotCount; ++k)
        slots[k] = buffers[k];
    VyrHandle handle = 0;
    ScanRequest req;
    req.wanted = description;
    req.handleOut = &handle;
    req.wantedPath = portPath;
    req.slots = slots;
    if (!walkUsbTree(req)) {
        // The device may have been opened before another hub failed; the
        // caller is told nothing was found, so the descriptor must not leak.
        if (handle > 0) ::close(int(handle));
        vyr_printf("get usb devices handle failed\n");
        return 0;
    }
    return handle;
}
