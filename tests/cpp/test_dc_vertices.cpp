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

// The samples of one slot, in crossing order.
struct Samples {
    std::vector<Vec3> points;
    std::vector<Vec3> normals;
};

Samples one_slot(std::vector<Vec3> points, std::vector<Vec3> normals) {
    return {std::move(points), std::move(normals)};
}

Qef qef_of(const Samples& s) {
    Qef q;
    for (std::size_t i = 0; i < s.points.size(); ++i) add_sample(q, s.points[i], s.normals[i]);
    return q;
}

// `count` cells of mask 6 (two slots each) filling the unit box, with their
// vertices numbered in order and placed at `at`.
struct TwoSlotCells {
    SurfaceCells surface;
    PlacedVertices vertices;
    TwoSlotCells(std::size_t count, const std::vector<Vec3>& at) {
        std::vector<SurfaceCell> cells(count);
        for (std::size_t c = 0; c < count; ++c) {
            cells[c].sign_mask = 6;
            cells[c].edge = 1;
            cells[c].key = {static_cast<std::uint32_t>(c), 0, 0, 20};
            vertices.first_vertex.push_back(2 * c);
        }
        surface = index_surface_cells(std::move(cells));
        vertices.positions = at;
        vertices.sharp.assign(at.size(), 0);
    }
};

const DcParams kParams{0.0, 1.0, 1.0};

