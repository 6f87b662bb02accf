#include "mesh/summary.hpp"

#include <algorithm>

#include "mesh/check.hpp"
#include "mesh/measure.hpp"
#include "mesh/pieces.hpp"

namespace quarvel {

MeshSummary summarize_mesh(std::span<const Vec3> vertices, std::span<const Triangle> triangles, Monitor& monitor) {
    MeshSummary s;
    if (triangles.empty()) return s;
    const MeshMeasures measured = measure_mesh(vertices, triangles);
    s.area = measured.area;
    s.volume = measured.volume;
    const std::vector<std::uint64_t> labels = piece_labels(triangles, vertices.size(), monitor);
    s.pieces = *std::max_element(labels.begin(), labels.end()) + 1;
    const MeshCheck topology = check_topology(triangles, vertices.size());
    s.closed = topology.degenerate_triangles == 0 && topology.boundary_edges == 0 &&
               topology.nonmanifold_edges == 0 && topology.misoriented_edges == 0;
    return s;
}

}  // namespace quarvel
