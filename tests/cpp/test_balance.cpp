// The balancing pass as a whole: which cells each phase refines, in which
// order, at what evaluation cost, and how it fails.
#include "check.hpp"
#include "octree/build.hpp"
#include "test_balance_support.hpp"

using namespace balance_testing;

// ---------------------------------------------------------------- no work

TEST(balance_root_not_internal_makes_no_call) {
    for (const ValueFn& f : {below_at({{0, 0, 0}}), below_at({})}) {
        Scene s(2, f);
        const bool was_surface = is_surface_leaf(s.tree.root);
        testing::LambdaField field = s.field();
        CHECK_EQ(balance_octree(field, s.tree, s.cache), 0u);
        CHECK(field.batches.empty());
        CHECK(s.tree.children.empty());
        CHECK_EQ(is_surface_leaf(s.tree.root), was_surface);
    }
}

TEST(balance_leaves_balanced_tree_unchanged) {
    // Uniform level 2 below max_depth 3, surface around the centre point.
    Scene s(3, below_at({{4, 4, 4}}));
    s.split({0, 0, 0, 0});
    for (unsigned c = 0; c < 8; ++c) s.split(child_of({0, 0, 0, 0}, c));
    const std::string before = cells_text(collect_leaves(s.tree));
    const std::size_t groups = s.tree.children.size(), samples = s.cache.size();
    REQUIRE(!collect_surface_leaves(s.tree).empty());

    testing::LambdaField field = s.field(false);
    CHECK_EQ(balance_octree(field, s.tree, s.cache), 0u);
    CHECK(field.batches.empty());
    CHECK_EQ(s.tree.children.size(), groups);
    CHECK_EQ(s.cache.size(), samples);
    CHECK_EQ(cells_text(collect_leaves(s.tree)), before);
}

TEST(balance_makes_no_call_when_corners_are_cached) {
    Scene s = two_levels_coarser();
    for (std::uint32_t x = 0; x <= 8; x += 2)
        for (std::uint32_t y = 0; y <= 8; y += 2)
            for (std::uint32_t z = 0; z <= 8; z += 2) s.sample({x, y, z});
    testing::LambdaField field = s.field();
    CHECK_EQ(balance_octree(field, s.tree, s.cache), 0u);
    CHECK(field.batches.empty());
    CHECK_EQ(coarse_neighbour_violations(s.tree), 0);
    CHECK(is_internal(*find_node(s.tree, 1, 0, 0, 1).node));
}

// ---------------------------------------------------------------- phase A

TEST(balance_splits_neighbour_two_levels_coarser) {
    Scene s = two_levels_coarser();
    REQUIRE(coarse_neighbour_violations(s.tree) > 0);
    // Child 1, 2 and 4 of the level-3 block face root children 1, 2 and 4 first.
    CHECK_EQ(cells_text(split_requests(s.tree)),
             cells_text({{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}}));

    testing::LambdaField field = s.field();
    // Each split cell needs 27 points at spacing 2; the 9 on the face it shares
    // with cell (0,0,0,1) and 4 root corners are cached: 14 new each, disjoint.
    CHECK_EQ(balance_octree(field, s.tree, s.cache), 42u);
    REQUIRE(field.batches.size() == 1u);
    CHECK_EQ(field.batches[0].size(), 42u);
    CHECK_EQ(coarse_neighbour_violations(s.tree), 0);
    for (const CellKey& c : {CellKey{1, 0, 0, 1}, CellKey{0, 1, 0, 1}, CellKey{0, 0, 1, 1}})
        CHECK(is_internal(*find_node(s.tree, c.x, c.y, c.z, 1).node));
    CHECK(!is_internal(*find_node(s.tree, 1, 1, 0, 1).node));
}

TEST(balance_counts_seven_evaluations_per_estimated_gradient) {
    Scene with = two_levels_coarser(), without = two_levels_coarser();
    testing::LambdaField given = with.field(true), estimated = without.field(false);
    CHECK_EQ(balance_octree(given, with.tree, with.cache), 42u);
    CHECK_EQ(balance_octree(estimated, without.tree, without.cache), 7u * 42u);
    REQUIRE(estimated.batches.size() == 2u);
    CHECK_EQ(estimated.batches[1].size(), 6u * 42u);
    // The finite-difference batch offsets the same points by 0.01 h (h = 1 here).
    const Vec3 p = estimated.batches[0][0];
    CHECK_EQ(estimated.batches[1][0][0], p[0] + 0.01);
    CHECK_EQ(estimated.batches[1][1][0], p[0] - 0.01);
    CHECK(as_set(estimated.batches[0]) == as_set(given.batches[0]));
    CHECK_EQ(cells_text(collect_leaves(with.tree)), cells_text(collect_leaves(without.tree)));
    CHECK_EQ(corner_cache_violations(without.tree, without.cache), 0);
}

