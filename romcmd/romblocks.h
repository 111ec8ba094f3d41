// Byte layouts that travel to the device: the text-command block, the header
// that announces a bulk transfer, and the step block sent after each burnt
// chunk. All multi-byte fields are little-endian.
#ifndef ROMBLOCKS_H
#define ROMBLOCKS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace romvane {

inline void putLe32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline uint32_t getLe32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// TplCmdBlock: 64 command bytes (zero-padded text, or a fixed layout such as
// BurnStepBlock), then the values the device sees as wValue and wIndex.
struct TplCmdBlock {
    static constexpr size_t Size = 68;
    static constexpr size_t CommandSize = 64;
    uint8_t bytes[Size] = {};

    uint8_t *command() { return bytes; }
    void setValue(uint16_t v) {
        bytes[64] = uint8_t(v);
        bytes[65] = uint8_t(v >> 8);
    }
    void setIndex(uint16_t v) {
        bytes[66] = uint8_t(v);
        bytes[67] = uint8_t(v >> 8);
    }
};

// LargeMemHeader: the 128-byte input of a bulk announce. Only bytes 0..15 go
// on the wire; the transport reads the block length from bytes 64..65.
struct LargeMemHeader {
    static constexpr size_t Size = 128;
    uint8_t bytes[Size] = {};

    LargeMemHeader(uint32_t address, uint32_t total, uint32_t checksum, uint32_t sequence,
                   uint32_t blockLength) {
        putLe32(bytes + 0, address);
        putLe32(bytes + 4, total);
        putLe32(bytes + 8, checksum);
        putLe32(bytes + 12, sequence);
        putLe32(bytes + 64, blockLength);
    }
};

// BurnStepBlock: what the loader is told after each chunk of a file burn. It
// fills the command part of a TplCmdBlock; wValue and wIndex stay 0.
struct BurnStepBlock {
    static constexpr size_t TextOffset = 32;
    static constexpr size_t TextMax = 32;

    static TplCmdBlock build(uint32_t address, uint32_t stepExtra, uint32_t chunkLength,
                             uint64_t stepValue, const char *stepText) {
        TplCmdBlock b;
        uint8_t *c = b.command();
        putLe32(c + 0, address);
        putLe32(c + 4, stepExtra);
        putLe32(c + 12, chunkLength);
        putLe32(c + 16, uint32_t(stepValue));
        putLe32(c + 20, uint32_t(stepValue >> 32));
        if (stepText) {
            size_t n = strnlen(stepText, TextMax);
            std::memcpy(c + TextOffset, stepText, n);
        }
        return b;
    }
};

} // namespace romvane

#endif
