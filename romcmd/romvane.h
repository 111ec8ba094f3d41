/* Romvane: the ROM boot mode command set, large transfers, file burn and the
 * recovery handshake over SCSI. Results: 0 = success, negative = failure
 * (each export documents its codes). */
#ifndef ROMVANE_H
#define ROMVANE_H

#include "vyrhandle.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct RomRequest {
    VyrHandle handle;
    uint32_t length;
    void *buffer;
    uint32_t *actual_len;
    uint32_t ram_addr;
} RomRequest;

VYR_EXPORT int VyrUsbIdentifyHost(RomRequest *req);
VYR_EXPORT int VyrUsbWriteMemCtr(RomRequest *req);
VYR_EXPORT int VyrUsbReadMemCtr(RomRequest *req);
VYR_EXPORT int VyrUsbRunBinCode(RomRequest *req);
VYR_EXPORT int VyrUsbTplCmd(RomRequest *req);
VYR_EXPORT int VyrUsbReadStatus(RomRequest *req);
VYR_EXPORT int VyrResetDev(RomRequest *req);
VYR_EXPORT int VyrUsbWriteLargeMem(RomRequest *req);
VYR_EXPORT int VyrUsbReadLargeMem(RomRequest *req);
VYR_EXPORT int VyrUsbburn(VyrHandle handle, const char *path, uint32_t ramAddr,
                          const char *stepText, uint32_t stepValueLow, uint32_t stepValueHigh,
                          uint32_t chunkSize, uint32_t stepExtra);
/* Cancels the device behind handle: its transfers in flight end at once, the
 * export waiting for them fails with its usual code, its retries stop, and
 * every later request on handle fails without reaching the device until
 * VyrResumeDevice. 0, or -1 when handle is 0. Safe from any thread. */
VYR_EXPORT int VyrCancelDevice(VyrHandle handle);
VYR_EXPORT int VyrResumeDevice(VyrHandle handle);
VYR_EXPORT int VyrSetFileCopyComplete(const char *drive);
VYR_EXPORT int VyrGetUpdateComplete(const char *drive, char *text, uint32_t *count);
VYR_EXPORT int VyrSetFileCopyCompleteEx(const char *drive, const void *data, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif
