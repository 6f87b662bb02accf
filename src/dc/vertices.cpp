#include "dc/vertices.hpp"

#include <cmath>

#include "core/fault.hpp"
#include "core/parallel.hpp"
#include "core/vec3.hpp"

namespace quarvel {

namespace {

// Sample indices grouped by slot, each group in sample order (a stable counting sort).
struct SlotGroups {
    std::vector<std::uint64_t> start;  // slot_count + 1 offsets into `members`
    std::vector<std::uint64_t> members;
};

SlotGroups group_by_slot(std::span<const std::uint64_t> slots, std::uint64_t slot_count) {
    SlotGroups g;
    g.start.assign(slot_count + 1, 0);
    for (std::uint64_t s : slots) {
        if (s >= slot_count) index_fault(slot_count, s);
        ++g.start[s + 1];
    }
    for (std::uint64_t s = 0; s < slot_count; ++s) g.start[s + 1] += g.start[s];
    g.members.resize(slots.size());
    std::vector<std::uint64_t> next(g.start.begin(), g.start.end() - 1);
    for (std::uint64_t i = 0; i < slots.size(); ++i) g.members[next[slots[i]]++] = i;
    return g;
}

}  // namespace

std::vector<Qef> accumulate_qefs(const HermiteSamples& samples, std::uint64_t slot_count) {
    std::vector<Qef> qefs(slot_count);
    constexpr double w = QEF_REGULARISATION;
    for (std::size_t i = 0; i < samples.slots.size(); ++i) {
        const std::uint64_t slot = samples.slots[i];
        if (slot >= slot_count) index_fault(slot_count, slot);
        const Vec3& p = samples.points[i];
        const Vec3& n = samples.normals[i];
        const double d = dot(n, p);
        Qef& q = qefs[slot];
        q.xx += n[0] * n[0] + w;
        q.xy += n[0] * n[1];
        q.xz += n[0] * n[2];
        q.yy += n[1] * n[1] + w;
        q.yz += n[1] * n[2];
        q.zz += n[2] * n[2] + w;
        for (int a = 0; a < 3; ++a) q.atb[a] += d * n[a] + w * p[a];
        ++q.count;
    }
    return qefs;
}

std::vector<std::uint8_t> sharp_slots(const HermiteSamples& samples, std::uint64_t slot_count,
                                      double cos_threshold) {
    const SlotGroups groups = group_by_slot(samples.slots, slot_count);
    std::vector<std::uint8_t> sharp(slot_count, 0);
    for (std::uint64_t s = 0; s < slot_count; ++s) {
        const std::uint64_t begin = groups.start[s], end = groups.start[s + 1];
        for (std::uint64_t i = begin; i < end && !sharp[s]; ++i) {
            const Vec3& ni = samples.normals[groups.members[i]];
            for (std::uint64_t j = i + 1; j < end; ++j) {
                // A NaN dot product compares false and so never makes a slot sharp.
                if (dot(ni, samples.normals[groups.members[j]]) < cos_threshold) {
                    sharp[s] = 1;
                    break;
                }
            }
        }
    }
    return sharp;
}

std::vector<VertexJob> vertex_jobs(const SurfaceCells& surface, std::span<const std::uint8_t> sharp,
                                   double tree_size) {
    const std::vector<SurfaceCell>& cells = surface.cells;
    std::vector<VertexJob> jobs;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        const Box box = cell_box(cells[c]);
        for (unsigned j = 0; j < surface.components[c].count; ++j) {
            VertexJob job{surface.slots.offset[c] + j, box};
            if (sharp[job.slot]) {
                // A feature's corner may lie just outside the cell that owns it.
                const double m = 0.25 * tree_size / pow2(cells[c].key.level);
                for (int a = 0; a < 3; ++a) {
                    job.box.lo[a] = job.box.lo[a] - m;
                    job.box.hi[a] = job.box.hi[a] + m;
                }
            }
            jobs.push_back(job);
        }
    }
    return jobs;
}

std::optional<Vec3> solve_qef(const Qef& q, const Box& box) {
    if (q.count == 0) return std::nullopt;
    for (int a = 0; a < 3; ++a) check_bounds(box.lo[a], box.hi[a]);
    // No pivoting: the regularisation keeps every pivot positive for finite samples.
    const double i0 = 1.0 / q.xx;
    const double l10 = q.xy * i0;
    const double l20 = i0 * q.xz;
    const double d1 = q.yy - q.xy * l10;
    const double i1 = 1.0 / d1;
    const double a12 = q.yz - q.xz * l10;
    const double l21 = a12 * i1;
    const double d2 = (q.zz - q.xz * l20) - a12 * l21;
    const double b1 = q.atb[1] - q.atb[0] * l10;
    const double b2 = (q.atb[2] - q.atb[0] * l20) - b1 * l21;
    const double z = b2 / d2;
    const double y = b1 * i1 - l21 * z;
    const double x = (i0 * q.atb[0] - l10 * y) - l20 * z;
    if (!is_finite({x, y, z}))
        return Vec3{0.5 * (box.lo[0] + box.hi[0]), 0.5 * (box.lo[1] + box.hi[1]),
                    0.5 * (box.lo[2] + box.hi[2])};
    return clamp_into({x, y, z}, box);
}

