// Hermite data: for every sign-changing edge of every surface cell, the point
// where the field crosses the iso value (and the unit normal there). All edges
// advance together, one field call per round of the search; the engine makes
// eight bisection rounds however many edges there are, and takes its normals
// in vertex placement.
//
// A crossing is named by its cell and edge, so the list itself is only where
// each cell's crossings start: cells in list order, edges 0..11 within a cell.
// An edge shared by several cells appears once per cell and feeds only that
// cell's vertex. The engine forms positions from the cell's bounds each time
// they are needed, by the same operations, so they never need storing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/monitor.hpp"
#include "dc/surface_cells.hpp"
#include "eval/sampler.hpp"

namespace quarvel {

// Rounds of the engine's crossing search: the bracket ends 1/256 of the edge wide.
inline constexpr int BISECTION_ROUNDS = 8;

// The pipeline's search: most rounds (an edge still open then takes the middle
// of its bracket), and the step, in edge lengths, below which it has converged.
inline constexpr int SEARCH_ROUNDS = 16;
inline constexpr double SEARCH_TOLERANCE = 1e-6;
// The same for secant steps, on a field that gives no gradients: its normals
// are estimates good to about a cell over the surface's radius of curvature,
// so a crossing placed closer than this adds nothing but evaluations.
inline constexpr double SECANT_TOLERANCE = 1e-4;

// Fields whose values step across the surface (occupancy, values clipped to a
// band narrower than a cell) have no slope to follow there: their crossings
// are bisected until the bracket is this many edges wide, then placed by
// interpolating its ends (the middle, for a pure step).
inline constexpr double STEP_BRACKET = 1.0 / 1024.0;
// A crossing's first trial, the secant of its corner values, misses when its
// value is not finite or exceeds this share of the smaller corner value's
// magnitude, or when the field gives a zero or non-finite gradient there. A
// step's trial keeps a corner's value (share 1); a smooth field's is off by
// about its curvature times the edge over the cosine of the edge's angle to
// the surface (share well below this but where that cosine is small). When
// more than half of a call's trials miss, it treats the field as occupancy.
inline constexpr double SECANT_MISS = 0.5;

// How a call's crossings were found and its vertices placed: by the field's
// slopes (a distance-like field), or, for an occupancy-like field (values that
// step or saturate across the surface), by bisection and at the mean of each
// slot's crossing points.
enum class FieldKind : std::uint8_t { distance, occupancy };

// The pipeline's estimated normals: one straddles a crease when, on some
// axis, its forward and backward differences differ by more than this share
// of the gradient's length. On a smooth surface the share is about the step
// over the radius of curvature, below it down to radii of a fifth of a cell;
// a crease within the step gives about the jump of the normal.
inline constexpr double CREASE_TOLERANCE = 0.05;
// A field without gradients: an edge's normal is the mean of its four cells'
// trilinear gradients when they agree to within this share of the mean's
// length, about the cell over the radius of curvature (a crease of 15 degrees
// or more exceeds it); otherwise it is asked of the field.  The mean is off by
// about the square of the share over six: at most 1%.  On a gyroid lattice
// with 32 cells to a period, 0.05 sent 92% of the edges to the field for six
// points each; 0.25 sends 8%, and the worst vertex moves from 0.041 to 0.043 h.
inline constexpr double LATTICE_SPREAD = 0.25;
// How many smaller stencils (each a tenth of the last) such a normal tries.
inline constexpr int CREASE_REFINEMENTS = 2;

struct Crossings {
    std::vector<std::uint64_t> first;  // per cell, then the total: cell c owns first[c] .. first[c+1]-1
    std::vector<std::uint8_t> edge;    // per crossing: its edge in its cell (0..11)
    // The engine's, per crossing after the search: its bracket [b, b + 1] / 256
    // along the edge from corner a, whose midpoint is the crossing point.
    std::vector<std::uint8_t> bracket;
    // The pipeline's: each distinct edge solved once. Per crossing its distinct
    // edge; per distinct edge its point and unit normal.
    std::vector<std::uint32_t> solved_edge;
    std::vector<Vec3> solved_points;
    std::vector<Vec3> solved_normals;
    std::uint64_t normal_evaluations = 0;  // of the search's evaluations, those made for normals
    FieldKind field_kind = FieldKind::distance;  // the pipeline's, when it looked (no normals for occupancy)
    bool gradients_absent = false;  // the pipeline's: the field gave no gradients at any crossing
    // The pipeline's, for a field without gradients: per surface cell, whether
    // every edge of it took its normal from the corner values, which then
    // also guide its vertices onto the surface (else the field is asked).
    std::vector<std::uint8_t> lattice_cells;

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

// Where each cell's crossings start, and their edges (nothing searched yet).
Crossings build_crossings(const SurfaceCells& surface);

// Eight batched bisection rounds over every crossing; fills `crossings.bracket`.
void locate_crossings(FieldSampler& sampler, const SurfaceCells& surface, Crossings& crossings,
                      double iso_value);

// Writes every crossing point (after the engine's search) at its index.
FillPoints crossing_points(const SurfaceCells& surface, const Crossings& crossings);

// One edge as the pipeline's search sees it.
struct EdgeCrossing {
    Vec3 p0{};               // position of corner a (CUBE_EDGES)
    Vec3 p1{};               // position of corner b
    double f0 = 0.0;         // values[a] - iso_value
    std::uint64_t cell = 0;  // index in the surface cell list
    std::uint8_t edge = 0;   // the cell's edge, 0..11 (CUBE_EDGES)
};

// The distinct edges of the crossings: `edges` holds the first crossing of each
// edge (cells of one level sharing it), `f1` the value at its p1 minus the iso
// value, `edge_of[i]` the edge of crossing i. Needs `surface.values`.
struct DistinctEdges {
    std::vector<EdgeCrossing> edges;
    std::vector<double> f1;
    std::vector<std::uint32_t> edge_of;
};
DistinctEdges distinct_edges(const SurfaceCells& surface, const Crossings& crossings,
                             double iso_value);

// Where each crossing lies, the field's value there (NaN when the search
// ended in the middle of its bracket, never evaluated), and the field's
// gradient there when the search ended on an evaluated point whose gradient
// the field gave.
struct Located {
    std::vector<Vec3> points;
    std::vector<double> values;
    std::vector<std::optional<Vec3>> gradients;

