// Vertex placement: QEF, sharpness, clamp boxes, the clamp fault, assembly and
// the projection passes.
#include <cmath>
#include <limits>
#include <string>

#include "check.hpp"
#include "core/fault.hpp"
#include "core/format.hpp"
#include "dc/vertices.hpp"
#include "fields.hpp"
#include "test_dc_support.hpp"

using dctest::fault_message;

using namespace quarvel;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

HermiteSamples one_slot(std::vector<Vec3> points, std::vector<Vec3> normals) {
    HermiteSamples s;
    s.slots.assign(points.size(), 0);
    s.points = std::move(points);
    s.normals = std::move(normals);
    return s;
}

// Minimiser of sum (n.(x-p))^2 + w|x-p|^2 by Cramer's rule on the full normal
// equations: an oracle independent of the fixed elimination order.
Vec3 reference_minimiser(const HermiteSamples& s, double w) {
    double m[3][3] = {}, r[3] = {};
    for (std::size_t k = 0; k < s.points.size(); ++k) {
        const Vec3& n = s.normals[k];
        const Vec3& p = s.points[k];
        const double d = dctest::dot(n, p);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) m[i][j] += n[i] * n[j] + (i == j ? w : 0.0);
            r[i] += d * n[i] + w * p[i];
        }
    }
    auto det = [](double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double d0 = det(m);
    Vec3 x;
    for (int c = 0; c < 3; ++c) {
        double a[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) a[i][j] = j == c ? r[i] : m[i][j];
        x[c] = det(a) / d0;
    }
    return x;
}


const Box kUnitBox{{0, 0, 0}, {1, 1, 1}};

}  // namespace

