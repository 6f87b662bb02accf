// The one octree build: a first lattice in one batch, top-down assembly with
// merging, then (when min_depth < max_depth) level refinement and a finish:
// band refinement or the balancing pass.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "eval/evaluator.hpp"
#include "octree/octree.hpp"

namespace quarvel {

// How a build refines after its levels: every surface leaf and its uniform
// face neighbours to max_depth (band), or the 2:1 balancing pass (balance).
enum class Finish { band, balance };

struct BuildParams {
    Vec3 bbox_min{};
    Vec3 bbox_max{};
    std::uint8_t min_depth = 0;  // callers guarantee min_depth <= max_depth <= 31
    std::uint8_t max_depth = 0;
    double iso_value = 0.0;
    double angle_threshold_deg = 30.0;
    Finish finish = Finish::band;
};

struct BuildResult {
    Octree tree;
    std::uint64_t eval_count = 0;  // points valued, plus 6 per point whose gradient was estimated
};

BuildResult build_octree(Evaluator& field, const BuildParams& params);

// The level-refinement tests, exposed for tests.
// A Leaf is refined when two corner normals differ by more than the threshold
// angle (cos_threshold > smallest pairwise dot) or gradient magnitudes vary more
// than fourfold.
// `gradients`: the leaf's corner gradients, corner order.
bool leaf_selected(const std::array<Vec3, 8>& gradients, double cos_threshold);
// A uniform cell is refined when its nearest corner value is within 1.5 cell
// diagonals times its steepest corner gradient of the iso value.
bool uniform_cell_selected(const Octree& tree, const CornerCache& cache, const CellKey& cell);

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
