// Dual contouring over a finished octree: surface cells, vertex slots, Hermite
// data, QEF vertices projected onto the surface, quads split into triangles,
// and the largest connected piece.
#pragma once

#include "dc/mesh.hpp"
#include "eval/evaluator.hpp"
#include "octree/octree.hpp"

namespace quarvel {

// `tree` is read only; `angle_threshold_deg` drives the sharp-feature test.
TriangleMesh extract_dual_contour(Evaluator& field, const Octree& tree,
                                  double angle_threshold_deg);
// The same, dropping `tree` once its surface cells are collected: it is not
// read again, and the field batches that follow are the call's peak.
TriangleMesh extract_dual_contour(Evaluator& field, Octree&& tree, double angle_threshold_deg);

}  // namespace quarvel
