// The 2:1 balancing pass that finishes an adaptive build when asked to.
//
// Phase A: no face neighbour of a leaf more than one level coarser; a coarser
// non-surface face neighbour of a surface leaf is split; a surface leaf whose
// same-level neighbour is subdivided and holds a surface leaf is split.
// Phase B: every cell sharing a sign-changing edge with a surface leaf of level
// n is refined uniformly to level n.
#pragma once

#include <cstdint>
#include <vector>

#include "core/flat_map.hpp"
#include "eval/evaluator.hpp"
#include "octree/octree.hpp"

namespace quarvel {

// Refines `tree` in place, sampling new corners in one batch per iteration
// (plus one finite-difference batch when the field gives no gradients).
// Returns the number of field evaluations it made: N per batch of N points,
// 6N more when gradients were estimated. Field errors and faults propagate;
// subdivisions and samples of earlier iterations stay in `tree` and `cache`.
// Needs every lattice corner of every non-Internal node in `cache`.
std::uint64_t balance_octree(Evaluator& field, Octree& tree, CornerCache& cache);

// The pass's stages, exposed for tests.
namespace balance_detail {

// Corners queued for one iteration's batch: keys neither cached nor already
// queued, in first-seen order, with their world positions index-aligned.
struct CornerQueue {
    FlatSet<CornerKey> pending;
    std::vector<CornerKey> keys;
    std::vector<Vec3> points;  // origin + key * finest edge
};

// A coarse cell of phase B and the level it must be refined to.
struct RefineRequest {
    CellKey cell;
    std::uint8_t target = 0;
};

// Phase A: splits until no leaf has a face neighbour more than one level
// coarser, no surface leaf a coarser non-surface face neighbour, and no surface
// leaf below max_depth a subdivided same-level neighbour holding a surface leaf.
// Returns its evaluations.
std::uint64_t balance_faces(Evaluator& field, Octree& tree, CornerCache& cache);

// Phase B: refines every coarser cell beside a sign-changing edge of a surface
// leaf of level n down to level n. Returns its evaluations.
std::uint64_t balance_edges(Evaluator& field, Octree& tree, CornerCache& cache);

// Keys of every surface leaf, depth first, children 0..7 (collect_leaves order).
std::vector<CellKey> collect_surface_leaves(const Octree& tree);

// Whether `node` is, or has below it, a surface leaf.
bool subtree_has_surface_leaf(const Octree& tree, const OctreeNode& node);

// Phase A's cells to split for the current tree, in first-request order.
std::vector<CellKey> split_requests(const Octree& tree);

// Phase B's coarse cells to refine for the current tree, in first-request
// order; the first request for a cell fixes its target level. Corner values
// missing from `cache` read as 0.0.
std::vector<RefineRequest> refine_requests(const Octree& tree, const CornerCache& cache);

// Queues the 27 lattice points of the children of the cell with minimum corner
// key `m` at `level` (< max_depth), probing them child by child, corner by corner.
void queue_child_corners(const Octree& tree, const CornerCache& cache, CornerKey m,
                         unsigned level, CornerQueue& queue);

// Queues every corner refine_to_level(m, level, target) will need: each child's
// corners, then that child's own descendants, before the next child.
void collect_refine_corners(const Octree& tree, const CornerCache& cache, CornerKey m,
                            unsigned level, unsigned target, CornerQueue& queue);

// Samples the queued points in one batch (plus one finite-difference batch on
// the same points when the field gives no gradients) and caches them. Returns
// the evaluations made; no call at all for an empty queue. Leaves `queue` empty.
std::uint64_t evaluate_queue(Evaluator& field, const Octree& tree, CornerCache& cache,
                             CornerQueue& queue);

// Subdivides the cell with minimum corner key `m` at `level` (< max_depth) from
// cached samples, with the tree's iso value; a cell already Internal is left as
// it is. Faults "corner not in cache during balance subdivision" when a child
// corner is missing or the cache is empty.
void balance_subdivide(Octree& tree, const CornerCache& cache, CornerKey m, unsigned level);

// Subdivides the cell uniformly down to `target` (capped at max_depth).
void refine_to_level(Octree& tree, const CornerCache& cache, CornerKey m, unsigned level,
                     unsigned target);

}  // namespace balance_detail

}  // namespace quarvel
