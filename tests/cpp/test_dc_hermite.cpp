// Hermite data: which edges cross, the batched bisection, normals and faults.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "check.hpp"
#include "core/fault.hpp"
#include "dc/hermite.hpp"
#include "dc/vertices.hpp"
#include "fields.hpp"
#include "test_dc_support.hpp"

using dctest::fault_message;

using namespace quarvel;

namespace {

// A unit cell at the origin whose corner i has value values[i].
SurfaceCell unit_cell(const std::array<double, 8>& values, double iso) {
    SurfaceCell cell;
    for (unsigned i = 0; i < 8; ++i)
        if (values[i] < iso) cell.sign_mask |= static_cast<std::uint8_t>(1u << i);
    cell.min = {0.0, 0.0, 0.0};
    cell.edge = 1.0;
    return cell;
}

// Values of f(x, y, z) = x + shift at the corners of the unit cell.
std::array<double, 8> linear_in_x(double shift) {
    std::array<double, 8> v;
    for (unsigned i = 0; i < 8; ++i) v[i] = bit_x(i) + shift;
    return v;
}


}  // namespace

// The edges of cell `c` that cross, in order.
std::vector<unsigned> crossing_edges(const SurfaceCell& c) {
    std::vector<unsigned> edges;
    for_each_crossing_edge(c, [&](unsigned e) { edges.push_back(e); });
    return edges;
}

TEST(dc_crossings_only_on_sign_changes_in_edge_order) {
    // iso 2: corner 0 below; corner 1 and 3 exactly at iso, the rest above.
    const double iso = 2.0;
    const SurfaceCell cell = unit_cell({1.0, 2.0, 3.0, 2.0, 3.0, 3.0, 3.0, 3.0}, iso);
    const SurfaceCells surface = index_surface_cells({cell});
    const Crossings crossings = build_crossings(surface);
    // Only the three edges at corner 0; (iso, iso) and (iso + 1, iso) do not cross.
    REQUIRE(crossings.count() == 3);
    CHECK(crossing_edges(cell) == (std::vector<unsigned>{0, 4, 8}));
    const Vec3 far_ends[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // edges 0, 4, 8
    for (unsigned k = 0; k < 3; ++k) {
        const unsigned e = crossing_edges(cell)[k];
        CHECK(edge_point(cell, e, 0.0) == (Vec3{0, 0, 0}));
        CHECK(edge_point(cell, e, 1.0) == far_ends[k]);
        CHECK(below(cell, CUBE_EDGES[e][0]));
        CHECK_EQ(crossing_component(cell, e), 0u);
    }
}

TEST(dc_crossings_feed_the_slot_of_their_inside_corner) {
    // Mask 6: corners 1 and 2 inside, two groups. The crossing edges in order
    // 0, 1, 4, 5, 9, 10 have inside corners 1, 2, 2, 1, 1, 2.
    std::array<double, 8> v;
    v.fill(1.0);
    v[1] = v[2] = -1.0;
    const SurfaceCell other = unit_cell(linear_in_x(-0.5), 0.0);  // mask 85, one group
    const SurfaceCell two = unit_cell(v, 0.0);
    const SurfaceCells surface = index_surface_cells({other, two});
    REQUIRE(components_of(two).count == 2);
    const Crossings crossings = build_crossings(surface);
    CHECK(crossings.first == (std::vector<std::uint64_t>{0, 4, 10}));
    const std::vector<unsigned> edges = crossing_edges(two);
    REQUIRE(edges == (std::vector<unsigned>{0, 1, 4, 5, 9, 10}));
    const unsigned expected_component[6] = {0, 1, 1, 0, 0, 1};
    for (int k = 0; k < 6; ++k) CHECK_EQ(crossing_component(two, edges[k]), expected_component[k]);
}

TEST(dc_bisection_of_a_linear_field) {
    // f = x - 0.3 on the four x edges of the unit cell.
    const SurfaceCell cell = unit_cell(linear_in_x(-0.3), 0.0);
    const SurfaceCells surface = index_surface_cells({cell});
    Crossings crossings = build_crossings(surface);
    REQUIRE(crossings.count() == 4);
    testing::LambdaField field([](const Vec3& p) { return p[0] - 0.3; });
    FieldSampler sampler(field, 0.01);
    locate_crossings(sampler, surface, crossings, 0.0);

    // Eight rounds, each one batch over all four edges; trial x values follow
    // the bracket by hand: [0,1] -> [0,.5] -> [.25,.5] -> ... -> [.296875, .30078125].
    const double trials[8] = {0.5, 0.25, 0.375, 0.3125, 0.28125, 0.296875, 0.3046875, 0.30078125};
    REQUIRE(field.batches.size() == 8);
    for (int r = 0; r < 8; ++r) {
        REQUIRE(field.batches[r].size() == 4);
        for (const Vec3& p : field.batches[r]) CHECK_EQ(p[0], trials[r]);
    }
    const std::vector<unsigned> edges = crossing_edges(cell);
    for (std::size_t k = 0; k < 4; ++k) {
        const Vec3 p = crossing_point(cell, edges[k], crossings.bracket[k]);
        const Vec3 p0 = edge_point(cell, edges[k], 0.0);
        CHECK_EQ(p[0], 153.0 / 512.0);
        CHECK_EQ(p[1], p0[1]);
        CHECK_EQ(p[2], p0[2]);
    }
}

TEST(dc_bisection_toward_a_corner_at_iso) {
    // Values (iso - 1, iso) along x: every trial stays below, so the bracket
    // closes on corner b and the point lands at 511/512.
    const double iso = 2.0;
    const SurfaceCell cell = unit_cell(linear_in_x(1.0), iso);
    const SurfaceCells surface = index_surface_cells({cell});
    Crossings crossings = build_crossings(surface);
    REQUIRE(crossings.count() == 4);
    testing::LambdaField field([](const Vec3& p) { return p[0] + 1.0; });
    FieldSampler sampler(field, 0.01);
    locate_crossings(sampler, surface, crossings, iso);
    for (std::uint8_t b : crossings.bracket) {
        const Vec3 p = crossing_point(cell, 0, b);
        CHECK_EQ(p[0], 511.0 / 512.0);
    }
}

TEST(dc_unit_normals) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CHECK(unit_normal({3, 4, 0}) == (Vec3{0.6, 0.8, 0.0}));
    CHECK(unit_normal({0, 0, 0}) == (Vec3{0.0, 0.0, 1.0}));  // vanished gradient
    CHECK(unit_normal({nan, 1, 1}) == (Vec3{0.0, 0.0, 1.0}));  // NaN length
}

