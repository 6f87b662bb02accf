#include "mesh/measure.hpp"

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

// The middle of the vertices' box and, per axis, the power of two that
// brings its half-extent into [1, 2). Measured from there and at those
// scales, a mesh near the ends of the double range neither overflows nor
// underflows (a sliver 1e308 long and 1e-300 wide too), and any other gives
// the very same sums, scaled by powers of two.
struct Frame {
    Vec3 centre{0.0, 0.0, 0.0};
    std::array<int, 3> exponent{0, 0, 0};
};

Frame frame_of(std::span<const Vec3> vertices) {
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
    Frame f;
    for (int a = 0; a < 3; ++a) {
        // Halves first: lo + hi may overflow where each half does not.
        f.centre[a] = 0.5 * all.lo[a] + 0.5 * all.hi[a];
        const double half = 0.5 * all.hi[a] - 0.5 * all.lo[a];
        // (Not below -1000: 2^-exponent stays finite.)
        if (std::isfinite(half) && half > 0.0) f.exponent[a] = std::max(std::ilogb(half), -1000);
    }
    return f;
}

}  // namespace

MeshMeasures measure_mesh(std::span<const Vec3> vertices, std::span<const Triangle> triangles) {
    if (triangles.empty()) return {};
    const Frame frame = frame_of(vertices);
    const std::array<int, 3>& e = frame.exponent;
    // Multiplying by powers of two is exact: each coordinate by its axis's
    // scale; each component of a normal, which came out scaled by the other
    // two axes' scales, back to the one scale of the largest of those.
    const Vec3 scale{std::ldexp(1.0, -e[0]), std::ldexp(1.0, -e[1]), std::ldexp(1.0, -e[2])};
    const int area_exponent = std::max({e[1] + e[2], e[0] + e[2], e[0] + e[1]});
    const Vec3 normal_scale{std::ldexp(1.0, e[1] + e[2] - area_exponent), std::ldexp(1.0, e[0] + e[2] - area_exponent),
                            std::ldexp(1.0, e[0] + e[1] - area_exponent)};
    const std::vector<MeshMeasures> parts =
        parallel_map<MeshMeasures>(blocks_of(triangles.size()), [&](std::size_t b) {
            MeshMeasures m;
            for (std::size_t t = b * BLOCK; t < std::min(triangles.size(), (b + 1) * BLOCK); ++t) {
                std::array<Vec3, 3> p;
                for (unsigned k = 0; k < 3; ++k) {
                    const std::uint64_t v = triangles[t][k];
                    if (v >= vertices.size()) index_fault(vertices.size(), v);
                    const Vec3 d = sub(vertices[v], frame.centre);
                    p[k] = {d[0] * scale[0], d[1] * scale[1], d[2] * scale[2]};
                }
                const Vec3 n = cross(sub(p[1], p[0]), sub(p[2], p[0]));
                m.area += length({n[0] * normal_scale[0], n[1] * normal_scale[1], n[2] * normal_scale[2]});
                m.volume += dot(p[0], cross(p[1], p[2]));
            }
            return m;
        }, 1);
    CompensatedSum area, volume;
    for (const MeshMeasures& m : parts) {
        area.add(m.area);
        volume.add(m.volume);
    }
    // Too large for a double: infinite, never NaN.
    return {std::ldexp(area.value(), area_exponent) / 2.0, std::ldexp(volume.value(), e[0] + e[1] + e[2]) / 6.0};
}

}  // namespace quarvel
