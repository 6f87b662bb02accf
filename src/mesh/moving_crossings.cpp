#include "mesh/moving_crossings.hpp"

#include <algorithm>
#include <cmath>

#include "core/fault.hpp"
#include "core/ordered_gather.hpp"
#include "core/parallel.hpp"
#include "mesh/check.hpp"
#include "mesh/crossing_tests.hpp"

namespace quarvel {

namespace {

using detail::Aabb;

bool overlaps(const Box& a, const Aabb& b) {
    for (int k = 0; k < 3; ++k)
        if (b.hi[k] < a.lo[k] || a.hi[k] < b.lo[k]) return false;
    return true;
}

bool within(const Aabb& b, const Box& bound) {
    for (int k = 0; k < 3; ++k)
        if (!(b.lo[k] >= bound.lo[k] && b.hi[k] <= bound.hi[k])) return false;
    return true;
}

// The moving triangles' bounds on a grid of cells about twice their mean
// extent, coarser where that would take more than 2^24 cells, four per
// bound, or 16 entries per bound: each cell's bounds.
class BoundGrid {
public:
    explicit BoundGrid(std::span<const Box> bound) {
        const std::size_t n = bound.size();
        Vec3 hi{-INFINITY, -INFINITY, -INFINITY};
        origin_ = {INFINITY, INFINITY, INFINITY};
        double extent = 0.0;
        for (const Box& b : bound)
            for (int a = 0; a < 3; ++a) {
                origin_[a] = std::min(origin_[a], b.lo[a]);
                hi[a] = std::max(hi[a], b.hi[a]);
            }
        for (const Box& b : bound) extent += std::max({b.hi[0] - b.lo[0], b.hi[1] - b.lo[1], b.hi[2] - b.lo[2]});
        const Vec3 span = sub(hi, origin_);
        if (!is_finite(origin_) || !is_finite(span)) fault("a moving triangle's bound is not finite");
        for (double cell = std::max(2.0 * extent / static_cast<double>(n), 1e-300);; cell *= 2.0) {
            scale_ = 1.0 / cell;
            double count = 1.0;
            for (int a = 0; a < 3; ++a) count *= std::floor(span[a] * scale_) + 1.0;
            if (count > std::min(double{1 << 24}, 4.0 * static_cast<double>(n) + 1024.0)) continue;
            for (int a = 0; a < 3; ++a) dims_[a] = static_cast<std::uint64_t>(std::floor(span[a] * scale_)) + 1;
            std::uint64_t entries = 0;
            for (const Box& b : bound) entries += cells({b.lo, b.hi}).count();
            if (entries <= 16 * n) break;
        }
        // Each cell's bounds by counting: a start per cell (at most 2^24 of them).
        start_.assign(dims_[0] * dims_[1] * dims_[2] + 1, 0);
        for (std::uint64_t i = 0; i < n; ++i)
            cells({bound[i].lo, bound[i].hi}).each([&](std::uint64_t c) { ++start_[c + 1]; });
        for (std::size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
        std::vector<std::uint64_t> next(start_.begin(), start_.end() - 1);
        entries_.resize(start_.back());
        for (std::uint64_t i = 0; i < n; ++i)
            cells({bound[i].lo, bound[i].hi}).each([&](std::uint64_t c) { entries_[next[c]++] = i; });
    }

    // visit(i) once for every bound i that may meet `box`: from the cell
    // holding the low corner of where they would meet. False, visiting
    // none, for a box over more than 64 cells: the caller tries them all.
    template <class Visit>
    bool each_near(const Aabb& box, std::span<const Box> bound, Visit&& visit) const {
        const Range r = cells(box);
        if (r.empty) return true;
        if (r.count() > 64) return false;
        r.each([&](std::uint64_t c) {
            for (std::uint64_t e = start_[c]; e < start_[c + 1]; ++e) {
                const Box& b = bound[entries_[e]];
                if (!overlaps(b, box)) continue;
                const Vec3 corner{std::max(b.lo[0], box.lo[0]), std::max(b.lo[1], box.lo[1]),
                                  std::max(b.lo[2], box.lo[2])};
                if (cells({corner, corner}).first() == c) visit(entries_[e]);
            }
        });
        return true;
    }

private:
    struct Range {
        std::array<std::uint64_t, 3> lo{}, hi{}, dims{};
        bool empty = false;
        std::uint64_t count() const { return (hi[0] - lo[0] + 1) * (hi[1] - lo[1] + 1) * (hi[2] - lo[2] + 1); }
        std::uint64_t first() const { return (lo[0] * dims[1] + lo[1]) * dims[2] + lo[2]; }
        template <class Visit>
        void each(Visit&& visit) const {
            for (std::uint64_t x = lo[0]; x <= hi[0]; ++x)
                for (std::uint64_t y = lo[1]; y <= hi[1]; ++y)
                    for (std::uint64_t z = lo[2]; z <= hi[2]; ++z) visit((x * dims[1] + y) * dims[2] + z);
        }
    };

    // A box's cells, clamped into the grid; empty when it lies outside (or is not finite).
    Range cells(const Aabb& b) const {
        Range r;
        r.dims = dims_;
        for (int a = 0; a < 3; ++a) {
            const double lo = std::floor((b.lo[a] - origin_[a]) * scale_);
            const double hi = std::floor((b.hi[a] - origin_[a]) * scale_);
            const double last = static_cast<double>(dims_[a] - 1);
            if (!(hi >= 0.0 && lo <= last)) return {.empty = true};
            r.lo[a] = lo < 0.0 ? 0 : static_cast<std::uint64_t>(lo);
            r.hi[a] = hi > last ? dims_[a] - 1 : static_cast<std::uint64_t>(hi);
        }
        return r;
    }

    Vec3 origin_{};
    double scale_ = 1.0;
    std::array<std::uint64_t, 3> dims_{1, 1, 1};
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
    : moving_(moving.begin(), moving.end()), bound_(bound.begin(), bound.end()) {
    if (bound.size() != moving.size()) fault("a moving triangle without a bound");
    start_.assign(moving.size() + 1, 0);
    if (moving.empty()) return;
    for (std::size_t i = 1; i < moving.size(); ++i)
        if (moving[i] <= moving[i - 1]) fault("moving triangles out of order");
    if (moving.back() >= triangles.size()) fault("a moving triangle beyond the mesh");
    const BoundGrid grid(bound);
    std::vector<std::uint8_t> is_moving(triangles.size(), 0);
    for (std::uint64_t t : moving) is_moving[t] = 1;
    // (i, partner) for every triangle whose box, or bound if it moves, meets
    // bound[i], each once; a triangle that does not move keeps its box with it.
    std::vector<Link> links = parallel_gather<Link>(triangles.size(), [&](std::size_t u, std::vector<Link>& out) {
        if (is_moving[u]) return;
        const std::optional<Aabb> b = detail::live_box(vertices, triangles[u]);
        if (!b) return;
        const auto link = [&](std::uint64_t i) {
            if (overlaps(bound[i], *b)) out.push_back({i, u, *b});
        };
        if (!grid.each_near(*b, bound, link))
            for (std::uint64_t i = 0; i < moving.size(); ++i) link(i);
    });
    std::vector<Link> among = parallel_gather<Link>(moving.size(), [&](std::size_t i, std::vector<Link>& out) {
        const Aabb b{bound[i].lo, bound[i].hi};
        const auto link = [&](std::uint64_t j) {
            if (j != i && overlaps(bound[j], b)) out.push_back({i, moving[j], MOVES});
        };
        if (!grid.each_near(b, bound, link))
            for (std::uint64_t j = 0; j < moving.size(); ++j) link(j);
    });
    Aabb all{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
    const auto widen = [&](const Vec3& lo, const Vec3& hi) {
        for (int a = 0; a < 3; ++a) {
            all.lo[a] = std::min(all.lo[a], lo[a]);
            all.hi[a] = std::max(all.hi[a], hi[a]);
        }
    };
    for (const Box& b : bound) widen(b.lo, b.hi);
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
