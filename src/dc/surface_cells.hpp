// The surface cells dual contouring works on, and the parameters its stages
// share. Every per-cell array of the extraction is indexed by position in the
// cell list.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/box.hpp"
#include "core/flat_map.hpp"
#include "dc/component.hpp"
#include "octree/octree.hpp"
#include "sample/lattice_sampler.hpp"

namespace quarvel {

// One surface leaf. Bounds are carried down from the root by halving, never
// recomputed from the key, so they match the positions the walk produced.
// Corner values are not carried: every test on them is a sign test, which the
// mask answers (values[i] - iso < 0 exactly when values[i] < iso), and the
// gradients come from the field.
struct SurfaceCell {
    std::uint8_t sign_mask = 0;      // bit i: corner value i < iso_value
    Vec3 min{};                      // minimum corner, world coordinates
    double edge = 0.0;               // edge length, world units
    CellKey key;                     // coordinates at `key.level`, which is the cell's level
};

// Surface leaves at a level >= tree.min_depth, in walk order.
std::vector<SurfaceCell> collect_surface_cells(const Octree& tree);

// Position of a cell in the list by its key.
//
// Cells of one level in z-order (the pipeline's sampler lists them so) are
// found by their z-order code: a table of where each run of codes sharing
// their high bits begins, about one run per cell, built in parallel, then a
// scan of that short run. Any other list goes into a hash map, where a later
// duplicate key wins.
class CellLookup {
public:
    static constexpr std::uint64_t NONE = ~std::uint64_t{0};

    explicit CellLookup(const std::vector<SurfaceCell>& cells);
    // The cell's position, or NONE.
    std::uint64_t find(const CellKey& key) const;
    // The cell one step down from cell `c` along each axis in `axes` (bit
    // per axis; c's coordinates on them are above 0), or NONE.
    std::uint64_t find_below(std::uint64_t c, unsigned axes) const;
    // The cell `step` (-1, 0 or 1 per axis) from cell `c`, or NONE (also
    // beyond the level's lattice).
    std::uint64_t find_near(std::uint64_t c, const std::array<int, 3>& step) const;
    // Whether cells are found by z-order code (one level, in z-order).
    bool by_code() const { return by_code_; }

    // With by_code(): cell c's z-order code; the code one step along `axis`
    // (down or up; the caller keeps it within the level's lattice), which
    // only that axis's bits change, the borrow or carry running through the
    // other axes' bits, cleared or set for it; and the position of the cell
    // of a code, or NONE. Codes order cells as the list does.
    std::uint64_t code(std::uint64_t c) const { return codes_[c]; }
    static std::uint64_t step_code(std::uint64_t code, unsigned axis, bool up) {
        const std::uint64_t mask = 0x1249249249249249ULL << axis;
        const std::uint64_t moved = up ? (code | ~mask) + 1 : (code & mask) - 1;
        return (moved & mask) | (code & ~mask);
    }
    std::uint64_t find_code(std::uint64_t code) const {
        const std::uint64_t run = code >> shift_;
        if (run + 1 >= start_.size()) return NONE;
        for (std::uint64_t i = start_[run], end = start_[run + 1]; i < end && codes_[i] <= code; ++i)
            if (codes_[i] == code) return i;
        return NONE;
    }

private:
    bool index_in_z_order();

