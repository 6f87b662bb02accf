#include "dc/vertices.hpp"

#include <algorithm>
#include <cmath>

#include "core/fault.hpp"
#include "core/parallel.hpp"
#include "core/vec3.hpp"
#include "dc/mass_point.hpp"
#include "dc/sheets.hpp"

namespace quarvel {

namespace {

// The mean and box of each slot's crossing points (the cell's middle and
// box for a slot without any), summed in crossing order.
void gather_crossing_points(const SurfaceCell& cell, std::span<const Vec3> points,
                            std::span<const unsigned> group, unsigned k, std::uint64_t first,
                            PlacedVertices& out) {
    for (unsigned j = 0; j < k; ++j) {
        Vec3 sum{0.0, 0.0, 0.0};
        Box box{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
        unsigned count = 0;
        for (std::size_t s = 0; s < points.size(); ++s) {
            if (group[s] != j) continue;
            for (int a = 0; a < 3; ++a) {
                sum[a] += points[s][a];
                box.lo[a] = std::min(box.lo[a], points[s][a]);
                box.hi[a] = std::max(box.hi[a], points[s][a]);
            }
            ++count;
        }
        const std::uint64_t v = first + j;
        out.crossing_mean[v] =
            count > 0 ? Vec3{sum[0] / count, sum[1] / count, sum[2] / count} : cell_centre(cell);
        out.crossing_box[v] = count > 0 ? box : cell_box(cell);
    }
}

// Runs visit(cell index) over the cells that have vertices, in parallel slices.
template <class Visit>
void for_cells_with_vertices(const SurfaceCells& surface, const PlacedVertices& vertices,
                             Visit&& visit) {
    parallel_for(surface.cells.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c)
            if (vertices.first_vertex[c] != PlacedVertices::NONE) visit(c);
    });
}

// The vertices of cell `c` from its crossings, whose point and unit normal
// sample(cell, edge, crossing index) gives: QEF per slot, sharpness, solve,
// and the centre for a slot without samples; the repair's mean and box of the
// crossing points per slot when `out` has room for them.
template <class Sample>
void solve_cell(const SurfaceCells& surface, const Crossings& crossings, std::size_t c,
                const Sample& sample, const DcParams& params, PlacedVertices& out) {
    const SurfaceCell& cell = surface.cells[c];
    const unsigned k = slot_count(cell, out.by_sheet);
    std::array<Qef, 4> qefs{};
    std::array<Vec3, 12> points;
    std::array<Vec3, 12> normals;
    std::array<unsigned, 12> group;
    unsigned m = 0;
    for_each_crossing(crossings, c, c + 1, [&](std::size_t, unsigned e, std::uint64_t i) {
        const auto [p, n] = sample(cell, e, i);
        group[m] = slot_on_edge(cell, e, out.by_sheet);
        add_sample(qefs[group[m]], p, n);
        points[m] = p;
        normals[m++] = n;
    });
    if (!out.crossing_mean.empty()) gather_crossing_points(cell, {points.data(), m}, {group.data(), m}, k,
                                                           out.first_vertex[c], out);
    for (unsigned j = 0; j < k; ++j) {
        std::array<Vec3, 12> mine;
        unsigned count = 0;
        for (unsigned s = 0; s < m; ++s)
            if (group[s] == j) mine[count++] = normals[s];
        const bool sharp = is_sharp({mine.data(), count}, params.cos_threshold);
        const std::uint64_t v = out.first_vertex[c] + j;
        if (const std::optional<Vec3> x = solve_qef(qefs[j], vertex_box(cell, sharp, params.tree_size))) {
            out.positions[v] = *x;
            out.sharp[v] = sharp;
        } else {
            out.positions[v] = cell_centre(cell);
        }
    }
}

}  // namespace

void add_sample(Qef& q, const Vec3& p, const Vec3& n) {
    constexpr double w = QEF_REGULARISATION;
    const double d = dot(n, p);
    q.xx += n[0] * n[0] + w;
    q.xy += n[0] * n[1];
    q.xz += n[0] * n[2];
    q.yy += n[1] * n[1] + w;
    q.yz += n[1] * n[2];
    q.zz += n[2] * n[2] + w;
    for (int a = 0; a < 3; ++a) q.atb[a] += d * n[a] + w * p[a];
    ++q.count;
}

