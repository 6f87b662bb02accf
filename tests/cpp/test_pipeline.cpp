// The pipeline's options: the guard that proves cells empty, the crossing
// search per distinct edge, the field decorators, every piece kept with unit
// normals, and the non-finite rules both doors share.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>

#include "check.hpp"
#include "core/fault.hpp"
#include "dc/extract.hpp"
#include "dc/hermite.hpp"
#include "dc/vertices.hpp"
#include "eval/decorators.hpp"
#include "fields.hpp"
#include "octree/build.hpp"
#include "octree/guard.hpp"
#include "pipeline/mesh_field.hpp"
#include "test_dc_support.hpp"

using namespace quarvel;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The root cell of a unit tree (max_depth 1) with corner i valued values[i].
struct OneCell {
    Octree tree;
    CornerCache cache;
    explicit OneCell(const std::array<double, 8>& values) {
        tree.size = 1.0;
        tree.max_depth = 1;
        for (unsigned i = 0; i < 8; ++i) cache.insert_or_assign(corner_of({0, 0, 0}, 2, i), {values[i], {}});
    }
    bool unproven(bool active = true) const {
        return EmptinessProof{active, 1.0}.unproven(tree, cache, CellKey{});
    }
};

// Corner values a + b * z: a plane below (or above) the cell, seen from its corners.
std::array<double, 8> over_plane(double bottom, double top) {
    std::array<double, 8> v;
    for (unsigned i = 0; i < 8; ++i) v[i] = bit_z(i) ? top : bottom;
    return v;
}

testing::LambdaField two_balls() {
    const Vec3 c1{0.3, 0.5, 0.5}, c2{0.75, 0.5, 0.5};
    auto d = [](const Vec3& p, const Vec3& c) { return testing::norm(dctest::sub(p, c)); };
    return testing::LambdaField([=](const Vec3& p) { return std::min(d(p, c1) - 0.25, d(p, c2) - 0.12); },
                                [=](const Vec3& p) {
                                    const Vec3 c = d(p, c1) - 0.25 <= d(p, c2) - 0.12 ? c1 : c2;
                                    const Vec3 g = dctest::sub(p, c);
                                    const double n = testing::norm(g);
                                    return Vec3{g[0] / n, g[1] / n, g[2] / n};
                                });
}

}  // namespace

// ---------------------------------------------------------------- the guard

TEST(guard_proves_a_cell_only_when_the_corner_balls_cover_it) {
    CHECK(!OneCell(over_plane(2.0, 2.0)).unproven());   // every ball holds the whole cell
    CHECK(OneCell(over_plane(0.5, 0.5)).unproven());    // no ball reaches the middle
    // The bottom octants lie within 1.2247 of a top corner, the top ones
    // within 0.866 of their own: a plane 0.3 below is proven absent, 0.2 not.
    CHECK(!OneCell(over_plane(0.3, 1.3)).unproven());
    CHECK(OneCell(over_plane(0.2, 1.2)).unproven());
    CHECK(OneCell(over_plane(-0.2, -1.2)).unproven());  // inside alike
    CHECK(!OneCell(over_plane(-0.5, 0.5)).unproven());  // a surface cell, not a uniform one
    CHECK(!OneCell(over_plane(0.5, kInf)).unproven());  // infinite: judged by signs
    CHECK(!OneCell(over_plane(0.5, 0.5)).unproven(false));
}

