// Connected pieces of a triangle mesh (triangles joined through shared
// vertices), and the filter that keeps the largest: stray fragments (noise, a
// second small body) are dropped, keeping the piece with the most triangles.
#pragma once

#include <span>
#include <vector>

#include "core/monitor.hpp"
#include "mesh/triangle_mesh.hpp"

namespace quarvel {

// Keeps the triangles of the edge-connected piece with the most triangles;
// among equally large ones, the piece of the earliest triangle. Kept
// triangles keep their order. When nothing is removed the mesh is untouched
// (unused vertices included); otherwise only used vertices remain, renumbered
// in increasing order of their old index, with their normals when present.
// The labelling checks `monitor` as it goes, here and below.
void keep_largest_piece(TriangleMesh& mesh, Monitor& monitor = Monitor::none());

// Drops the pieces whose enclosed volume is below `min_volume` in absolute
// value (crumbs a clip leaves, say), as keep_largest_piece renumbers; returns
// how many were dropped.
std::uint64_t drop_small_pieces(TriangleMesh& mesh, double min_volume, Monitor& monitor = Monitor::none());

// The number of edge-connected pieces of the mesh's triangles.
std::uint64_t count_pieces(const TriangleMesh& mesh, Monitor& monitor = Monitor::none());

// Per triangle, its piece (triangles joined through shared vertices),
// numbered from 0 in order of each piece's first triangle. Indices must lie
// below `vertex_count` (they fault otherwise).
std::vector<std::uint64_t> piece_labels(std::span<const Triangle> triangles, std::size_t vertex_count,
                                        Monitor& monitor = Monitor::none());

}  // namespace quarvel
