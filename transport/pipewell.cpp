// The transport exports. Each call looks at the record it is given, checks
// the arguments against the request table below, and carries the request out
// with one control or bulk transfer (or a queue of bulk blocks) through the
// backend of its handle. The state kept between calls is the libusb backend's
// handle per descriptor, from the first transfer on it to CloseUsbDevice, and
// the cancel mark of a descriptor, from usbCancelIo to usbResumeIo.
#include "pipewell.h"
#include "usbbackend.h"

#include "littleendian.h"
#include "tracemoor.h"
#include "vyrrequests.h"

#include <climits>
#include <cstring>
#include <libusb.h>

namespace {

using pipewell::UsbBackend;

using vyrreq::TypeIn;
using vyrreq::TypeOut;

constexpr unsigned MemTimeoutMs = 50000;
constexpr unsigned IdentifyTimeoutMs = 5000;
constexpr unsigned StatusTimeoutMs = 60000;
constexpr unsigned BulkInTimeoutMs = 5000;
constexpr unsigned BulkOutTimeoutMs = 50000;

constexpr uint32_t ControlMax = 64;    // data stage of the memory requests
constexpr uint32_t CommandLength = 64; // text command / status block
constexpr uint32_t AnnounceLength = 16;
constexpr uint32_t DefaultBlock = 4096;

using le::get16;
using le::get32;

// The memory requests carry the address in the setup packet: wValue = bits
// 31..16, wIndex = bits 15..0.
uint16_t addrHigh(const uint8_t *in) {
    return uint16_t(get32(in) >> 16);
}
uint16_t addrLow(const uint8_t *in) {
    return uint16_t(get32(in));
}

void storeCount(uint32_t *where, int ret) {
    if (where) *where = ret > 0 ? uint32_t(ret) : 0;
}

int readMem(const UsbBackend &b, int fd, const uint8_t *in, uint32_t inLen, uint8_t *out,
            uint32_t outLen, uint32_t *returned) {
    if (!in || !out || inLen != 4 || outLen == 0) return 0;
    uint16_t len = uint16_t(outLen < ControlMax ? outLen : ControlMax);
    // IOCTL_READ_MEM
    int ret = b.control(fd, TypeIn, /* bRequest */ vyrreq::ReqReadMem, /* wValue */ addrHigh(in),
                        /* wIndex */ addrLow(in), out, /* wLength */ len, MemTimeoutMs);
    storeCount(returned, ret);
    if (ret < 0) vyr_printf("IOCTL_READ_MEM_Handler ret=%d [%s]\n", ret, b.name);
    return ret >= 0;
}

int writeMem(const UsbBackend &b, int fd, const uint8_t *in, uint32_t inLen, uint32_t *returned) {
    if (!in || inLen < 8) return 0;
    uint16_t len = uint16_t(inLen - 4 < ControlMax ? inLen - 4 : ControlMax);
    // IOCTL_WRITE_MEM: the data stage starts behind the address.
    int ret = b.control(fd, TypeOut, /* bRequest */ vyrreq::ReqWriteMem, /* wValue */ addrHigh(in),
                        /* wIndex */ addrLow(in), const_cast<uint8_t *>(in + 4),
                        /* wLength */ len, MemTimeoutMs);
    storeCount(returned, ret);
    if (ret < 0) vyr_printf("IOCTL_WRITE_MEM_Handler ret=%d [%s]\n", ret, b.name);
    return ret >= 0;
}

int runAddr(const UsbBackend &b, int fd, const uint8_t *in, uint32_t inLen) {
    if (!in || inLen != 4) return 0;
    uint8_t addr[4];
    std::memcpy(addr, in, 4);
    // IOCTL_RUN_ADDR: the device may start the code before it acknowledges, so
    // whatever comes back counts as started.
    b.control(fd, TypeOut, /* bRequest */ vyrreq::ReqRun, /* wValue */ addrHigh(in),
              /* wIndex */ addrLow(in), addr, /* wLength */ 4, MemTimeoutMs);
    return 1;
}

// IOCTL_READ_LARGE_MEM / IOCTL_WRITE_LARGE_MEM: announces a bulk transfer with
// the first 16 bytes of the header (address, total, checksum, sequence). The
// block length comes from bytes 64..65 of the header when the caller passed
// them; 0, anything above 4096 or a bare 16-byte header mean 4096.
int announce(const UsbBackend &b, int fd, bool write, const uint8_t *in, uint32_t inLen,
             uint32_t *returned) {
    if (!in || inLen < AnnounceLength) return 0;
    uint32_t total = get32(in + 4);
    uint32_t block = inLen >= 66 ? get16(in + 64) : 0;
    if (block == 0 || block > DefaultBlock) block = DefaultBlock;
    uint16_t count = uint16_t((uint64_t(total) + block - 1) / block);
    uint8_t head[AnnounceLength];
    std::memcpy(head, in, sizeof head);
    int ret =
        b.control(fd, TypeOut, /* bRequest */ write ? vyrreq::ReqLargeWrite : vyrreq::ReqLargeRead,
                  /* wValue */ uint16_t(block), /* wIndex */ count, head,
                  /* wLength */ AnnounceLength, MemTimeoutMs);
    storeCount(returned, ret);
    if (ret < 0)
        vyr_printf("[%s],value=%x,index=%x,len=%d,ret=%d [%s]\n", write ? "write" : "read", block,
                   unsigned(count), int(total), ret, b.name);
    return ret >= 0;
}

int identify(const UsbBackend &b, int fd, uint8_t *out, uint32_t outLen) {
    if (!out || outLen != 4) {
        vyr_printf("identify1,%p,%d\n", static_cast<void *>(out), int(outLen));
        return 0;
    }
    // IOCTL_IDENTIFY_HOST: byte 3 of the reply names the running boot stage.
    int ret = b.control(fd, TypeIn, /* bRequest */ vyrreq::ReqIdentify, /* wValue */ 0,
                        /* wIndex */ 0, out,
                        /* wLength */ 4, IdentifyTimeoutMs);
    if (ret < 0) vyr_printf("IOCTL_IDENTIFY_HOST_Handler ret=%d [%s]\n", ret, b.name);
    return ret >= 0;
}

int tplCmd(const UsbBackend &b, int fd, const uint8_t *in, uint32_t inLen, uint32_t *returned) {
    if (!in || inLen != CommandLength + 4) return 0;
    uint8_t block[CommandLength];
    std::memcpy(block, in, sizeof block);
    // IOCTL_TPL_CMD: 64 command bytes; wValue and wIndex trail the block.
    int ret =
        b.control(fd, TypeOut, /* bRequest */ vyrreq::ReqTplCmd, /* wValue */ get16(in + 64),
                  /* wIndex */ get16(in + 66), block, /* wLength */ CommandLength, MemTimeoutMs);
    storeCount(returned, ret);
    if (ret < 0)
        vyr_printf("IOCTL_TPL_CMD_Handler ret=%d [%s],tpl_cmd=%.*s\n", ret, b.name,
                   int(CommandLength), reinterpret_cast<const char *>(in));
    return ret >= 0;
}

int tplStatus(const UsbBackend &b, int fd, const uint8_t *in, uint32_t inLen, uint8_t *out,
              uint32_t outLen) {
    if (!in || !out || inLen != 4 || outLen != CommandLength) return 0;
    // IOCTL_TPL_STATUS: the result text of the last command, zero-padded.
    int ret =
        b.control(fd, TypeIn, /* bRequest */ vyrreq::ReqTplStatus, /* wValue */ get16(in),
                  /* wIndex */ get16(in + 2), out, /* wLength */ CommandLength, StatusTimeoutMs);
    if (ret < 0) vyr_printf("IOCTL_TPL_STATUS_Handler ret=%d [%s]\n", ret, b.name);
    return ret >= 0;
}

// usbWriteBlocks / usbReadBlocks: the blocks as one queue where the backend
// has one, else one bulk transfer each until one falls short.
int blockQueue(VyrUsbDrv *dev, bool write, void *buffer, uint32_t length, uint32_t block,
               int32_t *moved) {
    if (!dev || dev->hDevice == INVALID_HANDLE_VALUE || !buffer || !moved || length == 0 ||
        block == 0)
        return 0;
    const uint32_t count = (length - 1) / block + 1;
    if (count > USB_MAX_QUEUED_BLOCKS) return 0;
    uint32_t lengths[USB_MAX_QUEUED_BLOCKS];
    for (uint32_t i = 0; i < count; ++i)
        lengths[i] = i + 1 < count ? block : length - i * block;
    const UsbBackend &b = pipewell::backendFor(dev->hDevice);
    const int fd = int(dev->hDevice);
    const uint8_t endpoint = write ? dev->bulkOutEndpoint : dev->bulkInEndpoint;
    const unsigned timeoutMs = write ? BulkOutTimeoutMs : BulkInTimeoutMs;
    auto *data = static_cast<uint8_t *>(buffer);
    int32_t results[USB_MAX_QUEUED_BLOCKS];
    int judged = 0;
    if (b.blocks) {
        judged = b.blocks(fd, endpoint, data, lengths, int(count), timeoutMs, results);
    } else {
        uint32_t offset = 0;
        while (judged < int(count)) {
            const uint32_t len = lengths[judged];
            const int r = b.bulk(fd, endpoint, data + offset, len, timeoutMs);
            results[judged++] = r;
            if (r != int(len)) break;
            offset += len;
        }
    }
    for (int i = 0; i < judged; ++i) {
        moved[i] = results[i] >= 0 ? results[i] : -1;
        if (results[i] < 0)
            vyr_printf("%s len=%d,ret=%d [%s]\n", write ? "usbWriteFile" : "usbReadFile",
                       int(lengths[i]), results[i], b.name);
    }
    return judged;
}

} // namespace

