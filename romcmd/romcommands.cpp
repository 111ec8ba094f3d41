// The small ROM-mode commands: identify, memory by control transfers, run,
// text command and status, reset. Each export wraps the caller's handle into a
// transport record of its own, issues its request(s) and maps the transport's
// 1/0 result into the codes of romcodes.h.
#include "romcommands.h"

#include "pipewell.h"
#include "romblocks.h"
#include "romcodes.h"
#include "tracemoor.h"

#include <algorithm>
#include <cstring>

using namespace romvane;

namespace {

// Control transfers carry at most this many data bytes.
constexpr uint32_t PieceMax = 64;
constexpr uint32_t IdentifyReplySize = 4;

bool openDrv(VyrUsbDrv &drv, VyrHandle handle) {
    drv = VyrUsbDrv{};
    drv.hDevice = handle;
    return OpenUsbDevice(&drv) == 1;
}

int resetDevice(VyrHandle handle) {
    if (handle == 0) return -1;
    vyr_printf("reset skelmar device\n");
    VyrUsbDrv drv{};
    drv.hDevice = handle;
    int r = ResetDev(&drv);
    // Lets go of what the transport keeps for the handle, as every other
    // call does when it is done with its record.
    CloseUsbDevice(&drv);
    return r;
}

} // namespace

int romvane::sendTplCmd(RomRequest *req, bool bootmRule) {
    // Nothing below throws today; the guard keeps the promise that a fault in
    // here ends the call with its own code rather than taking the caller down.
    try {
        if (!req || !req->buffer || !req->actual_len) return CmdFault;
        const char *text = static_cast<const char *>(req->buffer);
        // The block need not be terminated: print at most its command bytes.
        size_t shown = strnlen(text, std::min<size_t>(req->length, TplCmdBlock::CommandSize));
        vyr_printf("VyrUsbTplCmd =%.*s\n", int(shown), text);

        VyrUsbDrv drv;
        if (!openDrv(drv, req->handle)) return CmdOpenFailed;
        int ok = usbDeviceIoControl(&drv, IOCTL_TPL_CMD, req->buffer, /* inLen */ req->length,
                                    nullptr, 0, req->actual_len, nullptr);
        CloseUsbDevice(&drv);
        if (bootmRule && req->length >= 5 && std::memcmp(text, "bootm", 5) == 0) return CmdOk;
        return ok == 1 ? CmdOk : CmdFailed;
    } catch (...) {
        return CmdFault;
    }
}

extern "C" {

int VyrUsbIdentifyHost(RomRequest *req) {
    vyr_printf("VyrUsbIdentifyHost\n");
    if (!req) return CmdFailed;
    VyrUsbDrv drv;
    if (!openDrv(drv, req->handle)) return CmdOpenFailed;
    // IOCTL_IDENTIFY_HOST: no input; 4 reply bytes, the last names the boot stage.
    int ok = usbDeviceIoControl(&drv, IOCTL_IDENTIFY_HOST, nullptr, 0, req->buffer,
                                /* outLen */ IdentifyReplySize, req->actual_len, nullptr);
    const bool cancelled = usbIoCancelled(&drv) == 1;
    CloseUsbDevice(&drv);
    if (ok == 1) return CmdOk;
    // A device that does not answer is often wedged: a port reset lets the
    // next attempt find it freshly enumerated. A cancelled handle is left
    // alone: its port has stopped talking to the device.
    if (!cancelled) VyrResetDev(req);
    return CmdFailed;
}

int VyrUsbWriteMemCtr(RomRequest *req) {
    if (!req || (req->length > 0 && !req->buffer)) return WriteMemStopped;
    VyrUsbDrv drv;
    if (!openDrv(drv, req->handle)) return WriteMemStopped;
    const uint8_t *source = static_cast<const uint8_t *>(req->buffer);
    uint32_t remaining = req->length;
    while (remaining > 0) {
        uint32_t piece = std::min(remaining, PieceMax);
        // IOCTL_WRITE_MEM input: the address (wValue = bits 31..16, wIndex =
        // bits 15..0 on the wire), then the piece as the data stage. A piece
        // under 4 bytes is refused by the transport and ends the write.
        uint8_t in[4 + PieceMax];
        put32(in, req->ram_addr);
        std::memcpy(in + 4, source, piece);
        uint32_t returned = 0;
        if (usbDeviceIoControl(&drv, IOCTL_WRITE_MEM, in, /* inLen */ 4 + piece, nullptr, 0,
                               &returned, nullptr) != 1)
            break;
        req->ram_addr += piece;
        source += piece;
        remaining -= piece;
    }
    CloseUsbDevice(&drv);
    return remaining == 0 ? WriteMemDone : WriteMemStopped;
}

int VyrUsbReadMemCtr(RomRequest *req) {
    if (!req) return ReadMemStopped;
    uint32_t done = 0;
    VyrUsbDrv drv;
    if (openDrv(drv, req->handle)) {
        uint8_t *dest = static_cast<uint8_t *>(req->buffer);
        while (done < req->length) {
            uint32_t piece = std::min(req->length - done, PieceMax);
            // IOCTL_READ_MEM input: the 4 address bytes; the reply is the piece.
            uint8_t in[4];
            put32(in, req->ram_addr);
            uint32_t returned = 0;
            if (usbDeviceIoControl(&drv, IOCTL_READ_MEM, in, /* inLen */ 4,
                                   dest ? dest + done : nullptr, /* outLen */ piece, &returned,
                                   nullptr) != 1)
                break;
            req->ram_addr += piece;
            done += piece;
        }
        CloseUsbDevice(&drv);
    }
    if (req->actual_len) *req->actual_len = done;
    return done == req->length ? ReadMemDone : ReadMemStopped;
}

int VyrUsbRunBinCode(RomRequest *req) {
    if (!req) return CmdFailed;
    vyr_printf("VyrUsbRunBinCode:ram_addr=%08x\n", req->ram_addr);
    VyrUsbDrv drv;
    if (!openDrv(drv, req->handle)) return CmdOpenFailed;
    // IOCTL_RUN_ADDR: the 4 address bytes are both the setup fields and the data.
    uint8_t in[4];
    put32(in, req->ram_addr);
    int ok =
        usbDeviceIoControl(&drv, IOCTL_RUN_ADDR, in, /* inLen */ 4, nullptr, 0, nullptr, nullptr);
    CloseUsbDevice(&drv);
    return ok == 1 ? CmdOk : CmdFailed;
}

int VyrUsbTplCmd(RomRequest *req) {
    return sendTplCmd(req, true);
}

int VyrUsbReadStatus(RomRequest *req) {
    vyr_printf("VyrUsbReadStatus\n");
    if (!req) return CmdFailed;
    VyrUsbDrv drv;
    if (!openDrv(drv, req->handle)) return CmdOpenFailed;
    // IOCTL_TPL_STATUS: wValue and wIndex come from the first 4 bytes of the
    // buffer (zeroed by the caller); the 64-byte reply overwrites the buffer.
    int ok = usbDeviceIoControl(&drv, IOCTL_TPL_STATUS, req->buffer, /* inLen */ 4, req->buffer,
                                /* outLen */ req->length, req->actual_len, nullptr);
    CloseUsbDevice(&drv);
    return ok == 1 ? CmdOk : CmdFailed;
}

int VyrResetDev(RomRequest *req) {
    return req ? resetDevice(req->handle) : -1;
}

} // extern "C"