    const std::vector<SurfaceCell>& cells_;
    std::uint8_t level_ = 0;
    unsigned shift_ = 0;                // a code's run: code >> shift_
    std::vector<std::uint64_t> codes_;  // per cell
    std::vector<std::uint64_t> start_;  // run r: cells [start_[r], start_[r + 1])
    FlatMap<CellKey, std::uint64_t> map_;
    bool by_code_ = false;
};

// The groups of a cell's inside corners: one vertex slot each.
inline const CellComponents& components_of(const SurfaceCell& cell) {
    return COMPONENT_TABLE[cell.sign_mask];
}

// The cell list with its vertex slots.
struct SurfaceCells {
    std::vector<SurfaceCell> cells;
    VertexSlots slots;  // per cell: its first vertex slot; the total
    // Per cell, its raw corner values in corner order, only where the crossing
    // search reads them (the pipeline's); else empty.
    std::vector<std::array<double, 8>> values;
};
SurfaceCells index_surface_cells(std::vector<SurfaceCell> cells);

// Fills `surface.values` from the corner samples `tree` kept; faults when it
// kept none for a cell's corner.
void attach_corner_values(SurfaceCells& surface, const Octree& tree);

// The finest cells a lattice sampler found (sample/lattice_sampler.hpp), in
// its order, with their corner values, over the cube at `origin` of edge
// `size`. The cells are dropped once read; the values move in.
SurfaceCells surface_from_samples(std::vector<SampledCell>&& cells, std::vector<std::array<double, 8>>&& values,
                                  const Vec3& origin, double size, unsigned max_depth);

// How the stages work: the engine's fixed rules (exact()) or the package
// pipeline's. Plain data; each option is read at one point of one stage.
struct DcOptions {
    // Hermite data: every sign-changing edge of every cell bisected in eight
    // rounds, then a normal batch (bisect_each_cell); or every distinct edge
    // searched once, by safeguarded Newton steps (secant steps for a field
    // without gradients) until converged, the normal taken from the last
    // evaluation (solve_each_edge).
    enum class Crossings : std::uint8_t { bisect_each_cell, solve_each_edge };
    Crossings crossings = Crossings::bisect_each_cell;
    // Projection: every vertex takes every pass, or a vertex stops once its
    // Newton step is below a millionth of the finest edge.
    bool stop_converged = false;
    // Only the largest connected piece (the engine's rule), or every piece.
    bool keep_largest = true;
    // Unit normals at the vertices, from the field's gradients.
    bool vertex_normals = false;
    // Faces as made, or a closed 2-manifold without crossing triangles: folded
    // vertices moved back, pinched ones split (dc/repair.hpp).
    bool manifold = false;
    // Estimated normals as one central difference each, or differenced again
    // with smaller steps where the stencil straddles a crease (its normal a
    // blend of two faces that pulls a corner's vertex off the corner).
    bool crease_normals = false;
    // Whether the crossing search also judges the field (dc/hermite.hpp): an
    // occupancy-like one's vertices go to the mass points of their crossings,
    // and their normals come from the faces around them.
    bool detect_occupancy = false;
    // Vertex slots per group of inside corners, or per sheet (dc/sheets.hpp):
    // a wall thinner than a cell keeps a vertex on each side, and inside
    // corners on a face's diagonal are joined.
    bool by_sheet = false;
    // For a field that gives no gradients: normals and projection directions
    // from the corner values the cells already hold (dc/hermite.hpp,
    // lattice_gradient), central differences only where those straddle a crease.
    bool lattice_normals = false;

    static constexpr DcOptions exact() { return {}; }
    static constexpr DcOptions pipeline(bool keep_largest, bool manifold = true) {
        return {Crossings::solve_each_edge, true, keep_largest, true, manifold, true, true, true, true};
    }
};

// What the stages read besides the cells, fixed for one extraction.
struct DcParams {
    double iso_value = 0.0;
    double cos_threshold = 1.0;  // a slot is sharp when two of its normals' dot product is below
    double tree_size = 0.0;      // the octree's edge, world units: scales the sharp-feature margin
    double finest_edge = 0.0;    // the finest cell edge, world units: scales convergence tests
    DcOptions options{};
    std::optional<Box> clip{};   // the box that clipped the field, if one did (dc/hermite.hpp)

    // The extraction's parameters for `tree`, with the sharp-feature angle in degrees.
    static DcParams of(const Octree& tree, double angle_threshold_deg,
                       const DcOptions& options = DcOptions::exact());
    // The same for a cube at any origin of edge `size` cut `max_depth` times.
    static DcParams of(double iso_value, double size, unsigned max_depth, double angle_threshold_deg,
                       const DcOptions& options);
};

// Whether corner `i` of `cell` is below the iso value.
inline bool below(const SurfaceCell& cell, unsigned i) { return (cell.sign_mask >> i) & 1u; }

// Position of corner `i` of `cell`: min + edge on each axis whose bit is set.
inline Vec3 corner_position(const SurfaceCell& cell, unsigned i) {
    return {cell.min[0] + (bit_x(i) ? cell.edge : 0.0), cell.min[1] + (bit_y(i) ? cell.edge : 0.0),
            cell.min[2] + (bit_z(i) ? cell.edge : 0.0)};
}

// The cell's middle, world coordinates.
inline Vec3 cell_centre(const SurfaceCell& cell) {
    return {cell.min[0] + 0.5 * cell.edge, cell.min[1] + 0.5 * cell.edge,
            cell.min[2] + 0.5 * cell.edge};
}

// The cell as a box, world coordinates.
inline Box cell_box(const SurfaceCell& cell) {
    return {cell.min, {cell.min[0] + cell.edge, cell.min[1] + cell.edge, cell.min[2] + cell.edge}};
}

}  // namespace quarvel