extern "C" {

int OpenUsbDevice(VyrUsbDrv *dev) {
    if (!dev) return 0;
    pipewell::initLibusb();
    dev->bulkInEndpoint = vyrreq::EpBulkIn;
    dev->bulkOutEndpoint = vyrreq::EpBulkOut;
    return 1;
}

int CloseUsbDevice(VyrUsbDrv *dev) {
    if (!dev) return 0;
    // The descriptor stays open for its owner; only the libusb handle made
    // for it since OpenUsbDevice (interface claim included) is let go.
    if (dev->hDevice >= 3 && dev->hDevice <= INT_MAX) pipewell::releaseHandle(int(dev->hDevice));
    return 1;
}

int ResetDev(VyrUsbDrv *dev) {
    // 0 means the reset was done, so a record without a device must not
    // answer 0: it reports "no device" like any other call that cannot reach one.
    if (!dev || dev->hDevice == INVALID_HANDLE_VALUE) return LIBUSB_ERROR_NO_DEVICE;
    vyr_printf("Reset Skelmar Device\n");
    return pipewell::backendFor(dev->hDevice).reset(int(dev->hDevice));
}

int usbDeviceIoControl(VyrUsbDrv *dev, uint32_t code, void *in, uint32_t inLen, void *out,
                       uint32_t outLen, uint32_t *returned, void *overlapped) {
    (void)overlapped;
    if (!dev) return 0;
    if (dev->hDevice == INVALID_HANDLE_VALUE) {
        vyr_printf("hDevice == INVALID_HANDLE_VALUE\n");
        return 0;
    }
    const UsbBackend &b = pipewell::backendFor(dev->hDevice);
    const int fd = int(dev->hDevice);
    auto *i = static_cast<const uint8_t *>(in);
    auto *o = static_cast<uint8_t *>(out);
    switch (code) {
    case IOCTL_READ_MEM:
        return readMem(b, fd, i, inLen, o, outLen, returned);
    case IOCTL_WRITE_MEM:
        return writeMem(b, fd, i, inLen, returned);
    case IOCTL_RUN_ADDR:
        return runAddr(b, fd, i, inLen);
    case IOCTL_READ_LARGE_MEM:
        return announce(b, fd, false, i, inLen, returned);
    case IOCTL_WRITE_LARGE_MEM:
        return announce(b, fd, true, i, inLen, returned);
    case IOCTL_IDENTIFY_HOST:
        return identify(b, fd, o, outLen);
    case IOCTL_TPL_CMD:
        return tplCmd(b, fd, i, inLen, returned);
    case IOCTL_TPL_STATUS:
        return tplStatus(b, fd, i, inLen, o, outLen);
    default: // reserved (0x80002008, 0x80002018, 0x8000201C, 0x80002020) or unknown
        return 0;
    }
}

int usbReadFile(VyrUsbDrv *dev, void *buffer, uint32_t length, uint32_t *transferred,
                void *overlapped) {
    (void)overlapped;
    if (!dev || dev->hDevice == INVALID_HANDLE_VALUE || (!buffer && length > 0)) return 0;
    const UsbBackend &b = pipewell::backendFor(dev->hDevice);
    int ret = b.bulk(int(dev->hDevice), dev->bulkInEndpoint, static_cast<uint8_t *>(buffer), length,
                     BulkInTimeoutMs);
    storeCount(transferred, ret);
    if (ret < 0) vyr_printf("usbReadFile len=%d,ret=%d [%s]\n", int(length), ret, b.name);
    return ret >= 0;
}

int usbWriteFile(VyrUsbDrv *dev, const void *buffer, uint32_t length, uint32_t *transferred,
                 void *overlapped) {
    (void)overlapped;
    if (!dev || dev->hDevice == INVALID_HANDLE_VALUE || (!buffer && length > 0)) return 0;
    const UsbBackend &b = pipewell::backendFor(dev->hDevice);
    int ret = b.bulk(int(dev->hDevice), dev->bulkOutEndpoint,
                     const_cast<uint8_t *>(static_cast<const uint8_t *>(buffer)), length,
                     BulkOutTimeoutMs);
    storeCount(transferred, ret);
    if (ret < 0) vyr_printf("usbWriteFile len=%d,ret=%d [%s]\n", int(length), ret, b.name);
    return ret >= 0;
}

int usbWriteBlocks(VyrUsbDrv *dev, const void *buffer, uint32_t length, uint32_t block,
                   int32_t *moved) {
    return blockQueue(dev, true, const_cast<void *>(buffer), length, block, moved);
}

int usbReadBlocks(VyrUsbDrv *dev, void *buffer, uint32_t length, uint32_t block, int32_t *moved) {
    return blockQueue(dev, false, buffer, length, block, moved);
}

int usbCancelIo(VyrUsbDrv *dev) {
    if (!dev) return 0;
    pipewell::cancelHandle(dev->hDevice);
    return 1;
}

int usbResumeIo(VyrUsbDrv *dev) {
    if (!dev) return 0;
    pipewell::resumeHandle(dev->hDevice);
    return 1;
}

int usbIoCancelled(VyrUsbDrv *dev) {
    return dev && pipewell::handleCancelled(dev->hDevice) ? 1 : 0;
}

} // extern "C"
