#include "checksum.h"

#include <algorithm>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the word sum loads little-endian words directly");

namespace romvane {

namespace {

constexpr uint64_t LaneMask = 0x0000FFFF0000FFFFull;

// Each 8-byte load is split into its four 16-bit words, two per 32-bit lane of
// the accumulator. A lane gains at most 2 * 0xFFFF per load, so 16384 loads
// cannot carry out of a lane; the lanes are then added into the exact total.
constexpr size_t LoadsPerFlush = 16384;

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define ROMVANE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ROMVANE_CLONES
#endif

ROMVANE_CLONES uint64_t sumWords64(const uint8_t *p, size_t loads) {
    uint64_t total = 0;
    while (loads > 0) {
        size_t n = std::min(loads, LoadsPerFlush);
        uint64_t acc = 0;
        for (size_t i = 0; i < n; ++i) {
            uint64_t w;
            std::memcpy(&w, p + 8 * i, 8);
            acc += (w & LaneMask) + ((w >> 16) & LaneMask);
        }
        total += (acc & 0xFFFFFFFFu) + (acc >> 32);
        p += 8 * n;
        loads -= n;
    }
    return total;
}

} // namespace

uint32_t wordSum32(const void *data, size_t length) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    size_t loads = length / 8;
    uint64_t total = sumWords64(p, loads);
    p += loads * 8;
    length -= loads * 8;
    for (; length >= 2; p += 2, length -= 2)
        total += uint32_t(p[0]) | uint32_t(p[1]) << 8;
    if (length) total += p[0];
    // The device's accumulator is 32 bits wide and wraps.
    return uint32_t(total);
}

uint16_t checksum16(const void *data, size_t length) {
    uint32_t sum = wordSum32(data, length);
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum = (sum >> 16) + (sum & 0xFFFF);
    return uint16_t(~sum);
}

} // namespace romvane
