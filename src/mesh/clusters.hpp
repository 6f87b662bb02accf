// The cheap first part of simplification: vertices merged a block of space at
// a time, so that the edge collapses that follow (mesh/simplify.hpp) take a
// mesh a fraction of the size. One collapse at a time, cheapest first, costs
// microseconds each; a block merge removes several vertices at once, and
// blocks far apart are judged in parallel.
//
// Blocks double in size level by level, from 2x2x2 cells of a lattice. At
// each level, all the vertices of a block are merged into one of them: of
// those whose quadric (every input triangle's plane merged into the block) is
// least, the nearest the block's middle that keeps the triangles' shapes, when
// - that least is within tolerance^2;
// - the triangles around them form one disk whose rim visits each of its
//   vertices once, so the surface keeps its topology and stays a closed
//   2-manifold, and no vertex of the rim is left with fewer than three
//   triangles;
// - every triangle kept obeys the rules of mesh/collapse_rules.hpp (with a
//   least angle of 7 degrees rather than 10).
// Vertices of a block all on a flat face or along one straight edge merge;
// across a corner or a bend beyond the tolerance they do not, so sharp
// features stay where they were. The vertex kept is a vertex of the input.
//
// A level judges its blocks in runs of whole blocks in z-order, in
// parallel, each run block after block; a block whose faces reach another
// run's vertices is judged after all runs, in z-order. The runs depend on the
// mesh alone, so the result does not depend on the number of threads.
#pragma once

#include <cstdint>
#include <vector>

#include "core/monitor.hpp"
#include "mesh/collapse_rules.hpp"
#include "mesh/triangle_mesh.hpp"

namespace quarvel {

// The lattice the blocks are cut from: the mesher's own finest cells, or
// (cell 0) cells of the mesh's mean edge length from its least corner.
struct BlockGrid {
    Vec3 origin{0.0, 0.0, 0.0};
    double cell = 0.0;
};

struct Clustered {
    TriangleMesh mesh;                 // vertices in z-order of their cells, triangles by their least vertex
    std::vector<Quadric> quadric;      // per vertex: the planes of every input triangle merged into it
    std::vector<std::uint8_t> held;    // per vertex: a held input vertex, never merged
    std::vector<std::uint32_t> from;   // per input vertex: the vertex it was merged into (or became)
    std::uint64_t merged = 0;          // input vertices merged into another
};

// `held`: per input vertex, 1 to leave it where it is. The mesh must have
// fewer than 2^32 vertices and triangles.
Clustered merge_blocks(const TriangleMesh& mesh, double tolerance, const std::vector<std::uint8_t>& held,
                       const BlockGrid& grid, Monitor& monitor = Monitor::none());

}  // namespace quarvel
