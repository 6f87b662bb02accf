#include "pipeline/mesh_field.hpp"

#include <algorithm>
#include <atomic>
#include <string>

#include "core/fault.hpp"
#include "core/parallel.hpp"
#include "eval/decorators.hpp"
#include "mesh/measure.hpp"
#include "mesh/pieces.hpp"
#include "octree/octree.hpp"
#include "sample/lattice_sampler.hpp"

namespace quarvel {

namespace {

// Refuses, with InvalidField, the batch that would take the field past
// `limit` evaluations: a cap on a run's cost that, unlike a time limit, holds
// alike on every machine and for any thread count, as the count does.
class BudgetedField final : public ForwardingField {
public:
    BudgetedField(Evaluator& inner, double limit) : ForwardingField(inner), limit_(limit) {}
    BatchResult eval_batch(std::span<const Vec3> points) override {
        spend(points.size());
        return inner_.eval_batch(points);
    }
    void eval_batch_in_place(std::size_t n, const FillPoints& fill, const ReadBatch& read) override {
        spend(n);
        inner_.eval_batch_in_place(n, fill, read);
    }
    std::vector<double> eval_values(std::span<const Vec3> points) override {
        spend(points.size());
        return inner_.eval_values(points);
    }
    void eval_values_in_place(std::size_t n, const FillPoints& fill, const ReadValues& read) override {
        spend(n);
        inner_.eval_values_in_place(n, fill, read);
    }

private:
    void spend(std::size_t n) {
        if (static_cast<double>(spent_.fetch_add(n, std::memory_order_relaxed) + n) <= limit_) return;
        throw InvalidField("meshing needs more than " + std::to_string(static_cast<std::uint64_t>(limit_)) +
                           " field evaluations, the most max_evaluations allows: raise it, or mesh coarser "
                           "(a smaller max_depth, a larger voxel_size)");
    }

    double limit_;
    std::atomic<std::uint64_t> spent_{0};
};

GuardOutcome outcome_of(SampleGuard guard) {
    switch (guard) {
        case SampleGuard::off: return GuardOutcome::off;
        case SampleGuard::on: return GuardOutcome::on;
        case SampleGuard::infinite_values: return GuardOutcome::infinite_values;
        case SampleGuard::too_steep: return GuardOutcome::too_steep;
        case SampleGuard::bounds: return GuardOutcome::bounds;
    }
    return GuardOutcome::off;
}

TriangleMesh mesh_by_octree(Evaluator& field, const MeshRequest& r, MeshResult& out, Monitor& monitor) {
    const BuildParams params{r.box.lo, r.box.hi, r.min_depth, r.max_depth,
                             r.iso, r.angle_threshold, r.finish, r.build};
    BuildResult built = build_octree(field, params, monitor);
    // The tree only grows: its final size is its peak.
    out.sampled = {built.first_lattice_evaluations, built.eval_count, built.guard, built.steepest,
                   1 + 8 * static_cast<std::uint64_t>(built.tree.children.size()), built.cells_bounded,
                   built.cells_proven};
    // The tree (with its corner samples) goes once its surface cells are collected.
    return extract_dual_contour(field, std::move(built.tree), r.angle_threshold, r.dc, &out.extraction, monitor);
}

// Keeps the triangles the tile owns and the vertices they use, in order.
void keep_owned(TriangleMesh& mesh, std::vector<VertexKey>& keys, const Tile& tile) {
    const std::vector<std::uint8_t> kept = parallel_map<std::uint8_t>(mesh.triangles.size(), [&](std::size_t t) {
        for (unsigned a = 0; a < 3; ++a) {
            std::uint32_t least = ~0u;
            for (std::uint64_t v : mesh.triangles[t]) least = std::min(least, cell_axis(keys[v].cell, a));
            if (least < tile.lo[a] || least >= tile.hi[a]) return std::uint8_t{0};
        }
        return std::uint8_t{1};
    });
    std::vector<std::uint64_t> renumbered(mesh.vertices.size(), MadeVertex::NONE);
    std::vector<Triangle> triangles;
    for (std::size_t t = 0; t < mesh.triangles.size(); ++t)
        if (kept[t]) triangles.push_back(mesh.triangles[t]);
    for (const Triangle& t : triangles)
        for (std::uint64_t v : t) renumbered[v] = 0;
    std::uint64_t n = 0;
    for (std::uint64_t& v : renumbered)
        if (v == 0) v = n++;
    TriangleMesh owned;
    owned.vertices.resize(n);
    if (!mesh.normals.empty()) owned.normals.resize(n);
    std::vector<VertexKey> owned_keys(n);
    for (std::size_t v = 0; v < renumbered.size(); ++v) {
        const std::uint64_t to = renumbered[v];
        if (to == MadeVertex::NONE) continue;
        owned.vertices[to] = mesh.vertices[v];
        if (!mesh.normals.empty()) owned.normals[to] = mesh.normals[v];
        owned_keys[to] = keys[v];
    }
    for (Triangle& t : triangles)
        for (std::uint64_t& v : t) v = renumbered[v];
    owned.triangles = std::move(triangles);
    mesh = std::move(owned);
    keys = std::move(owned_keys);
}

TriangleMesh mesh_by_lattice(Evaluator& field, const MeshRequest& r, MeshResult& out, Monitor& monitor) {
    const Domain cube = cube_around(r.box.lo, r.box.hi);
    SampleParams params{cube.origin, cube.size, r.min_depth, r.max_depth, r.iso,
                        r.build.guard, r.build.lipschitz, r.build.bounds};
    if (r.tile) {
        const std::uint64_t side = std::uint64_t{1} << r.max_depth;
        for (unsigned a = 0; a < 3; ++a) {
            params.window_lo[a] = r.tile->lo[a] - std::min(r.tile->lo[a], r.tile->halo);
            params.window_hi[a] = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(side, std::uint64_t{r.tile->hi[a]} + r.tile->halo));
        }
    }
    SampleResult found = sample_lattice(field, params, monitor);
    out.sampled = {found.first_lattice_evaluations, found.evaluations, outcome_of(found.guard), found.steepest,
                   found.cells_judged, found.cells_bounded, found.cells_proven};
    SurfaceCells surface = surface_from_samples(std::move(found.cells), std::move(found.values), cube.origin,
                                                cube.size, r.max_depth);
    DcParams dc = DcParams::of(r.iso, cube.size, r.max_depth, r.angle_threshold, r.dc);
    dc.clip = r.clip;
    if (!r.tile) return extract_dual_contour(field, std::move(surface), dc, &out.extraction, monitor);
    TriangleMesh mesh = extract_dual_contour(field, std::move(surface), dc, &out.extraction, monitor, &out.keys);
    keep_owned(mesh, out.keys, *r.tile);
    out.triangle_pieces = piece_labels(mesh.triangles, mesh.vertices.size(), monitor);
    out.extraction.pieces = 0;
    for (std::uint64_t p : out.triangle_pieces) out.extraction.pieces = std::max(out.extraction.pieces, p + 1);
    return mesh;
}

}  // namespace

