// Fewer triangles where the shape allows: vertices merged, while the surface
// stays within a tolerance of the planes it replaces.
//
// First whole blocks of space at a time, in parallel (mesh/clusters.hpp);
// then edges collapsed, cheapest first, on what is left. Each collapse moves
// one end of an edge onto the other (a half-edge collapse), so every vertex
// left is a vertex of the input, on the surface where the input's were, and
// corners and sharp edges stay exactly where they were. A collapse is made
// only when
// - the sum of squared distances from the kept vertex to the planes of every
//   input triangle merged into it stays within tolerance^2;
// - the edge's two ends share exactly the two neighbours across it (the link
//   condition: the surface keeps its topology and stays a 2-manifold);
// - every triangle kept obeys mesh/collapse_rules.hpp.
// Triangles that end up crossing are undone by running again with the
// vertices around them held; after a few rounds the input is returned as it
// was. The same output for any thread count.
#pragma once

#include <cstdint>

#include "core/monitor.hpp"
#include "mesh/clusters.hpp"
#include "mesh/triangle_mesh.hpp"

namespace quarvel {

struct SimplifyStats {
    std::uint64_t triangles_before = 0;
    std::uint64_t collapses = 0;       // vertices merged into another, in blocks or along edges
    std::uint64_t rounds = 0;          // passes made to clear crossings (1 when none appeared)
    std::uint64_t held_vertices = 0;   // vertices held to clear crossings
    bool gave_up = false;              // crossings remained: the input was kept
};

// Simplifies a closed, crossing-free 2-manifold in place within `tolerance`
// (world units; 0 leaves it as it is). Edges of triangles that are not
// closed manifold around them are left alone. Vertex normals, when present,
// follow their vertices. `monitor` may abandon the call between passes.
// `grid`: the mesher's finest cells, when there are any.
SimplifyStats simplify_mesh(TriangleMesh& mesh, double tolerance, Monitor& monitor = Monitor::none(),
                            const BlockGrid& grid = {});

}  // namespace quarvel