TEST(dc_sampled_gradients_by_central_differences) {
    const std::vector<Vec3> points{{0.25, 0.5, 0.75}, {1, 1, 1}};
    testing::LambdaField field([](const Vec3& p) { return 2.0 * p[0] - 3.0 * p[2]; });
    const double step = 0.125;
    FieldSampler sampler(field, step);
    const Sampled sampled = sampler.sample(points);
    REQUIRE(field.batches.size() == 2);
    CHECK_EQ(field.batches[0].size(), 2u);
    REQUIRE(field.batches[1].size() == 12u);
    CHECK_EQ(field.batches[1][0][0], 0.25 + step);  // the step is used as given
    CHECK(sampled.estimated);
    for (const Vec3& g : sampled.gradients) {
        CHECK_NEAR(g[0], 2.0, 1e-12);
        CHECK_NEAR(g[1], 0.0, 1e-12);
        CHECK_NEAR(g[2], -3.0, 1e-12);
    }
}

TEST(dc_differences_retry_stencils_that_straddle_a_crease) {
    // A wedge whose crease is the y axis; the points lie on its face z = 0.
    testing::LambdaField wedge([](const Vec3& p) { return std::max(p[0], p[2]); });
    FieldSampler sampler(wedge, 0.01);
    const std::vector<Vec3> points{{-0.5, 0, 0}, {-0.0005, 0.3, 0}, {0, 0.7, 0}, {-0.0005, 0.5, 0}};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const CheckedDifferences d = sampler.differences(points, std::vector<double>{0, 0, 0, nan}, 0.05, 2);
    // Far from the crease: one stencil. 0.0005 from it: clean at the third
    // step. On it: never clean, so the first gradient stays. No centre value:
    // never flagged.
    CHECK(d.gradients[0] == (Vec3{0, 0, 1}));
    CHECK(d.gradients[1] == (Vec3{0, 0, 1}));
    CHECK(d.gradients[2] == (Vec3{0.5, 0, 0.5}));
    CHECK(d.gradients[3][0] > 0);
    CHECK((d.straddles == std::vector<std::uint8_t>{0, 0, 1, 0}));
    REQUIRE(wedge.batches.size() == 3);
    CHECK_EQ(wedge.batches[1].size(), 12u);
    CHECK_EQ(wedge.batches[2][0][0], -0.0005 + 0.01 * 0.1 * 0.1);
    CHECK_EQ(sampler.evaluations(), 48u);

    // A step field: the smaller stencils see no change at all, and a zero
    // gradient is no better than the first.
    testing::LambdaField step_field([](const Vec3& p) { return p[2] > 0 ? 1.0 : -1.0; });
    FieldSampler stepped(step_field, 0.01);
    const CheckedDifferences t =
        stepped.differences(std::vector<Vec3>{{0.3, 0.3, 0.005}}, std::vector<double>{1}, 0.05, 2);
    CHECK(t.gradients[0] == (Vec3{0, 0, 100}));

    auto round = testing::sphere(1.0, {0, 0, 0}, false);
    FieldSampler smooth(round, 0.01);
    const CheckedDifferences s =
        smooth.differences(std::vector<Vec3>{{0.6, 0.8, 0}}, std::vector<double>{0}, 0.05, 2);
    CHECK((s.straddles == std::vector<std::uint8_t>{0}));
    CHECK_EQ(smooth.evaluations(), 6u);
}

