// The refinement stages as the balancing pass uses them (subdivision, corner
// batches, uniform refinement) and the pass's surface walks.
#include "check.hpp"
#include "test_balance_support.hpp"

using namespace balance_testing;

namespace {

RefineRequest down_to(const CellKey& cell, unsigned target) {
    return {cell, static_cast<std::uint8_t>(target)};
}

}  // namespace

TEST(balance_subdivide_uses_tree_iso_and_leaves_internal_cells) {
    // f = x on a max_depth 1 cube [0, 2]^3 with iso 0.3: only x = 0 is below.
    Scene s(1, [](const Vec3& p) { return p[0]; }, 0.3);
    for (std::uint32_t x = 0; x <= 2; ++x)
        for (std::uint32_t y = 0; y <= 2; ++y)
            for (std::uint32_t z = 0; z <= 2; ++z) s.sample({x, y, z});
    subdivide(s.tree, s.cache, down_to({}, 1), Pass::balance);
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
    }
    // Already subdivided: nothing appended, nothing replaced.
    subdivide(s.tree, s.cache, down_to({}, 1), Pass::balance);
    CHECK_EQ(s.tree.children.size(), 1u);
    CHECK_EQ(std::get<Internal>(s.tree.root).group, 0u);
}

TEST(balance_subdivide_faults_on_missing_corner) {
    Scene s(1, below_at({{0, 0, 0}}));
    for (Pass pass : {Pass::build, Pass::balance}) {
        const std::string message = pass == Pass::build
                                        ? "corner not in cache during subdivision"
                                        : "corner not in cache during balance subdivision";
        CHECK_EQ(fault_message([&] { subdivide(s.tree, s.cache, down_to({}, 1), pass); }), message);
        CornerCache empty;
        CHECK_EQ(fault_message([&] { subdivide(s.tree, empty, down_to({}, 1), pass); }), message);
    }
    CHECK(s.tree.children.empty());
    CHECK(is_surface_leaf(s.tree.root));
    // A cell the tree does not hold is a fault, not a subdivision of its ancestor.
    Scene deep(2, below_at({}));
    const RefineRequest absent = down_to({1, 0, 0, 1}, 2);
    CHECK_EQ(fault_message([&] { subdivide(deep.tree, deep.cache, absent, Pass::build); }),
             std::string("cell to subdivide is not in the tree"));
    CHECK(deep.tree.children.empty());
}

TEST(balance_refine_corners_queued_depth_first) {
    Scene s(3, below_at({}));
    s.split({0, 0, 0, 0});
    const std::size_t cached = s.cache.size();
    CornerBatch batch;
    queue_corners(s.tree, s.cache, down_to({0, 0, 0, 1}, 3), batch);
    // All 125 points of the cell's level-3 lattice except its 8 cached corners.
    const std::vector<CornerKey> keys = batch.keys();
    CHECK_EQ(keys.size(), 117u);
    CHECK_EQ(s.cache.size(), cached + 117u);  // each claimed its slot
    // Child 0's corners 1..7 at edge 2, then its own child 0 at edge 1.
    CHECK(keys[0] == (CornerKey{2, 0, 0}));
    CHECK(keys[6] == (CornerKey{2, 2, 2}));
    CHECK(keys[7] == (CornerKey{1, 0, 0}));
    std::vector<Vec3> points;
    for (const CornerKey& key : keys) points.push_back(s.tree.position(key));
    testing::LambdaField field = s.field();
    FieldSampler sampler(field, fd_step(s.tree));
    batch.sample(sampler, s.cache);
    CHECK_EQ(sampler.evaluations(), 117u);
    REQUIRE(field.batches.size() == 1u);
    CHECK(field.batches[0] == points);
    CHECK(batch.keys().empty());
    const std::optional<CornerSample> first = s.cache.find(keys[0]);
    CHECK_EQ(first->value, 1.0);
    batch.sample(sampler, s.cache);
    CHECK_EQ(field.batches.size(), 1u);

    subdivide(s.tree, s.cache, down_to({0, 0, 0, 1}, 3), Pass::balance);
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
    CornerBatch none;
    queue_corners(s.tree, s.cache, down_to({0, 0, 0, 1}, 1), none);
    CHECK(none.keys().empty());
    subdivide(s.tree, s.cache, down_to({0, 0, 0, 1}, 1), Pass::balance);
    CHECK_EQ(s.tree.children.size(), 1u);

    // A target past max_depth is capped there.
    CornerBatch capped;
    queue_corners(s.tree, s.cache, down_to({0, 0, 0, 1}, 9), capped);
    CHECK_EQ(capped.keys().size(), 27u - 8u);
    testing::LambdaField field = s.field();
    FieldSampler sampler(field, fd_step(s.tree));
    capped.sample(sampler, s.cache);
    subdivide(s.tree, s.cache, down_to({0, 0, 0, 1}, 9), Pass::balance);
    CHECK_EQ(s.tree.children.size(), 2u);
    CHECK_EQ(find_node(s.tree, 1, 1, 1, 2).level, 2u);
}

TEST(balance_queue_skips_cached_and_pending_corners) {
    Scene s(2, below_at({}));
    CornerBatch batch;
    queue_corners(s.tree, s.cache, down_to({}, 1), batch);
    // 27 child lattice points less the 8 root corners; child 0's corners first.
    CHECK_EQ(batch.keys().size(), 19u);
    CHECK(batch.keys()[0] == (CornerKey{2, 0, 0}));
    CHECK(batch.keys()[1] == (CornerKey{0, 2, 0}));
    queue_corners(s.tree, s.cache, down_to({}, 1), batch);
    CHECK_EQ(batch.keys().size(), 19u);
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

