#include "dc/hermite.hpp"

#include <cmath>

#include "core/fault.hpp"
#include "core/parallel.hpp"
#include "core/vec3.hpp"

namespace quarvel {

unsigned crossing_component(const SurfaceCell& cell, unsigned e) {
    const auto [a, b] = CUBE_EDGES[e];
    return static_cast<unsigned>(component_of(components_of(cell), below(cell, a) ? a : b));
}

Vec3 edge_point(const SurfaceCell& cell, unsigned e, double t) {
    const Vec3 p0 = corner_position(cell, CUBE_EDGES[e][0]);
    const Vec3 p1 = corner_position(cell, CUBE_EDGES[e][1]);
    return {p0[0] + t * (p1[0] - p0[0]), p0[1] + t * (p1[1] - p0[1]), p0[2] + t * (p1[2] - p0[2])};
}

// The bracket [lo, hi] of round r is [b, b + 1] / 2^r: both ends and their
// midpoint are exact in binary, so the searched t values are formed exactly.
Vec3 crossing_point(const SurfaceCell& cell, unsigned e, std::uint8_t bracket) {
    return edge_point(cell, e, (2.0 * bracket + 1.0) * (1.0 / (2 << BISECTION_ROUNDS)));
}

Crossings build_crossings(const SurfaceCells& surface) {
    Crossings out;
    out.first.reserve(surface.cells.size() + 1);
    for (const SurfaceCell& cell : surface.cells) {
        out.first.push_back(out.edge.size());
        for_each_crossing_edge(cell, [&](unsigned e) { out.edge.push_back(static_cast<std::uint8_t>(e)); });
    }
    out.first.push_back(out.edge.size());
    out.edge.shrink_to_fit();
    return out;
}

void locate_crossings(FieldSampler& sampler, const SurfaceCells& surface, Crossings& crossings,
                      double iso_value) {
    const std::size_t n = crossings.count(), cells = surface.cells.size();
    // Per crossing: b of its bracket [b, b + 1] / 2^round, and whether the
    // field is below the iso value at the lower end (only its sign is read).
    std::vector<std::uint8_t>& lo = crossings.bracket;
    lo.assign(n, 0);
    std::vector<std::uint8_t> lo_below(n);
    parallel_for(cells, [&](std::size_t begin, std::size_t end) {
        for_each_crossing(crossings, begin, end, [&](std::size_t c, unsigned e, std::uint64_t i) {
            lo_below[i] = below(surface.cells[c], CUBE_EDGES[e][0]);
        });
    });
    for (int round = 0; round < BISECTION_ROUNDS; ++round) {
        const double scale = 1.0 / (2 << round);  // midpoint (2b + 1) / 2^(round + 1)
        const auto trial_points = [&](std::span<Vec3> points) {
            parallel_for(cells, [&](std::size_t begin, std::size_t end) {
                for_each_crossing(crossings, begin, end, [&](std::size_t c, unsigned e, std::uint64_t i) {
                    points[i] = edge_point(surface.cells[c], e, (2.0 * lo[i] + 1.0) * scale);
                });
            });
        };
        sampler.values(n, trial_points, [&](std::span<const double> values) {
            // Read in crossing order, so a short array faults at its length.
            if (values.size() < n) index_fault(values.size(), values.size());
            parallel_for(n, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    const bool fm_below = values[i] - iso_value < 0;
                    // A sign change keeps the lower half: b doubles; else the upper.
                    const bool keep_lower = fm_below != bool(lo_below[i]);
                    lo[i] = static_cast<std::uint8_t>(2 * lo[i] + (keep_lower ? 0 : 1));
                    if (!keep_lower) lo_below[i] = fm_below;
                }
            });
        });
    }
}

Vec3 unit_normal(const Vec3& g) {
    const double len = length(g);
    if (!(len > 1e-12)) return {0.0, 0.0, 1.0};
    return {g[0] / len, g[1] / len, g[2] / len};
}

FillPoints crossing_points(const SurfaceCells& surface, const Crossings& crossings) {
    return [&surface, &crossings](std::span<Vec3> points) {
        parallel_for(surface.cells.size(), [&](std::size_t begin, std::size_t end) {
            for_each_crossing(crossings, begin, end, [&](std::size_t c, unsigned e, std::uint64_t i) {
                points[i] = crossing_point(surface.cells[c], e, crossings.bracket[i]);
            });
        });
    };
}

Crossings hermite_samples(FieldSampler& sampler, const SurfaceCells& surface, double iso_value) {
    Crossings crossings = build_crossings(surface);
    locate_crossings(sampler, surface, crossings, iso_value);
    return crossings;
}

}  // namespace quarvel