TEST(dc_short_field_results_fault_with_the_index) {
    const SurfaceCell cell = unit_cell(linear_in_x(-0.3), 0.0);
    const SurfaceCells surface = index_surface_cells({cell});
    auto plane = testing::LambdaField([](const Vec3& p) { return p[0] - 0.3; },
                                      [](const Vec3&) { return Vec3{1, 0, 0}; });

    Crossings crossings = build_crossings(surface);
    dctest::TruncatingField short_values(plane, 3, std::size_t{3}, std::nullopt);
    FieldSampler values_sampler(short_values, 0.01);
    CHECK_EQ(fault_message([&] { locate_crossings(values_sampler, surface, crossings, 0.0); }),
             std::string("index out of bounds: the len is 3 but the index is 3"));

    crossings.bracket.assign(4, 0);
    dctest::TruncatingField short_gradients(plane, 0, std::nullopt, std::size_t{2});
    FieldSampler gradients_sampler(short_gradients, 0.01);
    const DcParams params{0.0, 1.0, 1.0};
    CHECK_EQ(fault_message([&] { place_vertices(gradients_sampler, surface, crossings, params); }),
             std::string("index out of bounds: the len is 2 but the index is 2"));
}

TEST(dc_hermite_samples_count_calls_and_points) {
    auto field = testing::sphere(0.3, {0.5, 0.5, 0.5});
    const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 1);
    field.batches.clear();
    FieldSampler sampler(field, 0.005);
    const SurfaceCells surface = index_surface_cells(collect_surface_cells(tree));
    const Crossings crossings = hermite_samples(sampler, surface, 0.0);
    // Eight cells, each with three edges at the centre corner.
    REQUIRE(crossings.count() == 24);
    CHECK_EQ(field.batches.size(), 8u);
    for (const auto& b : field.batches) CHECK_EQ(b.size(), 24u);
    std::size_t i = 0;
    for (std::size_t c = 0; c < 8; ++c) {
        CHECK_EQ(crossings.first[c], 3 * c);
        // Each crossing lies 0.3 from the centre, along an axis.
        for (unsigned e : crossing_edges(surface.cells[c])) {
            const Vec3 d = dctest::sub(crossing_point(surface.cells[c], e, crossings.bracket[i++]),
                                       {0.5, 0.5, 0.5});
            CHECK_NEAR(testing::norm(d), 0.3, 0.2 / 256);
        }
    }
}

TEST(dc_lattice_gradient_is_exact_on_multilinear_values) {
    // Trilinear interpolation reproduces 2 - x + 3y + 0.5z + 4xy - yz exactly,
    // so its gradient must too, anywhere in a cell away from the origin.
    const auto f = [](const Vec3& p) { return 2.0 - p[0] + 3.0 * p[1] + 0.5 * p[2] + 4.0 * p[0] * p[1] - p[1] * p[2]; };
    SurfaceCell cell;
    cell.min = {0.25, -1.0, 2.0};
    cell.edge = 0.5;
    std::array<double, 8> values;
    for (unsigned i = 0; i < 8; ++i) values[i] = f(corner_position(cell, i));
    for (const Vec3& p : {Vec3{0.25, -1.0, 2.0}, Vec3{0.4, -0.7, 2.45}, Vec3{0.75, -0.5, 2.5}}) {
        const Vec3 g = lattice_gradient(cell, values, p);
        CHECK_NEAR(g[0], -1.0 + 4.0 * p[1], 1e-12);
        CHECK_NEAR(g[1], 3.0 + 4.0 * p[0] - p[2], 1e-12);
        CHECK_NEAR(g[2], 0.5 - p[1], 1e-12);
    }
}