TEST(balance_coarser_neighbour_of_surface_leaf_split_only_when_not_surface) {
    // The surface leaf (0,0,1,2) faces root child 4 across +z. Root child 1 is a
    // surface leaf beside the subdivided child 0, so it asks to split itself.
    {
        // Root child 4 shares the point (0,0,2): a surface leaf, left to its own rule.
        Scene s(2, below_at({{0, 0, 2}, {4, 0, 0}}));
        s.split({0, 0, 0, 0});
        s.split({0, 0, 0, 1});
        CHECK_EQ(cells_text(split_requests(s.tree)), cells_text({{1, 0, 0, 1}, {0, 0, 1, 1}}));
    }
    {
        // Below at (0,0,1) instead: root child 4 is Outside and is split at once.
        Scene s(2, below_at({{0, 0, 1}, {4, 0, 0}}));
        s.split({0, 0, 0, 0});
        s.split({0, 0, 0, 1});
        CHECK_EQ(cells_text(split_requests(s.tree)), cells_text({{0, 0, 1, 1}, {1, 0, 0, 1}}));
        testing::LambdaField field = s.field();
        balance_faces(field, s.tree, s.cache);
        CHECK_EQ(surface_rule_violations(s.tree), 0);
        CHECK_EQ(coarse_neighbour_violations(s.tree), 0);
    }
}

TEST(balance_surface_leaf_follows_subdivided_neighbour_only_above_max_depth) {
    // Nodes set by hand: root child 1 is Internal with a surface leaf below,
    // root child 0 a surface leaf beside it.
    auto scene = [](unsigned max_depth, bool surface_below) {
        Octree t;
        t.size = 4;
        t.max_depth = static_cast<std::uint8_t>(max_depth);
        const Leaf surface{1};
        ChildGroup top, below;
        top.fill(Outside{});
        below.fill(Outside{});
        top[0] = surface;
        top[1] = Internal{1};
        if (surface_below) below[0] = surface;
        t.children = {top, below};
        t.root = Internal{0};
        return t;
    };
    CHECK_EQ(cells_text(split_requests(scene(2, true))), cells_text({{0, 0, 0, 1}}));
    CHECK(split_requests(scene(2, false)).empty());
    // At max_depth nothing can go finer: a (malformed) subdivided neighbour there is ignored.
    CHECK(split_requests(scene(1, true)).empty());
}

TEST(balance_ignores_neighbours_outside_the_cube) {
    // Level-3 blocks in two opposite corners: a neighbour that wrapped around
    // the cube would land in a level-1 cell and ask for a split.
    Scene s(3, below_at({}));
    s.split({0, 0, 0, 0});
    s.split({0, 0, 0, 1});
    s.split({0, 0, 0, 2});
    s.split({1, 1, 1, 1});
    s.split({3, 3, 3, 2});
    CHECK(split_requests(s.tree).empty());
    testing::LambdaField field = s.field();
    CHECK_EQ(balance_octree(field, s.tree, s.cache), 0u);
    CHECK(field.batches.empty());
}

TEST(balance_phase_a_guarantees_hold_on_a_sphere) {
    Scene s = spiky_sphere();
    REQUIRE(coarse_neighbour_violations(s.tree) > 0);
    const std::size_t samples = s.cache.size();
    testing::LambdaField field = s.field();
    const std::uint64_t evaluations = balance_faces(field, s.tree, s.cache);
    CHECK(field.batches.size() >= 2u);
    CHECK_EQ(coarse_neighbour_violations(s.tree), 0);
    CHECK_EQ(surface_rule_violations(s.tree), 0);
    CHECK_EQ(corner_cache_violations(s.tree, s.cache), 0);
    CHECK_EQ(evaluations, s.cache.size() - samples);
    CHECK_EQ(evaluations, field.points_received());
}

// ---------------------------------------------------------------- phase B

TEST(balance_edge_neighbours_of_surface_leaf_requested) {
    Scene s = edge_scene();
    // Surface leaf (1,1,0,2) changes sign on its x, y and z edges at (4,4,0);
    // the level-2 cells across them lie in root children 2, 1 and 3.
    CHECK_EQ(requests_text(refine_requests(s.tree, s.cache)),
             requests_text({{{0, 1, 0, 1}, 2}, {{1, 0, 0, 1}, 2}, {{1, 1, 0, 1}, 2}}));
    testing::LambdaField field = s.field();
    balance_edges(field, s.tree, s.cache);
    CHECK_EQ(edge_rule_violations(s.tree), 0);
    CHECK_EQ(corner_cache_violations(s.tree, s.cache), 0);
    CHECK(is_internal(*find_node(s.tree, 1, 1, 0, 1).node));
}