TEST(guard_judges_the_first_lattice) {
    struct Case {
        double scale;  // of a ball's distance
        bool infinite;
        GuardOutcome expected;
    };
    for (const Case c : {Case{1.0, false, GuardOutcome::on}, Case{10.0, false, GuardOutcome::too_steep},
                         Case{1.0, true, GuardOutcome::infinite_values}}) {
        testing::LambdaField field([&](const Vec3& p) {
            const double d = testing::norm(dctest::sub(p, {0.5, 0.5, 0.5})) - 0.3;
            return c.infinite ? (d < 0 ? -kInf : kInf) : c.scale * d;
        });
        BuildParams params{{0, 0, 0}, {1, 1, 1}, 2, 4};
        params.options = BuildOptions::pipeline(true, 1.0);
        const BuildResult built = build_octree(field, params);
        CHECK(built.guard == c.expected);
        if (!c.infinite) CHECK(std::fabs(built.steepest - c.scale) < 0.1 * c.scale);
    }
}

TEST(guard_finds_a_ball_hidden_between_the_first_lattice_points) {
    // A ball of radius 0.21 around (0.125, 0.125, 0.125) in [-1, 1]^3 touches
    // no point of the level-3 lattice; a tiny ball elsewhere does.
    const Vec3 hidden{0.125, 0.125, 0.125}, tiny{-0.6, -0.6, -0.6};
    testing::LambdaField field([&](const Vec3& p) {
        return std::min(testing::norm(dctest::sub(p, hidden)) - 0.21,
                        testing::norm(dctest::sub(p, tiny)) - 0.1);
    });
    for (bool guard : {false, true}) {
        MeshRequest request = MeshRequest::package({{-1, -1, -1}, {1, 1, 1}}, 3, 6, 0.0, true);
        request.build.guard = guard;
        const TriangleMesh mesh = mesh_field(field, request).mesh;
        std::size_t near_hidden = 0;
        for (const Vec3& v : mesh.vertices)
            near_hidden += std::fabs(testing::norm(dctest::sub(v, hidden)) - 0.21) < 1e-6;
        CHECK_EQ(near_hidden > 0, guard);
    }
}

// ---------------------------------------------------------------- crossings

TEST(crossings_are_solved_once_per_edge_to_the_surface) {
    const Vec3 centre{0.52, 0.47, 0.5};
    for (bool with_gradients : {true, false}) {
        auto field = testing::sphere(0.35, centre, with_gradients);
        const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 5);
        SurfaceCells surface = index_surface_cells(collect_surface_cells(tree));
        attach_corner_values(surface, tree);
        const DistinctEdges distinct = distinct_edges(surface, build_crossings(surface), 0.0);
        // An inner edge is shared by four cells of one level.
        CHECK(distinct.edges.size() * 3 < distinct.edge_of.size());
        const std::vector<double>& f1 = distinct.f1;
        FieldSampler sampler(field, fd_step(tree));
        const Located located = solve_crossings(sampler, distinct.edges, f1, 0.0);
        const double edge = tree.finest_edge();
        for (std::size_t e = 0; e < f1.size(); ++e) {
            const double miss = std::fabs(testing::norm(dctest::sub(located.points[e], centre)) - 0.35);
            CHECK(miss < (with_gradients ? SEARCH_TOLERANCE : SECANT_TOLERANCE) * edge);
            CHECK(located.gradients[e].has_value() == with_gradients);
        }
        // Newton: about two evaluations an edge; secant steps: about four.
        CHECK(sampler.evaluations() < (with_gradients ? 3 : 5) * f1.size());
    }
}

