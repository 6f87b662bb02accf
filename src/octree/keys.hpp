// Lattice keys: a corner on the lattice of the finest level, a cell at its own
// level, and how they relate (corners, children, ancestors, face neighbours).
#pragma once

#include <cstdint>

#include "core/z_order.hpp"
#include "octree/cube.hpp"

namespace quarvel {

// A corner on the lattice of level max_depth (lattice units).
struct CornerKey {
    std::uint32_t x = 0, y = 0, z = 0;
    bool operator==(const CornerKey&) const = default;
    // What the hash tables mix; distinct keys may share it.
    std::uint64_t hash_input() const noexcept {
        return (std::uint64_t{x} | (std::uint64_t{y} << 32)) ^ (std::uint64_t{z} * 0x9E3779B97F4A7C15ULL);
    }
};

// A cell: coordinates among the 2^level cells per axis of its level.
struct CellKey {
    std::uint32_t x = 0, y = 0, z = 0;
    std::uint8_t level = 0;
    bool operator==(const CellKey&) const = default;
    // The coordinate along `axis` (0, 1, 2).
    std::uint32_t& operator[](unsigned axis) { return axis == 0 ? x : axis == 1 ? y : z; }
    std::uint32_t operator[](unsigned axis) const { return axis == 0 ? x : axis == 1 ? y : z; }
    // What the hash tables mix; distinct keys may share it.
    std::uint64_t hash_input() const noexcept {
        return (std::uint64_t{x} | (std::uint64_t{y} << 32)) ^
               (std::uint64_t{z} * 0x9E3779B97F4A7C15ULL) ^ (std::uint64_t{level} << 56);
    }
};

// Corner `i` of a cell with minimum corner key `m` and lattice edge `s`.
constexpr CornerKey corner_of(CornerKey m, std::uint32_t s, unsigned i) {
    return {m.x + (bit_x(i) ? s : 0u), m.y + (bit_y(i) ? s : 0u), m.z + (bit_z(i) ? s : 0u)};
}

// Child `c` of cell (x, y, z, level).
constexpr CellKey child_of(const CellKey& k, unsigned c) {
    return {2 * k.x + bit_x(c), 2 * k.y + bit_y(c), 2 * k.z + bit_z(c),
            static_cast<std::uint8_t>(k.level + 1)};
}

// Minimum corner key of a cell on the finest lattice.
constexpr CornerKey min_corner(const CellKey& k, unsigned max_depth) {
    const unsigned shift = max_depth - k.level;
    return {k.x << shift, k.y << shift, k.z << shift};
}

// The cell at `level` that contains `cell` (level <= cell.level).
constexpr CellKey ancestor(const CellKey& cell, unsigned level) {
    const unsigned up = cell.level - level;
    return {cell.x >> up, cell.y >> up, cell.z >> up, static_cast<std::uint8_t>(level)};
}

// The z-order code of a corner: x, y, z bits interleaved (x lowest). Orders
// disjoint cells by their minimum corners as a depth-first walk visits them
// when max_depth <= 21.
constexpr std::uint64_t walk_code(const CornerKey& k) {
    return z_order(k.x, k.y, k.z);
}

// Whether cell `a` comes before cell `b` in a depth-first walk with children
// in order 0..7: z-order of their minimum corners (z the most significant bit
// of each level's triple), an ancestor before its descendants.
constexpr bool walk_order_less(const CellKey& a, const CellKey& b, unsigned max_depth) {
    const CornerKey ma = min_corner(a, max_depth), mb = min_corner(b, max_depth);
    if (ma == mb) return a.level < b.level;
    // The axis whose coordinates differ in the highest bit decides; on a tie of
    // that bit z outranks y, and y outranks x.
    auto higher = [](std::uint32_t p, std::uint32_t q) { return p < q && p < (p ^ q); };
    std::uint32_t top = ma.z ^ mb.z;
    bool less = ma.z < mb.z;
    if (higher(top, ma.y ^ mb.y)) top = ma.y ^ mb.y, less = ma.y < mb.y;
    if (higher(top, ma.x ^ mb.x)) less = ma.x < mb.x;
    return less;
}

// Calls visit(neighbour, axis) with each face neighbour of `cell` inside the
// cube, in the order -x, +x, -y, +y, -z, +z.
template <class Visit>
void for_each_face_neighbour(const CellKey& cell, Visit&& visit) {
    const std::uint64_t side = std::uint64_t{1} << cell.level;
    for (unsigned axis = 0; axis < 3; ++axis) {
        if (cell[axis] > 0) {
            CellKey n = cell;
            --n[axis];
            visit(n, axis);
        }
        if (cell[axis] + std::uint64_t{1} < side) {
            CellKey n = cell;
            ++n[axis];
            visit(n, axis);
        }
    }
}

}  // namespace quarvel
