// The one octree build: a first lattice in one batch, top-down assembly with
// merging, then (when min_depth < max_depth) level refinement and a finish:
// band refinement or the balancing pass. With the guard, uniform cells merge
// and are passed over only when proven (octree/guard.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/monitor.hpp"
#include "eval/evaluator.hpp"
#include "octree/guard.hpp"
#include "octree/octree.hpp"

namespace quarvel {

// How a build refines after its levels: every surface leaf and its uniform
// face neighbours to max_depth (band), or the 2:1 balancing pass (balance).
enum class Finish { band, balance };

// How a build accepts cells: the engine's fixed rules (exact()) or the
// package pipeline's (guarded()). Plain data.
struct BuildOptions {
    // Accept uniform cells only when their corners prove them (octree/guard.hpp),
    // for a field whose values change by at most `lipschitz` per unit of distance.
    // A first lattice that shows otherwise turns the guard off for the build.
    bool guard = false;
    double lipschitz = 1.0;
    // Corner gradients of a field that gives none: central differences, six
    // evaluations a corner (true); or none, the refinement tests then reading
    // gradients from each cell's corner values (false).
    bool estimate_gradients = true;
    // With the guard, a field that bounds its values over boxes proves cells by
    // its bounds instead of by the Lipschitz factor (octree/guard.hpp).
    bool bounds = false;
    // Keep the corner samples in the tree (Octree::corners) for a crossing
    // search that reads the corner values; else they go with the build.
    bool keep_corner_values = false;

    static constexpr BuildOptions exact() { return {}; }
    static constexpr BuildOptions pipeline(bool guard, double lipschitz, bool bounds = true) {
        return {guard, lipschitz, false, bounds, true};
    }
};

// The normal angle (degrees) that counts as curved or sharp, unless asked otherwise.
inline constexpr double kDefaultAngleDeg = 30.0;

struct BuildParams {
    Vec3 bbox_min{};
    Vec3 bbox_max{};
    std::uint8_t min_depth = 0;  // callers guarantee min_depth <= max_depth <= 31
    std::uint8_t max_depth = 0;
    double iso_value = 0.0;
    double angle_threshold_deg = kDefaultAngleDeg;
    Finish finish = Finish::band;
    BuildOptions options{};
};

struct BuildResult {
    Octree tree;
    std::uint64_t eval_count = 0;  // points valued, plus 6 per point whose gradient was estimated
    std::uint64_t first_lattice_evaluations = 0;  // of eval_count, those of the first lattice
    GuardOutcome guard = GuardOutcome::off;
    double steepest = 0.0;  // the first lattice's steepest edge, when the guard was asked for
    std::uint64_t cells_bounded = 0;  // uniform cells whose bounds were asked for
    std::uint64_t cells_proven = 0;   // of those, the ones their bounds proved free of surface
};

// `monitor` hears the stages' progress and may abandon the build (see
// core/monitor.hpp); it is the thread's active monitor meanwhile.
BuildResult build_octree(Evaluator& field, const BuildParams& params, Monitor& monitor = Monitor::none());

// The level-refinement tests, exposed for tests.
// A Leaf is refined when two corner normals differ by more than the threshold
// angle (cos_threshold > smallest pairwise dot) or gradient magnitudes vary more
// than fourfold.
// `gradients`: the leaf's corner gradients, corner order; for a Leaf whose
// corners do not all carry one, cell_gradients() of its corner values.
bool leaf_selected(const std::array<Vec3, 8>& gradients, double cos_threshold);
// A uniform cell is refined when its nearest corner value is within 1.5 cell
// diagonals times its steepest corner gradient of the iso value; corners
// without gradients count with cell_gradients().
bool uniform_cell_selected(const Octree& tree, const CornerCache& cache, const CellKey& cell);
// Gradients at the corners of a cell of edge `edge` read from its corner
// `values` alone: along each axis, the difference across the cell's edge
// through the corner, divided by the edge.
std::array<Vec3, 8> cell_gradients(const std::array<double, 8>& values, double edge);

// Band refinement's passes, exposed for tests.
namespace band_detail {

// One pass over the whole tree: every Leaf coarser than max_depth, and every
// uniform cell coarser than a finest Leaf beside it, in walk order, each once.
std::vector<CellKey> band_requests(const Octree& tree);
// The same pass over `leaves` only (keys in walk order).
std::vector<CellKey> band_requests(const Octree& tree, std::span<const CellKey> leaves);
// The leaves a pass may find requests at after `refined` were split one
// level: the pass over them equals the pass over the whole tree.
std::vector<CellKey> leaves_touched(const Octree& tree, std::span<const CellKey> refined);

}  // namespace band_detail

}  // namespace quarvel
