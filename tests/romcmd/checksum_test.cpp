#include "checksum.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

// The definition, one word at a time.
uint16_t plainChecksum(const uint8_t *p, size_t n) {
    uint32_t sum = 0;
    for (; n >= 2; p += 2, n -= 2)
        sum += uint32_t(p[0]) | uint32_t(p[1]) << 8;
    if (n) sum += p[0];
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum = (sum >> 16) + (sum & 0xFFFF);
    return uint16_t(~sum);
}

TEST(Checksum, KnownWords) {
    // The classic example 0001 f203 f4f5 f6f7 (big-endian sum ddf2), read as
    // little-endian words: the checksum comes out byte-swapped.
    const uint8_t words[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(romvane::checksum16(words, sizeof words), 0x0d22);
    // A trailing odd byte is a low byte.
    const uint8_t odd[] = {0x34, 0x12, 0x05};
    EXPECT_EQ(romvane::checksum16(odd, 3), uint16_t(~(0x1234 + 0x05)));
    EXPECT_EQ(romvane::checksum16(odd, 0), 0xFFFF);
}

TEST(Checksum, AccumulatorWrapsAt32Bits) {
    // 131072 words of 0x8000 sum to exactly 2^32: the 32-bit accumulator is 0,
    // so the checksum is 0xFFFF (a true ones'-complement sum would give 0xFFFE).
    std::vector<uint8_t> buf(256 * 1024);
    for (size_t i = 0; i < buf.size(); i += 2) {
        buf[i] = 0x00;
        buf[i + 1] = 0x80;
    }
    EXPECT_EQ(romvane::wordSum32(buf.data(), buf.size()), 0u);
    EXPECT_EQ(romvane::checksum16(buf.data(), buf.size()), 0xFFFF);
}

TEST(Checksum, MatchesDefinitionOnRandomBuffers) {
    std::mt19937 rng(1071);
    std::vector<uint8_t> buf(600 * 1024 + 7);
    for (auto &b : buf)
        b = uint8_t(rng());
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n)
        lengths.push_back(n);
    for (size_t n : {4095u, 4096u, 65535u, 65536u, 131071u, 131072u, 262143u, 262144u, 262145u,
                     300001u, 600u * 1024u})
        lengths.push_back(n);
    for (size_t n : lengths)
        for (size_t offset : {0u, 1u, 3u, 7u}) {
            ASSERT_EQ(romvane::checksum16(buf.data() + offset, n),
                      plainChecksum(buf.data() + offset, n))
                << "length " << n << " offset " << offset;
        }
    // Large buffers of high words, where the 32-bit accumulator wraps many times.
    std::fill(buf.begin(), buf.end(), 0xFF);
    for (size_t n : {131073u, 262145u, 600u * 1024u + 7})
        EXPECT_EQ(romvane::checksum16(buf.data(), n), plainChecksum(buf.data(), n)) << n;
}

} // namespace
