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

#include "eval/evaluator.hpp"
#include "octree/octree.hpp"

namespace quarvel {

// Refines `tree` in place, sampling new corners in one batch per iteration
// (plus one finite-difference batch when the field gives no gradients).
// Returns the number of field evaluations it made.
std::uint64_t balance_octree(Evaluator& field, Octree& tree, CornerCache& cache);

}  // namespace quarvel
