// Face generation: every sign-changing edge shared by four same-level surface
// cells yields a quad through their vertices, wound by the sign change and split
// along the diagonal whose two triangles agree better.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "dc/component.hpp"
#include "dc/surface_cells.hpp"
#include "core/vec3.hpp"

namespace quarvel {

// Per axis d: the edge that starts at corner 0 and runs along d.
static constexpr std::array<std::uint8_t, 3> AXIS_BASE_EDGE = {0, 4, 8};

// Per axis d: the two other axes (u, v); the quad's cells step down along them.
static constexpr std::array<std::array<std::uint8_t, 2>, 3> OTHER_AXES = {{
    {1, 2},  // x edge: y, z
    {0, 2},  // y edge: x, z
    {0, 1},  // z edge: x, y
}};

// Per axis d: the cells q (0 self, 1 down u, 2 down v, 3 down both) in
// counter-clockwise order seen from +d.
static constexpr std::array<std::array<std::uint8_t, 4>, 3> QUAD_ORDER = {{
    {0, 1, 3, 2},  // x
    {0, 2, 3, 1},  // y
    {0, 1, 3, 2},  // z
}};

using Triangle = std::array<std::uint64_t, 3>;  // 0-based vertex indices

// Appends the two triangles of quad (A, B, C, D), split along A-C unless the
// B-D split has more nearly parallel triangle normals; triangles with a
// repeated index are dropped. `positions`: the vertex list.
void split_quad(const std::array<std::uint64_t, 4>& quad, std::span<const Vec3> positions,
                std::vector<Triangle>& out);

// Triangles of all cells, joined in cell order. `first_vertex`: per cell, its
// first vertex index or PlacedVertices::NONE.
std::vector<Triangle> generate_faces(const std::vector<SurfaceCell>& cells, const CellLookup& lookup,
                                     std::span<const CellComponents> components,
                                     std::span<const std::uint64_t> first_vertex,
                                     std::span<const Vec3> positions, double iso_value);

}  // namespace quarvel
