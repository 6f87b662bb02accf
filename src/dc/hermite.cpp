#include "dc/hermite.hpp"

#include <cmath>

#include "core/fault.hpp"
#include "core/ordered_gather.hpp"
#include "core/vec3.hpp"

namespace quarvel {

namespace {

Vec3 lerp(const Vec3& p0, const Vec3& p1, double t) {
    return {p0[0] + t * (p1[0] - p0[0]), p0[1] + t * (p1[1] - p0[1]), p0[2] + t * (p1[2] - p0[2])};
}

void emit_cell_crossings(const SurfaceCell& cell, const CellComponents& components,
                         std::uint64_t index, double iso_value, std::vector<EdgeCrossing>& out) {
    for (unsigned e = 0; e < 12; ++e) {
        const auto [a, b] = CUBE_EDGES[e];
        const double fa = cell.values[a] - iso_value;
        // NaN compares false on both sides, so it counts as not below.
        if ((fa < 0) == (cell.values[b] < iso_value)) continue;
        const unsigned inside = (cell.sign_mask >> a & 1u) ? a : b;
        out.push_back({corner_position(cell, a), corner_position(cell, b), fa, index,
                       static_cast<std::uint8_t>(component_of(components, inside)),
                       static_cast<std::uint8_t>(e)});
    }
}

// An edge by its lower corner at its cells' level, that level and its axis.
struct EdgeKey {
    std::uint32_t x = 0, y = 0, z = 0;
    std::uint8_t level = 0, axis = 0;
    bool operator==(const EdgeKey&) const = default;
    std::uint64_t hash_input() const noexcept {
        return (std::uint64_t{x} | (std::uint64_t{y} << 32)) ^ (std::uint64_t{z} * 0x9E3779B97F4A7C15ULL) ^
               (std::uint64_t{level} << 56) ^ (std::uint64_t{axis} << 48);
    }
};

EdgeKey edge_key(const SurfaceCell& cell, unsigned edge) {
    const unsigned a = CUBE_EDGES[edge][0];
    return {cell.key.x + bit_x(a), cell.key.y + bit_y(a), cell.key.z + bit_z(a), cell.key.level,
            static_cast<std::uint8_t>(edge / 4)};
}

// ---------------------------------------------------------------- the pipeline's search

// One crossing's search, in edge units t (0 at p0, 1 at p1), values minus iso.
struct Search {
    double t_lo = 0.0, t_hi = 1.0;
    double f_lo = 0.0, f_hi = 0.0;  // secant weights of the ends (Illinois halves one)
    double t = 0.0, f = 0.0;        // the last trial and its value
    double step = 1.0;              // |t - the trial before|; the bracket's width before that
    double slope = NAN;             // df/dt there, when the field gave a gradient
    std::optional<Vec3> gradient;   // the field's gradient at t
    int replaced = 0;               // which end the last trial replaced: -1 low, +1 high
    bool done = false;
    bool low_below = false;         // whether the low end is below the iso value

    double middle() const { return 0.5 * (t_lo + t_hi); }
    bool inside(double x) const { return std::isfinite(x) && x > t_lo && x < t_hi; }

    // The next trial: Newton while it stays inside and at least halves the
    // step, else the secant of the ends, else the middle.
    double next_trial(bool first) const {
        if (!first && std::isfinite(slope)) {
            const double newton = t - f / slope;
            if (inside(newton) && std::fabs(newton - t) <= 0.5 * step) return newton;
            return middle();
        }
        const double secant = t_lo + (t_hi - t_lo) * f_lo / (f_lo - f_hi);
        return inside(secant) ? secant : middle();
    }