TEST(distinct_edges_are_numbered_by_their_first_crossing) {
    // Enough crossings that the edges are split into shards on the pool; the
    // numbering must still be the serial first-seen one. The cells in
    // z-order are found by their codes, reversed through a hash map.
    auto field = testing::sphere(0.35, {0.52, 0.47, 0.5}, false);
    const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 7);
    for (const bool reversed : {false, true}) {
        std::vector<SurfaceCell> cells = collect_surface_cells(tree);
        if (reversed) std::reverse(cells.begin(), cells.end());
        SurfaceCells surface = index_surface_cells(std::move(cells));
        attach_corner_values(surface, tree);
        CHECK(CellLookup(surface.cells).by_code() != reversed);
        const Crossings crossings = build_crossings(surface);
        REQUIRE(crossings.count() > (1u << 14));
        const DistinctEdges distinct = distinct_edges(surface, crossings, 0.0);
        std::map<std::array<std::uint32_t, 5>, std::uint32_t> seen;  // lower corner, level, axis
        for_each_crossing(crossings, 0, surface.cells.size(), [&](std::size_t c, unsigned e, std::uint64_t i) {
            const CellKey& k = surface.cells[c].key;
            const unsigned a = CUBE_EDGES[e][0];
            const std::array<std::uint32_t, 5> key{k.x + bit_x(a), k.y + bit_y(a), k.z + bit_z(a), k.level, e / 4};
            const auto [it, fresh] = seen.try_emplace(key, static_cast<std::uint32_t>(seen.size()));
            REQUIRE(distinct.edge_of[i] == it->second);
            if (fresh) REQUIRE(distinct.edges[it->second].cell == c && distinct.edges[it->second].edge == e);
        });
        CHECK_EQ(distinct.edges.size(), seen.size());
    }
}

TEST(crossings_at_a_corner_or_between_infinities) {
    // Corner values exactly at the iso value end the search there, unasked.
    testing::LambdaField plane([](const Vec3& p) { return p[0] - 0.25; });
    const EdgeCrossing at_corner{{0, 0, 0}, {0.25, 0, 0}, -0.25, 0, 0};
    FieldSampler sampler(plane, 1e-3);
    const std::vector<double> f1{0.0};
    CHECK(solve_crossings(sampler, std::span(&at_corner, 1), f1, 0.0).points[0] == (Vec3{0.25, 0, 0}));
    CHECK_EQ(sampler.evaluations(), 0u);
    // Infinite values only tell sides: bisection to the engine's 1/256.
    testing::LambdaField occupancy([](const Vec3& p) { return p[0] < 0.3 ? -kInf : kInf; });
    const EdgeCrossing across{{0, 0, 0}, {1, 0, 0}, -kInf, 0, 0};
    FieldSampler bisecting(occupancy, 1e-3);
    const std::vector<double> inf1{kInf};
    const Located located = solve_crossings(bisecting, std::span(&across, 1), inf1, 0.0);
    CHECK(std::fabs(located.points[0][0] - 0.3) <= 1.0 / 256);
    CHECK(bisecting.evaluations() <= 9u);
}

TEST(first_trials_judge_the_field_and_change_nothing_for_a_distance) {
    const Vec3 centre{0.52, 0.47, 0.5};
    const auto distance = [=](const Vec3& p) { return testing::norm(dctest::sub(p, centre)) - 0.35; };
    testing::LambdaField step([&](const Vec3& p) { return distance(p) < 0 ? -1.0 : 1.0; });
    testing::LambdaField band([&](const Vec3& p) { return std::clamp(distance(p), -1e-3, 1e-3); });
    auto sphere = testing::sphere(0.35, centre, false);
    for (Evaluator* field : {static_cast<Evaluator*>(&sphere), static_cast<Evaluator*>(&step),
                             static_cast<Evaluator*>(&band)}) {
        const Octree tree = dctest::uniform_tree(*field, {0, 0, 0}, 1.0, 5);
        SurfaceCells surface = index_surface_cells(collect_surface_cells(tree));
        attach_corner_values(surface, tree);
        const DistinctEdges distinct = distinct_edges(surface, build_crossings(surface), 0.0);
        FieldSampler judging(*field, fd_step(tree)), plain(*field, fd_step(tree));
        const Located judged = solve_crossings(judging, distinct.edges, distinct.f1, 0.0, Monitor::none(), true);
        if (field == &sphere) {
            CHECK(judged.field_kind == FieldKind::distance);
            CHECK(judged.points == solve_crossings(plain, distinct.edges, distinct.f1, 0.0).points);
            continue;
        }
        CHECK(judged.field_kind == FieldKind::occupancy);
        // Bisected to STEP_BRACKET, then the ends interpolated: the step's
        // middle, the band's crossing (linear there) itself.
        const double off = (field == &step ? 0.5 * STEP_BRACKET : 1e-6) * tree.finest_edge();
        for (const Vec3& p : judged.points) CHECK(std::fabs(distance(p)) <= off);
    }
}