bool is_sharp(std::span<const Vec3> normals, double cos_threshold) {
    for (std::size_t i = 0; i < normals.size(); ++i)
        for (std::size_t j = i + 1; j < normals.size(); ++j)
            // A NaN dot product compares false and so never makes a slot sharp.
            if (dot(normals[i], normals[j]) < cos_threshold) return true;
    return false;
}

Box vertex_box(const SurfaceCell& cell, bool sharp, double tree_size) {
    Box box = cell_box(cell);
    if (sharp) {
        // A feature's corner may lie just outside the cell that owns it.
        const double m = 0.25 * tree_size / pow2(cell.key.level);
        for (int a = 0; a < 3; ++a) {
            box.lo[a] = box.lo[a] - m;
            box.hi[a] = box.hi[a] + m;
        }
    }
    return box;
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

PlacedVertices number_vertices(const SurfaceCells& surface, const Crossings& crossings, bool by_sheet) {
    PlacedVertices out;
    out.by_sheet = by_sheet;
    out.first_vertex.assign(surface.cells.size(), PlacedVertices::NONE);
    std::uint64_t total = 0;
    for (std::size_t c = 0; c < surface.cells.size(); ++c) {
        if (crossings.first[c + 1] == crossings.first[c]) continue;  // no slot has samples
        out.first_vertex[c] = total;
        total += slot_count(surface.cells[c], by_sheet);
    }
    out.positions.resize(total);
    out.sharp.resize(total);
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

Vec3 newton_step_in_box(const Vec3& x, double f, const Vec3& g, const Box& box) {
    // The field taken as linear about x: f + g . (y - x). An axis whose step
    // leaves the box stops at its side and the others take what is left.
    Vec3 y = x, free = g;
    double r = f;
    for (int pass = 0; pass < 3; ++pass) {
        const std::optional<Vec3> p = newton_step(y, r, free);
        if (!p) break;
        bool out = false;
        for (int a = 0; a < 3; ++a) {
            if (free[a] == 0.0 || ((*p)[a] >= box.lo[a] && (*p)[a] <= box.hi[a])) continue;
            const double side = (*p)[a] < box.lo[a] ? box.lo[a] : box.hi[a];
            r += g[a] * (side - y[a]);
            y[a] = side;
            free[a] = 0.0;
            out = true;
        }
        if (!out) return clamp_into(*p, box);
    }
    return clamp_into(y, box);
}

int project_onto_surface(FieldSampler& sampler, const SurfaceCells& surface,
                         PlacedVertices& vertices, const DcParams& params, Monitor& monitor,
                         std::span<const std::uint8_t> skipped) {
    const DcOptions& options = params.options;
    const double tolerance = PROJECTION_TOLERANCE * params.finest_edge;
    std::vector<Vec3>& x = vertices.positions;
    if (options.vertex_normals) vertices.gradients.assign(x.size(), Vec3{0.0, 0.0, 0.0});
    // Per vertex: its row in the pass's batch, or SETTLED once it takes no
    // further pass (only when converged vertices stop). Rows follow vertex order.
    constexpr std::uint64_t SETTLED = PlacedVertices::NONE;
    std::vector<std::uint64_t> row(x.size());
    if (!skipped.empty())
        for_cells_with_vertices(surface, vertices, [&](std::size_t c) {
            if (!skipped[c]) return;
            const std::uint64_t first = vertices.first_vertex[c];
            for (std::uint64_t i = first; i < first + slot_count(surface.cells[c], vertices.by_sheet); ++i)
                row[i] = SETTLED;
        });
    std::size_t open = x.size();
    const auto number_rows = [&] {
        std::uint64_t next = 0;
        for (std::uint64_t& r : row)
            if (r != SETTLED) r = next++;
        open = next;
    };
    const auto open_points = [&](std::span<Vec3> out) {
        for (std::size_t i = 0; i < x.size(); ++i)
            if (row[i] != SETTLED) out[row[i]] = x[i];
    };
    number_rows();
    int passes = 0;
    bool estimated = false;
    while (passes < PROJECTION_PASSES && open > 0) {
        ++passes;
        sampler.sample(open, open_points, [&](const SampleView& sampled) {
            estimated = sampled.estimated;
            for_cells_with_vertices(surface, vertices, [&](std::size_t c) {
                const SurfaceCell& cell = surface.cells[c];
                const std::uint64_t first = vertices.first_vertex[c];
                for (std::uint64_t i = first; i < first + slot_count(cell, vertices.by_sheet); ++i) {
                    if (row[i] == SETTLED) continue;
                    const double f = sampled.value(row[i]) - params.iso_value;
                    const Vec3 g = sampled.gradient(row[i]);
                    if (options.vertex_normals) vertices.gradients[i] = g;
                    const std::optional<Vec3> p = newton_step(x[i], f, g);
                    const bool settled = !p || length(sub(*p, x[i])) <= tolerance;
                    const Box box = vertex_box(cell, vertices.sharp[i], params.tree_size);
                    // Near a crease the step often leaves the box, and a clamped vertex
                    // stays off both surfaces: a vertex by sheet slides along the box's
                    // side instead, as far as the plane allows.
                    if (p) x[i] = options.by_sheet ? newton_step_in_box(x[i], f, g, box) : clamp_into(*p, box);
                    if (settled && options.stop_converged) row[i] = SETTLED;
                }
            });
        });
        // An estimated pass costs six more evaluations per vertex, so only one is made.
        if (estimated) break;
        number_rows();
        if (options.stop_converged) monitor.report(Stage::vertices, x.size() - open, x.size());
    }
    // The normals of vertices still moving after the last pass come from where
    // they stopped, when the field gives gradients there for one evaluation.
    if (options.vertex_normals && options.stop_converged && !estimated && open > 0) {
        std::vector<Vec3> points(open);
        open_points(points);
        const BatchResult last = sampler.given(points);
        if (last.gradients)
            for (std::size_t i = 0; i < x.size(); ++i)
                if (row[i] != SETTLED) vertices.gradients[i] = checked_at(*last.gradients, row[i]);
    }
    return passes;
}

namespace {

// A vertex whose step was at most this many finest edges takes no second
// pass: what is left is about that step times the gradient's relative error,
// a few hundredths, as the lattice normals' crease test bounds it.
constexpr double LATTICE_SETTLED = 0.02;

// project_onto_surface for such a field, with the same clamping and stopping;
// the vertex normals are the lattice gradients where the vertices end.
void project_by_lattice(FieldSampler& sampler, const SurfaceCells& surface, std::span<const std::uint8_t> cells,
                        PlacedVertices& vertices, const DcParams& params, Monitor& monitor) {
    const DcOptions& options = params.options;
    const double tolerance = LATTICE_SETTLED * params.finest_edge;
    std::vector<Vec3>& x = vertices.positions;
    // The open vertices, in vertex order, as (cell, vertex).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> open;
    for (std::size_t c = 0; c < surface.cells.size(); ++c) {
        const std::uint64_t first = vertices.first_vertex[c];
        if (first == PlacedVertices::NONE || !cells[c]) continue;
        for (std::uint64_t i = first; i < first + slot_count(surface.cells[c], vertices.by_sheet); ++i)
            open.emplace_back(c, i);
    }
    const std::size_t total = open.size();
    std::vector<std::uint8_t> settled;
    for (int pass = 0; pass < LATTICE_PROJECTION_PASSES && !open.empty(); ++pass) {
        settled.assign(open.size(), 0);
        sampler.values(
            open.size(), [&](std::span<Vec3> out) {
                for (std::size_t k = 0; k < open.size(); ++k) out[k] = x[open[k].second];
            },
            [&](std::span<const double> values) {
                if (values.size() < open.size()) index_fault(values.size(), values.size());
                parallel_for(open.size(), [&](std::size_t begin, std::size_t end) {
                    for (std::size_t k = begin; k < end; ++k) {
                        const auto [c, i] = open[k];
                        const SurfaceCell& cell = surface.cells[c];
                        const double f = values[k] - params.iso_value;
                        const Vec3 g = lattice_gradient(cell, surface.values[c], x[i]);
                        const std::optional<Vec3> p = newton_step(x[i], f, g);
                        settled[k] = !p || length(sub(*p, x[i])) <= tolerance;
                        if (p) x[i] = clamp_into(*p, vertex_box(cell, vertices.sharp[i], params.tree_size));
                    }
                });
            });
        if (options.stop_converged) {
            std::size_t kept = 0;
            for (std::size_t k = 0; k < open.size(); ++k)
                if (!settled[k]) open[kept++] = open[k];
            open.resize(kept);
            monitor.report(Stage::vertices, total - open.size(), total);
        }
    }
    if (!options.vertex_normals) return;
    parallel_for(surface.cells.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            const std::uint64_t first = vertices.first_vertex[c];
            if (first == PlacedVertices::NONE || !cells[c]) continue;
            for (std::uint64_t i = first; i < first + slot_count(surface.cells[c], vertices.by_sheet); ++i)
                vertices.gradients[i] = lattice_gradient(surface.cells[c], surface.values[c], x[i]);
        }
    });
}

}  // namespace