// Minimiser of sum (n.(x-p))^2 + w|x-p|^2 by Cramer's rule on the full normal
// equations: an oracle independent of the fixed elimination order.
Vec3 reference_minimiser(const Samples& s, double w) {
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
    const Samples s = one_slot({{0.7, 0.1, 0.3}, {0.4, 0.2, 0.9}, {0.5, 0.5, 0.6}},
                                      {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    const Qef q = qef_of(s);
    CHECK_EQ(q.count, 3u);
    CHECK_NEAR(q.xx, 1.0003, 1e-15);
    CHECK_EQ(q.xy, 0.0);
    CHECK_NEAR(q.atb[0], 0.7 + 1e-4 * (0.7 + 0.4 + 0.5), 1e-15);
    const auto x = solve_qef(q, kUnitBox);
    REQUIRE(x.has_value());
    const Vec3 expected = reference_minimiser(s, 1e-4);
    for (int a = 0; a < 3; ++a) CHECK_NEAR((*x)[a], expected[a], 1e-14);
    CHECK_NEAR((*x)[0], 0.7, 1e-4);
    CHECK_NEAR((*x)[1], 0.2, 1e-4);
    CHECK_NEAR((*x)[2], 0.6, 1e-4);
}

TEST(dc_qef_of_one_plane_gives_the_mean_point) {
    const Samples s = one_slot({{0.2, 0.3, 0.5}, {0.6, 0.1, 0.5}, {0.4, 0.8, 0.5}},
                                      {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}});
    const auto x = solve_qef(qef_of(s), kUnitBox);
    REQUIRE(x.has_value());
    CHECK_NEAR((*x)[0], 0.4, 1e-12);
    CHECK_NEAR((*x)[1], 0.4, 1e-12);
    CHECK_NEAR((*x)[2], 0.5, 1e-12);

    // A tilted plane: still the mean, and a general oracle agrees.
    const double r = 1.0 / std::sqrt(3.0);
    const Samples t = one_slot({{0.5, 0.25, 0.25}, {0.25, 0.5, 0.25}, {0.25, 0.25, 0.5}},
                                      {{r, r, r}, {r, r, r}, {r, r, r}});
    const auto y = solve_qef(qef_of(t), kUnitBox);
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
    const std::vector<Vec3> right_angle{{1, 0, 0}, {0, 1, 0}};
    auto cos_deg = [](double deg) { return std::cos(deg * 3.141592653589793 / 180.0); };
    CHECK(is_sharp(right_angle, cos_deg(30)));
    CHECK(is_sharp(right_angle, cos_deg(90)));  // cos is ~6e-17 > 0
    CHECK(!is_sharp(right_angle, cos_deg(100)));
    CHECK(!is_sharp(right_angle, cos_deg(kNaN)));

    // One sample never makes a slot sharp; a NaN normal never does either.
    CHECK(!is_sharp(std::vector<Vec3>{{1, 0, 0}}, 0.99));
    CHECK(!is_sharp(std::vector<Vec3>{{1, 0, 0}, {kNaN, 0, 0}}, 0.99));
}

TEST(dc_sharpness_is_per_slot) {
    // Mask 6: crossing edges 0, 1, 4, 5, 9, 10 feed slots 0, 1, 1, 0, 0, 1.
    // Normals along x except on edge 1 (y = 1, z = 0), so only slot 1 holds a
    // right angle and only its box grows.
    SurfaceCell cell;
    cell.sign_mask = 6;
    cell.edge = 1;
    cell.key = {0, 0, 0, 2};
    const SurfaceCells surface = index_surface_cells({cell});
    Crossings crossings = build_crossings(surface);
    crossings.bracket.assign(crossings.count(), 127);
    auto field = testing::LambdaField([](const Vec3&) { return 0.0; }, [](const Vec3& p) {
        return p[1] == 1 && p[2] == 0 ? Vec3{0, 1, 0} : Vec3{1, 0, 0};
    });
    FieldSampler sampler(field, 0.01);
    const PlacedVertices v = place_vertices(sampler, surface, crossings, {0.0, std::cos(0.5), 4.0});
    REQUIRE(v.sharp.size() == 2);
    CHECK_EQ(int{v.sharp[0]}, 0);
    CHECK_EQ(int{v.sharp[1]}, 1);
}

TEST(dc_boxes_grow_for_sharp_slots) {
    // Tree of edge 4; cells at level 2 have edge 1, so the margin is 0.25.
    SurfaceCell a, b;
    a.min = {1, 2, 3};
    a.edge = 1;
    a.key = {1, 2, 3, 2};
    b.min = {0, 0, 0};
    b.edge = 2;
    b.key = {0, 0, 0, 1};
    const Box plain = vertex_box(a, false, 4.0), grown = vertex_box(a, true, 4.0);
    CHECK(plain.lo == (Vec3{1, 2, 3}));
    CHECK(plain.hi == (Vec3{2, 3, 4}));
    CHECK(grown.lo == (Vec3{0.75, 1.75, 2.75}));
    CHECK(grown.hi == (Vec3{2.25, 3.25, 4.25}));
    CHECK(vertex_box(b, true, 4.0).lo == (Vec3{-0.5, -0.5, -0.5}));  // level 1: margin 0.5
    CHECK(vertex_box(b, true, 4.0).hi == (Vec3{2.5, 2.5, 2.5}));
}

TEST(dc_solution_is_clamped_into_its_box) {
    // Planes x = 1.2 and y = 0.5 meet outside the unit cell.
    const Samples s = one_slot({{1.2, 0.5, 0.5}, {1.2, 0.5, 0.5}}, {{1, 0, 0}, {0, 1, 0}});
    const Qef q = qef_of(s);
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

TEST(dc_vertices_only_for_cells_with_samples) {
    SurfaceCell a, b, c;
    a.sign_mask = c.sign_mask = 1;
    b.sign_mask = 6;  // two slots
    Crossings crossings;
    crossings.first = {0, 0, 6, 6};  // only b has samples
    const PlacedVertices v = number_vertices(index_surface_cells({a, b, c}), crossings);
    CHECK_EQ(v.positions.size(), 2u);
    CHECK_EQ(v.first_vertex[0], PlacedVertices::NONE);
    CHECK_EQ(v.first_vertex[1], 0u);
    CHECK_EQ(v.first_vertex[2], PlacedVertices::NONE);
}

TEST(dc_projection_pass_counts) {
    TwoSlotCells cells(1, {{0.5, 0.5, 0.5}, {0.9, 0.1, 0.1}});
    PlacedVertices& v = cells.vertices;
    auto with = testing::LambdaField([](const Vec3& p) { return p[0] - 0.3; },
                                     [](const Vec3&) { return Vec3{1, 0, 0}; });
    FieldSampler with_sampler(with, 0.01);
    CHECK_EQ(project_onto_surface(with_sampler, cells.surface, v, kParams), 3);
    REQUIRE(with.batches.size() == 3);
    for (const auto& b : with.batches) CHECK_EQ(b.size(), 2u);
    for (const Vec3& p : v.positions) CHECK_NEAR(p[0], 0.3, 1e-15);

    v.positions = {{0.5, 0.5, 0.5}, {0.9, 0.1, 0.1}};
    auto without = testing::LambdaField([](const Vec3& p) { return p[0] - 0.3; });
    FieldSampler without_sampler(without, 0.01);
    CHECK_EQ(project_onto_surface(without_sampler, cells.surface, v, kParams), 1);
    REQUIRE(without.batches.size() == 2);
    CHECK_EQ(without.batches[0].size(), 2u);
    CHECK_EQ(without.batches[1].size(), 12u);
    for (const Vec3& p : v.positions) CHECK_NEAR(p[0], 0.3, 1e-12);

    TwoSlotCells empty(0, {});
    CHECK_EQ(project_onto_surface(without_sampler, empty.surface, empty.vertices, kParams), 0);
    CHECK_EQ(without.batches.size(), 2u);
}

TEST(dc_projection_clamps_moved_vertices_only) {
    // Vertex 0 steps to the plane x = 2, beyond its box; vertex 1 sits where
    // the gradient vanishes and stays put although it is outside its box.
    TwoSlotCells cells(1, {{0.5, 0.5, 0.5}, {5.0, 5.0, 5.0}});
    PlacedVertices& v = cells.vertices;
    auto field = testing::LambdaField([](const Vec3& p) { return p[0] - 2.0; },
                                      [](const Vec3& p) { return p[0] > 4 ? Vec3{0, 0, 0} : Vec3{1, 0, 0}; });
    FieldSampler sampler(field, 0.01);
    project_onto_surface(sampler, cells.surface, v, kParams);
    CHECK(v.positions[0] == (Vec3{1.0, 0.5, 0.5}));
    CHECK(v.positions[1] == (Vec3{5.0, 5.0, 5.0}));
}

TEST(dc_projection_faults_on_short_arrays_at_the_lowest_index) {
    // Enough vertices for the pass to run on several threads.
    TwoSlotCells cells(1000, std::vector<Vec3>(2000, {0.5, 0.5, 0.5}));
    auto plane = testing::LambdaField([](const Vec3& p) { return p[0] - 0.3; },
                                      [](const Vec3&) { return Vec3{1, 0, 0}; });
    dctest::TruncatingField short_gradients(plane, 1, std::nullopt, std::size_t{700});
    FieldSampler gradients_sampler(short_gradients, 0.01);
    CHECK_EQ(fault_message([&] { project_onto_surface(gradients_sampler, cells.surface, cells.vertices, kParams); }),
             std::string("index out of bounds: the len is 700 but the index is 700"));
    dctest::TruncatingField short_values(plane, 0, std::size_t{1999}, std::nullopt);
    FieldSampler values_sampler(short_values, 0.01);
    CHECK_EQ(fault_message([&] { project_onto_surface(values_sampler, cells.surface, cells.vertices, kParams); }),
             std::string("index out of bounds: the len is 1999 but the index is 1999"));
}
