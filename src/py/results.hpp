// Conversion of results to interpreter objects.
#pragma once

#include <span>
#include <vector>

#include "dc/vertex_keys.hpp"
#include "mesh/simplify.hpp"
#include "mesh/triangle_mesh.hpp"
#include "eval/evaluator.hpp"
#include "octree/octree.hpp"
#include "py/pyref.hpp"

namespace quarvel::py {

// (list of M floats, gradients present, M)
PyRef batch_eval_result(const BatchResult& batch);
// [[gx, gy, gz], ...]
PyRef gradient_list(const std::vector<Vec3>& gradients);
// (leaf_count, internal_count, outside_count, inside_count, max_leaf_depth, eval_count)
PyRef octree_stats(const Statistics& stats, std::uint64_t eval_count);
// (float64 (N, 3) vertices, int64 (M, 3) triangles), each keeping the
// mesh's buffer alive as its base.
PyRef mesh_arrays(TriangleMesh&& mesh);
// A float64 (N, 3) array over the buffer of `points`, kept alive as its base.
PyRef points_array(std::vector<Vec3>&& points);
// (uint64 (N, 2) vertex names, uint64 (M,) triangle pieces), over the
// vectors' buffers.
PyRef key_arrays(std::vector<VertexKey>&& keys, std::vector<std::uint64_t>&& triangle_pieces);
// {'triangles_before', 'collapses', 'rounds', 'held_vertices', 'gave_up'}
PyRef simplify_stats(const SimplifyStats& stats);
// dict[key] = value, for the statistics dictionaries.
void set_item(PyObject* dict, const char* key, PyRef value);
// An int object for a count.
PyRef count(std::uint64_t n);

}  // namespace quarvel::py
