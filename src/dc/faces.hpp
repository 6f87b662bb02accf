// Face generation: every sign-changing edge shared by four same-level surface
// cells yields a quad through their vertices, wound by the sign change and split
// along the diagonal whose two triangles agree better. The quads depend only on
// the cells, their splits only on the four positions: a repair that moves
// vertices makes the quads once and splits again only those it moved.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/vec3.hpp"
#include "dc/surface_cells.hpp"
#include "dc/vertices.hpp"
#include "mesh/triangle_mesh.hpp"

namespace quarvel {

using Quad = std::array<std::uint64_t, 4>;      // vertex indices (A, B, C, D), counter-clockwise

// Appends the two triangles of quad (A, B, C, D), split along A-C unless the
// B-D split has more nearly parallel triangle normals; triangles with a
// repeated index are dropped. `positions`: the vertex list.
void split_quad(const Quad& quad, std::span<const Vec3> positions, std::vector<Triangle>& out);

// The quads of all cells, wound counter-clockwise seen from the side at or
// above the iso value, joined in cell order. The four vertices of a quad
// belong to four different cells, so they are distinct.
std::vector<Quad> make_quads(const SurfaceCells& surface, const PlacedVertices& vertices);

// The triangles of `quads` in order (split_quad of each).
std::vector<Triangle> split_quads(std::span<const Quad> quads, std::span<const Vec3> positions);

// Whether `triangle_count` triangles split from `quads` are two per quad,
// 2q and 2q + 1: every quad has four distinct vertices.
bool split_in_place(std::span<const Quad> quads, std::size_t triangle_count);

// Brings `triangles` (split_quads of `quads` before the vertices flagged
// `moved` moved) up to split_quads of `quads` now. Where every quad has four
// distinct vertices (two triangles each, 2q and 2q + 1) only the quads holding
// a moved vertex are split again; otherwise (the count of a quad with a
// repeated vertex depends on its split) all are. Returns per triangle whether
// it changed: all when the count did. `among`, when given, lists triangles
// (2q and 2q + 1 together) whose quads hold every moved vertex: only those
// quads are looked at.
std::vector<std::uint8_t> resplit_quads(std::span<const Quad> quads, std::span<const Vec3> positions,
                                        std::span<const std::uint8_t> moved, std::vector<Triangle>& triangles,
                                        std::span<const std::uint64_t> among = {});

// Triangles of all cells, joined in cell order: split_quads of make_quads.
std::vector<Triangle> generate_faces(const SurfaceCells& surface, const PlacedVertices& vertices);

}  // namespace quarvel
