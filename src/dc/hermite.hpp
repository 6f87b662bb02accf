// Hermite data: for every sign-changing edge of every surface cell, the point
// where the field crosses the iso value (and, in vertex placement, the unit
// normal there). All edges advance together, so the field is called a fixed
// number of times (eight bisection rounds) however many edges there are.
//
// A crossing is named by its cell and edge, so the list itself is only where
// each cell's crossings start: cells in list order, edges 0..11 within a cell.
// An edge shared by several cells appears once per cell and feeds only that
// cell's vertex. Positions are formed from the cell's bounds each time they
// are needed, by the same operations, so they never need storing.
#pragma once

#include <cstdint>
#include <vector>

#include "dc/surface_cells.hpp"
#include "eval/sampler.hpp"

namespace quarvel {

// Rounds of the crossing search: the bracket ends 1/256 of the edge wide.
inline constexpr int BISECTION_ROUNDS = 8;

struct Crossings {
    std::vector<std::uint64_t> first;  // per cell, then the total: cell c owns first[c] .. first[c+1]-1
    std::vector<std::uint8_t> edge;    // per crossing: its edge in its cell (0..11)
    // Per crossing after the search: its bracket [b, b + 1] / 256 along the edge
    // from corner a, whose midpoint is the crossing point.
    std::vector<std::uint8_t> bracket;

    std::uint64_t count() const { return first.empty() ? 0 : first.back(); }
};

// Calls visit(edge) for each sign-changing edge of `cell`, in edge order 0..11.
template <class Visit>
void for_each_crossing_edge(const SurfaceCell& cell, Visit&& visit) {
    for (unsigned e = 0; e < 12; ++e)
        if (below(cell, CUBE_EDGES[e][0]) != below(cell, CUBE_EDGES[e][1])) visit(e);
}

// Calls visit(cell index, edge, crossing index) for every crossing of the
// cells in [begin, end), in order.
template <class Visit>
void for_each_crossing(const Crossings& crossings, std::size_t begin, std::size_t end,
                       Visit&& visit) {
    for (std::size_t c = begin; c < end; ++c)
        for (std::uint64_t i = crossings.first[c]; i < crossings.first[c + 1]; ++i)
            visit(c, unsigned{crossings.edge[i]}, i);
}

// The group of the inside corner of crossing edge `e` of `cell`.
unsigned crossing_component(const SurfaceCell& cell, unsigned e);

// p0 + t (p1 - p0) on edge `e` of `cell`, p0 and p1 its corners a and b.
Vec3 edge_point(const SurfaceCell& cell, unsigned e, double t);

// The crossing point of edge `e` whose search ended in `bracket`.
Vec3 crossing_point(const SurfaceCell& cell, unsigned e, std::uint8_t bracket);

// Where each cell's crossings start, and their edges (bracket left empty).
Crossings build_crossings(const SurfaceCells& surface);

// Eight batched bisection rounds over every crossing; fills `crossings.bracket`.
void locate_crossings(FieldSampler& sampler, const SurfaceCells& surface, Crossings& crossings,
                      double iso_value);

// Writes every crossing point (after the search) at its index.
FillPoints crossing_points(const SurfaceCells& surface, const Crossings& crossings);

// g / |g| when |g| > 1e-12, else (0, 0, 1) (also for NaN).
Vec3 unit_normal(const Vec3& g);

// Both steps for the whole cell list. No field call when no edge crosses.
Crossings hermite_samples(FieldSampler& sampler, const SurfaceCells& surface, double iso_value);

}  // namespace quarvel
