// What the vendor SCSI helper (pyrewick-rawio) and the library that starts it
// exchange. The library hands the helper the disk it already opened as
// descriptor 3, the command's name as its only argument ("c0", "c1", "c3")
// and, for c3, the command's data on standard input. The helper answers on
// standard output with one RawioRecord, then for c1 the data area as the
// device filled it.
#ifndef RAWIORECORD_H
#define RAWIORECORD_H

#include <cstdint>

namespace rawio {

constexpr int DiskFd = 3;
constexpr uint32_t MaxCommandData = 4096; // c3 data the helper accepts
constexpr uint32_t ResultTextSize = 128;  // c1 data area
constexpr uint32_t TimeoutMs = 2000;

struct RawioRecord {
    int32_t error = 0;  // 0, or the negated errno of the refusal or the pass-through
    uint8_t status = 0; // sg_io_hdr fields, unchanged
    uint8_t senseLength = 0;
    uint16_t hostStatus = 0;
    uint16_t driverStatus = 0;
    uint16_t reserved = 0;
    int32_t resid = 0;
    uint8_t sense[32] = {};
};

} // namespace rawio

#endif
