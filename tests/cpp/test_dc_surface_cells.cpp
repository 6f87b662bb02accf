// Surface cells: collection order, bounds, level filter and the key lookup.
#include "check.hpp"
#include "dc/surface_cells.hpp"
#include "fields.hpp"
#include "test_dc_support.hpp"

using namespace quarvel;

TEST(dc_surface_cells_of_a_root_leaf) {
    Octree tree;
    tree.origin = {-1.0, 2.0, 0.5};
    tree.size = 4.0;
    tree.root = Leaf{6};
    tree.min_depth = 0;
    tree.max_depth = 3;
    const auto cells = collect_surface_cells(tree);
    REQUIRE(cells.size() == 1);
    CHECK(cells[0].key == (CellKey{0, 0, 0, 0}));
    CHECK(cells[0].min == tree.origin);
    CHECK_EQ(cells[0].edge, 4.0);
    CHECK_EQ(unsigned{cells[0].sign_mask}, 6u);

    // The same leaf lies above a min_depth of 1, and is not collected then.
    tree.min_depth = 1;
    CHECK(collect_surface_cells(tree).empty());
}

TEST(dc_surface_cells_follow_child_order_with_halved_bounds) {
    // A small ball around the domain centre: the one centre lattice point is
    // inside, so each of the eight level-1 cells is a surface leaf.
    auto field = testing::sphere(0.3, {0.5, 0.5, 0.5});
    const Octree tree = dctest::uniform_tree(field, {0.0, 0.0, 0.0}, 1.0, 1);
    const auto cells = collect_surface_cells(tree);
    REQUIRE(cells.size() == 8);
    for (unsigned c = 0; c < 8; ++c) {
        CHECK(cells[c].key == child_of(CellKey{}, c));
        CHECK_EQ(cells[c].edge, 0.5);
        CHECK_EQ(cells[c].min[0], bit_x(c) ? 0.5 : 0.0);
        CHECK_EQ(cells[c].min[1], bit_y(c) ? 0.5 : 0.0);
        CHECK_EQ(cells[c].min[2], bit_z(c) ? 0.5 : 0.0);
        // The inside corner is the one at the centre: corner 7 - c of child c.
        CHECK_EQ(unsigned{cells[c].sign_mask}, 1u << (7 - c));
    }
    const CellLookup lookup(cells);
    for (std::uint64_t i = 0; i < 8; ++i) CHECK_EQ(lookup.find(cells[i].key), i);
    CHECK_EQ(lookup.find(CellKey{0, 0, 0, 0}), CellLookup::NONE);
    CHECK_EQ(lookup.find(CellKey{0, 0, 0, 2}), CellLookup::NONE);
}

TEST(dc_surface_cells_skip_uniform_and_shallow_leaves) {
    auto outside = testing::LambdaField([](const Vec3&) { return 1.0; });
    const Octree empty = dctest::uniform_tree(outside, {0, 0, 0}, 1.0, 2);
    CHECK(collect_surface_cells(empty).empty());

    // Surface leaves at level 2 only, but the tree claims min_depth 3.
    auto field = testing::sphere(0.3, {0.5, 0.5, 0.5});
    Octree shallow = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 2);
    CHECK(!collect_surface_cells(shallow).empty());
    shallow.min_depth = 3;
    CHECK(collect_surface_cells(shallow).empty());
}

TEST(dc_cell_lookup_keeps_the_later_duplicate) {
    std::vector<SurfaceCell> cells(3);
    cells[0].key = {1, 2, 3, 4};
    cells[1].key = {1, 2, 3, 5};
    cells[2].key = {1, 2, 3, 4};
    const CellLookup lookup(cells);
    CHECK_EQ(lookup.find(CellKey{1, 2, 3, 4}), 2u);
    CHECK_EQ(lookup.find(CellKey{1, 2, 3, 5}), 1u);
}

TEST(dc_cell_lookup_by_z_order_finds_exactly_the_cells_listed) {
    // A sparse level in z-order, as the sampler lists it, dense and very
    // sparse (long runs without a cell): every key of the level is looked
    // up, present or not.
    constexpr std::uint32_t side = 32;
    const auto key_of = [](std::uint64_t code) {
        CellKey key{0, 0, 0, 5};
        for (unsigned bit = 0; bit < 15; ++bit) key[bit % 3] |= ((code >> bit) & 1u) << (bit / 3);
        return key;
    };
    for (const unsigned sparse : {1u, 6u}) {
        std::vector<SurfaceCell> cells;
        std::vector<std::uint64_t> position(side * side * side, CellLookup::NONE);
        std::uint64_t state = 12345;
        for (std::uint64_t code = 0; code < position.size(); ++code) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            if ((state >> (64 - sparse)) != 0 && code != position.size() - 1) continue;
            position[code] = cells.size();
            cells.push_back({});
            cells.back().key = key_of(code);
        }
        const CellLookup lookup(cells);
        for (std::uint64_t code = 0; code < position.size(); ++code)
            CHECK_EQ(lookup.find(key_of(code)), position[code]);
        for (std::uint64_t c = 0; c < cells.size(); ++c)
            for (unsigned axes = 1; axes < 8; ++axes) {
                CellKey below = cells[c].key;
                bool inside = true;
                for (unsigned axis = 0; axis < 3; ++axis)
                    if (axes >> axis & 1u) inside = inside && below[axis]-- > 0;
                if (inside) CHECK_EQ(lookup.find_below(c, axes), lookup.find(below));
            }
        for (std::uint64_t c = 0; c < cells.size(); ++c)
            for (int s = 0; s < 27; ++s) {
                const std::array<int, 3> step{s % 3 - 1, s / 3 % 3 - 1, s / 9 - 1};
                CellKey near = cells[c].key;
                bool inside = true;
                for (unsigned axis = 0; axis < 3; ++axis) {
                    const std::int64_t at = std::int64_t{near[axis]} + step[axis];
                    inside = inside && at >= 0 && at < side;
                    near[axis] = static_cast<std::uint32_t>(at);
                }
                CHECK_EQ(lookup.find_near(c, step), inside ? lookup.find(near) : CellLookup::NONE);
            }
        CHECK_EQ(lookup.find(CellKey{0, 0, 0, 4}), CellLookup::NONE);
        CHECK_EQ(lookup.find(CellKey{side, 0, 0, 5}), CellLookup::NONE);
    }
}
