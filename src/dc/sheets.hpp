// Vertex slots by sheet: the pipeline's alternative to one slot per group of
// inside corners. A cell's sign-changing edges are joined where the surface
// runs between them across one of the cell's faces; each resulting loop of
// edges bounds one sheet of the surface within the cell and gets a vertex.
//
// Two things differ from the corner groups. A group whose crossings belong to
// two sheets (a wall thinner than the cell's diagonal, both sides crossing
// one cell) gets a vertex per sheet instead of one pulled into the middle of
// the wall. And on a face whose inside corners sit on a diagonal, the inside
// corners are joined (the curves cut off the outside ones): a knife edge or a
// wall thinner than the lattice, sampled only at scattered corners, stays in
// one piece instead of breaking into a dust of closed bits.
//
// Each edge lies on two faces and is joined to exactly one other edge on each,
// so the edges fall into simple loops: every sheet is a disc, and its vertex's
// quads close into one fan. The rule reads only a face's four signs, so the
// two cells sharing a face see the same curves there.
#pragma once

#include <array>
#include <cstdint>

#include "dc/surface_cells.hpp"
#include "octree/cube.hpp"

namespace quarvel {

// The sheets of one sign mask.
struct CellSheets {
    std::array<std::int8_t, 12> edge{};  // sheet of each edge, -1 for an edge without a sign change
    std::uint8_t count = 0;              // number of sheets, 0..4 (each loop has at least three edges)
};

namespace detail {

constexpr unsigned find_root(std::array<std::uint8_t, 12>& parent, unsigned e) {
    while (parent[e] != e) e = parent[e] = parent[parent[e]];
    return e;
}

constexpr CellSheets sheets_of_mask(unsigned mask) {
    const auto inside = [mask](unsigned corner) { return (mask >> corner & 1u) != 0; };
    const auto crossing = [&](unsigned e) { return inside(CUBE_EDGES[e][0]) != inside(CUBE_EDGES[e][1]); };
    std::array<std::uint8_t, 12> parent{};
    for (unsigned e = 0; e < 12; ++e) parent[e] = static_cast<std::uint8_t>(e);
    const auto join = [&](unsigned a, unsigned b) { parent[find_root(parent, a)] = static_cast<std::uint8_t>(find_root(parent, b)); };
    for (unsigned axis = 0; axis < 3; ++axis)
        for (unsigned side = 0; side < 2; ++side) {
            // The face's crossing edges: those along the other axes with both corners on the face.
            unsigned edges[4] = {};
            unsigned n = 0;
            for (unsigned e = 0; e < 12; ++e)
                if (e / 4 != axis && bit_on(CUBE_EDGES[e][0], axis) == side && crossing(e)) edges[n++] = e;
            if (n == 2) join(edges[0], edges[1]);
            if (n != 4) continue;
            // Every edge crosses: the outside corners sit on a diagonal, each cut off by its own curve.
            for (unsigned corner = 0; corner < 8; ++corner) {
                if (bit_on(corner, axis) != side || inside(corner)) continue;
                unsigned around[2] = {};
                unsigned k = 0;
                for (unsigned i = 0; i < 4; ++i)
                    if (CUBE_EDGES[edges[i]][0] == corner || CUBE_EDGES[edges[i]][1] == corner) around[k++] = edges[i];
                join(around[0], around[1]);
            }
        }
    CellSheets out;
    std::array<std::int8_t, 12> label{};
    for (auto& l : label) l = -1;
    for (auto& s : out.edge) s = -1;
    for (unsigned e = 0; e < 12; ++e) {
        if (!crossing(e)) continue;
        const unsigned root = find_root(parent, e);
        if (label[root] < 0) label[root] = static_cast<std::int8_t>(out.count++);
        out.edge[e] = label[root];
    }
    return out;
}

constexpr std::array<CellSheets, 256> make_sheet_table() {
    std::array<CellSheets, 256> table{};
    for (unsigned mask = 0; mask < 256; ++mask) table[mask] = sheets_of_mask(mask);
    return table;
}

}  // namespace detail

// Sheets of every sign mask (bit i: corner i below iso), generated at compile time.
inline constexpr std::array<CellSheets, 256> SHEET_TABLE = detail::make_sheet_table();

// A cell's vertex slots: one per sheet, or one per group of inside corners.
inline unsigned slot_count(const SurfaceCell& cell, bool by_sheet) {
    return by_sheet ? SHEET_TABLE[cell.sign_mask].count : components_of(cell).count;
}

// The slot of crossing edge `e` of `cell`: its sheet's, or its inside corner's group's.
inline unsigned slot_on_edge(const SurfaceCell& cell, unsigned e, bool by_sheet) {
    if (by_sheet) return static_cast<unsigned>(SHEET_TABLE[cell.sign_mask].edge[e]);
    const auto [a, b] = CUBE_EDGES[e];
    return static_cast<unsigned>(component_of(components_of(cell), below(cell, a) ? a : b));
}

}  // namespace quarvel
