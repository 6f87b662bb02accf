// The balancing pass's stages on their own: subdivision, corner queues,
// uniform refinement and the surface walks.
#include "check.hpp"
#include "test_balance_support.hpp"

using namespace balance_testing;

TEST(balance_subdivide_uses_tree_iso_and_leaves_internal_cells) {
    // f = x on a max_depth 1 cube [0, 2]^3 with iso 0.3: only x = 0 is below.
    Scene s(1, [](const Vec3& p) { return p[0]; }, 0.3);
    for (std::uint32_t x = 0; x <= 2; ++x)
        for (std::uint32_t y = 0; y <= 2; ++y)
            for (std::uint32_t z = 0; z <= 2; ++z) s.sample({x, y, z});
    balance_subdivide(s.tree, s.cache, {0, 0, 0}, 0);
    REQUIRE(is_internal(s.tree.root));
    REQUIRE(s.tree.children.size() == 1u);
    const ChildGroup& g = s.tree.children[0];
    for (unsigned c = 0; c < 8; ++c) {
        if (bit_x(c)) {
            CHECK(std::holds_alternative<Outside>(g[c]));
            continue;
        }
        const auto* leaf = std::get_if<Leaf>(&g[c]);
        REQUIRE(leaf);
        CHECK_EQ(int(leaf->sign_mask), 0x55);
        CHECK(s.tree.data(*leaf).gradients.has_value());
    }
    // Already subdivided: nothing appended, nothing replaced.
    balance_subdivide(s.tree, s.cache, {0, 0, 0}, 0);
    CHECK_EQ(s.tree.children.size(), 1u);
    CHECK_EQ(std::get<Internal>(s.tree.root).group, 0u);
}

TEST(balance_subdivide_faults_on_missing_corner) {
    const std::string message = "corner not in cache during balance subdivision";
    Scene s(1, below_at({{0, 0, 0}}));
    CHECK_EQ(fault_message([&] { balance_subdivide(s.tree, s.cache, {0, 0, 0}, 0); }), message);
    CornerCache empty;
    CHECK_EQ(fault_message([&] { balance_subdivide(s.tree, empty, {0, 0, 0}, 0); }), message);
    CHECK(s.tree.children.empty());
    CHECK(is_surface_leaf(s.tree.root));
}

TEST(balance_refine_corners_queued_depth_first) {
    Scene s(3, below_at({}));
    s.split({0, 0, 0, 0});
    CornerQueue queue;
    collect_refine_corners(s.tree, s.cache, {0, 0, 0}, 1, 3, queue);
    // All 125 points of the cell's level-3 lattice except its 8 cached corners.
    CHECK_EQ(queue.keys.size(), 117u);
    CHECK_EQ(queue.pending.size(), 117u);
    // Child 0's corners 1..7 at edge 2, then its own child 0 at edge 1.
    CHECK(queue.keys[0] == (CornerKey{2, 0, 0}));
    CHECK(queue.keys[6] == (CornerKey{2, 2, 2}));
    CHECK(queue.keys[7] == (CornerKey{1, 0, 0}));
    bool aligned = true, fresh = true;
    for (std::size_t i = 0; i < queue.keys.size(); ++i) {
        aligned = aligned && queue.points[i] == s.tree.position(queue.keys[i]);
        fresh = fresh && !s.cache.contains(queue.keys[i]);
    }
    CHECK(aligned);
    CHECK(fresh);

    const std::vector<Vec3> points = queue.points;
    testing::LambdaField field = s.field();
    CHECK_EQ(evaluate_queue(field, s.tree, s.cache, queue), 117u);
    REQUIRE(field.batches.size() == 1u);
    CHECK(field.batches[0] == points);
    CHECK(queue.keys.empty());
    CHECK_EQ(evaluate_queue(field, s.tree, s.cache, queue), 0u);
    CHECK_EQ(field.batches.size(), 1u);

    refine_to_level(s.tree, s.cache, {0, 0, 0}, 1, 3);
    std::set<unsigned> inside, beside;
    for (std::uint32_t x = 0; x < 8; ++x)
        for (std::uint32_t y = 0; y < 8; ++y)
            for (std::uint32_t z = 0; z < 8; ++z)
                (x < 4 && y < 4 && z < 4 ? inside : beside)
                    .insert(find_node(s.tree, x, y, z, 3).level);
    CHECK(inside == std::set<unsigned>{3});
    CHECK(beside == std::set<unsigned>{1});
}

TEST(balance_refine_stops_at_target_and_max_depth) {
    Scene s(2, below_at({}));
    s.split({0, 0, 0, 0});
    CornerQueue none;
    collect_refine_corners(s.tree, s.cache, {0, 0, 0}, 1, 1, none);
    CHECK(none.keys.empty());
    refine_to_level(s.tree, s.cache, {0, 0, 0}, 1, 1);
    CHECK_EQ(s.tree.children.size(), 1u);

    // A target past max_depth is capped there.
    CornerQueue capped;
    collect_refine_corners(s.tree, s.cache, {0, 0, 0}, 1, 9, capped);
    CHECK_EQ(capped.keys.size(), 27u - 8u);
    testing::LambdaField field = s.field();
    evaluate_queue(field, s.tree, s.cache, capped);
    refine_to_level(s.tree, s.cache, {0, 0, 0}, 1, 9);
    CHECK_EQ(s.tree.children.size(), 2u);
    CHECK_EQ(find_node(s.tree, 1, 1, 1, 2).level, 2u);
}

TEST(balance_queue_skips_cached_and_pending_corners) {
    Scene s(2, below_at({}));
    CornerQueue queue;
    queue_child_corners(s.tree, s.cache, {0, 0, 0}, 0, queue);
    // 27 child lattice points less the 8 root corners; child 0's corners first.
    CHECK_EQ(queue.keys.size(), 19u);
    CHECK(queue.keys[0] == (CornerKey{2, 0, 0}));
    CHECK(queue.keys[1] == (CornerKey{0, 2, 0}));
    queue_child_corners(s.tree, s.cache, {0, 0, 0}, 0, queue);
    CHECK_EQ(queue.keys.size(), 19u);
}

TEST(balance_surface_walks) {
    Scene s = edge_scene();
    CHECK_EQ(cells_text(collect_surface_leaves(s.tree)),
             cells_text({{1, 1, 0, 2}, {1, 0, 0, 1}, {0, 1, 0, 1}, {1, 1, 0, 1}}));
    CHECK(subtree_has_surface_leaf(s.tree, s.tree.root));
    const ChildGroup& top = s.tree.group(std::get<Internal>(s.tree.root).group);
    CHECK(subtree_has_surface_leaf(s.tree, top[0]));
    CHECK(!subtree_has_surface_leaf(s.tree, top[4]));

    Scene flat = two_levels_coarser();
    CHECK(collect_surface_leaves(flat.tree).empty());
    CHECK(!subtree_has_surface_leaf(flat.tree, flat.tree.root));
}

