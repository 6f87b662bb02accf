#include "dc/mesh_measure.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/fault.hpp"
#include "core/parallel.hpp"

namespace quarvel {

namespace {

constexpr std::size_t BLOCK = std::size_t{1} << 14;

std::size_t blocks_of(std::size_t n) { return (n + BLOCK - 1) / BLOCK; }

// A running sum that keeps the low-order bits the additions drop (Neumaier's
// variant of Kahan summation): block sums of very different sizes add up
// without losing the small ones.
struct CompensatedSum {
    double sum = 0.0, lost = 0.0;
    void add(double x) {
        const double t = sum + x;
        lost += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
        sum = t;
    }
    double value() const { return sum + lost; }
};

Vec3 box_centre(std::span<const Vec3> vertices) {
    struct Range {
        Vec3 lo{std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                std::numeric_limits<double>::infinity()};
        Vec3 hi{-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                -std::numeric_limits<double>::infinity()};
    };
    const std::vector<Range> parts = parallel_map<Range>(blocks_of(vertices.size()), [&](std::size_t b) {
        Range r;
        for (std::size_t i = b * BLOCK; i < std::min(vertices.size(), (b + 1) * BLOCK); ++i)
            for (int a = 0; a < 3; ++a) {
                r.lo[a] = std::min(r.lo[a], vertices[i][a]);
                r.hi[a] = std::max(r.hi[a], vertices[i][a]);
            }
        return r;
    }, 1);
    Range all;
    for (const Range& r : parts)
        for (int a = 0; a < 3; ++a) {
            all.lo[a] = std::min(all.lo[a], r.lo[a]);
            all.hi[a] = std::max(all.hi[a], r.hi[a]);
        }
    Vec3 centre;
    for (int a = 0; a < 3; ++a) centre[a] = 0.5 * (all.lo[a] + all.hi[a]);
    return centre;
}

}  // namespace

MeshMeasures measure_mesh(std::span<const Vec3> vertices, std::span<const Triangle> triangles) {
    if (triangles.empty()) return {};
    const Vec3 centre = box_centre(vertices);
    const std::vector<MeshMeasures> parts =
        parallel_map<MeshMeasures>(blocks_of(triangles.size()), [&](std::size_t b) {
            MeshMeasures m;
            for (std::size_t t = b * BLOCK; t < std::min(triangles.size(), (b + 1) * BLOCK); ++t) {
                std::array<Vec3, 3> p;
                for (unsigned k = 0; k < 3; ++k) {
                    const std::uint64_t v = triangles[t][k];
                    if (v >= vertices.size()) index_fault(vertices.size(), v);
                    p[k] = sub(vertices[v], centre);
                }
                const Vec3 n = cross(sub(p[1], p[0]), sub(p[2], p[0]));
                m.area += length(n);
                m.volume += dot(p[0], cross(p[1], p[2]));
            }
            return m;
        }, 1);
    CompensatedSum area, volume;
    for (const MeshMeasures& m : parts) {
        area.add(m.area);
        volume.add(m.volume);
    }
    return {area.value() / 2.0, volume.value() / 6.0};
}

}  // namespace quarvel
