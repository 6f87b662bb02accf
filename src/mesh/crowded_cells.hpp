// The crossing search inside a grid cell that holds many triangles: split
// further where the triangles' boxes allow, else swept along the direction
// that separates them best, within a budget of tests when the search is
// bounded. Internal to the mesh check.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "mesh/crossing_tests.hpp"
#include "mesh/check.hpp"

namespace quarvel::detail {

// Cells with more triangles than this go to crowded_pairs. Cells of meshes
// of even-sized triangles hold a few dozen.
inline constexpr std::size_t CROWDED = 128;

// The work a bounded search may spend on a crowded cell, per triangle in it:
// about 256 crossing tests, or 2048 pairs whose boxes turn out apart. A
// dense cluster of triangles that is no pile (1,500 in a box five times
// their size, each crossing a few) takes under a fifth of it.
inline constexpr std::uint64_t CROWDED_WORK = 2048;

// The pairs one part of a search found: all counted, the smallest `limit`
// kept (at most about twice that are held meanwhile, so that memory stays
// bounded when nearly every pair crosses).
class FoundPairs {
public:
    explicit FoundPairs(std::uint64_t limit = UINT64_MAX)
        : limit_(limit), trim_at_(limit > UINT64_MAX / 4 ? UINT64_MAX : 2 * limit + 1024) {}

    void add(std::uint64_t a, std::uint64_t b) {
        pairs.push_back({a, b});
        ++count;
        if (pairs.size() >= trim_at_) keep_first();
    }
    // Down to the smallest `limit` pairs, in no particular order.
    void keep_first() {
        if (pairs.size() <= limit_) return;
        std::nth_element(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(limit_), pairs.end());
        pairs.resize(limit_);
    }

    std::vector<TrianglePair> pairs;
    std::uint64_t count = 0;
    bool complete = true;

private:
    std::uint64_t limit_, trim_at_;
};

// A triangle of a crowded cell: its box, the grid's flags for it in that
// cell (bits 0 to 2: its box begins in the cell along x, y, z; bit 3: it is
// focused), and its place among `members`.
struct CrowdedItem {
    Aabb box;
    std::uint64_t flags;
    std::uint64_t member;
};

// Adds to `out` the crossing pairs among `items` that the cell owns (every
// axis flagged by one of the two, one of them focused) and whose boxes
// overlap: the pairs the plain pair loop over the cell would find, unless a
// bounded search runs out of its budget (CROWDED_WORK per item; `out`
// is then marked incomplete).
void crowded_pairs(std::vector<CrowdedItem> items, std::span<const Member> members, const CrossingSearch& search,
                   FoundPairs& out);

}  // namespace quarvel::detail