PlacedVertices place_vertices(FieldSampler& sampler, const SurfaceCells& surface,
                              const Crossings& crossings, const DcParams& params, Monitor& monitor) {
    PlacedVertices vertices = number_vertices(surface, crossings, params.options.by_sheet);
    if (params.options.manifold) {
        vertices.crossing_mean.resize(vertices.positions.size());
        vertices.crossing_box.resize(vertices.positions.size());
    }
    if (crossings.field_kind == FieldKind::occupancy) {
        place_mass_points(surface, crossings, vertices);
        return vertices;
    }
    if (params.options.crossings == DcOptions::Crossings::solve_each_edge) {
        // The search left a point and a normal per distinct edge.
        const auto solved = [&](const SurfaceCell&, unsigned, std::uint64_t i) {
            const std::uint32_t e = crossings.solved_edge[i];
            return std::pair{crossings.solved_points[e], crossings.solved_normals[e]};
        };
        for_cells_with_vertices(surface, vertices, [&](std::size_t c) {
            solve_cell(surface, crossings, c, solved, params, vertices);
        });
    } else {
        const std::size_t n = crossings.count();
        const std::uint64_t before = sampler.evaluations();
        // Values unused: only the gradients matter. Every gradient is read before
        // any slot is solved, so a short array faults before a bad clamp box would.
        sampler.sample(n, crossing_points(surface, crossings), [&](const SampleView& sampled) {
            if (sampled.gradients.rows < n) index_fault(sampled.gradients.rows, sampled.gradients.rows);
            const auto bisected = [&](const SurfaceCell& cell, unsigned e, std::uint64_t i) {
                return std::pair{crossing_point(cell, e, crossings.bracket[i]),
                                 unit_normal(sampled.gradients[i])};
            };
            for_cells_with_vertices(surface, vertices, [&](std::size_t c) {
                solve_cell(surface, crossings, c, bisected, params, vertices);
            });
        });
        vertices.normal_evaluations = sampler.evaluations() - before;
    }
    const std::vector<std::uint8_t>& by_lattice = crossings.lattice_cells;
    if (by_lattice.empty()) {
        project_onto_surface(sampler, surface, vertices, params, monitor);
    } else {
        // The field's own differences first, for the cells whose corner
        // values did not give all their normals; the rest by those values.
        if (std::find(by_lattice.begin(), by_lattice.end(), 0) != by_lattice.end())
            project_onto_surface(sampler, surface, vertices, params, monitor, by_lattice);
        else if (params.options.vertex_normals)
            vertices.gradients.assign(vertices.positions.size(), Vec3{0.0, 0.0, 0.0});
        project_by_lattice(sampler, surface, by_lattice, vertices, params, monitor);
    }
    return vertices;
}

}  // namespace quarvel
