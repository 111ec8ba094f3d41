// The 16-bit ones'-complement checksum announced with every bulk transfer:
// 16-bit little-endian words summed into a 32-bit accumulator (wrapping), an
// odd trailing byte added as a low byte, the carries folded twice, the result
// inverted. The device computes the same, so the 32-bit wrap is part of the
// definition even where it differs from a true ones'-complement sum.
#ifndef ROMCHECKSUM_H
#define ROMCHECKSUM_H

#include <cstddef>
#include <cstdint>

namespace romvane {

uint16_t checksum16(const void *data, size_t length);

// The 32-bit accumulator before folding (exposed for the fold arithmetic).
uint32_t wordSum32(const void *data, size_t length);

} // namespace romvane

#endif
