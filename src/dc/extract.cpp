#include "dc/extract.hpp"

#include "core/fault.hpp"
#include "core/parallel.hpp"
#include "dc/faces.hpp"
#include "dc/hermite.hpp"
#include "mesh/normals.hpp"
#include "mesh/pieces.hpp"
#include "dc/vertices.hpp"
#include "eval/sampler.hpp"

namespace quarvel {

namespace {

std::vector<Vec3> unit_normals(std::span<const Vec3> gradients) {
    return parallel_map<Vec3>(gradients.size(), [&](std::size_t i) { return unit_normal(gradients[i]); });
}

// Every stage keeps its vertices finite whatever the field returns; one that
// is not is a broken invariant, never a result.
void check_finite(const TriangleMesh& mesh) {
    for (const Vec3& v : mesh.vertices)
        if (!is_finite(v)) fault("a vertex is not finite");
}

// The cells of `tree`, with their corner values when the crossing search reads them.
SurfaceCells surface_of(const Octree& tree, const DcOptions& options) {
    SurfaceCells surface = index_surface_cells(collect_surface_cells(tree));
    if (options.crossings == DcOptions::Crossings::solve_each_edge) attach_corner_values(surface, tree);
    return surface;
}

// Two Newton steps onto the iso surface per point, each kept in the point's
// box, for the repair's settling; the gradient of the last evaluation stays.
SurfaceProjection surface_projection(FieldSampler& sampler, const DcParams& params) {
    return [&sampler, iso = params.iso_value](std::span<Vec3> points, std::span<const Box> boxes,
                                              std::span<Vec3> gradients) {
        for (int pass = 0; pass < 2 && !points.empty(); ++pass) {
            const Sampled sampled = sampler.sample(points);
            for (std::size_t i = 0; i < points.size(); ++i) {
                const Vec3 g = sampled.absent ? Vec3{0.0, 0.0, 0.0} : checked_at(sampled.gradients, i);
                gradients[i] = g;
                if (const std::optional<Vec3> p = newton_step(points[i], checked_at(sampled.values, i) - iso, g))
                    points[i] = clamp_into(*p, boxes[i]);
            }
        }
    };
}

// The stages after the collection.
TriangleMesh contour(FieldSampler& sampler, const SurfaceCells& surface, const DcParams& params,
                     ExtractionStats* stats, Monitor& monitor, std::vector<VertexKey>* keys = nullptr) {
    const DcOptions& options = params.options;
    ExtractionStats counted;
    counted.surface_cells = surface.cells.size();
    if (stats) *stats = counted;
    if (surface.cells.empty()) return {};
    // monitor.poll() between the stages: a pending signal (Ctrl-C) ends the
    // call there even where the stages check nothing within.
    monitor.poll();
    monitor.report(Stage::crossings, 0, 0);
    PlacedVertices placed = [&] {
        // The crossings are dropped as soon as the vertices stand.
        const Crossings crossings = hermite_samples(sampler, surface, params.iso_value, options, monitor,
                                                     params.cos_threshold, params.clip);
        counted.crossing_evaluations = sampler.evaluations() - crossings.normal_evaluations;
        counted.field_kind = crossings.field_kind;
        monitor.poll();
        monitor.report(Stage::vertices, 0, surface.slots.total);
        PlacedVertices vertices = place_vertices(sampler, surface, crossings, params, monitor);
        counted.normal_evaluations = crossings.normal_evaluations + vertices.normal_evaluations;
        return vertices;
    }();
    counted.vertex_evaluations =
        sampler.evaluations() - counted.crossing_evaluations - counted.normal_evaluations;
    monitor.poll();
    monitor.report(Stage::faces, 0, surface.cells.size());
    TriangleMesh mesh;
    {
        const std::vector<Quad> quads = make_quads(surface, placed);
        mesh.triangles = split_quads(quads, placed.positions);
        if (options.manifold) {
            const std::uint64_t before = sampler.evaluations();
            counted.repair = repair_folds(placed, quads, mesh.triangles, surface, monitor,
                                          options.by_sheet ? surface_projection(sampler, params) : SurfaceProjection{});
            counted.vertex_evaluations += sampler.evaluations() - before;
        }
    }
    mesh.triangles.shrink_to_fit();  // the lists become the result arrays' buffers
    mesh.vertices = std::move(placed.positions);
    const std::uint64_t placed_count = mesh.vertices.size();
    // An occupancy field's gradients say nothing: its normals come from the
    // finished faces.
    const bool from_faces = counted.field_kind == FieldKind::occupancy;
    if (options.vertex_normals && !from_faces) mesh.normals = unit_normals(placed.gradients);
    std::vector<MadeVertex> made;
    if (options.manifold) {
        const std::uint64_t before = sampler.evaluations();
        counted.repair.vertices_split =
            split_pinches(mesh, monitor, options.by_sheet,
                          options.by_sheet ? surface_projection(sampler, params) : SurfaceProjection{},
                          keys ? &made : nullptr);
        counted.vertex_evaluations += sampler.evaluations() - before;
    }
    monitor.poll();
    if (keys) {
        // Dropping pieces would renumber the vertices the names are for.
        if (options.keep_largest) fault("vertex names asked for with only the largest piece kept");
        *keys = vertex_keys(surface, placed.first_vertex, placed_count, made, mesh.triangles);
    }
    if (options.keep_largest) keep_largest_piece(mesh, monitor);
    if (options.vertex_normals && from_faces) mesh.normals = face_normals(mesh, monitor);
    if (options.vertex_normals && !from_faces) agree_normals_with_faces(mesh, monitor);
    check_finite(mesh);
    monitor.report(Stage::faces, surface.cells.size(), surface.cells.size());
    if (stats) {
        counted.pieces = count_pieces(mesh, monitor);
        *stats = counted;
    }
    return mesh;
}

}  // namespace

TriangleMesh extract_dual_contour(Evaluator& field, const Octree& tree, double angle_threshold_deg,
                                  const DcOptions& options, ExtractionStats* stats, Monitor& monitor) {
    const Monitor::Active active(&monitor);
    FieldSampler sampler(field, fd_step(tree));
    return contour(sampler, surface_of(tree, options), DcParams::of(tree, angle_threshold_deg, options),
                   stats, monitor);
}

TriangleMesh extract_dual_contour(Evaluator& field, SurfaceCells&& surface, const DcParams& params,
                                  ExtractionStats* stats, Monitor& monitor, std::vector<VertexKey>* keys) {
    const Monitor::Active active(&monitor);
    FieldSampler sampler(field, 0.01 * params.finest_edge);
    const SurfaceCells cells = std::move(surface);
    return contour(sampler, cells, params, stats, monitor, keys);
}

TriangleMesh extract_dual_contour(Evaluator& field, Octree&& tree, double angle_threshold_deg,
                                  const DcOptions& options, ExtractionStats* stats, Monitor& monitor) {
    const Monitor::Active active(&monitor);
    FieldSampler sampler(field, fd_step(tree));
    const DcParams params = DcParams::of(tree, angle_threshold_deg, options);
    const SurfaceCells surface = surface_of(tree, options);
    tree = Octree{};  // frees the node arena and the corner samples
    return contour(sampler, surface, params, stats, monitor);
}

}  // namespace quarvel
