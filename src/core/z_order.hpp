// Z-order (Morton) codes: the bits of three coordinates interleaved, so that
// sorting by code keeps cells near each other in space near each other.
#pragma once

#include <cstdint>

namespace quarvel {

// Bits 0, 1, 2, ... of `v` moved to bits 0, 3, 6, ... (v < 2^21).
constexpr std::uint64_t spread_bits(std::uint64_t v) {
    v &= 0x1fffff;
    v = (v | v << 32) & 0x1f00000000ffffULL;
    v = (v | v << 16) & 0x1f0000ff0000ffULL;
    v = (v | v << 8) & 0x100f00f00f00f00fULL;
    v = (v | v << 4) & 0x10c30c30c30c30c3ULL;
    v = (v | v << 2) & 0x1249249249249249ULL;
    return v;
}

// The code of (x, y, z), x in the lowest bit (each < 2^21).
constexpr std::uint64_t z_order(std::uint64_t x, std::uint64_t y, std::uint64_t z) {
    return spread_bits(x) | spread_bits(y) << 1 | spread_bits(z) << 2;
}

}  // namespace quarvel
