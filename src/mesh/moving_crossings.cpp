#include "mesh/moving_crossings.hpp"

#include <algorithm>
#include <cmath>

#include "core/fault.hpp"
#include "core/ordered_gather.hpp"
#include "core/parallel.hpp"
#include "mesh/box_grid.hpp"
#include "mesh/check.hpp"
#include "mesh/crossing_tests.hpp"

namespace quarvel {

namespace {

using detail::Aabb;
using detail::BoxGrid;

bool within(const Aabb& b, const Aabb& bound) {
    for (int k = 0; k < 3; ++k)
        if (!(b.lo[k] >= bound.lo[k] && b.hi[k] <= bound.hi[k])) return false;
    return true;
}

// The moving triangles' bounds on a grid of cells about twice their mean
// extent, coarser where that would take more than 2^24 cells, four per
// bound, or 16 entries per bound: each cell's bounds.
class BoundGrid {
public:
    explicit BoundGrid(std::span<const Aabb> bound) {
        const std::size_t n = bound.size();
        Aabb all{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
        double extent = 0.0;
        for (const Aabb& b : bound) {
            for (int a = 0; a < 3; ++a) {
                all.lo[a] = std::min(all.lo[a], b.lo[a]);
                all.hi[a] = std::max(all.hi[a], b.hi[a]);
            }
            extent += std::max({b.hi[0] - b.lo[0], b.hi[1] - b.lo[1], b.hi[2] - b.lo[2]});
        }
        const double cells = std::min(double{1 << 24}, 4.0 * static_cast<double>(n) + 1024.0);
        const std::optional<BoxGrid> grid =
            BoxGrid::fit(all, 2.0 * extent / static_cast<double>(n), cells, n, [&](auto&& visit) {
                for (const Aabb& b : bound) visit(b);
            });
        if (!grid) fault("a moving triangle's bound is not finite");
        grid_ = *grid;
        // Each cell's bounds by counting: a start per cell.
        start_.assign(grid_.size() + 1, 0);
        for (const Aabb& b : bound) grid_.cells(b).each([&](std::uint64_t c) { ++start_[c + 1]; });
        for (std::size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
        std::vector<std::uint64_t> next(start_.begin(), start_.end() - 1);
        entries_.resize(start_.back());
        for (std::uint64_t i = 0; i < n; ++i)
            grid_.cells(bound[i]).each([&](std::uint64_t c) { entries_[next[c]++] = i; });
    }

    // visit(i) once for every bound i that may meet `box`: from the cell
    // holding the low corner of where they would meet. False, visiting
    // none, for a box over more than 64 cells: the caller tries them all.
    template <class Visit>
    bool each_near(const Aabb& box, std::span<const Aabb> bound, Visit&& visit) const {
        const BoxGrid::Range r = grid_.cells(box);
        if (r.empty) return true;
        if (r.count() > 64) return false;
        r.each([&](std::uint64_t c) {
            for (std::uint64_t e = start_[c]; e < start_[c + 1]; ++e) {
                const Aabb& b = bound[entries_[e]];
                if (!b.overlaps(box)) continue;
                const Vec3 corner{std::max(b.lo[0], box.lo[0]), std::max(b.lo[1], box.lo[1]),
                                  std::max(b.lo[2], box.lo[2])};
                if (grid_.cells({corner, corner}).first() == c) visit(entries_[e]);
            }
        });
        return true;
    }

private:
    BoxGrid grid_;
    std::vector<std::uint64_t> start_, entries_;
};

// A triangle that may meet moving triangle `moving`, with its box if it stays
// put, else MOVES.
struct Link {
    std::uint64_t moving, partner;
    Aabb partner_box;
};
const Aabb MOVES{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};

// Where the whole search leaves coordinates as they are (see find_crossings).
bool unscaled(const Aabb& all) {
    const Vec3 span3 = sub(all.hi, all.lo);
    const double span = std::max({span3[0], span3[1], span3[2]});
    return span == 0.0 || (span >= 0x1p-64 && span <= 0x1p64);
}

}  // namespace

MovingCrossings::MovingCrossings(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                                 std::span<const std::uint64_t> moving, std::span<const Box> bound)
    : moving_(moving.begin(), moving.end()) {
    if (bound.size() != moving.size()) fault("a moving triangle without a bound");
    bound_.reserve(bound.size());
    for (const Box& b : bound) bound_.push_back({b.lo, b.hi});
    start_.assign(moving.size() + 1, 0);
    if (moving.empty()) return;
    for (std::size_t i = 1; i < moving.size(); ++i)
        if (moving[i] <= moving[i - 1]) fault("moving triangles out of order");
    if (moving.back() >= triangles.size()) fault("a moving triangle beyond the mesh");
    const BoundGrid grid(bound_);
    std::vector<std::uint8_t> is_moving(triangles.size(), 0);
    for (std::uint64_t t : moving) is_moving[t] = 1;
    // (i, partner) for every triangle whose box, or bound if it moves, meets
    // bound[i], each once; a triangle that does not move keeps its box with it.
    std::vector<Link> links = parallel_gather<Link>(triangles.size(), [&](std::size_t u, std::vector<Link>& out) {
        if (is_moving[u]) return;
        const std::optional<Aabb> b = detail::live_box(vertices, triangles[u]);
        if (!b) return;
        const auto link = [&](std::uint64_t i) {
            if (bound_[i].overlaps(*b)) out.push_back({i, u, *b});
        };
        if (!grid.each_near(*b, bound_, link))
            for (std::uint64_t i = 0; i < moving.size(); ++i) link(i);
    });
    std::vector<Link> among = parallel_gather<Link>(moving.size(), [&](std::size_t i, std::vector<Link>& out) {
        const Aabb& b = bound_[i];
        const auto link = [&](std::uint64_t j) {
            if (j != i && bound_[j].overlaps(b)) out.push_back({i, moving[j], MOVES});
        };
        if (!grid.each_near(b, bound_, link))
            for (std::uint64_t j = 0; j < moving.size(); ++j) link(j);
    });
    Aabb all{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
    const auto widen = [&](const Vec3& lo, const Vec3& hi) {
        for (int a = 0; a < 3; ++a) {
            all.lo[a] = std::min(all.lo[a], lo[a]);
            all.hi[a] = std::max(all.hi[a], hi[a]);
        }
    };
    for (const Aabb& b : bound_) widen(b.lo, b.hi);
    for (const std::vector<Link>* part : {&links, &among})
        for (const Link& l : *part) {
            ++start_[l.moving + 1];
            if (l.partner_box.lo[0] <= l.partner_box.hi[0]) widen(l.partner_box.lo, l.partner_box.hi);
        }
    for (std::size_t i = 0; i < moving.size(); ++i) start_[i + 1] += start_[i];
    std::vector<std::uint64_t> next(start_.begin(), start_.end() - 1);
    partner_.resize(start_.back());
    partner_box_.resize(start_.back());
    for (const std::vector<Link>* part : {&links, &among})
        for (const Link& l : *part) {
            partner_[next[l.moving]] = l.partner;
            partner_box_[next[l.moving]++] = l.partner_box;
        }
    unscaled_ = unscaled(all);
}

std::vector<TrianglePair> MovingCrossings::crossing(std::span<const Vec3> vertices,
                                                    std::span<const Triangle> triangles,
                                                    std::span<const std::uint8_t> focus) const {
    if (!unscaled_) return intersecting_pairs(vertices, triangles, focus);
    std::vector<TrianglePair> pairs =
        parallel_gather<TrianglePair>(moving_.size(), [&](std::size_t i, std::vector<TrianglePair>& out) {
            const std::uint64_t t = moving_[i];
            const std::optional<Aabb> b = detail::live_box(vertices, triangles[t]);
            if (!b) return;
            if (!within(*b, bound_[i])) fault("a moving triangle left its bound");
            if (!focus[t]) return;
            const detail::Facet f(vertices, triangles[t]);
            for (std::size_t k = start_[i]; k < start_[i + 1]; ++k) {
                const std::uint64_t u = partner_[k];
                const Aabb& kept = partner_box_[k];
                if (kept.lo[0] <= kept.hi[0]) {
                    if (!b->overlaps(kept)) continue;
                } else {
                    if (focus[u] && u < t) continue;  // found from u
                    const std::optional<Aabb> c = detail::live_box(vertices, triangles[u]);
                    if (!c || !b->overlaps(*c)) continue;
                }
                if (detail::triangles_cross(f, detail::Facet(vertices, triangles[u])))
                    out.push_back({std::min(t, u), std::max(t, u)});
            }
        });
    // Every focused triangle must be a moving one: its partners are known only then.
    std::uint64_t focused = 0, focused_moving = 0;
    for (std::uint8_t f : focus) focused += f != 0;
    for (std::uint64_t t : moving_) focused_moving += focus[t] != 0;
    if (focused != focused_moving) fault("a focused triangle does not move");
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

}  // namespace quarvel