TEST(balance_edge_candidates_in_axis_then_offset_order) {
    // Surface leaf (1,1,1,2) changes sign on the three edges meeting at (4,4,4).
    // Along x the cells across lie in root children 6, 2, 4 for (dp, dq) = (0,0),
    // (0,1), (1,0); along y in 5, 1, (4); along z in 3, (1), (2). Root child 7
    // meets the leaf only at the corner and is not asked for.
    Scene s(3, below_at({{4, 4, 4}}));
    s.split({0, 0, 0, 0});
    s.split({0, 0, 0, 1});
    std::vector<RefineRequest> expected;
    for (unsigned c : {6u, 2u, 4u, 5u, 1u, 3u}) expected.push_back({child_of({0, 0, 0, 0}, c), 2});
    CHECK_EQ(requests_text(refine_requests(s.tree, s.cache)), requests_text(expected));
}

TEST(balance_first_surface_leaf_sets_refine_target) {
    // Runs one iteration of phase B by its stages.
    auto one_iteration = [](Scene& s) {
        testing::LambdaField field = s.field();
        refine_once(field, s.tree, s.cache, refine_requests(s.tree, s.cache));
    };
    // Reached from (1,1,0,1): the level of every cell inside it.
    auto levels_in_root_child_3 = [](const Octree& t) {
        std::set<unsigned> levels;
        for (std::uint32_t x = 4; x < 8; ++x)
            for (std::uint32_t y = 4; y < 8; ++y)
                for (std::uint32_t z = 0; z < 4; ++z) levels.insert(find_node(t, x, y, z, 3).level);
        return levels;
    };
    {
        // The level-3 surface leaf (3,3,0,3) comes first: (1,1,0,1) goes to level 3,
        // though the later level-2 leaf (2,1,0,2) touches it too.
        Scene s = edge_scene();
        s.split({1, 1, 0, 2});
        s.split({1, 0, 0, 1});
        CHECK_EQ(cells_text(collect_surface_leaves(s.tree)),
                 cells_text({{3, 3, 0, 3}, {2, 1, 0, 2}, {0, 1, 0, 1}, {1, 1, 0, 1}}));
        CHECK_EQ(requests_text(refine_requests(s.tree, s.cache)),
                 requests_text({{{0, 1, 0, 1}, 3}, {{2, 1, 0, 2}, 3}, {{1, 1, 0, 1}, 3}}));
        one_iteration(s);
        CHECK(levels_in_root_child_3(s.tree) == std::set<unsigned>{3});
    }
    {
        // The level-2 surface leaf (1,1,0,2) comes first: (1,1,0,1) goes to level 2
        // only, and the level-3 leaf (4,3,0,3) still asks for (1,1,0,2).
        Scene s = edge_scene();
        s.split({1, 0, 0, 1});
        s.split({2, 1, 0, 2});
        CHECK_EQ(requests_text(refine_requests(s.tree, s.cache)),
                 requests_text({{{0, 1, 0, 1}, 2}, {{1, 1, 0, 1}, 2}, {{1, 1, 0, 2}, 3}}));
        one_iteration(s);
        CHECK(levels_in_root_child_3(s.tree) == std::set<unsigned>{2});
        testing::LambdaField field = s.field();
        balance_edges(field, s.tree, s.cache);
        CHECK_EQ(edge_rule_violations(s.tree), 0);
    }
}

TEST(balance_edge_signs_read_missing_corners_as_zero) {
    // The cache lacks the one point below: it reads as 0.0, which is below an
    // iso value of 0.5 but not below 0 (equal is not below).
    for (double iso : {0.0, 0.5}) {
        Scene s = edge_scene();
        Scene bare(3, below_at({}), iso);
        bare.tree = s.tree;
        bare.tree.iso_value = iso;
        for (std::uint32_t x = 0; x <= 8; ++x)
            for (std::uint32_t y = 0; y <= 8; ++y)
                for (std::uint32_t z = 0; z <= 8; ++z)
                    if (s.cache.contains({x, y, z}) && !(x == 4 && y == 4 && z == 0))
                        bare.sample({x, y, z});
        const std::size_t expected = iso > 0 ? 3 : 0;
        CHECK_EQ(refine_requests(bare.tree, bare.cache).size(), expected);
    }
}