TEST(dc_qef_of_three_orthogonal_planes_finds_the_corner) {
    // Planes x = 0.7, y = 0.2, z = 0.6 meeting in a cube corner.
    const HermiteSamples s = one_slot({{0.7, 0.1, 0.3}, {0.4, 0.2, 0.9}, {0.5, 0.5, 0.6}},
                                      {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    const std::vector<Qef> q = accumulate_qefs(s, 1);
    CHECK_EQ(q[0].count, 3u);
    CHECK_NEAR(q[0].xx, 1.0003, 1e-15);
    CHECK_EQ(q[0].xy, 0.0);
    CHECK_NEAR(q[0].atb[0], 0.7 + 1e-4 * (0.7 + 0.4 + 0.5), 1e-15);
    const auto x = solve_qef(q[0], kUnitBox);
    REQUIRE(x.has_value());
    const Vec3 expected = reference_minimiser(s, 1e-4);
    for (int a = 0; a < 3; ++a) CHECK_NEAR((*x)[a], expected[a], 1e-14);
    CHECK_NEAR((*x)[0], 0.7, 1e-4);
    CHECK_NEAR((*x)[1], 0.2, 1e-4);
    CHECK_NEAR((*x)[2], 0.6, 1e-4);
}

TEST(dc_qef_of_one_plane_gives_the_mean_point) {
    const HermiteSamples s = one_slot({{0.2, 0.3, 0.5}, {0.6, 0.1, 0.5}, {0.4, 0.8, 0.5}},
                                      {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}});
    const auto x = solve_qef(accumulate_qefs(s, 1)[0], kUnitBox);
    REQUIRE(x.has_value());
    CHECK_NEAR((*x)[0], 0.4, 1e-12);
    CHECK_NEAR((*x)[1], 0.4, 1e-12);
    CHECK_NEAR((*x)[2], 0.5, 1e-12);

    // A tilted plane: still the mean, and a general oracle agrees.
    const double r = 1.0 / std::sqrt(3.0);
    const HermiteSamples t = one_slot({{0.5, 0.25, 0.25}, {0.25, 0.5, 0.25}, {0.25, 0.25, 0.5}},
                                      {{r, r, r}, {r, r, r}, {r, r, r}});
    const auto y = solve_qef(accumulate_qefs(t, 1)[0], kUnitBox);
    const Vec3 expected = reference_minimiser(t, 1e-4);
    for (int a = 0; a < 3; ++a) {
        CHECK_NEAR((*y)[a], 1.0 / 3.0, 1e-9);
        CHECK_NEAR((*y)[a], expected[a], 1e-9);
    }
}

TEST(dc_qef_without_samples_has_no_solution) {
    CHECK(!solve_qef(Qef{}, kUnitBox).has_value());
    // Even an inverted box does not fault when there is nothing to solve.
    CHECK(!solve_qef(Qef{}, Box{{1, 0, 0}, {0, 1, 1}}).has_value());
}

TEST(dc_sharpness_thresholds) {
    const HermiteSamples right_angle =
        one_slot({{0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}}, {{1, 0, 0}, {0, 1, 0}});
    auto cos_deg = [](double deg) { return std::cos(deg * 3.141592653589793 / 180.0); };
    auto sharp = [](const HermiteSamples& s, double cos_threshold) {
        return int{sharp_slots(s, 1, cos_threshold)[0]};
    };
    CHECK_EQ(sharp(right_angle, cos_deg(30)), 1);
    CHECK_EQ(sharp(right_angle, cos_deg(90)), 1);  // cos is ~6e-17 > 0
    CHECK_EQ(sharp(right_angle, cos_deg(100)), 0);
    CHECK_EQ(sharp(right_angle, cos_deg(kNaN)), 0);

    // One sample never makes a slot sharp; a NaN normal never does either.
    CHECK_EQ(sharp(one_slot({{0, 0, 0}}, {{1, 0, 0}}), 0.99), 0);
    CHECK_EQ(sharp(one_slot({{0, 0, 0}, {0, 0, 0}}, {{1, 0, 0}, {kNaN, 0, 0}}), 0.99), 0);

    // Sharpness is per slot: only slot 1 holds the right angle.
    HermiteSamples two;
    two.points.assign(4, {0, 0, 0});
    two.normals = {{1, 0, 0}, {1, 0, 0}, {0, 0, 1}, {0, 1, 0}};
    two.slots = {1, 0, 1, 0};
    const auto before = sharp_slots(two, 2, cos_deg(30));
    CHECK_EQ(int{before[0]}, 1);
    CHECK_EQ(int{before[1]}, 1);
    two.normals[3] = {1, 0, 0};
    const auto after = sharp_slots(two, 2, cos_deg(30));
    CHECK_EQ(int{after[0]}, 0);
    CHECK_EQ(int{after[1]}, 1);
}

TEST(dc_jobs_grow_the_box_of_sharp_slots) {
    // Tree of edge 4; cells at level 2 have edge 1, so the margin is 0.25.
    SurfaceCell a, b;
    a.min = {1, 2, 3};
    a.edge = 1;
    a.key = {1, 2, 3, 2};
    a.sign_mask = 6;  // two slots
    b.min = {0, 0, 0};
    b.edge = 2;
    b.key = {0, 0, 0, 1};
    b.sign_mask = 1;
    const std::array<std::uint8_t, 3> sharp{0, 1, 1};
    const auto jobs = vertex_jobs(index_surface_cells({a, b}), sharp, 4.0);
    REQUIRE(jobs.size() == 3);
    CHECK_EQ(jobs[0].slot, 0u);
    CHECK(jobs[0].box.lo == (Vec3{1, 2, 3}));
    CHECK(jobs[0].box.hi == (Vec3{2, 3, 4}));
    CHECK(jobs[1].box.lo == (Vec3{0.75, 1.75, 2.75}));
    CHECK(jobs[1].box.hi == (Vec3{2.25, 3.25, 4.25}));
    CHECK_EQ(jobs[2].slot, 2u);
    CHECK(jobs[2].box.lo == (Vec3{-0.5, -0.5, -0.5}));  // level 1: margin 0.5
    CHECK(jobs[2].box.hi == (Vec3{2.5, 2.5, 2.5}));
}

TEST(dc_solution_is_clamped_into_its_box) {
    // Planes x = 1.2 and y = 0.5 meet outside the unit cell.
    const HermiteSamples s = one_slot({{1.2, 0.5, 0.5}, {1.2, 0.5, 0.5}}, {{1, 0, 0}, {0, 1, 0}});
    const Qef q = accumulate_qefs(s, 1)[0];
    const auto in_cell = solve_qef(q, kUnitBox);
    REQUIRE(in_cell.has_value());
    CHECK_EQ((*in_cell)[0], 1.0);
    const auto in_grown = solve_qef(q, Box{{-0.25, -0.25, -0.25}, {1.25, 1.25, 1.25}});
    REQUIRE(in_grown.has_value());
    CHECK_NEAR((*in_grown)[0], 1.2, 1e-9);
}

TEST(dc_clamp_fault_prints_bounds_as_floats) {
    CHECK_EQ(fault_message([] { solve_qef(Qef{1, 0, 0, 1, 0, 1, {0, 0, 0}, 1}, Box{{0, 1, 0}, {1, 0.75, 1}}); }),
             std::string("min > max, or either was NaN. min = 1.0, max = 0.75"));
    CHECK_EQ(fault_message([] { clamp_checked(0.5, kNaN, 1.0); }),
             std::string("min > max, or either was NaN. min = NaN, max = 1.0"));
    CHECK_EQ(fault_message([] { clamp_checked(0.5, 0.0, -kInf); }),
             std::string("min > max, or either was NaN. min = 0.0, max = -inf"));
    CHECK(std::isnan(clamp_checked(kNaN, 0.0, 1.0)));
    CHECK_EQ(clamp_checked(-3.0, -1.0, 1.0), -1.0);

    CHECK_EQ(format_f64(0.5), std::string("0.5"));
    CHECK_EQ(format_f64(1.0), std::string("1.0"));
    CHECK_EQ(format_f64(-0.0), std::string("-0.0"));
    CHECK_EQ(format_f64(0.1), std::string("0.1"));
    CHECK_EQ(format_f64(-123.456), std::string("-123.456"));
    CHECK_EQ(format_f64(1e15), std::string("1000000000000000.0"));
    CHECK_EQ(format_f64(1e16), std::string("1e16"));
    CHECK_EQ(format_f64(1e20), std::string("1e20"));
    CHECK_EQ(format_f64(1e-4), std::string("0.0001"));
    CHECK_EQ(format_f64(1.5e-7), std::string("1.5e-7"));
    CHECK_EQ(format_f64(-kInf), std::string("-inf"));
    CHECK_EQ(format_f64(5e-324), std::string("5e-324"));
}

TEST(dc_assembly_falls_back_to_the_cell_centre) {
    SurfaceCell a, b, c;
    a.min = {0, 0, 0};
    b.min = {1, 0, 0};
    c.min = {2, 0, 0};
    a.edge = b.edge = c.edge = 1;
    a.sign_mask = c.sign_mask = 1;
    b.sign_mask = 6;  // slots 1 and 2
    a.key = {0, 0, 0, 2};
    b.key = {1, 0, 0, 2};
    c.key = {2, 0, 0, 2};
    std::vector<VertexJob> jobs(4);
    for (std::uint64_t i = 0; i < 4; ++i) jobs[i].slot = i;
    jobs[2].box = {{0.75, -0.25, -0.25}, {2.25, 1.25, 1.25}};
    const std::vector<std::optional<Vec3>> solutions{std::nullopt, std::nullopt, Vec3{1.1, 0.2, 0.3},
                                                     std::nullopt};
    const PlacedVertices v = assemble_vertices(index_surface_cells({a, b, c}), jobs, solutions);
    REQUIRE(v.positions.size() == 2);
    CHECK_EQ(v.first_vertex[0], PlacedVertices::NONE);
    CHECK_EQ(v.first_vertex[1], 0u);
    CHECK_EQ(v.first_vertex[2], PlacedVertices::NONE);
    CHECK(v.positions[0] == (Vec3{1.5, 0.5, 0.5}));  // unsolved slot: centre, cell box
    CHECK(v.boxes[0].lo == (Vec3{1, 0, 0}));
    CHECK(v.boxes[0].hi == (Vec3{2, 1, 1}));
    CHECK(v.positions[1] == (Vec3{1.1, 0.2, 0.3}));
    CHECK(v.boxes[1].lo == jobs[2].box.lo);
}

TEST(dc_projection_pass_counts) {
    PlacedVertices v;
    v.positions = {{0.5, 0.5, 0.5}, {0.9, 0.1, 0.1}};
    v.boxes.assign(2, kUnitBox);
    auto with = testing::LambdaField([](const Vec3& p) { return p[0] - 0.3; },
                                     [](const Vec3&) { return Vec3{1, 0, 0}; });
    FieldSampler with_sampler(with, 0.01);
    CHECK_EQ(project_onto_surface(with_sampler, v, 0.0), 3);
    REQUIRE(with.batches.size() == 3);
    for (const auto& b : with.batches) CHECK_EQ(b.size(), 2u);
    for (const Vec3& p : v.positions) CHECK_NEAR(p[0], 0.3, 1e-15);

    v.positions = {{0.5, 0.5, 0.5}, {0.9, 0.1, 0.1}};
    auto without = testing::LambdaField([](const Vec3& p) { return p[0] - 0.3; });
    FieldSampler without_sampler(without, 0.01);
    CHECK_EQ(project_onto_surface(without_sampler, v, 0.0), 1);
    REQUIRE(without.batches.size() == 2);
    CHECK_EQ(without.batches[0].size(), 2u);
    CHECK_EQ(without.batches[1].size(), 12u);
    for (const Vec3& p : v.positions) CHECK_NEAR(p[0], 0.3, 1e-12);

    PlacedVertices empty;
    CHECK_EQ(project_onto_surface(without_sampler, empty, 0.0), 0);
    CHECK_EQ(without.batches.size(), 2u);
}

TEST(dc_projection_clamps_moved_vertices_only) {
    PlacedVertices v;
    // Vertex 0 steps to the plane x = 2, beyond its box; vertex 1 sits where
    // the gradient vanishes and stays put although it is outside its box.
    v.positions = {{0.5, 0.5, 0.5}, {5.0, 5.0, 5.0}};
    v.boxes.assign(2, kUnitBox);
    auto field = testing::LambdaField([](const Vec3& p) { return p[0] - 2.0; },
                                      [](const Vec3& p) { return p[0] > 4 ? Vec3{0, 0, 0} : Vec3{1, 0, 0}; });
    FieldSampler sampler(field, 0.01);
    project_onto_surface(sampler, v, 0.0);
    CHECK(v.positions[0] == (Vec3{1.0, 0.5, 0.5}));
    CHECK(v.positions[1] == (Vec3{5.0, 5.0, 5.0}));
}

TEST(dc_projection_faults_on_short_arrays_at_the_lowest_index) {
    // Enough vertices for the pass to run on several threads.
    PlacedVertices v;
    v.positions.assign(2000, {0.5, 0.5, 0.5});
    v.boxes.assign(2000, kUnitBox);
    auto plane = testing::LambdaField([](const Vec3& p) { return p[0] - 0.3; },
                                      [](const Vec3&) { return Vec3{1, 0, 0}; });
    dctest::TruncatingField short_gradients(plane, 1, std::nullopt, std::size_t{700});
    FieldSampler gradients_sampler(short_gradients, 0.01);
    CHECK_EQ(fault_message([&] { project_onto_surface(gradients_sampler, v, 0.0); }),
             std::string("index out of bounds: the len is 700 but the index is 700"));
    dctest::TruncatingField short_values(plane, 0, std::size_t{1999}, std::nullopt);
    FieldSampler values_sampler(short_values, 0.01);
    CHECK_EQ(fault_message([&] { project_onto_surface(values_sampler, v, 0.0); }),
             std::string("index out of bounds: the len is 1999 but the index is 1999"));
}
