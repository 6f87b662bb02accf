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
                         std::uint64_t index, std::vector<EdgeCrossing>& out) {
    for (const auto& [a, b] : CUBE_EDGES) {
        if (below(cell, a) == below(cell, b)) continue;
        const unsigned inside = below(cell, a) ? a : b;
        out.push_back({corner_position(cell, a), corner_position(cell, b), below(cell, a), index,
                       static_cast<std::uint8_t>(component_of(components, inside))});
    }
}

}  // namespace

std::vector<EdgeCrossing> build_crossings(const SurfaceCells& surface) {
    return parallel_gather<EdgeCrossing>(
        surface.cells.size(), [&](std::size_t i, std::vector<EdgeCrossing>& out) {
            emit_cell_crossings(surface.cells[i], surface.components[i], i, out);
        });
}

std::vector<Vec3> locate_crossings(FieldSampler& sampler, std::span<const EdgeCrossing> crossings,
                                   double iso_value) {
    const std::size_t n = crossings.size();
    std::vector<Vec3> points(n);
    if (n == 0) return points;
    // Of the value at the lower bound only its sign is ever read.
    std::vector<double> t_lo(n, 0.0), t_hi(n, 1.0);
    std::vector<std::uint8_t> lo_below(n);
    for (std::size_t i = 0; i < n; ++i) lo_below[i] = crossings[i].a_below;
    std::vector<double> t_mid(n);
    for (int round = 0; round < BISECTION_ROUNDS; ++round) {
        for (std::size_t i = 0; i < n; ++i) {
            t_mid[i] = (t_lo[i] + t_hi[i]) * 0.5;
            points[i] = lerp(crossings[i].p0, crossings[i].p1, t_mid[i]);
        }
        const std::vector<double> values = sampler.values(points);
        for (std::size_t i = 0; i < n; ++i) {
            const bool fm_below = checked_at(values, i) - iso_value < 0;
            if (fm_below != bool(lo_below[i])) {
                t_hi[i] = t_mid[i];
            } else {
                t_lo[i] = t_mid[i];
                lo_below[i] = fm_below;
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        points[i] = lerp(crossings[i].p0, crossings[i].p1, (t_lo[i] + t_hi[i]) * 0.5);
    return points;
}

Vec3 unit_normal(const Vec3& g) {
    const double len = length(g);
    if (!(len > 1e-12)) return {0.0, 0.0, 1.0};
    return {g[0] / len, g[1] / len, g[2] / len};
}

std::vector<Vec3> estimate_normals(FieldSampler& sampler, std::span<const Vec3> points) {
    std::vector<Vec3> normals(points.size());
    // Values unused: only the gradients matter.
    const std::vector<Vec3> gradients = sampler.sample(points).gradients;
    for (std::size_t i = 0; i < points.size(); ++i) normals[i] = unit_normal(checked_at(gradients, i));
    return normals;
}

HermiteSamples hermite_samples(FieldSampler& sampler, const SurfaceCells& surface,
                               double iso_value) {
    const std::vector<EdgeCrossing> crossings = build_crossings(surface);
    HermiteSamples samples;
    samples.points = locate_crossings(sampler, crossings, iso_value);
    samples.normals = estimate_normals(sampler, samples.points);
    samples.slots.reserve(crossings.size());
    for (const EdgeCrossing& c : crossings)
        samples.slots.push_back(surface.slots.offset[c.cell] + c.component);
    return samples;
}

}  // namespace quarvel
