// Hermite data: for every sign-changing edge of every surface cell, the point
// where the field crosses the iso value and the unit normal there. All edges
// advance together, one field call per round of the search; the engine makes
// eight bisection rounds and one normal batch however many edges there are.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dc/surface_cells.hpp"
#include "eval/sampler.hpp"

namespace quarvel {

// Rounds of the engine's crossing search: the bracket ends 1/256 of the edge wide.
inline constexpr int BISECTION_ROUNDS = 8;

// The pipeline's search: most rounds (an edge still open then takes the middle
// of its bracket), and the step, in edge lengths, below which it has converged.
inline constexpr int SEARCH_ROUNDS = 16;
inline constexpr double SEARCH_TOLERANCE = 1e-6;

// One sign-changing edge of one surface cell. An edge shared by several cells
// appears once per cell and feeds only that cell's vertex.
struct EdgeCrossing {
    Vec3 p0{};                   // position of corner a (CUBE_EDGES)
    Vec3 p1{};                   // position of corner b
    double f0 = 0.0;             // values[a] - iso_value
    std::uint64_t cell = 0;      // index in the surface cell list
    std::uint8_t component = 0;  // group of the edge's inside corner in that cell
    std::uint8_t edge = 0;       // the cell's edge, 0..11 (CUBE_EDGES)
};

// Samples in crossing order; row i of each array belongs to crossing i.
struct HermiteSamples {
    std::vector<Vec3> points;          // N x 3 crossing points, world coordinates
    std::vector<Vec3> normals;         // N x 3 unit normals, (0, 0, 1) where the gradient vanished
    std::vector<std::uint64_t> slots;  // N vertex slots: slots.offset[cell] + component
    std::uint64_t normal_evaluations = 0;  // of the field's evaluations, those made for normals
};

// Sign-changing edges, cells in list order and edges 0..11 within a cell.
std::vector<EdgeCrossing> build_crossings(const SurfaceCells& surface, double iso_value);

// Eight batched bisection rounds per crossing; returns N crossing points.
std::vector<Vec3> locate_crossings(FieldSampler& sampler, std::span<const EdgeCrossing> crossings,
                                   double iso_value);

// The crossings of distinct edges: `edges` holds the first crossing of each
// edge (cells of one level sharing it), `edge_of[i]` the edge of crossing i.
struct DistinctEdges {
    std::vector<EdgeCrossing> edges;
    std::vector<std::uint32_t> edge_of;
};
DistinctEdges distinct_edges(const SurfaceCells& surface, std::span<const EdgeCrossing> crossings);

// Where each crossing lies, and the field's gradient there when the search
// ended on an evaluated point whose gradient the field gave.
struct Located {
    std::vector<Vec3> points;
    std::vector<std::optional<Vec3>> gradients;
};

// The safeguarded search of each crossing, all advancing together: a Newton
// step along the edge from the last point where the field gave a gradient,
// else an Illinois secant step between the bracket's ends, else (a step
// outside the bracket, not shrinking fast enough, or not finite) the middle of
// the bracket. A crossing is done when the next Newton step (or the last
// secant step) is below SEARCH_TOLERANCE edges, or its bracket is; after
// SEARCH_ROUNDS rounds it takes the middle of its bracket. `f1` per crossing:
// the value at p1 minus the iso value.
Located solve_crossings(FieldSampler& sampler, std::span<const EdgeCrossing> crossings,
                        std::span<const double> f1, double iso_value);

// g / |g| when |g| > 1e-12, else (0, 0, 1) (also for a NaN or infinite
// gradient). |g| is computed without overflow for large finite components.
Vec3 unit_normal(const Vec3& g);

// One batch on `points` (plus a finite-difference one when the field gives no
// gradients); its gradients, normalised.
std::vector<Vec3> estimate_normals(FieldSampler& sampler, std::span<const Vec3> points);

// The steps above for the whole cell list, as `options.crossings` says. No
// field call when no edge crosses.
HermiteSamples hermite_samples(FieldSampler& sampler, const SurfaceCells& surface,
                               double iso_value, const DcOptions& options = DcOptions::exact());

}  // namespace quarvel
