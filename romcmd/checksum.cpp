#include "checksum.h"

#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the word sum loads little-endian words directly");

namespace romvane {

namespace {

// Only the sum modulo 2^32 matters, so the words are taken 32 bits at a time:
// for u = lo + 65536 * hi, the sum of all lo + hi equals
// sum(u) - 65535 * sum(hi), and both sums may wrap freely in 32 bits. That is
// one add, one shift and one add per four bytes, which the compiler turns
// into wide vector code.
// The AVX2 clone is picked by an ifunc resolver at load time, which runs
// before ThreadSanitizer's runtime is ready: those builds keep one version.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define ROMVANE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ROMVANE_CLONES
#endif

ROMVANE_CLONES uint32_t sumWords32(const uint8_t *p, size_t count) {
    uint32_t all = 0, high = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t u;
        std::memcpy(&u, p + 4 * i, 4);
        all += u;
        high += u >> 16;
    }
    return all - 65535u * high;
}

} // namespace

uint32_t wordSum32(const void *data, size_t length) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    size_t count = length / 4;
    uint32_t sum = sumWords32(p, count);
    p += count * 4;
    length -= count * 4;
    if (length >= 2) {
        sum += uint32_t(p[0]) | uint32_t(p[1]) << 8;
        p += 2;
        length -= 2;
    }
    if (length) sum += p[0];
    return sum;
}

uint16_t checksum16(const void *data, size_t length) {
    uint32_t sum = wordSum32(data, length);
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum = (sum >> 16) + (sum & 0xFFFF);
    return uint16_t(~sum);
}

} // namespace romvane
