// The pipeline's guarantee of a printable mesh: after faces are made, vertices
// whose triangles cross others or face against the field are moved back, step
// by step, toward safer places (into their own cell, the mean of their
// crossing points, the middle of their cell), and vertices and edges where
// separate sheets meet are split.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/monitor.hpp"
#include "dc/faces.hpp"
#include "mesh/triangle_mesh.hpp"
#include "dc/surface_cells.hpp"
#include "dc/vertices.hpp"

namespace quarvel {

// What the repair changed, and what it could not.
struct RepairStats {
    std::uint64_t folds_fixed = 0;         // vertices moved off a crossing or facing-back triangle
    std::uint64_t vertices_split = 0;      // vertices added where separate sheets met at a vertex or edge
    std::uint64_t unrepaired_pairs = 0;    // crossing triangle pairs still left (none on success)
    std::uint64_t rounds = 0;              // check-and-move rounds made
};

// Checks for crossings, with a move between two: each after the first looks
// only at the triangles the last move changed.
inline constexpr int REPAIR_ROUNDS = 12;

// Halvings of each moved vertex's way back, searching for the least move
// that leaves the mesh clean (a 32nd of the way).
inline constexpr int SETTLE_ROUNDS = 5;
// The rings of triangles around the crossings of a mesh as made within
// which triangles facing back are repaired too. Farther out they are left,
// as in a mesh without crossings, so the repair of a vertex depends on the
// mesh near it only (tiles meshed apart repair alike).
inline constexpr int FACING_RINGS = 3;

// Moves `points` onto the surface by Newton steps, each kept in its box,
// and writes the field's gradient where each last stood.
using SurfaceProjection = std::function<void(std::span<Vec3> points, std::span<const Box> boxes,
                                             std::span<Vec3> gradients)>;

// Moves vertices of `placed` whose triangles cross others, or face against
// the field's gradients at their vertices (when `placed.gradients` holds
// them), one rung at a time down a ladder: back into its own cell (a vertex
// of a sharp feature may have left it; of a triangle's vertices, the one
// furthest out moves first and alone), halfway to the mean of the slot's
// crossing points, onto it, then (for a cell's only vertex) halfway to the
// cell's middle, kept within the box of its crossing points, and onto that.
// `triangles` (split_quads of `quads`) follow every move: the quads holding
// a moved vertex are split again. The means and boxes of the crossing points
// come with `placed` (placed with options.manifold). A mesh in which no
// triangles cross is left untouched, facing-back triangles and all. Fills folds_fixed,
// unrepaired_pairs and rounds. Checks `monitor` as it goes.
//
// With `project`, once the ladder leaves the mesh clean, each moved vertex
// tries where the ladder left it put back onto the surface, then searches
// by halving for the least part of its way back (from its solved place
// toward where the ladder left it) that keeps the mesh clean, each trial put
// back onto the surface within its cell; a trial that makes a triangle of
// its own bad is undone. A vertex the search leaves more than a tenth of its
// cell off the surface then climbs toward it as far as no triangles cross.
RepairStats repair_folds(PlacedVertices& placed, std::span<const Quad> quads, std::vector<Triangle>& triangles,
                         const SurfaceCells& surface, Monitor& monitor = Monitor::none(),
                         const SurfaceProjection& project = {});

// Makes the mesh a 2-manifold: each pair of triangles on an edge shared by
// more than two (pair_crowded_edges) gets a vertex of its own in the middle
// of the edge, then every fan of a vertex beyond its first a copy of the
// vertex (normals follow). Each such vertex then moves a little toward the
// middle of its fan, less where that would make triangles cross. Returns the
// vertices added. With `join_inside` the pairs on a crowded edge close the
// outside between them, as vertices by sheet join the inside across a face
// (dc/sheets.hpp), so the solid stays in one piece there. Checks `monitor` as
// it goes. With `project`, the split vertices then go back onto the surface
// as far as no triangles cross.
//
// `made`, when given, receives one entry per vertex added, in order: a
// midpoint's two ends and the far corners of its pair of triangles (an edge
// may have several pairs), or a copy's original and NONE.
struct MadeVertex {
    static constexpr std::uint64_t NONE = ~std::uint64_t{0};
    std::uint64_t from = 0;
    std::uint64_t and_from = NONE;
    std::array<std::uint64_t, 2> across{NONE, NONE};
};
std::uint64_t split_pinches(TriangleMesh& mesh, Monitor& monitor = Monitor::none(), bool join_inside = false,
                            const SurfaceProjection& project = {}, std::vector<MadeVertex>* made = nullptr);

}  // namespace quarvel
