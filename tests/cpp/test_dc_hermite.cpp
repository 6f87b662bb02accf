// Hermite data: which edges cross, the batched bisection, normals and faults.
#include <cmath>
#include <limits>
#include <string>

#include "check.hpp"
#include "core/fault.hpp"
#include "dc/hermite.hpp"
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

TEST(dc_crossings_only_on_sign_changes_in_edge_order) {
    // iso 2: corner 0 below; corner 1 and 3 exactly at iso, the rest above.
    const double iso = 2.0;
    const SurfaceCell cell = unit_cell({1.0, 2.0, 3.0, 2.0, 3.0, 3.0, 3.0, 3.0}, iso);
    const SurfaceCells surface = index_surface_cells({cell});
    const auto crossings = build_crossings(surface);
    // Only the three edges at corner 0; (iso, iso) and (iso + 1, iso) do not cross.
    REQUIRE(crossings.size() == 3);
    const Vec3 far_ends[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // edges 0, 4, 8
    for (int k = 0; k < 3; ++k) {
        CHECK(crossings[k].p0 == (Vec3{0, 0, 0}));
        CHECK(crossings[k].p1 == far_ends[k]);
        CHECK(crossings[k].a_below);
        CHECK_EQ(crossings[k].cell, 0u);
        CHECK_EQ(unsigned{crossings[k].component}, 0u);
    }
}

TEST(dc_crossings_feed_the_slot_of_their_inside_corner) {
    // Mask 6: corners 1 and 2 inside, two groups. The crossing edges in order
    // 0, 1, 4, 5, 9, 10 have inside corners 1, 2, 2, 1, 1, 2.
    std::array<double, 8> v;
    v.fill(1.0);
    v[1] = v[2] = -1.0;
    const SurfaceCell other = unit_cell(linear_in_x(-0.5), 0.0);  // mask 85, one group
    const SurfaceCells surface = index_surface_cells({other, unit_cell(v, 0.0)});
    REQUIRE(surface.components[1].count == 2);
    const auto crossings = build_crossings(surface);
    REQUIRE(crossings.size() == 4 + 6);
    const unsigned expected_component[6] = {0, 1, 1, 0, 0, 1};
    for (int k = 0; k < 4; ++k) CHECK_EQ(crossings[k].cell, 0u);
    for (int k = 0; k < 6; ++k) {
        CHECK_EQ(crossings[4 + k].cell, 1u);
        CHECK_EQ(unsigned{crossings[4 + k].component}, expected_component[k]);
    }
}

TEST(dc_bisection_of_a_linear_field) {
    // f = x - 0.3 on the four x edges of the unit cell.
    const SurfaceCell cell = unit_cell(linear_in_x(-0.3), 0.0);
    const SurfaceCells surface = index_surface_cells({cell});
    const auto crossings = build_crossings(surface);
    REQUIRE(crossings.size() == 4);
    testing::LambdaField field([](const Vec3& p) { return p[0] - 0.3; });
    FieldSampler sampler(field, 0.01);
    const auto points = locate_crossings(sampler, crossings, 0.0);

    // Eight rounds, each one batch over all four edges; trial x values follow
    // the bracket by hand: [0,1] -> [0,.5] -> [.25,.5] -> ... -> [.296875, .30078125].
    const double trials[8] = {0.5, 0.25, 0.375, 0.3125, 0.28125, 0.296875, 0.3046875, 0.30078125};
    REQUIRE(field.batches.size() == 8);
    for (int r = 0; r < 8; ++r) {
        REQUIRE(field.batches[r].size() == 4);
        for (const Vec3& p : field.batches[r]) CHECK_EQ(p[0], trials[r]);
    }
    for (std::size_t k = 0; k < 4; ++k) {
        CHECK_EQ(points[k][0], 153.0 / 512.0);
        CHECK_EQ(points[k][1], crossings[k].p0[1]);
        CHECK_EQ(points[k][2], crossings[k].p0[2]);
    }
}

TEST(dc_bisection_toward_a_corner_at_iso) {
    // Values (iso - 1, iso) along x: every trial stays below, so the bracket
    // closes on corner b and the point lands at 511/512.
    const double iso = 2.0;
    const SurfaceCell cell = unit_cell(linear_in_x(1.0), iso);
    const SurfaceCells surface = index_surface_cells({cell});
    const auto crossings = build_crossings(surface);
    REQUIRE(crossings.size() == 4);
    testing::LambdaField field([](const Vec3& p) { return p[0] + 1.0; });
    FieldSampler sampler(field, 0.01);
    const auto points = locate_crossings(sampler, crossings, iso);
    for (const Vec3& p : points) CHECK_EQ(p[0], 511.0 / 512.0);
}

TEST(dc_normals_from_returned_gradients) {
    const std::vector<Vec3> points{{0, 0, 0}, {1, 2, 3}, {4, 5, 6}};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    testing::LambdaField field([](const Vec3&) { return 7.0; },
                               [&](const Vec3& p) -> Vec3 {
                                   if (p[0] == 0) return {3, 4, 0};
                                   if (p[0] == 1) return {0, 0, 0};
                                   return {nan, 1, 1};
                               });
    FieldSampler sampler(field, 0.01);
    const auto normals = estimate_normals(sampler, points);
    CHECK_EQ(field.batches.size(), 1u);  // no finite differences
    CHECK(normals[0] == (Vec3{0.6, 0.8, 0.0}));
    CHECK(normals[1] == (Vec3{0.0, 0.0, 1.0}));  // vanished gradient
    CHECK(normals[2] == (Vec3{0.0, 0.0, 1.0}));  // NaN length
}

TEST(dc_normals_by_central_differences) {
    const std::vector<Vec3> points{{0.25, 0.5, 0.75}, {1, 1, 1}};
    testing::LambdaField field([](const Vec3& p) { return 2.0 * p[0] - 3.0 * p[2]; });
    const double step = 0.125;
    FieldSampler sampler(field, step);
    const auto normals = estimate_normals(sampler, points);
    REQUIRE(field.batches.size() == 2);
    CHECK_EQ(field.batches[0].size(), 2u);
    REQUIRE(field.batches[1].size() == 12u);
    CHECK_EQ(field.batches[1][0][0], 0.25 + step);  // the step is used as given
    const double len = std::sqrt(13.0);
    for (const Vec3& n : normals) {
        CHECK_NEAR(n[0], 2.0 / len, 1e-12);
        CHECK_NEAR(n[1], 0.0, 1e-12);
        CHECK_NEAR(n[2], -3.0 / len, 1e-12);
    }
}

TEST(dc_short_field_results_fault_with_the_index) {
    const SurfaceCell cell = unit_cell(linear_in_x(-0.3), 0.0);
    const SurfaceCells surface = index_surface_cells({cell});
    const auto crossings = build_crossings(surface);
    auto plane = testing::LambdaField([](const Vec3& p) { return p[0] - 0.3; },
                                      [](const Vec3&) { return Vec3{1, 0, 0}; });

    dctest::TruncatingField short_values(plane, 3, std::size_t{3}, std::nullopt);
    FieldSampler values_sampler(short_values, 0.01);
    CHECK_EQ(fault_message([&] { locate_crossings(values_sampler, crossings, 0.0); }),
             std::string("index out of bounds: the len is 3 but the index is 3"));

    const std::vector<Vec3> points(4, Vec3{0.3, 0, 0});
    dctest::TruncatingField short_gradients(plane, 0, std::nullopt, std::size_t{2});
    FieldSampler gradients_sampler(short_gradients, 0.01);
    CHECK_EQ(fault_message([&] { estimate_normals(gradients_sampler, points); }),
             std::string("index out of bounds: the len is 2 but the index is 2"));
}

TEST(dc_hermite_samples_count_calls_and_slots) {
    auto field = testing::sphere(0.3, {0.5, 0.5, 0.5});
    const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 1);
    field.batches.clear();
    FieldSampler sampler(field, 0.005);
    const HermiteSamples s =
        hermite_samples(sampler, index_surface_cells(collect_surface_cells(tree)), 0.0);
    // Eight cells, each with three edges at the centre corner.
    REQUIRE(s.points.size() == 24);
    CHECK_EQ(field.batches.size(), 9u);
    for (const auto& b : field.batches) CHECK_EQ(b.size(), 24u);
    for (std::size_t i = 0; i < 24; ++i) {
        CHECK_EQ(s.slots[i], i / 3);
        // Crossing 0.3 from the centre along an axis, normal along that axis.
        const Vec3 d = dctest::sub(s.points[i], {0.5, 0.5, 0.5});
        CHECK_NEAR(testing::norm(d), 0.3, 0.2 / 256);
        CHECK_NEAR(dctest::dot(s.normals[i], d) / testing::norm(d), 1.0, 1e-12);
    }
}
