// Vertex slots: a surface cell carries one vertex per group of its inside
// corners that are connected along cube edges, so a cell whose inside corners
// sit on opposite ends of a diagonal gets two vertices instead of one that
// would pinch two sheets together.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace quarvel {

// The groups of one sign mask.
struct CellComponents {
    std::array<std::int8_t, 8> corner{};  // group of each corner 0..7, -1 for a corner not below iso
    std::uint8_t count = 0;               // number of groups, 0..4
};

namespace detail {

// Labels the set corners of `mask` by flood fill along cube edges (corners
// differing in one bit), starting new groups in corner order 0..7.
constexpr CellComponents components_of_mask(unsigned mask) {
    CellComponents out;
    for (auto& c : out.corner) c = -1;
    if (mask == 0 || mask == 255) return out;
    for (unsigned seed = 0; seed < 8; ++seed) {
        if (!(mask >> seed & 1u) || out.corner[seed] >= 0) continue;
        const auto label = static_cast<std::int8_t>(out.count++);
        unsigned stack[8] = {};
        unsigned depth = 0;
        out.corner[seed] = label;
        stack[depth++] = seed;
        while (depth > 0) {
            const unsigned at = stack[--depth];
            for (unsigned axis = 0; axis < 3; ++axis) {
                const unsigned next = at ^ (1u << axis);
                if ((mask >> next & 1u) && out.corner[next] < 0) {
                    out.corner[next] = label;
                    stack[depth++] = next;
                }
            }
        }
    }
    return out;
}

constexpr std::array<CellComponents, 256> make_component_table() {
    std::array<CellComponents, 256> table{};
    for (unsigned mask = 0; mask < 256; ++mask) table[mask] = components_of_mask(mask);
    return table;
}

}  // namespace detail

// Groups of every sign mask (bit i: corner i below iso), generated at compile time.
inline constexpr std::array<CellComponents, 256> COMPONENT_TABLE = detail::make_component_table();

// Group of `corner` (0..7); a larger index is an internal fault.
int component_of(const CellComponents& components, unsigned corner);

// Slot numbering over the surface cell list.
struct VertexSlots {
    std::vector<std::uint64_t> offset;  // per cell: slots of all earlier cells (exclusive prefix sum)
    std::uint64_t total = 0;            // V, slots over all cells
};

// `components`: one entry per surface cell, in list order.
VertexSlots number_vertex_slots(std::span<const CellComponents> components);

}  // namespace quarvel
