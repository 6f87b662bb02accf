// The octree model and the build: domain, masks, walks, subdivision, the
// refinement tests and the batching of a build.
#include <cmath>
#include <limits>
#include <set>
#include <tuple>

#include "check.hpp"
#include "core/fault.hpp"
#include "fields.hpp"
#include "octree/build.hpp"
#include "octree/octree.hpp"
#include "octree/refine.hpp"
#include "test_balance_support.hpp"

using namespace quarvel;
using testing::LambdaField;

namespace {

std::array<Vec3, 8> all_equal(Vec3 g) {
    std::array<Vec3, 8> a;
    a.fill(g);
    return a;
}

BuildParams params(unsigned min_depth, unsigned max_depth, Finish finish = Finish::band) {
    BuildParams p;
    p.bbox_min = {-1, -1, -1};
    p.bbox_max = {1, 1, 1};
    p.min_depth = static_cast<std::uint8_t>(min_depth);
    p.max_depth = static_cast<std::uint8_t>(max_depth);
    p.finish = finish;
    return p;
}


}  // namespace

TEST(cube_around_widens_short_axes_and_ignores_nan) {
    Domain d = cube_around({-1, -0.5, -0.5}, {1, 0.5, 0.5});
    CHECK_EQ(d.size, 2.0);
    CHECK_EQ(d.origin[0], -1.0);
    CHECK_EQ(d.origin[1], -1.0);
    CHECK_EQ(d.origin[2], -1.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CHECK_EQ(cube_around({nan, 0, 0}, {1, 3, 2}).size, 3.0);
}

TEST(make_cell_masks_are_strict_and_nan_is_not_below) {
    CHECK(std::holds_alternative<Outside>(make_cell({0, 0, 0, 0, 0, 0, 0, 0}, 0.0)));
    CHECK(std::holds_alternative<Inside>(make_cell({-1, -1, -1, -1, -1, -1, -1, -1}, 0.0)));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    OctreeNode node = make_cell({-1, nan, 0, 1, -2, 5, -0.0, 3}, 0.0);
    REQUIRE(std::holds_alternative<Leaf>(node));
    CHECK_EQ(int(std::get<Leaf>(node).sign_mask), 0b00010001);
}

TEST(subdivide_root_of_depth_one_tree_and_walks) {
    Octree tree;
    tree.max_depth = 1;
    tree.size = 2;
    tree.origin = {-1, -1, -1};
    CornerCache cache;
    for (std::uint32_t z = 0; z <= 2; ++z)
        for (std::uint32_t y = 0; y <= 2; ++y)
            for (std::uint32_t x = 0; x <= 2; ++x)
                cache.insert_or_assign({x, y, z}, {x + y + z == 0 ? -1.0 : 1.0, Vec3{1, 1, 1}});
    CHECK_EQ(collect_leaves(tree).size(), 1u);  // root not Internal: one entry (0,0,0,0)
    subdivide(tree, cache, {CellKey{}, 1}, Pass::build);
    REQUIRE(std::holds_alternative<Internal>(tree.root));
    CHECK_EQ(std::get<Internal>(tree.root).group, 0u);
    REQUIRE(tree.children.size() == 1);
    CHECK(std::holds_alternative<Leaf>(tree.children[0][0]));
    for (unsigned c = 1; c < 8; ++c) CHECK(std::holds_alternative<Outside>(tree.children[0][c]));
    std::vector<CellKey> leaves = collect_leaves(tree);
    REQUIRE(leaves.size() == 8);
    for (unsigned c = 0; c < 8; ++c) CHECK(leaves[c] == child_of(CellKey{}, c));
    FoundNode found = find_node(tree, 1, 0, 1, 1);
    CHECK_EQ(found.level, 1u);
    CHECK(found.node == &tree.children[0][5]);
    Statistics s = statistics(tree);
    CHECK_EQ(s.leaf_count, 1u);
    CHECK_EQ(s.internal_count, 1u);
    CHECK_EQ(s.outside_count, 7u);
    CHECK_EQ(int(s.max_leaf_depth), 1);
}

TEST(subdivide_with_missing_corner_faults) {
    Octree tree;
    tree.max_depth = 1;
    CornerCache cache;
    try {
        subdivide(tree, cache, {CellKey{}, 1}, Pass::build);
        CHECK(false);
    } catch (const Fault& f) {
        CHECK_EQ(f.message(), std::string("corner not in cache during subdivision"));
    }
}

TEST(leaf_angle_and_magnitude_tests) {
    const double cos30 = std::cos(30.0 * M_PI / 180.0);
    CHECK(!leaf_selected((all_equal({0, 0, 1})), cos30));
    // Threshold 0 degrees: any two distinct unit normals select the leaf.
    auto g = all_equal({0, 0, 1});
    g[3] = {0, std::sin(0.01), std::cos(0.01)};
    CHECK(leaf_selected((g), 1.0));
    CHECK(!leaf_selected((g), cos30));
    // Magnitudes 1 and 4.5 with parallel normals select; 1 and 4 do not.
    g = all_equal({0, 0, 1});
    g[7] = {0, 0, 4.5};
    CHECK(leaf_selected((g), cos30));
    g[7] = {0, 0, 4};
    CHECK(!leaf_selected((g), cos30));
    // All gradients vanishing: no normals, gmin <= 1e-12, not selected.
    CHECK(!leaf_selected((all_equal({1e-13, 0, 0})), cos30));
}

TEST(uniform_cell_distance_test) {
    // size 1, level 2: diagonal sqrt(3)/4 ~ 0.433; 0.1 < 0.433 * 1.5 * 1.
    Octree tree;
    tree.size = 1;
    tree.max_depth = 2;
    CornerCache cache;
    const CellKey cell{1, 1, 1, 2};
    cache.insert_or_assign(corner_of(min_corner(cell, 2), 1, 0), {0.1, Vec3{1, 0, 0}});
    CHECK(uniform_cell_selected(tree, cache, cell));
    cache.insert_or_assign(corner_of(min_corner(cell, 2), 1, 0), {0.7, Vec3{1, 0, 0}});
    CHECK(!uniform_cell_selected(tree, cache, cell));
    CHECK(!uniform_cell_selected(tree, CornerCache{}, cell));
}

TEST(uniform_build_first_batch_order_and_counts) {
    LambdaField field = testing::sphere(0.5);
    BuildResult r = build_octree(field, params(1, 1));
    REQUIRE(field.batches.size() == 1);
    REQUIRE(field.batches[0].size() == 27);
    // z outermost, x fastest
    CHECK_EQ(field.batches[0][1][0], 0.0);
    CHECK_EQ(field.batches[0][3][1], 0.0);
    CHECK_EQ(field.batches[0][9][2], 0.0);
    CHECK_EQ(r.eval_count, 27u);
    Statistics s = statistics(r.tree);
    CHECK_EQ(s.leaf_count, 8u);
    CHECK_EQ(s.internal_count, 1u);

    LambdaField no_grad = testing::sphere(0.5, {0, 0, 0}, false);
    BuildResult r2 = build_octree(no_grad, params(1, 1));
    REQUIRE(no_grad.batches.size() == 2);
    CHECK_EQ(no_grad.batches[1].size(), 6u * 27u);
    CHECK_EQ(r2.eval_count, 189u);
    // fd step is 0.01 of the finest edge (1.0 here)
    CHECK_NEAR(no_grad.batches[1][0][0] - no_grad.batches[0][0][0], 0.01, 1e-15);
}

TEST(build_merges_uniform_regions_post_order) {
    LambdaField inside([](const Vec3&) { return -1.0; });
    BuildResult r = build_octree(inside, params(3, 3));
    CHECK(std::holds_alternative<Inside>(r.tree.root));
    CHECK(r.tree.children.empty());
    LambdaField field = testing::sphere(0.3, {0.5, 0.5, 0.5});
    BuildResult s = build_octree(field, params(3, 3));
    REQUIRE(std::holds_alternative<Internal>(s.tree.root));
    // Post-order: the root's group is the last one appended.
    CHECK_EQ(std::get<Internal>(s.tree.root).group + 1, s.tree.children.size());
}

TEST(adaptive_builds_never_sample_a_point_twice) {
    for (Finish finish : {Finish::band, Finish::balance}) {
        for (bool gradients : {true, false}) {
            LambdaField field = testing::sphere(0.45, {0.1, -0.05, 0.02}, gradients);
            BuildResult r = build_octree(field, params(2, 5, finish));
            std::set<std::tuple<double, double, double>> seen;
            std::size_t valued = 0;
            for (std::size_t b = 0; b < field.batches.size(); ++b) {
                // Finite-difference batches are 6x the batch before them.
                const bool fd = !gradients && b % 2 == 1;
                if (fd) {
                    CHECK_EQ(field.batches[b].size(), 6 * field.batches[b - 1].size());
                    continue;
                }
                for (const Vec3& p : field.batches[b]) {
                    CHECK(seen.insert({p[0], p[1], p[2]}).second);
                    ++valued;
                }
            }
            CHECK_EQ(r.eval_count, field.points_received());
            CHECK_EQ(r.eval_count, gradients ? valued : 7 * valued);
            if (finish == Finish::band) {
                // Band refinement leaves every Leaf at max_depth.
                CHECK_EQ(int(statistics(r.tree).max_leaf_depth), 5);
                for (const CellKey& k : collect_leaves(r.tree))
                    if (std::holds_alternative<Leaf>(*find_node(r.tree, k.x, k.y, k.z, k.level).node))
                        CHECK_EQ(int(k.level), 5);
            }
        }
    }
}

TEST(walk_order_of_cells_matches_the_walk) {
    LambdaField field = testing::sphere(0.45, {0.1, -0.05, 0.02});
    const BuildResult r = build_octree(field, params(2, 6));
    const std::vector<CellKey> walked = collect_leaves(r.tree);
    REQUIRE(walked.size() > 1000);
    bool ordered = true;
    for (std::size_t i = 1; i < walked.size(); ++i) {
        const CornerKey a = min_corner(walked[i - 1], 6), b = min_corner(walked[i], 6);
        ordered = ordered && walk_order_less(walked[i - 1], walked[i], 6) &&
                  !walk_order_less(walked[i], walked[i - 1], 6) && walk_code(a) < walk_code(b);
    }
    CHECK(ordered);
    // An ancestor comes before its descendants, and a cell is not before itself.
    const CellKey cell{5, 3, 6, 3};
    CHECK(walk_order_less(ancestor(cell, 1), cell, 6));
    CHECK(!walk_order_less(cell, ancestor(cell, 1), 6));
    CHECK(!walk_order_less(cell, cell, 6));
}

TEST(band_passes_over_touched_leaves_equal_whole_walks) {
    // A tree refined unevenly (a small sphere far down one corner, a coarse
    // rest), then band passes run to the end: after every pass, the pass over
    // the leaves its splits touched finds what a walk of the whole tree finds.
    balance_testing::Scene s(6, balance_testing::sphere_value({13.3, 12.7, 14.1}, 5.2));
    s.split_down({13, 13, 14}, 4);
    s.split_down({40, 50, 20}, 2);
    auto field = s.field();
    FieldSampler sampler(field, fd_step(s.tree));
    std::vector<CellKey> cells = band_detail::band_requests(s.tree);
    int passes = 0;
    for (; !cells.empty(); ++passes) {
        refine(sampler, s.tree, s.cache, one_level(cells), Pass::build);
        const std::vector<CellKey> whole = band_detail::band_requests(s.tree);
        const std::vector<CellKey> touched = band_detail::leaves_touched(s.tree, cells);
        CHECK_EQ(balance_testing::cells_text(band_detail::band_requests(s.tree, touched)),
                 balance_testing::cells_text(whole));
        cells = whole;
    }
    CHECK(passes > 3);
    CHECK_EQ(int(statistics(s.tree).max_leaf_depth), 6);
}

TEST(band_refinement_leaves_no_coarse_face_neighbour_of_a_leaf) {
    LambdaField field = testing::sphere(0.6);
    BuildResult r = build_octree(field, params(2, 5));
    const unsigned L = r.tree.max_depth;
    for (const CellKey& k : collect_leaves(r.tree)) {
        if (!std::holds_alternative<Leaf>(*find_node(r.tree, k.x, k.y, k.z, k.level).node)) continue;
        const std::uint32_t last = (1u << L) - 1;
        const std::uint32_t c[3] = {k.x, k.y, k.z};
        for (int axis = 0; axis < 3; ++axis)
            for (int step : {-1, 1}) {
                std::uint32_t n[3] = {c[0], c[1], c[2]};
                if ((step < 0 && n[axis] == 0) || (step > 0 && n[axis] == last)) continue;
                n[axis] += step;
                CHECK_EQ(find_node(r.tree, n[0], n[1], n[2], L).level, L);
            }
    }
}

TEST(planar_field_refines_surface_only_in_the_band_pass) {
    // f = x: all normals equal and magnitudes equal, so level refinement selects
    // no Leaf; band refinement then brings every surface cell to max_depth.
    LambdaField field([](const Vec3& p) { return p[0] - 0.01; },
                      [](const Vec3&) { return Vec3{1, 0, 0}; });
    BuildResult r = build_octree(field, params(2, 4));
    Statistics s = statistics(r.tree);
    CHECK_EQ(int(s.max_leaf_depth), 4);
    CHECK_EQ(s.leaf_count, 16u * 16u);  // one layer of finest cells crosses x = 0.01
}

TEST(short_values_in_a_refinement_batch_fault_with_the_index_message) {
    struct Short : LambdaField {
        using LambdaField::LambdaField;
        BatchResult eval_batch(std::span<const Vec3> p) override {
            BatchResult r = LambdaField::eval_batch(p);
            if (batches.size() == 2) r.values.pop_back();
            return r;
        }
    };
    Short field([](const Vec3& p) { return testing::norm(p) - 0.5; },
                [](const Vec3& p) { return p; });
    try {
        build_octree(field, params(2, 4));
        CHECK(false);
    } catch (const Fault& f) {
        const std::size_t n = field.batches[1].size();
        CHECK_EQ(f.message(), "index out of bounds: the len is " + std::to_string(n - 1) +
                                  " but the index is " + std::to_string(n - 1));
    }
}
