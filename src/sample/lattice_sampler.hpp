// The pipeline's sampler: every finest cell whose corner signs change, with
// its corner values, from as few evaluations as the proofs allow.
//
// The cube is refined level by level from the first lattice (every cell of
// min_depth). A cell whose corners straddle the iso value, or one its corners
// do not prove free of surface, is split; of its children only those the
// proof has not yet cleared are sampled. Each level's new points go to the
// field in one batch, kept in a sparse grid of dense bricks (point_store.hpp).
// A finest cell found with a sign change pulls in its neighbours across every
// face whose signs change, so each sign-changing edge has all four cells
// around it.
//
// How cells are proven:
// - interval bounds, from a field that gives them: a cell whose bounds lie on
//   one side of the iso value holds no surface, whatever the field's slope;
// - otherwise the Lipschitz guard: around a corner of value f the ball of
//   radius |f - iso| / L holds no surface; a child all of whose eight octants
//   lie in such balls of its parent's corners is never sampled. The factor
//   assumed is never below the steepest slope measured on any edge sampled:
//   it is raised (with a margin) as slopes are seen and every cell cleared
//   with a lower one is judged again;
// - by signs alone when the field is plainly not distance-like (infinite
//   values, or slopes far beyond the factor given).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/monitor.hpp"
#include "core/vec3.hpp"
#include "eval/evaluator.hpp"

namespace quarvel {

struct SampleParams {
    Vec3 origin{};     // the cube's minimum corner, world units
    double size = 0.0;  // the cube's edge, world units
    std::uint8_t min_depth = 0;  // callers guarantee min_depth <= max_depth <= 31
    std::uint8_t max_depth = 0;
    double iso_value = 0.0;
    // Prove cells before accepting them as empty or full (else by signs).
    bool guard = true;
    double lipschitz = 1.0;  // the factor given: the most the value changes per unit of distance
    bool bounds = true;      // prove by the field's bounds when it gives them
    // The finest cells [window_lo, window_hi) per axis to look in (a tile's,
    // with its halo); cells of any level outside it are never sampled.
    std::array<std::uint32_t, 3> window_lo{0, 0, 0};
    std::array<std::uint32_t, 3> window_hi{~0u, ~0u, ~0u};
};

// How cells were proven, as the pipeline's stats name it.
enum class SampleGuard : std::uint8_t {
    off,              // not asked for: judged by signs
    on,               // by corner balls
    infinite_values,  // the field gave infinite values: judged by signs
    too_steep,        // slopes far beyond the factor given: judged by signs
    bounds,           // by the field's interval bounds
};

// A finest cell whose corners straddle the iso value.
struct SampledCell {
    std::uint32_t x = 0, y = 0, z = 0;  // cell coordinates at max_depth
    std::uint8_t sign_mask = 0;         // bit i: corner value i < iso_value
};

struct SampleResult {
    // In walk order: z-order of the cells, so brick by brick, then cell by
    // cell within a brick; the same for any thread count.
    std::vector<SampledCell> cells;
    std::vector<std::array<double, 8>> values;  // per cell: raw corner values, corner order
    std::uint64_t first_lattice_evaluations = 0;
    std::uint64_t evaluations = 0;  // all of them, the first lattice's included
    SampleGuard guard = SampleGuard::off;
    // With the guard on, the factor it ended with; else the steepest slope measured.
    double steepest = 0.0;
    std::uint64_t cells_judged = 0;   // cells whose corners were read, every level
    std::uint64_t cells_bounded = 0;  // cells whose bounds were asked for
    std::uint64_t cells_proven = 0;   // of those, the ones the bounds proved
    std::uint64_t bricks = 0;         // bricks made
};

// `monitor` hears the stages' progress and may abandon the sampling (see
// core/monitor.hpp); it is the thread's active monitor meanwhile.
SampleResult sample_lattice(Evaluator& field, const SampleParams& params, Monitor& monitor = Monitor::none());

namespace sample_detail {

// The children (bit c) of a cell that its corner balls do not prove: `reach`
// is each corner's empty-ball radius in cell edges (0 where unknown).
std::uint8_t unproven_children(const std::array<double, 8>& reach);

}  // namespace sample_detail

}  // namespace quarvel
