// The unit cube's numbering and tables, shared by the octree and dual
// contouring. Each table is checked against the rule it follows at compile time.
//
// Corner or child index i in 0..7: bit 0 selects +x, bit 1 +y, bit 2 +z.
// Edge 4a + e runs along axis a; bit 0 of e is its offset along the first of
// OTHER_AXES[a], bit 1 along the second.
#pragma once

#include <array>
#include <cstdint>

namespace quarvel {

// Offset (0 or 1) of corner or child `i` along an axis.
constexpr std::uint32_t bit_x(unsigned i) { return i & 1u; }
constexpr std::uint32_t bit_y(unsigned i) { return (i >> 1) & 1u; }
constexpr std::uint32_t bit_z(unsigned i) { return (i >> 2) & 1u; }
constexpr std::uint32_t bit_on(unsigned i, unsigned axis) { return (i >> axis) & 1u; }

// Per axis a: the two other axes (u, v), ascending.
inline constexpr std::array<std::array<std::uint8_t, 2>, 3> OTHER_AXES = {{
    {1, 2},  // x: y, z
    {0, 2},  // y: x, z
    {0, 1},  // z: x, y
}};

// The twelve edges as (a, b) corner pairs, grouped by axis; corner a has the
// lower coordinate along the edge, and the pair is never reordered by sign.
inline constexpr std::array<std::array<std::uint8_t, 2>, 12> CUBE_EDGES = {{
    {0, 1}, {2, 3}, {4, 5}, {6, 7},  // along x
    {0, 2}, {1, 3}, {4, 6}, {5, 7},  // along y
    {0, 4}, {1, 5}, {2, 6}, {3, 7},  // along z
}};

// Edge e (0..3) of the four along `axis`.
constexpr unsigned edge_along(unsigned axis, unsigned e) { return 4 * axis + e; }

// Per axis d: the four cells around an edge along d (q = 0 the cell owning it,
// 1 one step down along u, 2 down along v, 3 down both) in counter-clockwise
// order seen from +d. Cell q meets the edge at its own edge edge_along(d, q).
inline constexpr std::array<std::array<std::uint8_t, 4>, 3> QUAD_ORDER = {{
    {0, 1, 3, 2},  // x
    {0, 2, 3, 1},  // y
    {0, 1, 3, 2},  // z
}};

namespace cube_detail {

constexpr bool other_axes_follow_rule() {
    for (unsigned a = 0; a < 3; ++a) {
        const unsigned u = OTHER_AXES[a][0], v = OTHER_AXES[a][1];
        if (u == a || v == a || u >= v || v > 2) return false;
    }
    return true;
}

constexpr bool edges_follow_rule() {
    for (unsigned a = 0; a < 3; ++a)
        for (unsigned e = 0; e < 4; ++e) {
            const unsigned first = CUBE_EDGES[edge_along(a, e)][0];
            const unsigned second = CUBE_EDGES[edge_along(a, e)][1];
            if (bit_on(first, a) || second != (first | (1u << a))) return false;
            if (bit_on(first, OTHER_AXES[a][0]) != (e & 1u)) return false;
            if (bit_on(first, OTHER_AXES[a][1]) != (e >> 1)) return false;
        }
    return true;
}

// Counter-clockwise seen from +d: positive area in the (u, v) plane when
// (d, u, v) is right-handed, negative when it is not. Face generation also
// relies on positions 0 and 2 holding cells 0 and 3.
constexpr bool quads_counter_clockwise() {
    for (unsigned d = 0; d < 3; ++d) {
        const auto& order = QUAD_ORDER[d];
        if (order[0] != 0 || order[2] != 3) return false;
        int twice_area = 0;
        for (unsigned k = 0; k < 4; ++k) {
            const unsigned q = order[k], r = order[(k + 1) % 4];
            const int qu = -int(q & 1u), qv = -int(q >> 1), ru = -int(r & 1u), rv = -int(r >> 1);
            twice_area += qu * rv - ru * qv;
        }
        const bool right_handed = d != 1;  // (x, y, z) and (z, x, y); (y, x, z) is not
        if ((twice_area > 0) != right_handed) return false;
    }
    return true;
}

}  // namespace cube_detail

static_assert(cube_detail::other_axes_follow_rule());
static_assert(cube_detail::edges_follow_rule());
static_assert(cube_detail::quads_counter_clockwise());

}  // namespace quarvel