PlacedVertices assemble_vertices(const SurfaceCells& surface, std::span<const VertexJob> jobs,
                                 std::span<const std::optional<Vec3>> solutions) {
    // Jobs are in slot order, so job index == slot.
    const std::vector<SurfaceCell>& cells = surface.cells;
    PlacedVertices out;
    out.first_vertex.assign(cells.size(), PlacedVertices::NONE);
    for (std::size_t c = 0; c < cells.size(); ++c) {
        const std::uint64_t base = surface.slots.offset[c];
        const unsigned k = surface.components[c].count;
        bool any = false;
        for (unsigned j = 0; j < k && !any; ++j) any = solutions[base + j].has_value();
        if (!any) continue;
        out.first_vertex[c] = out.positions.size();
        const SurfaceCell& cell = cells[c];
        for (unsigned j = 0; j < k; ++j) {
            if (const auto& solved = solutions[base + j]) {
                out.positions.push_back(*solved);
                out.boxes.push_back(jobs[base + j].box);
            } else {
                out.positions.push_back({cell.min[0] + 0.5 * cell.edge, cell.min[1] + 0.5 * cell.edge,
                                         cell.min[2] + 0.5 * cell.edge});
                out.boxes.push_back(cell_box(cell));
            }
        }
    }
    return out;
}

std::optional<Vec3> newton_step(const Vec3& x, double f, const Vec3& g) {
    const double s = g[0] * g[0] + g[1] * g[1] + g[2] * g[2];
    Vec3 p;
    if (std::isinf(s) && is_finite(g)) {
        const double m = std::fmax(std::fmax(std::fabs(g[0]), std::fabs(g[1])), std::fabs(g[2]));
        const Vec3 u{g[0] / m, g[1] / m, g[2] / m};
        const double su = dot(u, u);
        for (int a = 0; a < 3; ++a) p[a] = x[a] - u[a] * (f / m) / su;
    } else {
        if (!(s > 1e-20)) return std::nullopt;  // flat or NaN gradient: no direction to step in
        for (int a = 0; a < 3; ++a) p[a] = x[a] - g[a] * f / s;
    }
    if (!is_finite(p)) return std::nullopt;
    return p;
}

int project_onto_surface(FieldSampler& sampler, PlacedVertices& vertices, double iso_value,
                         const DcOptions& options, double tolerance) {
    std::vector<Vec3>& x = vertices.positions;
    if (options.vertex_normals) vertices.gradients.assign(x.size(), Vec3{0.0, 0.0, 0.0});
    // The vertices still moving, in order; every vertex takes every pass unless
    // converged ones stop.
    std::vector<std::size_t> open(x.size());
    for (std::size_t i = 0; i < open.size(); ++i) open[i] = i;
    std::vector<Vec3> points;
    std::vector<std::uint8_t> settled;
    int passes = 0;
    bool estimated = false;
    while (passes < PROJECTION_PASSES && !open.empty()) {
        ++passes;
        points.resize(open.size());
        for (std::size_t k = 0; k < open.size(); ++k) points[k] = x[open[k]];
        const Sampled sampled = sampler.sample(points);
        const std::vector<double>& values = sampled.values;
        const std::vector<Vec3>& gradients = sampled.gradients;
        settled.assign(open.size(), 0);
        parallel_for(open.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const std::size_t i = open[k];
                const double f = checked_at(values, k) - iso_value;
                const Vec3& g = checked_at(gradients, k);
                if (options.vertex_normals) vertices.gradients[i] = g;
                const std::optional<Vec3> p = newton_step(x[i], f, g);
                if (!p) {
                    settled[k] = 1;
                    continue;
                }
                settled[k] = length(sub(*p, x[i])) <= tolerance;
                x[i] = clamp_into(*p, vertices.boxes[i]);
            }
        });
        // An estimated pass costs six more evaluations per vertex, so only one is made.
        estimated = sampled.estimated;
        if (estimated) break;
        if (!options.stop_converged) continue;
        std::size_t still_open = 0;
        for (std::size_t k = 0; k < open.size(); ++k)
            if (!settled[k]) open[still_open++] = open[k];
        open.resize(still_open);
        sampler.report(Stage::vertices, x.size() - open.size(), x.size());
    }
    // The normals of vertices still moving after the last pass come from where
    // they stopped, when the field gives gradients there for one evaluation.
    if (options.vertex_normals && options.stop_converged && !estimated && !open.empty()) {
        points.resize(open.size());
        for (std::size_t k = 0; k < open.size(); ++k) points[k] = x[open[k]];
        const BatchResult last = sampler.given(points);
        if (last.gradients)
            for (std::size_t k = 0; k < open.size(); ++k)
                vertices.gradients[open[k]] = checked_at(*last.gradients, k);
    }
    return passes;
}

PlacedVertices place_vertices(FieldSampler& sampler, const SurfaceCells& surface,
                              const HermiteSamples& samples, const DcParams& params) {
    const std::uint64_t slot_count = surface.slots.total;
    const std::vector<Qef> qefs = accumulate_qefs(samples, slot_count);
    const std::vector<std::uint8_t> sharp = sharp_slots(samples, slot_count, params.cos_threshold);
    const std::vector<VertexJob> jobs = vertex_jobs(surface, sharp, params.tree_size);
    const std::vector<std::optional<Vec3>> solutions = parallel_map<std::optional<Vec3>>(
        jobs.size(), [&](std::size_t i) { return solve_qef(qefs[jobs[i].slot], jobs[i].box); });
    PlacedVertices vertices = assemble_vertices(surface, jobs, solutions);
    project_onto_surface(sampler, vertices, params.iso_value, params.options,
                         PROJECTION_TOLERANCE * params.finest_edge);
    return vertices;
}

}  // namespace quarvel