// ---------------------------------------------------------------- field decorators

TEST(clipping_takes_the_larger_of_field_and_box) {
    auto ball = testing::sphere(1.0);  // cut by the box's top face, z = 0.2
    ClippedField clipped(ball, {{-2, -2, -2}, {2, 2, 0.2}}, 0.0);
    const std::vector<Vec3> points{{0.95, 0, 0}, {0, 0, 0.15}, {0, 0, 0.5}};
    const BatchResult r = clipped.eval_batch(points);
    CHECK_NEAR(r.values[0], -0.05, 1e-15);  // the field: the box's faces are farther
    CHECK((*r.gradients)[0] == (Vec3{1, 0, 0}));
    CHECK_NEAR(r.values[1], -0.05, 1e-15);  // the top face
    CHECK((*r.gradients)[1] == (Vec3{0, 0, 1}));
    CHECK_NEAR(r.values[2], 0.3, 1e-15);
    // NaN outside the box is not needed: the box's distance stands in.
    testing::LambdaField nan_field([](const Vec3&) { return std::nan(""); });
    ClippedField nan_clipped(nan_field, {{0, 0, 0}, {1, 1, 1}}, 0.0);
    const std::vector<Vec3> outside{{2, 0.5, 0.5}}, inside{{0.5, 0.5, 0.5}};
    const BatchResult out = nan_clipped.eval_batch(outside), in = nan_clipped.eval_batch(inside);
    CHECK_EQ(out.values[0], 1.0);
    CHECK(std::isnan(in.values[0]));
}

TEST(nan_values_are_refused_with_a_count_and_an_example) {
    testing::LambdaField field([](const Vec3& p) { return p[0] > 0.5 ? std::nan("") : -kInf; });
    NanRejectingField rejecting(field);
    const std::vector<Vec3> points{{0, 0, 0}, {0.75, 0.25, 1}, {1, 0, 0}};
    std::string message;
    try {
        rejecting.eval_batch(points);
    } catch (const InvalidField& e) {
        message = e.what();
    }
    CHECK(message.starts_with("the field returned NaN at 2 of 3 points, for example at (0.75, 0.25, 1.0);"));
    const std::vector<Vec3> fine{{0, 0, 0}};
    const BatchResult passed = rejecting.eval_batch(fine);
    CHECK_EQ(passed.values[0], -kInf);
}

// ---------------------------------------------------------------- non-finite rules

TEST(non_finite_normals_and_steps_are_not_taken) {
    CHECK(unit_normal({1e200, 0, 0}) == (Vec3{1, 0, 0}));  // the sum of squares overflows
    CHECK(unit_normal({kInf, 0, 0}) == (Vec3{0, 0, 1}));
    CHECK(unit_normal({std::nan(""), 1, 0}) == (Vec3{0, 0, 1}));
    const std::optional<Vec3> scaled = newton_step({1, 0, 0}, 1e160, {1e160, 0, 0});
    REQUIRE(scaled.has_value());
    CHECK_NEAR((*scaled)[0], 0.0, 1e-15);
    CHECK(!newton_step({1, 0, 0}, kInf, {1, 0, 0}));
    CHECK(!newton_step({1, 0, 0}, 1.0, {kInf, 0, 0}));
    // A solve from non-finite sums keeps the vertex at its box's middle.
    Qef q;
    q.xx = q.yy = q.zz = 1.0;
    q.atb = {std::nan(""), 0, 0};
    q.count = 1;
    CHECK(*solve_qef(q, {{0, 0, 0}, {2, 4, 6}}) == (Vec3{1, 2, 3}));
}

