/* Pipewell: vendor control requests and bulk transfers to one ROM-mode device.
 * Every call returns 1 when carried out and 0 when refused or failed, except
 * ResetDev, which passes libusb's own result through (0 = reset done). */
#ifndef PIPEWELL_H
#define PIPEWELL_H

#include "vyrhandle.h"

#ifdef __cplusplus
extern "C" {
#endif

#define INVALID_HANDLE_VALUE ((VyrHandle)-1)

#define IOCTL_READ_MEM 0x80002000u
#define IOCTL_WRITE_MEM 0x80002004u
#define IOCTL_RUN_ADDR 0x8000200Cu
#define IOCTL_READ_LARGE_MEM 0x80002010u
#define IOCTL_WRITE_LARGE_MEM 0x80002014u
#define IOCTL_IDENTIFY_HOST 0x80002024u
#define IOCTL_TPL_CMD 0x80002040u
#define IOCTL_TPL_STATUS 0x80002044u

typedef struct VyrUsbDrv {
    VyrHandle hDevice;
    uint8_t bulkInEndpoint;
    uint8_t bulkOutEndpoint;
} VyrUsbDrv;

VYR_EXPORT int OpenUsbDevice(VyrUsbDrv *dev);
VYR_EXPORT int CloseUsbDevice(VyrUsbDrv *dev);
VYR_EXPORT int ResetDev(VyrUsbDrv *dev);
VYR_EXPORT int usbDeviceIoControl(VyrUsbDrv *dev, uint32_t code, void *in, uint32_t inLen,
                                  void *out, uint32_t outLen, uint32_t *returned, void *overlapped);
VYR_EXPORT int usbReadFile(VyrUsbDrv *dev, void *buffer, uint32_t length, uint32_t *transferred,
                           void *overlapped);
VYR_EXPORT int usbWriteFile(VyrUsbDrv *dev, const void *buffer, uint32_t length,
                            uint32_t *transferred, void *overlapped);

#ifdef __cplusplus
}
#endif

#endif