    // Takes the value (and gradient) at trial `x`; `edge_vector` = p1 - p0.
    void take(double x, double fx, const std::optional<Vec3>& g, const Vec3& edge_vector, bool first) {
        step = first ? t_hi - t_lo : std::fabs(x - t);
        t = x;
        f = fx;
        gradient = g;
        slope = g ? dot(*g, edge_vector) : NAN;
        if (fx == 0.0) {
            done = true;
            return;
        }
        if ((fx < 0) == low_below) {
            t_lo = x;
            f_lo = fx;
            if (replaced == -1) f_hi *= 0.5;
            replaced = -1;
        } else {
            t_hi = x;
            f_hi = fx;
            if (replaced == 1) f_lo *= 0.5;
            replaced = 1;
        }
        const double newton_step = std::fabs(f / slope);
        const bool newton_converged = g && std::isfinite(newton_step) && newton_step <= SEARCH_TOLERANCE;
        const bool secant_converged = !g && step <= SEARCH_TOLERANCE;
        // Infinite values (an occupancy field) tell only sides: bisecting them
        // further than the engine does places nothing better.
        const double enough = std::isfinite(fx) ? SEARCH_TOLERANCE : 1.0 / 256.0;
        done = newton_converged || secant_converged || t_hi - t_lo <= enough;
    }
};

}  // namespace

std::vector<EdgeCrossing> build_crossings(const SurfaceCells& surface, double iso_value) {
    return parallel_gather<EdgeCrossing>(
        surface.cells.size(), [&](std::size_t i, std::vector<EdgeCrossing>& out) {
            emit_cell_crossings(surface.cells[i], surface.components[i], i, iso_value, out);
        });
}

std::vector<Vec3> locate_crossings(FieldSampler& sampler, std::span<const EdgeCrossing> crossings,
                                   double iso_value) {
    const std::size_t n = crossings.size();
    std::vector<Vec3> points(n);
    if (n == 0) return points;
    std::vector<double> t_lo(n, 0.0), t_hi(n, 1.0), f_lo(n);
    for (std::size_t i = 0; i < n; ++i) f_lo[i] = crossings[i].f0;
    std::vector<double> t_mid(n);
    for (int round = 0; round < BISECTION_ROUNDS; ++round) {
        for (std::size_t i = 0; i < n; ++i) {
            t_mid[i] = (t_lo[i] + t_hi[i]) * 0.5;
            points[i] = lerp(crossings[i].p0, crossings[i].p1, t_mid[i]);
        }
        const std::vector<double> values = sampler.values(points);
        for (std::size_t i = 0; i < n; ++i) {
            const double fm = checked_at(values, i) - iso_value;
            if ((fm < 0) != (f_lo[i] < 0)) {
                t_hi[i] = t_mid[i];
            } else {
                t_lo[i] = t_mid[i];
                f_lo[i] = fm;
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        points[i] = lerp(crossings[i].p0, crossings[i].p1, (t_lo[i] + t_hi[i]) * 0.5);
    return points;
}

DistinctEdges distinct_edges(const SurfaceCells& surface, std::span<const EdgeCrossing> crossings) {
    DistinctEdges out;
    FlatMap<EdgeKey, std::uint32_t> index(crossings.size() / 2);
    out.edge_of.reserve(crossings.size());
    for (const EdgeCrossing& c : crossings) {
        const auto next = static_cast<std::uint32_t>(out.edges.size());
        const EdgeKey key = edge_key(surface.cells[c.cell], c.edge);
        if (index.try_emplace(key, next)) out.edges.push_back(c);
        out.edge_of.push_back(*index.find(key));
    }
    return out;
}

Located solve_crossings(FieldSampler& sampler, std::span<const EdgeCrossing> crossings,
                        std::span<const double> f1, double iso_value) {
    const std::size_t n = crossings.size();
    std::vector<Search> searches(n);
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < n; ++i) {
        Search& s = searches[i];
        s.f_lo = crossings[i].f0;
        s.f_hi = f1[i];
        s.low_below = crossings[i].f0 < 0;
        // A corner exactly at the iso value is the crossing (it counts as above).
        s.done = s.f_lo == 0.0 || s.f_hi == 0.0;
        s.t = s.f_lo == 0.0 ? 0.0 : 1.0;
        if (!s.done) open.push_back(i);
    }
    std::vector<double> trials;
    std::vector<Vec3> points;
    for (int round = 0; round < SEARCH_ROUNDS && !open.empty(); ++round) {
        trials.resize(open.size());
        points.resize(open.size());
        for (std::size_t k = 0; k < open.size(); ++k) {
            const EdgeCrossing& c = crossings[open[k]];
            trials[k] = searches[open[k]].next_trial(round == 0);
            points[k] = lerp(c.p0, c.p1, trials[k]);
        }
        const BatchResult batch = sampler.given(points);
        std::size_t still_open = 0;
        for (std::size_t k = 0; k < open.size(); ++k) {
            const std::size_t i = open[k];
            const EdgeCrossing& c = crossings[i];
            std::optional<Vec3> g;
            if (batch.gradients) g = checked_at(*batch.gradients, k);
            searches[i].take(trials[k], checked_at(batch.values, k) - iso_value, g, sub(c.p1, c.p0),
                             round == 0);
            if (!searches[i].done) open[still_open++] = i;
        }
        open.resize(still_open);
        sampler.report(Stage::crossings, n - open.size(), n);
    }
    Located out;
    out.points.resize(n);
    out.gradients.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Search& s = searches[i];
        out.points[i] = lerp(crossings[i].p0, crossings[i].p1, s.done ? s.t : s.middle());
        out.gradients[i] = s.gradient;
    }
    return out;
}

Vec3 unit_normal(const Vec3& g) {
    const double len = length_without_overflow(g);
    if (!(len > 1e-12) || std::isinf(len)) return {0.0, 0.0, 1.0};
    return {g[0] / len, g[1] / len, g[2] / len};
}

std::vector<Vec3> estimate_normals(FieldSampler& sampler, std::span<const Vec3> points) {
    std::vector<Vec3> normals(points.size());
    // Values unused: only the gradients matter.
    const std::vector<Vec3> gradients = sampler.sample(points).gradients;
    for (std::size_t i = 0; i < points.size(); ++i) normals[i] = unit_normal(checked_at(gradients, i));
    return normals;
}

namespace {

// The engine's Hermite data: each crossing of each cell on its own.
void bisect_each_cell(FieldSampler& sampler, std::span<const EdgeCrossing> crossings,
                      double iso_value, HermiteSamples& samples) {
    samples.points = locate_crossings(sampler, crossings, iso_value);
    const std::uint64_t before = sampler.evaluations();
    samples.normals = estimate_normals(sampler, samples.points);
    samples.normal_evaluations = sampler.evaluations() - before;
}

// The pipeline's: each distinct edge solved once; normals from the search's
// last gradients, central differences where the field gave none.
void solve_each_edge(FieldSampler& sampler, const SurfaceCells& surface,
                     std::span<const EdgeCrossing> crossings, double iso_value,
                     HermiteSamples& samples) {
    const DistinctEdges distinct = distinct_edges(surface, crossings);
    std::vector<double> f1(distinct.edges.size());
    for (std::size_t e = 0; e < f1.size(); ++e) {
        const EdgeCrossing& c = distinct.edges[e];
        f1[e] = surface.cells[c.cell].values[CUBE_EDGES[c.edge][1]] - iso_value;
    }
    const Located located = solve_crossings(sampler, distinct.edges, f1, iso_value);
    std::vector<Vec3> normals(f1.size());
    std::vector<Vec3> unknown;
    bool field_gives_gradients = false;
    for (std::size_t e = 0; e < f1.size(); ++e) {
        if (located.gradients[e])
            normals[e] = unit_normal(*located.gradients[e]);
        else
            unknown.push_back(located.points[e]);
        field_gives_gradients = field_gives_gradients || located.gradients[e].has_value();
    }
    // Where the search ended without a gradient: ask the field when it gives
    // them, else estimate them.
    const std::uint64_t before = sampler.evaluations();
    const std::vector<Vec3> gradients =
        field_gives_gradients ? sampler.sample(unknown).gradients : sampler.differences(unknown);
    samples.normal_evaluations = sampler.evaluations() - before;
    for (std::size_t e = 0, k = 0; e < f1.size(); ++e)
        if (!located.gradients[e]) normals[e] = unit_normal(checked_at(gradients, k++));
    samples.points.reserve(crossings.size());
    samples.normals.reserve(crossings.size());
    for (std::uint32_t e : distinct.edge_of) {
        samples.points.push_back(located.points[e]);
        samples.normals.push_back(normals[e]);
    }
}

}  // namespace

HermiteSamples hermite_samples(FieldSampler& sampler, const SurfaceCells& surface,
                               double iso_value, const DcOptions& options) {
    const std::vector<EdgeCrossing> crossings = build_crossings(surface, iso_value);
    HermiteSamples samples;
    if (options.crossings == DcOptions::Crossings::bisect_each_cell)
        bisect_each_cell(sampler, crossings, iso_value, samples);
    else
        solve_each_edge(sampler, surface, crossings, iso_value, samples);
    samples.slots.reserve(crossings.size());
    for (const EdgeCrossing& c : crossings)
        samples.slots.push_back(surface.slots.offset[c.cell] + c.component);
    return samples;
}

}  // namespace quarvel
