// Face generation: every sign-changing edge shared by four same-level surface
// cells yields a quad through their vertices, wound by the sign change and split
// along the diagonal whose two triangles agree better.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/vec3.hpp"
#include "dc/surface_cells.hpp"
#include "dc/vertices.hpp"

namespace quarvel {

using Triangle = std::array<std::uint64_t, 3>;  // 0-based vertex indices

// Appends the two triangles of quad (A, B, C, D), split along A-C unless the
// B-D split has more nearly parallel triangle normals; triangles with a
// repeated index are dropped. `positions`: the vertex list.
void split_quad(const std::array<std::uint64_t, 4>& quad, std::span<const Vec3> positions,
                std::vector<Triangle>& out);

// Triangles of all cells, joined in cell order.
std::vector<Triangle> generate_faces(const SurfaceCells& surface, const PlacedVertices& vertices);

}  // namespace quarvel
