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

// Moves the blocks from `at` up to `end` (at most one queue of them, in flight
// together) and judges them in order, as if each had been sent alone after
// the one before: the write sequence rises once per block, a zero-byte block
// counts toward the run of empty ones, a failed block ends the transfer. The
// transport reports every block up to and including the first one that did
// not move its whole length and cancels the rest; what those moved does not
// count, so after a short or empty block the next queue starts right behind
// the bytes that arrived (an empty block is sent again), as the transfer
// would have gone on one block at a time. False when the transfer ends.
bool moveBlocks(VyrUsbDrv &drv, Direction dir, uint8_t *buffer, uint32_t &total, uint32_t end,
                int &zeroRuns) {
    const uint32_t span = std::min(end - total, BlockMax * USB_MAX_QUEUED_BLOCKS);
    int32_t moved[USB_MAX_QUEUED_BLOCKS];
    const int judged = dir == Direction::Write
                           ? usbWriteBlocks(&drv, buffer + total, span, BlockMax, moved)
                           : usbReadBlocks(&drv, buffer + total, span, BlockMax, moved);
    if (judged <= 0) return false;
    for (int i = 0; i < judged; ++i) {
        const uint32_t block = std::min(end - total, BlockMax);
        if (dir == Direction::Write) writeSequence.fetch_add(1);
        const int32_t n = moved[i];
        if (n == 0) {
            if (++zeroRuns > ZeroRunsMax) return false;
        } else if (n > 0) {
            zeroRuns = 0;
        } else {
            return false;
        }
        total += std::min(uint32_t(n), block);
    }
    return true;
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
    // A cancelled handle (its port stopped) ends the transfer where it is:
    // no announce is tried again and no further block is queued.
    while (total < length && !usbIoCancelled(&drv)) {
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
        if (!moveBlocks(drv, dir, buffer, total, announcedEnd, zeroRuns)) break;
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