MeshRequest MeshRequest::engine(const Box& box, std::uint8_t min_depth, std::uint8_t max_depth, double iso,
                                double angle_threshold, bool adaptive) {
    MeshRequest r;
    r.box = box;
    r.min_depth = min_depth;
    r.max_depth = max_depth;
    r.iso = iso;
    r.angle_threshold = angle_threshold;
    r.finish = adaptive ? Finish::balance : Finish::band;
    return r;
}

MeshRequest MeshRequest::package(const Box& box, std::uint8_t min_depth, std::uint8_t max_depth, double iso,
                                 bool adaptive) {
    MeshRequest r = engine(box, min_depth, max_depth, iso, kDefaultAngleDeg, adaptive);
    // Only the balanced octree samples level by level; every other request
    // wants every surface cell at max_depth, which the lattice sampler finds faster.
    r.sampler = adaptive ? Sampler::octree : Sampler::lattice;
    r.build = BuildOptions::pipeline(true, 1.0);
    r.dc = DcOptions::pipeline(false);
    r.reject_nan = true;
    r.measure = true;
    return r;
}

MeshResult mesh_field(Evaluator& source, const MeshRequest& r, Monitor& monitor) {
    std::optional<ClippedField> clipped;
    if (r.clip) clipped.emplace(source, *r.clip, r.iso);
    Evaluator& cut = clipped ? static_cast<Evaluator&>(*clipped) : source;
    std::optional<NanRejectingField> checked;
    if (r.reject_nan) checked.emplace(cut);
    Evaluator& checked_field = checked ? static_cast<Evaluator&>(*checked) : cut;
    std::optional<BudgetedField> budgeted;
    if (r.max_evaluations > 0.0) budgeted.emplace(checked_field, r.max_evaluations);
    Evaluator& field = budgeted ? static_cast<Evaluator&>(*budgeted) : checked_field;

    if (r.tile && (r.sampler != Sampler::lattice || r.dc.keep_largest || r.min_piece_volume > 0.0 ||
                   r.tolerance > 0.0 || r.max_depth > kKeyAxisBits))
        fault("a tile asked for with an option that needs the whole mesh");
    MeshResult out;
    out.mesh = r.sampler == Sampler::lattice ? mesh_by_lattice(field, r, out, monitor)
                                             : mesh_by_octree(field, r, out, monitor);
    if (r.min_piece_volume > 0.0) {
        out.pieces_dropped = drop_small_pieces(out.mesh, r.min_piece_volume, monitor);
        out.extraction.pieces -= out.pieces_dropped;
    }
    if (r.tolerance > 0.0) {
        const Domain cube = cube_around(r.box.lo, r.box.hi);
        const BlockGrid finest{cube.origin, cube.size / static_cast<double>(std::uint64_t{1} << r.max_depth)};
        out.simplified = simplify_mesh(out.mesh, r.tolerance, monitor, finest);
    }
    if (r.measure && !out.mesh.triangles.empty()) {
        // Closedness would cost several times the rest: it is left to whoever asks.
        const MeshMeasures measured = measure_mesh(out.mesh.vertices, out.mesh.triangles);
        out.measures = MeshMeasures{measured.area, measured.volume};
    }
    return out;
}

}  // namespace quarvel
