/* Hubsift: finds ROM-mode devices by port path, opens them, finds the volume
 * of a device in mass-storage form and counts devices without their driver. */
#ifndef HUBSIFT_H
#define HUBSIFT_H

#include "vyrhandle.h"

#ifdef __cplusplus
extern "C" {
#endif

VYR_EXPORT int VyrScanUsbX3Devices(const char *description,
                                   char **slots); /* 8 buffers of 256 bytes */
VYR_EXPORT VyrHandle VyrGetDeviceHandle(const char *description, const char *portPath);
VYR_EXPORT int VyrGetMsNumber(const char *portPath, int mode,
                              char *drive); /* drive: PATH_MAX bytes */
VYR_EXPORT int VyrGetNeedDriver(uint32_t vendor, uint32_t product);

#ifdef __cplusplus
}
#endif

#endif
