// Vertex placement: one vertex per slot, at the minimiser of a regularised
// quadratic error function of its Hermite samples, clamped into its cell (or,
// at a sharp feature, the cell grown by a quarter edge), then pulled onto the
// surface by Newton steps.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/box.hpp"
#include "dc/hermite.hpp"
#include "dc/surface_cells.hpp"
#include "eval/sampler.hpp"

namespace quarvel {

// Weight of |x - p|^2 per sample: pulls the vertex toward the mean sample point
// and keeps the normal matrix positive definite (diagonal >= count * 1e-4).
inline constexpr double QEF_REGULARISATION = 1e-4;

// Most surface projection passes; a field without gradients gets one.
inline constexpr int PROJECTION_PASSES = 3;

// Normal equations of one slot: upper triangle of AᵀA, Aᵀb, sample count.
struct Qef {
    double xx = 0, xy = 0, xz = 0, yy = 0, yz = 0, zz = 0;
    Vec3 atb{};
    std::uint32_t count = 0;
};

struct VertexJob {
    std::uint64_t slot = 0;
    Box box;  // clamp box, world coordinates
};

// The vertex list and where each cell's vertices start.
struct PlacedVertices {
    static constexpr std::uint64_t NONE = std::numeric_limits<std::uint64_t>::max();
    std::vector<Vec3> positions;             // world coordinates; a cell's vertices are consecutive
    std::vector<Box> boxes;                  // per vertex, the box projection clamps into
    std::vector<std::uint64_t> first_vertex;  // per surface cell: its first vertex, or NONE
};

// Samples added in sample order into `slot_count` accumulators.
std::vector<Qef> accumulate_qefs(const HermiteSamples& samples, std::uint64_t slot_count);

// Per slot: 1 when two of its normals have a dot product below `cos_threshold`.
std::vector<std::uint8_t> sharp_slots(const HermiteSamples& samples, std::uint64_t slot_count,
                                      double cos_threshold);

// Jobs in slot order (cells in list order, components in order). `tree_size`:
// the octree's edge; a sharp slot's cell box grows by 0.25 * tree_size / 2^level.
std::vector<VertexJob> vertex_jobs(const SurfaceCells& surface, std::span<const std::uint8_t> sharp,
                                   double tree_size);

// Minimiser of `qef` by fixed-order Cholesky-style elimination, clamped into
// `box`; none when the slot has no samples. An inverted box faults.
std::optional<Vec3> solve_qef(const Qef& qef, const Box& box);

// Solved slots as vertices, cell by cell; a cell with some solved slot gets one
// vertex per slot, its unsolved ones at the cell centre.
PlacedVertices assemble_vertices(const SurfaceCells& surface, std::span<const VertexJob> jobs,
                                 std::span<const std::optional<Vec3>> solutions);

// Newton steps onto the iso surface, each clamped into the vertex's box: three
// passes with the field's gradients, one with central differences.
// Returns the number of passes made.
int project_onto_surface(FieldSampler& sampler, PlacedVertices& vertices, double iso_value);

// All of the above for one extraction.
PlacedVertices place_vertices(FieldSampler& sampler, const SurfaceCells& surface,
                              const HermiteSamples& samples, const DcParams& params);

}  // namespace quarvel
