// Byte layouts that travel to the device: the text-command block, the header
// that announces a bulk transfer, and the step block sent after each burnt
// chunk. All multi-byte fields are little-endian.
#ifndef ROMBLOCKS_H
#define ROMBLOCKS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "littleendian.h"

namespace romvane {

using le::get32;
using le::put32;

// TplCmdBlock: 64 command bytes (zero-padded text, or a fixed layout such as
// BurnStepBlock), then the values the device sees as wValue and wIndex.
struct TplCmdBlock {
    static constexpr size_t Size = 68;
    static constexpr size_t CommandSize = 64;
    uint8_t bytes[Size] = {};

    uint8_t *command() { return bytes; }
    void setValue(uint16_t v) { le::put16(bytes + 64, v); }
    void setIndex(uint16_t v) { le::put16(bytes + 66, v); }
};

// LargeMemHeader: the 128-byte input of a bulk announce. Only bytes 0..15 go
// on the wire; the transport reads the block length from bytes 64..65.
struct LargeMemHeader {
    static constexpr size_t Size = 128;
    uint8_t bytes[Size] = {};

    LargeMemHeader(uint32_t address, uint32_t total, uint32_t checksum, uint32_t sequence,
                   uint32_t blockLength) {
        put32(bytes + 0, address);
        put32(bytes + 4, total);
        put32(bytes + 8, checksum);
        put32(bytes + 12, sequence);
        put32(bytes + 64, blockLength);
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
        put32(c + 0, address);
        put32(c + 4, stepExtra);
        put32(c + 12, chunkLength);
        put32(c + 16, uint32_t(stepValue));
        put32(c + 20, uint32_t(stepValue >> 32));
        if (stepText) {
            size_t n = strnlen(stepText, TextMax);
            std::memcpy(c + TextOffset, stepText, n);
        }
        return b;
    }
};

} // namespace romvane

#endif
