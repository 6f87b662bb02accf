#include "dc/extract.hpp"

#include "dc/faces.hpp"
#include "dc/hermite.hpp"
#include "dc/largest_component.hpp"
#include "dc/surface_cells.hpp"
#include "dc/vertices.hpp"
#include "eval/sampler.hpp"

namespace quarvel {

namespace {

// The stages after the collection.
TriangleMesh contour(FieldSampler& sampler, const SurfaceCells& surface, const DcParams& params) {
    // sampler.poll() between the stages: a pending signal (Ctrl-C) ends the
    // call there instead of after the whole extraction.
    if (surface.cells.empty()) return {};
    sampler.poll();
    PlacedVertices placed = [&] {
        // The crossings are dropped as soon as the vertices stand.
        const Crossings crossings = hermite_samples(sampler, surface, params.iso_value);
        sampler.poll();
        return place_vertices(sampler, surface, crossings, params);
    }();
    sampler.poll();
    TriangleMesh mesh;
    mesh.triangles = generate_faces(surface, placed);
    mesh.triangles.shrink_to_fit();  // the lists become the result arrays' buffers
    mesh.vertices = std::move(placed.positions);
    sampler.poll();
    keep_largest_component(mesh);
    return mesh;
}

}  // namespace

TriangleMesh extract_dual_contour(Evaluator& field, const Octree& tree, double angle_threshold_deg) {
    FieldSampler sampler(field, fd_step(tree));
    return contour(sampler, index_surface_cells(collect_surface_cells(tree)),
                   DcParams::of(tree, angle_threshold_deg));
}

TriangleMesh extract_dual_contour(Evaluator& field, Octree&& tree, double angle_threshold_deg) {
    FieldSampler sampler(field, fd_step(tree));
    const DcParams params = DcParams::of(tree, angle_threshold_deg);
    const SurfaceCells surface = index_surface_cells(collect_surface_cells(tree));
    std::vector<ChildGroup>().swap(tree.children);  // frees the node arena
    return contour(sampler, surface, params);
}

}  // namespace quarvel
