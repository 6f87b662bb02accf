// The lattice sampler: the children a parent's corner balls clear, and the
// finest sign-changing cells it finds against a sweep of the whole lattice.
#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <set>
#include <tuple>

#include "check.hpp"
#include "fields.hpp"
#include "sample/lattice_sampler.hpp"

using namespace quarvel;

namespace {

// Children of a unit cell not cleared, by brute force: each octant of each
// child (a quarter of the parent per axis) must lie strictly inside one ball.
std::uint8_t swept_children(const std::array<double, 8>& reach) {
    std::uint8_t open = 0;
    for (unsigned c = 0; c < 8; ++c)
        for (unsigned o = 0; o < 8; ++o) {
            bool covered = false;
            for (unsigned i = 0; i < 8 && !covered; ++i) {
                double far = 0.0;
                for (unsigned a = 0; a < 3; ++a) {
                    const double lo = (2.0 * ((c >> a) & 1u) + ((o >> a) & 1u)) / 4.0;
                    const double at = (i >> a) & 1u;
                    const double d = std::max(std::fabs(lo - at), std::fabs(lo + 0.25 - at));
                    far += d * d;
                }
                covered = reach[i] > std::sqrt(far);
            }
            if (!covered) open |= static_cast<std::uint8_t>(1u << c);
        }
    return open;
}

using CellSet = std::set<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>>;

// Every finest cell of the cube [-1, 1]^3 at `depth` whose corner signs change.
CellSet swept_cells(const std::function<double(const Vec3&)>& f, unsigned depth) {
    const std::uint32_t n = 1u << depth;
    const double h = 2.0 / n;
    std::vector<double> v(std::size_t{n + 1} * (n + 1) * (n + 1));
    auto at = [&](std::uint32_t x, std::uint32_t y, std::uint32_t z) -> double& {
        return v[(std::size_t{z} * (n + 1) + y) * (n + 1) + x];
    };
    for (std::uint32_t z = 0; z <= n; ++z)
        for (std::uint32_t y = 0; y <= n; ++y)
            for (std::uint32_t x = 0; x <= n; ++x) at(x, y, z) = f({-1.0 + x * h, -1.0 + y * h, -1.0 + z * h});
    CellSet cells;
    for (std::uint32_t z = 0; z < n; ++z)
        for (std::uint32_t y = 0; y < n; ++y)
            for (std::uint32_t x = 0; x < n; ++x) {
                unsigned below = 0;
                for (unsigned i = 0; i < 8; ++i) below += at(x + (i & 1u), y + ((i >> 1) & 1u), z + (i >> 2)) < 0.0;
                if (below != 0 && below != 8) cells.insert({x, y, z});
            }
    return cells;
}

SampleParams cube_params(unsigned depth) {
    SampleParams p;
    p.origin = {-1.0, -1.0, -1.0};
    p.size = 2.0;
    p.min_depth = 2;
    p.max_depth = static_cast<std::uint8_t>(depth);
    return p;
}

}  // namespace

TEST(sampler_clears_exactly_the_children_inside_the_corner_balls) {
    using sample_detail::unproven_children;
    CHECK_EQ(unproven_children({}), 0xFF);
    CHECK_EQ(unproven_children({10, 10, 10, 10, 10, 10, 10, 10}), 0);
    // Child 0 reaches sqrt(3) / 2 parent edges from corner 0.
    CHECK_EQ(unproven_children({0.87, 0, 0, 0, 0, 0, 0, 0}), 0xFE);
    CHECK_EQ(unproven_children({0.86, 0, 0, 0, 0, 0, 0, 0}), 0xFF);
    std::mt19937 rng(26);
    std::uniform_real_distribution<double> reach(0.0, 1.4);
    for (int k = 0; k < 20000; ++k) {
        std::array<double, 8> r;
        for (double& x : r) x = (k % 3 == 0 && rng() % 2) ? 0.0 : reach(rng);
        REQUIRE(unproven_children(r) == swept_children(r));
    }
}

TEST(sampler_finds_every_sign_changing_cell_in_walk_order) {
    // A ball and a small one 1.2 finest cells across, between the first
    // samples; plain and scaled so steep that a factor of 1 would clear it.
    for (const double scale : {1.0, 1.5, 3.0}) {
        const unsigned depth = 6;
        const double r = 1.2 * 2.0 / (1u << depth);
        auto f = [=](const Vec3& p) {
            const Vec3 q{p[0] - 0.55, p[1] + 0.45, p[2] - 0.6};
            return scale * std::min(testing::norm(p) - 0.5, testing::norm(q) - r);
        };
        testing::LambdaField field(f);
        const SampleResult result = sample_lattice(field, cube_params(depth));
        CellSet found;
        REQUIRE(result.values.size() == result.cells.size());
        for (std::size_t k = 0; k < result.cells.size(); ++k) {
            const SampledCell& c = result.cells[k];
            found.insert({c.x, c.y, c.z});
            for (unsigned i = 0; i < 8; ++i) {
                const Vec3 p{-1.0 + (c.x + (i & 1u)) / 32.0, -1.0 + (c.y + ((i >> 1) & 1u)) / 32.0,
                             -1.0 + (c.z + (i >> 2)) / 32.0};
                REQUIRE(result.values[k][i] == f(p));
                REQUIRE(((c.sign_mask >> i) & 1u) == (result.values[k][i] < 0.0));
            }
        }
        CHECK(found == swept_cells(f, depth));
        CHECK_EQ(found.size(), result.cells.size());
        CHECK(result.guard == SampleGuard::on && result.steepest >= scale);
        CHECK(result.evaluations == field.points_received());
        CHECK(result.evaluations < 65u * 65u * 65u / 3u);
        // z-order: brick by brick, then cell by cell.
        auto code = [](const SampledCell& c) {
            std::uint64_t k = 0;
            for (unsigned b = 0; b < 6; ++b)
                k |= (std::uint64_t{(c.x >> b) & 1u} << (3 * b)) | (std::uint64_t{(c.y >> b) & 1u} << (3 * b + 1)) |
                     (std::uint64_t{(c.z >> b) & 1u} << (3 * b + 2));
            return k;
        };
        CHECK(std::is_sorted(result.cells.begin(), result.cells.end(),
                             [&](const SampledCell& a, const SampledCell& b) { return code(a) < code(b); }));
    }
}

TEST(sampler_judges_by_signs_a_field_that_is_not_a_distance) {
    // +-1 occupancy: slopes of 2 over a cell far beyond a factor of 1.
    testing::LambdaField field([](const Vec3& p) { return testing::norm(p) < 0.5 ? -1.0 : 1.0; });
    const SampleResult result = sample_lattice(field, cube_params(5));
    CHECK(result.guard == SampleGuard::too_steep);
    CHECK(!result.cells.empty());
    // Each face whose signs change has a found cell on both sides.
    CellSet found;
    for (const SampledCell& c : result.cells) found.insert({c.x, c.y, c.z});
    CHECK(found == swept_cells([](const Vec3& p) { return testing::norm(p) < 0.5 ? -1.0 : 1.0; }, 5));
}
