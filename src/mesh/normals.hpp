// Vertex normals that agree with the mesh: a normal given at a vertex (from
// the field's gradient, say) may face against every triangle around it where
// the vertex sits on an acute sharp edge or corner.
#pragma once

#include <cstdint>
#include <vector>

#include "core/monitor.hpp"
#include "mesh/triangle_mesh.hpp"

namespace quarvel {

// Replaces each normal that faces against all the triangles around its vertex
// (a negative dot product with each one's normal) by the unit sum of those
// triangles' area-weighted normals; others stay as they are. Returns how many
// were replaced. Needs one normal per vertex.
std::uint64_t agree_normals_with_faces(TriangleMesh& mesh, Monitor& monitor = Monitor::none());

// Per vertex, the unit sum of the area-weighted normals of its triangles;
// (0, 0, 1) where they cancel or there are none.
std::vector<Vec3> face_normals(const TriangleMesh& mesh, Monitor& monitor = Monitor::none());

}  // namespace quarvel