    FieldKind field_kind = FieldKind::distance;
};

// The safeguarded search of each crossing, all advancing together: a Newton
// step along the edge from the last point where the field gave a gradient,
// else an Illinois secant step between the bracket's ends, else (a step
// outside the bracket, not shrinking fast enough, or not finite) the middle of
// the bracket. A crossing is done when the next Newton step (or the last
// secant step, or the next one through the last two trials) is below
// SEARCH_TOLERANCE edges (SECANT_TOLERANCE for secant steps), or its bracket is; after
// SEARCH_ROUNDS rounds it takes the middle of its bracket. `f1` per crossing:
// the value at p1 minus the iso value. Reports each round to `monitor`.
// With `detect_occupancy`, the first round's trials also judge the field
// (SECANT_MISS); an occupancy one's open searches then bisect to STEP_BRACKET
// and interpolate their ends, and no gradients are kept.
Located solve_crossings(FieldSampler& sampler, std::span<const EdgeCrossing> crossings,
                        std::span<const double> f1, double iso_value, Monitor& monitor = Monitor::none(),
                        bool detect_occupancy = false);

// g / |g| when |g| > 1e-12, else (0, 0, 1) (also for a NaN or infinite
// gradient). |g| is computed without overflow for large finite components.
Vec3 unit_normal(const Vec3& g);

// The gradient at `p` of the trilinear interpolation of `values` (minus any
// constant) over `cell`. Averaged over the four cells around an edge, its
// components across the edge are central differences of the lattice.
Vec3 lattice_gradient(const SurfaceCell& cell, const std::array<double, 8>& values, const Vec3& p);

// The crossings of the whole cell list, searched as `options.crossings` says:
// the engine's brackets, or the pipeline's points and normals per distinct
// edge. No field call when no edge crosses. `sharp_cos`: the cosine of the
// sharp-feature angle, near which lattice normals are not trusted; `clip`:
// the box that clipped the field, whose wall's values stand in for the
// field's where it won, nor are they trusted there.
Crossings hermite_samples(FieldSampler& sampler, const SurfaceCells& surface, double iso_value,
                          const DcOptions& options = DcOptions::exact(), Monitor& monitor = Monitor::none(),
                          double sharp_cos = 1.0, const std::optional<Box>& clip = std::nullopt);

}  // namespace quarvel
