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

/* Bulk blocks in flight together on one endpoint: `length` bytes of `buffer`
 * cut into blocks of `block` bytes (the last one holds the rest), at most
 * USB_MAX_QUEUED_BLOCKS of them, each with the time-out of usbWriteFile /
 * usbReadFile counted from the end of the block before it. moved[i] receives
 * what usbWriteFile / usbReadFile would have stored for block i, or -1 when
 * it failed. Returns how many blocks were judged, in order: all of them, or up
 * to and including the first that did not move its whole length; the blocks
 * behind that one are cancelled and whatever they moved is not reported. 0
 * when refused (nothing sent). A failed block is logged as by usbWriteFile /
 * usbReadFile. A device of the virtual line takes the blocks one at a time. */
#define USB_MAX_QUEUED_BLOCKS 16
VYR_EXPORT int usbWriteBlocks(VyrUsbDrv *dev, const void *buffer, uint32_t length, uint32_t block,
                              int32_t *moved);
VYR_EXPORT int usbReadBlocks(VyrUsbDrv *dev, void *buffer, uint32_t length, uint32_t block,
                             int32_t *moved);

/* Cancels the device's handle: the transfers in flight on it end at once,
 * failing as they would if they had not completed, and every later call on it
 * fails without touching the device until usbResumeIo. Returns 1 (0 without
 * a record). Safe from any thread. */
VYR_EXPORT int usbCancelIo(VyrUsbDrv *dev);
VYR_EXPORT int usbResumeIo(VyrUsbDrv *dev);
/* 1 while the handle is cancelled. */
VYR_EXPORT int usbIoCancelled(VyrUsbDrv *dev);

#ifdef __cplusplus
}
#endif

#endif