TEST(balance_phase_b_guarantee_holds_on_a_sphere) {
    Scene s = spiky_sphere();
    const std::size_t samples = s.cache.size();
    testing::LambdaField field = s.field();
    const std::uint64_t evaluations = balance_octree(field, s.tree, s.cache);
    CHECK_EQ(edge_rule_violations(s.tree), 0);
    CHECK_EQ(corner_cache_violations(s.tree, s.cache), 0);
    CHECK_EQ(evaluations, s.cache.size() - samples);

    // No lattice point reaches the field twice, nor one cached before the pass.
    std::set<std::tuple<double, double, double>> seen;
    std::size_t sent = 0;
    for (const auto& batch : field.batches) {
        sent += batch.size();
        for (const Vec3& p : batch) seen.emplace(p[0], p[1], p[2]);
    }
    CHECK_EQ(seen.size(), sent);
    CHECK_EQ(sent, evaluations);
    CHECK(field.batches.size() >= 3u);

    // Estimated gradients change the count, not the tree.
    Scene again = spiky_sphere();
    testing::LambdaField estimated = again.field(false);
    CHECK_EQ(balance_octree(estimated, again.tree, again.cache), 7 * evaluations);
    CHECK_EQ(estimated.batches.size(), 2 * field.batches.size());
    CHECK_EQ(cells_text(collect_leaves(again.tree)), cells_text(collect_leaves(s.tree)));
}

// ---------------------------------------------------------------- failures

TEST(balance_field_error_stops_the_failing_iteration) {
    {
        // Failing first batch, with or without the finite-difference one.
        const std::pair<bool, int> cases[] = {{true, 1}, {false, 1}, {false, 2}};
        for (auto [gradients, at] : cases) {
            Scene s = two_levels_coarser();
            const std::size_t groups = s.tree.children.size(), samples = s.cache.size();
            ThrowingField field(s.field(gradients), at);
            CHECK_THROWS_AS(balance_octree(field, s.tree, s.cache), ThrowingField::Boom);
            CHECK_EQ(field.calls, at);
            CHECK_EQ(s.tree.children.size(), groups);
            CHECK_EQ(s.cache.size(), samples);
        }
    }
    {
        // Failing second iteration: the first one's splits and samples stay.
        Scene expected = spiky_sphere();
        testing::LambdaField first = expected.field();
        refine_once(first, expected.tree, expected.cache, one_level(split_requests(expected.tree)));

        Scene s = spiky_sphere();
        ThrowingField field(s.field(), 2);
        CHECK_THROWS_AS(balance_octree(field, s.tree, s.cache), ThrowingField::Boom);
        CHECK_EQ(s.tree.children.size(), expected.tree.children.size());
        CHECK_EQ(s.cache.size(), expected.cache.size());
        CHECK_EQ(cells_text(collect_leaves(s.tree)), cells_text(collect_leaves(expected.tree)));
    }
}

TEST(balance_short_results_fault_with_index) {
    auto run = [](std::size_t values, std::size_t gradients) {
        return fault_message([&] {
            Scene s = two_levels_coarser();
            ResizedField field(s.field(), values, gradients);
            balance_octree(field, s.tree, s.cache);
        });
    };
    CHECK_EQ(run(41, 42), std::string("index out of bounds: the len is 41 but the index is 41"));
    CHECK_EQ(run(42, 41), std::string("index out of bounds: the len is 41 but the index is 41"));
    // Entry by entry, value before gradient: the shorter gradients fail first.
    CHECK_EQ(run(10, 5), std::string("index out of bounds: the len is 5 but the index is 5"));
    CHECK_EQ(run(0, 42), std::string("index out of bounds: the len is 0 but the index is 0"));
    // Entries past the batch are ignored.
    CHECK_EQ(run(50, 50), std::string("no fault"));
}

// ---------------------------------------------------------------- through the build

TEST(balance_through_adaptive_build) {
    testing::LambdaField field = testing::sphere(0.61, {0.03, -0.02, 0.05});
    BuildParams params;
    params.bbox_min = {-1, -1, -1};
    params.bbox_max = {1, 1, 1};
    params.min_depth = 2;
    params.max_depth = 5;
    params.finish = Finish::balance;
    const BuildResult built = build_octree(field, params);
    CHECK_EQ(edge_rule_violations(built.tree), 0);
    CHECK_EQ(built.eval_count, field.points_received());
    CHECK(statistics(built.tree).leaf_count > 0u);
}

