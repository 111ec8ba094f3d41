// Cancelling a device: the transport's cancel of the handle, for the burn
// engine, which talks to Romvane only.
#include "pipewell.h"
#include "romvane.h"

extern "C" {

int VyrCancelDevice(VyrHandle handle) {
    if (handle == 0) return -1;
    VyrUsbDrv drv{};
    drv.hDevice = handle;
    usbCancelIo(&drv);
    return 0;
}

int VyrResumeDevice(VyrHandle handle) {
    if (handle == 0) return -1;
    VyrUsbDrv drv{};
    drv.hDevice = handle;
    usbResumeIo(&drv);
    return 0;
}

} // extern "C"