// ---------------------------------------------------------------- every piece, with normals

TEST(mesh_field_keeps_drops_and_measures_pieces_on_either_sampler) {
    const double big = 4.0 / 3.0 * M_PI * 0.25 * 0.25 * 0.25, small = 4.0 / 3.0 * M_PI * 0.12 * 0.12 * 0.12;
    for (bool adaptive : {false, true}) {
        auto field = two_balls();
        MeshRequest request = MeshRequest::package({{0, 0, 0}, {1, 1, 1}}, 3, 6, 0.0, adaptive);
        const MeshResult all = mesh_field(field, request);
        REQUIRE(all.measures.has_value());
        CHECK(dctest::topology(all.mesh).closed);
        CHECK_EQ(all.extraction.pieces, 2u);
        CHECK_NEAR(all.measures->volume, big + small, 0.01 * big);
        // Between the two balls' volumes: the small one goes, renumbered away.
        request.min_piece_volume = 0.5 * (big + small);
        const MeshResult kept = mesh_field(field, request);
        CHECK_EQ(kept.pieces_dropped, 1u);
        CHECK_EQ(kept.extraction.pieces, 1u);
        CHECK_NEAR(kept.measures->volume, big, 0.01 * big);
        CHECK(kept.mesh.vertices.size() < all.mesh.vertices.size());
        CHECK_EQ(dctest::topology(kept.mesh).euler, 2);
        // Clipped through the big ball's middle: a closed half.
        request.min_piece_volume = 0.0;
        request.clip = Box{{0, 0, 0}, {0.3, 1, 1}};
        const MeshResult half = mesh_field(field, request);
        CHECK(dctest::topology(half.mesh).closed);
        CHECK_NEAR(half.measures->volume, 0.5 * big, 0.02 * big);
    }
}

TEST(pipeline_extraction_keeps_every_piece_with_unit_normals) {
    auto field = two_balls();
    const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 5);
    const TriangleMesh largest = extract_dual_contour(field, tree, 30.0, DcOptions::pipeline(true));
    const TriangleMesh all = extract_dual_contour(field, tree, 30.0, DcOptions::pipeline(false));
    CHECK(dctest::topology(all).closed);
    CHECK_EQ(dctest::topology(all).euler, 4);  // two spheres
    CHECK_EQ(dctest::topology(largest).euler, 2);
    REQUIRE(all.normals.size() == all.vertices.size());
    REQUIRE(largest.normals.size() == largest.vertices.size());
    for (std::size_t i = 0; i < all.vertices.size(); ++i) {
        const Vec3& v = all.vertices[i];
        const Vec3 c = v[0] < 0.55 ? Vec3{0.3, 0.5, 0.5} : Vec3{0.75, 0.5, 0.5};
        const Vec3 out = dctest::sub(v, c);
        CHECK_NEAR(dctest::dot(all.normals[i], out) / testing::norm(out), 1.0, 1e-9);
    }
    ExtractionStats stats;
    field.batches.clear();
    extract_dual_contour(field, tree, 30.0, DcOptions::pipeline(false), &stats);
    CHECK(stats.surface_cells > 0 && stats.normal_evaluations == 0);
    CHECK_EQ(stats.crossing_evaluations + stats.vertex_evaluations, field.points_received());
    // Without gradients the vertices settle along the cells' own trilinear
    // gradients: one value each on a ball twenty cells across.
    auto values_only = testing::sphere(0.3, {0.5, 0.5, 0.5}, false);
    const Octree sphere_tree = dctest::uniform_tree(values_only, {0, 0, 0}, 1.0, 6);
    const TriangleMesh sphere =
        extract_dual_contour(values_only, sphere_tree, 30.0, DcOptions::pipeline(false), &stats);
    CHECK_EQ(stats.vertex_evaluations, sphere.vertices.size());
}
