// Vertex slots: the component table and the slot numbering.
#include <array>
#include <numeric>
#include <string>

#include "check.hpp"
#include "core/fault.hpp"
#include "dc/component.hpp"

using quarvel::CellComponents;
using quarvel::COMPONENT_TABLE;

namespace {

struct Row {
    unsigned mask;
    std::array<int, 8> corner;
    unsigned count;
};

// Independent labelling: union-find over the cube edges between set corners,
// then groups numbered by their smallest corner, which is the order in which a
// scan over corners 0..7 first meets them.
CellComponents by_union_find(unsigned mask) {
    std::array<int, 8> parent;
    std::iota(parent.begin(), parent.end(), 0);
    auto find = [&](int x) {
        while (parent[x] != x) x = parent[x];
        return x;
    };
    for (int a = 0; a < 8; ++a)
        for (int b = a + 1; b < 8; ++b) {
            const int diff = a ^ b;
            const bool adjacent = diff == 1 || diff == 2 || diff == 4;
            if (adjacent && (mask >> a & 1) && (mask >> b & 1)) parent[find(b)] = find(a);
        }
    CellComponents out;
    std::array<int, 8> label_of_root;
    label_of_root.fill(-1);
    for (int c = 0; c < 8; ++c) {
        out.corner[c] = -1;
        if (mask == 255 || !(mask >> c & 1)) continue;
        int& label = label_of_root[find(c)];
        if (label < 0) label = out.count++;
        out.corner[c] = static_cast<std::int8_t>(label);
    }
    return out;
}

}  // namespace

TEST(dc_component_table_telling_rows) {
    const Row rows[] = {
        {0, {-1, -1, -1, -1, -1, -1, -1, -1}, 0},
        {1, {0, -1, -1, -1, -1, -1, -1, -1}, 1},
        {3, {0, 0, -1, -1, -1, -1, -1, -1}, 1},
        {6, {-1, 0, 1, -1, -1, -1, -1, -1}, 2},
        {9, {0, -1, -1, 1, -1, -1, -1, -1}, 2},
        {22, {-1, 0, 1, -1, 2, -1, -1, -1}, 3},
        {105, {0, -1, -1, 1, -1, 2, 3, -1}, 4},
        {120, {-1, -1, -1, 0, 1, 1, 1, -1}, 2},
        {150, {-1, 0, 1, -1, 2, -1, -1, 3}, 4},
        {249, {0, -1, -1, 0, 0, 0, 0, 0}, 1},
        {254, {-1, 0, 0, 0, 0, 0, 0, 0}, 1},
        {255, {-1, -1, -1, -1, -1, -1, -1, -1}, 0},
    };
    for (const Row& row : rows) {
        const CellComponents& entry = COMPONENT_TABLE[row.mask];
        CHECK_EQ(unsigned{entry.count}, row.count);
        for (unsigned c = 0; c < 8; ++c) CHECK_EQ(int{entry.corner[c]}, row.corner[c]);
    }
}

TEST(dc_component_table_matches_union_find_for_every_mask) {
    static_assert(COMPONENT_TABLE[6].count == 2 && COMPONENT_TABLE[249].count == 1,
                  "the table is built at compile time");
    for (unsigned mask = 0; mask < 256; ++mask) {
        const CellComponents expected = by_union_find(mask);
        const CellComponents& entry = COMPONENT_TABLE[mask];
        CHECK_EQ(unsigned{entry.count}, unsigned{expected.count});
        CHECK(entry.count <= 4);
        for (unsigned c = 0; c < 8; ++c) {
            CHECK_EQ(int{entry.corner[c]}, int{expected.corner[c]});
            // Clear corners never carry a group; set ones always do (except mask 255).
            CHECK_EQ(entry.corner[c] >= 0, mask != 255 && (mask >> c & 1u) != 0);
        }
    }
}

TEST(dc_component_of_rejects_corner_beyond_seven) {
    CHECK_EQ(quarvel::component_of(COMPONENT_TABLE[6], 2), 1);
    CHECK_EQ(quarvel::component_of(COMPONENT_TABLE[6], 0), -1);
    std::string message;
    try {
        quarvel::component_of(COMPONENT_TABLE[6], 8);
    } catch (const quarvel::Fault& f) {
        message = f.message();
    }
    CHECK_EQ(message, std::string("index out of bounds: the len is 8 but the index is 8"));
}

TEST(dc_vertex_slots_are_an_exclusive_prefix_sum) {
    const std::array<CellComponents, 4> cells = {COMPONENT_TABLE[105], COMPONENT_TABLE[1],
                                                 COMPONENT_TABLE[6], COMPONENT_TABLE[249]};
    const quarvel::VertexSlots slots = quarvel::number_vertex_slots(cells);
    REQUIRE(slots.offset.size() == 4);
    CHECK_EQ(slots.offset[0], 0u);
    CHECK_EQ(slots.offset[1], 4u);
    CHECK_EQ(slots.offset[2], 5u);
    CHECK_EQ(slots.offset[3], 7u);
    CHECK_EQ(slots.total, 8u);

    const quarvel::VertexSlots none = quarvel::number_vertex_slots({});
    CHECK(none.offset.empty());
    CHECK_EQ(none.total, 0u);
}
