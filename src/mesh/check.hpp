// Validity of a triangle mesh: closedness, orientation, manifold edges and
// vertices, and pairs of triangles that cross each other. Works on any mesh
// (indices are checked), so it serves meshes read from files as well as ours.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "core/vec3.hpp"
#include "mesh/triangle_mesh.hpp"

namespace quarvel {

using TrianglePair = std::array<std::uint64_t, 2>;  // triangle indices, first < second

// A triangle repeating a vertex index: no edges, no fans, crossing nothing.
inline bool degenerate(const Triangle& t) { return t[0] == t[1] || t[1] == t[2] || t[0] == t[2]; }

struct MeshCheck {
    std::uint64_t degenerate_triangles = 0;  // a repeated vertex index
    std::uint64_t boundary_edges = 0;        // edges of one triangle: the mesh is open there
    std::uint64_t nonmanifold_edges = 0;     // edges of more than two triangles
    std::uint64_t misoriented_edges = 0;     // two triangles running the same way through the edge
    std::uint64_t nonmanifold_vertices = 0;  // vertices whose triangles form more than one fan
    std::uint64_t nonfinite_vertices = 0;    // a coordinate NaN or infinite (their triangles are not searched)
    std::vector<TrianglePair> intersecting;  // crossing pairs, in increasing order: the first CrossingSearch::listed
    std::uint64_t intersecting_count = 0;    // all crossing pairs found
    bool intersecting_complete = true;       // false: intersecting_count is a lower bound (see CrossingSearch)
};

// Thrown by a check whose stop flag turned true.
struct CheckStopped {};

// Throws CheckStopped once `stop` (null: never) is true: read now and then
// by the long loops of a check, from any thread.
inline void check_stop(const std::atomic<bool>* stop) {
    if (stop && stop->load(std::memory_order_relaxed)) throw CheckStopped{};
}

// How far a crossing search goes, and what it keeps.
struct CrossingSearch {
    // The first `listed` pairs (in increasing order) are kept, the rest only counted.
    std::uint64_t listed = UINT64_MAX;
    // Bounds the work where many triangles' boxes all meet (copies stacked in
    // one place, sets that all cross each other): such a spot gets a number
    // of pair tests in proportion to its triangles, and when they run out it
    // is left half-searched and the count becomes a lower bound. Unbounded,
    // every pair is tested however long that takes.
    bool bounded = false;
    // Once true, the search (and check_mesh) throws CheckStopped.
    const std::atomic<bool>* stop = nullptr;
};

// What a crossing search found.
struct CrossingPairs {
    std::vector<TrianglePair> listed;  // the first CrossingSearch::listed pairs, in increasing order
    std::uint64_t count = 0;           // every pair found
    bool complete = true;              // false: a crowded spot was left half-searched
};

// The full check. `triangles` index `vertices`; an index out of range faults.
MeshCheck check_mesh(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                     const CrossingSearch& search = {});

// The same without the search for crossing triangles (`intersecting` stays
// empty): a fraction of the time, all that closedness needs. With `stop`,
// as CrossingSearch::stop.
MeshCheck check_topology(std::span<const Triangle> triangles, std::size_t vertex_count,
                         const std::atomic<bool>* stop = nullptr);

// Pairs of non-degenerate triangles that cross: an edge of one passes through
// the other's interior or its boundary, apart from the vertices they share.
// Triangles sharing an edge never count (they meet along it), nor do exactly
// coplanar pairs. Found over a uniform grid of cells about twice the mean
// triangle's extent, finer inside cells that hold many; in increasing order
// for any thread count. The tests read the coordinates scaled by a power of
// two where the mesh's extent is far from 1 (beyond 2^64 or below 2^-64),
// so that their products neither overflow nor vanish: the same decisions at
// any scale. With `focus` (one flag per triangle), only pairs holding a
// flagged triangle. Indices must lie in range.
CrossingPairs find_crossings(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                             const CrossingSearch& search, std::span<const std::uint8_t> focus = {});

// Every pair, without bounds: find_crossings' list.
std::vector<TrianglePair> intersecting_pairs(std::span<const Vec3> vertices,
                                             std::span<const Triangle> triangles,
                                             std::span<const std::uint8_t> focus = {});

// What one pass over every vertex's corners finds: each corner's fan and the
// edges' counts (as in MeshCheck).
struct VertexScan {
    // Corner k of triangle t (index 3t + k) gets the number of its fan,
    // counted from 0 per vertex in order of first corner. Triangles around a
    // vertex join through an edge they alone share.
    std::vector<std::uint32_t> fan;
    std::uint64_t boundary_edges = 0, nonmanifold_edges = 0, misoriented_edges = 0;
    // The lower vertex of every edge of more than two triangles, once each, in increasing order.
    std::vector<std::uint64_t> crowded_vertices;
};
// With `only` (a flag per vertex), the flagged vertices alone: the fans of
// their corners (others get 0) and the edges at their lower end. With
// `stop`, as CrossingSearch::stop.
VertexScan scan_vertices(std::span<const Triangle> triangles, std::size_t vertex_count,
                         std::span<const std::uint8_t> only = {}, const std::atomic<bool>* stop = nullptr);

// The triangles of every edge shared by more than two, paired: each running
// lo -> hi with its next neighbour inward around the edge, which runs the
// other way (with `join_inside`, outward: the pairs then close the outside
// between them and the inside regions meeting at the edge stay joined).
// Edges in increasing order; a triangle with no partner is left out.
struct CrowdedPair {
    std::uint64_t lo = 0, hi = 0;  // the edge's vertices, lo < hi
    std::uint64_t forward = 0;     // the triangle running lo -> hi
    std::uint64_t backward = 0;    // its partner, running hi -> lo
};
std::vector<CrowdedPair> pair_crowded_edges(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                                           bool join_inside = false);

}  // namespace quarvel
