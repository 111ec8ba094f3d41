// Bulk transfers to and from device RAM. A transfer is announced with one
// control request (address, total, checksum, sequence, block length and
// count), then its data follows on the bulk endpoints in blocks of at most
// 4096 bytes.
#include "checksum.h"
#include "pipewell.h"
#include "romblocks.h"
#include "romcodes.h"
#include "romvane.h"

#include <algorithm>
#include <atomic>

using namespace romvane;

namespace {

// Process-wide and never reset: the device uses them to tell a new transfer
// from a repeated one. writeSequence goes into a write announce and rises once
// per bulk block sent; readSequence rises once per read call.
std::atomic<uint32_t> writeSequence{0};
std::atomic<uint32_t> readSequence{0};

constexpr uint32_t BlockMax = 4096;
// The device takes at most this much per write announce; a longer write is
// announced again for each further 64 KiB, each with its own checksum.
constexpr uint32_t WriteAnnounceMax = 65536;
constexpr int AnnounceAttempts = 3;
// Six zero-byte bulk transfers in a row mean the device stopped taking data.
constexpr int ZeroRunsMax = 5;

enum class Direction { Write, Read };

int checkRecord(const RomRequest *req) {
    if (!req) return LargeBadLength; // the length field lives in the record
    if (!req->buffer) return LargeBadBuffer;
    return LargeOk;
}

// One bulk block: the count moved, or -1 when the transfer failed.
int64_t bulkBlock(VyrUsbDrv &drv, Direction dir, uint8_t *at, uint32_t block) {
    uint32_t moved = 0;
    int ok = dir == Direction::Write ? usbWriteFile(&drv, at, block, &moved, nullptr)
                                     : usbReadFile(&drv, at, block, &moved, nullptr);
    return ok == 1 ? int64_t(moved) : -1;
}

int largeTransfer(RomRequest *req, Direction dir) {
    // A read takes its sequence number at the start of the call.
    uint32_t readSeq = dir == Direction::Read ? readSequence.fetch_add(1) + 1 : 0;
    if (int bad = checkRecord(req)) return bad;
    VyrUsbDrv drv{};
    drv.hDevice = req->handle;
    if (OpenUsbDevice(&drv) != 1) return LargeOpenFailed;

    uint8_t *buffer = static_cast<uint8_t *>(req->buffer);
    const uint32_t length = req->length;
    // A read's checksum covers the destination before the data arrives.
    const uint16_t readSum = dir == Direction::Read ? checksum16(buffer, length) : 0;

    uint32_t total = 0;
    uint32_t announcedEnd = 0; // end of the stretch the last announce covered
    int failedAnnounces = 0;
    int zeroRuns = 0;
    while (total < length) {
        const uint32_t remaining = length - total;
        if (total == announcedEnd) {
            uint32_t stretch =
                dir == Direction::Write ? std::min(remaining, WriteAnnounceMax) : remaining;
            uint32_t block = std::min(remaining, BlockMax);
            uint32_t sum, seq, code;
            if (dir == Direction::Write) {
                sum = checksum16(buffer + total, stretch); // zero-extended
                seq = writeSequence.load();
                code = IOCTL_WRITE_LARGE_MEM;
            } else {
                sum = uint32_t(int32_t(int16_t(readSum))); // sign-extended
                seq = readSeq;
                code = IOCTL_READ_LARGE_MEM;
            }
            LargeMemHeader header(req->ram_addr + total, stretch, sum, seq, block);
            // IOCTL_WRITE_LARGE_MEM / IOCTL_READ_LARGE_MEM: wValue = block
            // length, wIndex = block count, data = header bytes 0..15.
            uint32_t sent = 0;
            if (usbDeviceIoControl(&drv, code, header.bytes, /* inLen */ LargeMemHeader::Size,
                                   nullptr, 0, &sent, nullptr) != 1) {
                if (++failedAnnounces >= AnnounceAttempts) break;
                continue;
            }
            failedAnnounces = 0;
            announcedEnd = total + stretch;
        }
        uint32_t block = std::min(announcedEnd - total, BlockMax);
        if (dir == Direction::Write) writeSequence.fetch_add(1);
        int64_t n = bulkBlock(drv, dir, buffer + total, block);
        if (n == 0) {
            if (++zeroRuns > ZeroRunsMax) break;
        } else if (n > 0) {
            zeroRuns = 0;
        } else {
            break;
        }
        total += uint32_t(std::min<int64_t>(n, block));
    }
    CloseUsbDevice(&drv);
    if (req->actual_len) *req->actual_len = total;
    return total == length ? LargeOk : LargeShort;
}

} // namespace

extern "C" {

int VyrUsbWriteLargeMem(RomRequest *req) {
    return largeTransfer(req, Direction::Write);
}

int VyrUsbReadLargeMem(RomRequest *req) {
    return largeTransfer(req, Direction::Read);
}

} // extern "C"
