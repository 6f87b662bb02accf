// The 2:1 balancing pass that finishes a build when asked to.
//
// Phase A: no face neighbour of a leaf more than one level coarser; a coarser
// non-surface face neighbour of a surface leaf is split; a surface leaf whose
// same-level neighbour is subdivided and holds a surface leaf is split.
// Phase B: every cell sharing a sign-changing edge with a surface leaf of level
// n is refined uniformly to level n.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/monitor.hpp"
#include "eval/sampler.hpp"
#include "octree/guard.hpp"
#include "octree/octree.hpp"
#include "octree/refine.hpp"

namespace quarvel {

// Refines `tree` in place, one refine() step per iteration until a phase finds
// nothing to do. Returns the field evaluations it made. Field errors and
// faults propagate; subdivisions and samples of earlier iterations stay in
// `tree` and `cache`. Needs every lattice corner of every non-Internal node in
// `cache`. With an active `proof`, phase A also splits every unproven
// uniform leaf coarser than max_depth. `monitor` is checked every iteration.
std::uint64_t balance_octree(FieldSampler& sampler, Octree& tree, CornerCache& cache,
                             const EmptinessProof& proof = {}, Monitor& monitor = Monitor::none());

// The pass's stages, exposed for tests.
namespace balance_detail {

// Phase A; returns its evaluations.
std::uint64_t balance_faces(FieldSampler& sampler, Octree& tree, CornerCache& cache,
                            const EmptinessProof& proof = {}, Monitor& monitor = Monitor::none());

// Phase B; returns its evaluations.
std::uint64_t balance_edges(FieldSampler& sampler, Octree& tree, CornerCache& cache,
                            Monitor& monitor = Monitor::none());

// Keys of every surface leaf, in walk order.
std::vector<CellKey> collect_surface_leaves(const Octree& tree);

// Phase A's cells to split for the current tree, in first-request order, then
// `unproven`, the cells the guard has still to examine.
std::vector<CellKey> split_requests(const Octree& tree, std::span<const CellKey> unproven = {});

// Phase B's coarse cells to refine for the current tree, in first-request
// order; the first request for a cell fixes its target level. Corner values
// missing from `cache` read as 0.0.
std::vector<RefineRequest> refine_requests(const Octree& tree, const CornerCache& cache);

}  // namespace balance_detail

}  // namespace quarvel
