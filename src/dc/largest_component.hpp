// The largest-component filter: stray fragments (noise, a second small body)
// are dropped, keeping the connected piece with the most triangles.
#pragma once

#include <span>
#include <vector>

#include "core/monitor.hpp"
#include "dc/faces.hpp"
#include "dc/mesh.hpp"

namespace quarvel {

// Keeps the triangles of the edge-connected component with the most triangles;
// among equally large ones, the component of the earliest triangle. Kept
// triangles keep their order. When nothing is removed the mesh is untouched
// (unused vertices included); otherwise only used vertices remain, renumbered
// in increasing order of their old index, with their normals when present.
// The labelling checks `monitor` as it goes, here and below.
void keep_largest_component(TriangleMesh& mesh, Monitor& monitor = Monitor::none());

// The number of edge-connected pieces of the mesh's triangles.
std::uint64_t count_components(const TriangleMesh& mesh, Monitor& monitor = Monitor::none());

// Per triangle, its piece (triangles joined through shared vertices),
// numbered from 0 in order of each piece's first triangle. Indices must lie
// below `vertex_count` (they fault otherwise).
std::vector<std::uint64_t> piece_labels(std::span<const Triangle> triangles, std::size_t vertex_count,
                                        Monitor& monitor = Monitor::none());

}  // namespace quarvel
