#include "dc/extract.hpp"

#include <cmath>

#include "dc/component.hpp"
#include "dc/faces.hpp"
#include "dc/hermite.hpp"
#include "dc/largest_component.hpp"
#include "dc/surface_cells.hpp"
#include "dc/vertices.hpp"

namespace quarvel {

namespace {

std::vector<CellComponents> cell_components(const std::vector<SurfaceCell>& cells) {
    std::vector<CellComponents> out;
    out.reserve(cells.size());
    for (const SurfaceCell& cell : cells) out.push_back(COMPONENT_TABLE[cell.sign_mask]);
    return out;
}

}  // namespace

TriangleMesh extract_dual_contour(Evaluator& field, const Octree& tree, double angle_threshold_deg) {
    const double cos_threshold = std::cos(angle_threshold_deg * 3.141592653589793 / 180.0);
    // Central-difference step: a hundredth of the finest cell edge.
    const double fd_step = 0.01 * tree.finest_edge();
    const double iso = tree.iso_value;

    // field.poll() between the stages: a pending signal (Ctrl-C) ends the call
    // there instead of after the whole extraction.
    const std::vector<SurfaceCell> cells = collect_surface_cells(tree);
    if (cells.empty()) return {};
    const CellLookup lookup = build_cell_lookup(cells);
    const std::vector<CellComponents> components = cell_components(cells);
    const VertexSlots slots = number_vertex_slots(components);
    field.poll();

    const HermiteSamples samples =
        hermite_samples(field, cells, components, slots.offset, iso, fd_step);
    field.poll();
    PlacedVertices placed = place_vertices(field, cells, components, slots, samples, cos_threshold,
                                           tree.size, iso, fd_step);
    field.poll();
    TriangleMesh mesh;
    mesh.triangles =
        generate_faces(cells, lookup, components, placed.first_vertex, placed.positions, iso);
    mesh.vertices = std::move(placed.positions);
    field.poll();
    keep_largest_component(mesh);
    return mesh;
}

}  // namespace quarvel
