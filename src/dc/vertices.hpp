// Vertex placement: one vertex per slot, at the minimiser of a regularised
// quadratic error function of its Hermite samples, clamped into its cell (or,
// at a sharp feature, the cell grown by a quarter edge), then pulled onto the
// surface by Newton steps.
//
// The engine's normals batch is read in place, cell by cell: each cell's
// samples are formed, accumulated, tested for sharpness and solved while the
// field's gradients are still at hand, so no per-sample array is ever stored.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/box.hpp"
#include "core/monitor.hpp"
#include "dc/hermite.hpp"
#include "dc/surface_cells.hpp"
#include "eval/sampler.hpp"

namespace quarvel {

// Weight of |x - p|^2 per sample: pulls the vertex toward the mean sample point
// and keeps the normal matrix positive definite (diagonal >= count * 1e-4).
inline constexpr double QEF_REGULARISATION = 1e-4;

// Most surface projection passes; a field without gradients gets one.
inline constexpr int PROJECTION_PASSES = 3;

// Projection passes for a field without gradients whose cells hold their
// corner values: each costs one evaluation per vertex, the direction coming
// from the trilinear gradient of the vertex's cell. That is a central
// difference at the cell's middle, so each pass shrinks the value by about
// the cell over the surface's radius of curvature.
inline constexpr int LATTICE_PROJECTION_PASSES = 2;

// The pipeline's projection: a vertex that moved less than this many finest
// edges in a pass has converged and takes no further pass.
inline constexpr double PROJECTION_TOLERANCE = 1e-6;

// Normal equations of one slot: upper triangle of AᵀA, Aᵀb, sample count.
struct Qef {
    double xx = 0, xy = 0, xz = 0, yy = 0, yz = 0, zz = 0;
    Vec3 atb{};
    std::uint32_t count = 0;
};

// Adds the sample at `p` with unit normal `n`; samples of a slot are added in
// crossing order.
void add_sample(Qef& q, const Vec3& p, const Vec3& n);

// Whether two of a slot's normals (in crossing order) have a dot product below
// `cos_threshold`; NaN never counts.
bool is_sharp(std::span<const Vec3> normals, double cos_threshold);

// The clamp box of a slot of `cell`: the cell, grown by 0.25 * tree_size /
// 2^level on every side when the slot is sharp.
Box vertex_box(const SurfaceCell& cell, bool sharp, double tree_size);

// Minimiser of `qef` by fixed-order Cholesky-style elimination, clamped into
// `box`; none when the slot has no samples. A minimiser that is not finite
// (from samples that were not) is not taken: the vertex stays at the box's
// middle. An inverted box faults.
std::optional<Vec3> solve_qef(const Qef& qef, const Box& box);

// The vertex list and where each cell's vertices start.
struct PlacedVertices {
    static constexpr std::uint64_t NONE = std::numeric_limits<std::uint64_t>::max();
    std::vector<Vec3> positions;              // world coordinates; a cell's vertices are consecutive
    std::vector<std::uint8_t> sharp;          // per vertex: clamped into the grown box of its cell
    std::vector<std::uint64_t> first_vertex;  // per surface cell: its first vertex, or NONE
    bool by_sheet = false;                    // slots per sheet (dc/sheets.hpp), else per corner group
    std::vector<Vec3> gradients;  // per vertex when normals are asked for: the field's gradient
                                  // where the projection last evaluated it
    std::uint64_t normal_evaluations = 0;  // of placement's evaluations, those of the normals batch
    // Per vertex with options.manifold, for the repair (dc/repair.hpp): the mean
    // and the bounding box of its slot's crossing points, gathered while the
    // crossings are still at hand (the cell's middle and box for a slot without any).
    std::vector<Vec3> crossing_mean;
    std::vector<Box> crossing_box;
};

// Vertex numbering: a cell gets one vertex per slot (per sheet when
// `by_sheet`) when some slot of it has samples (the others sit at the cell
// centre), else none. Positions are left zero.
PlacedVertices number_vertices(const SurfaceCells& surface, const Crossings& crossings, bool by_sheet = false);

// The Newton step from `x` towards the iso surface along `g`: x - g f / |g|^2,
// with |g|^2 scaled only when the plain sum overflows. None when the gradient
// is flat (|g|^2 <= 1e-20) or the step is not finite: the vertex stays.
std::optional<Vec3> newton_step(const Vec3& x, double f, const Vec3& g);

// newton_step kept in `box`: an axis whose step would leave the box stops
// at its side and the other axes take the rest of the step (up to three
// such sides); where no step is possible the point is only clamped.
Vec3 newton_step_in_box(const Vec3& x, double f, const Vec3& g, const Box& box);

// Newton steps onto the iso surface, each clamped into the vertex's box: three
// passes with the field's gradients, one with central differences. With
// `options.stop_converged`, a vertex whose step was at most
// PROJECTION_TOLERANCE finest edges before clamping, or that could not step,
// takes no further pass; with `options.vertex_normals`, each vertex keeps its
// last gradient (those still moving after the last pass: the gradient where
// they stopped, when the field gives gradients).
// Returns the number of passes made; reports each pass to `monitor`.
// Vertices of the cells marked in `skipped` (when given) are left as they are.
int project_onto_surface(FieldSampler& sampler, const SurfaceCells& surface,
                         PlacedVertices& vertices, const DcParams& params, Monitor& monitor = Monitor::none(),
                         std::span<const std::uint8_t> skipped = {});

// All of the above for one extraction: the samples (the engine's from one
// normals batch on its crossing points, plus central differences when the
// field gives no gradients; the pipeline's as its search left them), the
// solve, then the projection.
PlacedVertices place_vertices(FieldSampler& sampler, const SurfaceCells& surface,
                              const Crossings& crossings, const DcParams& params,
                              Monitor& monitor = Monitor::none());

}  // namespace quarvel
