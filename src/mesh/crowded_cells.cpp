#include "mesh/crowded_cells.hpp"

#include <cmath>
#include <limits>

namespace quarvel::detail {

namespace {

// Items tested pair by pair; larger sets are split or swept first.
constexpr std::size_t LEAF = 48;
// The budget's units: a candidate pair looked at (flags, boxes) costs 1, a
// pair put to the crossing test about eight times that, as in time.
constexpr std::uint64_t PAIR_TEST = 8;
constexpr int MAX_DEPTH = 48;
constexpr std::uint64_t ALL_FLAGS = 15;
constexpr double INF = std::numeric_limits<double>::infinity();

// Where the low corner of a pair's box overlap must lie, [lo, hi) along each
// axis: a split sends each pair to exactly one side.
struct Region {
    Vec3 lo{-INF, -INF, -INF}, hi{INF, INF, INF};
    bool holds(const Vec3& x) const {
        for (int a = 0; a < 3; ++a)
            if (!(lo[a] <= x[a] && x[a] < hi[a])) return false;
        return true;
    }
};

// An item's interval along a sweep's direction.
struct Interval {
    double lo, hi;
    std::uint64_t item;
    bool operator<(const Interval& o) const { return lo != o.lo ? lo < o.lo : item < o.item; }
};

// Intervals sorted by their low ends: for each, the intervals after it that
// begin before it ends, end[i] (exclusive).
std::vector<std::size_t> overlap_ends(const std::vector<Interval>& sorted) {
    std::vector<std::size_t> end(sorted.size());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const auto after = std::upper_bound(sorted.begin() + static_cast<std::ptrdiff_t>(i) + 1, sorted.end(),
                                            sorted[i].hi, [](double x, const Interval& v) { return x < v.lo; });
        end[i] = static_cast<std::size_t>(after - sorted.begin());
    }
    return end;
}

class Crowd {
public:
    Crowd(std::span<const Member> members, const CrossingSearch& search, FoundPairs& out, std::uint64_t budget)
        : members_(members), search_(search), out_(out), left_(budget) {}

    void split(std::vector<CrowdedItem> items, const Region& region, int depth) {
        const std::size_t n = items.size();
        if (n <= LEAF || depth == MAX_DEPTH) return leaf(items, region);
        if (!spend(n)) return;
        // At the median of the boxes' centres along the axis where they
        // spread widest that leaves both sides smaller and sends few boxes
        // both ways.
        std::array<double, 3> lo{INF, INF, INF}, hi{-INF, -INF, -INF};
        for (const CrowdedItem& it : items)
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], centre(it, a));
                hi[a] = std::max(hi[a], centre(it, a));
            }
        std::array<int, 3> axes{0, 1, 2};
        std::sort(axes.begin(), axes.end(), [&](int a, int b) { return hi[a] - lo[a] > hi[b] - lo[b]; });
        for (int a : axes) {
            if (!(hi[a] > lo[a])) break;
            centres_.clear();
            for (const CrowdedItem& it : items) centres_.push_back(centre(it, a));
            std::nth_element(centres_.begin(), centres_.begin() + static_cast<std::ptrdiff_t>(n / 2), centres_.end());
            const double s = centres_[n / 2];
            if (!(region.lo[a] < s && s < region.hi[a])) continue;
            std::size_t below = 0, above = 0;
            for (const CrowdedItem& it : items) {
                below += it.box.lo[a] < s;
                above += it.box.hi[a] >= s;
            }
            if (below == n || above == n || below + above > n + n / 2) continue;
            // A pair's overlap begins below s exactly when both boxes do, and
            // at or above s only when both reach s.
            std::vector<CrowdedItem> upper;
            upper.reserve(above);
            for (const CrowdedItem& it : items)
                if (it.box.hi[a] >= s) upper.push_back(it);
            std::erase_if(items, [&](const CrowdedItem& it) { return !(it.box.lo[a] < s); });
            Region lower_region = region, upper_region = region;
            lower_region.hi[a] = s;
            upper_region.lo[a] = s;
            split(std::move(items), lower_region, depth + 1);
            split(std::move(upper), upper_region, depth + 1);
            return;
        }
        leaf(items, region);
    }

private:
    static double centre(const CrowdedItem& it, int a) { return 0.5 * it.box.lo[a] + 0.5 * it.box.hi[a]; }

    // Takes n tests from the budget; false, with the search marked
    // incomplete, when they are not there. Checks for a stop now and then.
    bool spend(std::uint64_t n) {
        since_check_ += n;
        if (since_check_ >= 4096) {
            since_check_ = 0;
            check_stop(search_.stop);
        }
        if (!search_.bounded) return true;
        if (n > left_) {
            left_ = 0;
            out_.complete = false;
            return false;
        }
        left_ -= n;
        return true;
    }

    void leaf(const std::vector<CrowdedItem>& items, const Region& region) {
        const std::size_t n = items.size();
        if (n > LEAF) return sweep(items, region);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            if (!spend(n - i - 1)) return;
            for (std::size_t j = i + 1; j < n; ++j)
                if (!test(items[i], items[j], region)) return;
        }
    }

    // Tests the pairs whose intervals overlap along whichever direction
    // leaves the fewest: an axis (on the boxes themselves) or the normal of
    // a triangle (stacked parallel triangles lie apart only along it).
    void sweep(const std::vector<CrowdedItem>& items, const Region& region) {
        std::vector<Interval> best;
        std::vector<std::size_t> best_end;
        std::uint64_t fewest = UINT64_MAX;
        const auto consider = [&](std::vector<Interval> along) {
            if (!spend(along.size())) return;
            std::sort(along.begin(), along.end());
            std::vector<std::size_t> end = overlap_ends(along);
            std::uint64_t pairs = 0;
            for (std::size_t i = 0; i < end.size(); ++i) pairs += end[i] - i - 1;
            if (pairs >= fewest) return;
            fewest = pairs;
            best = std::move(along);
            best_end = std::move(end);
        };
        for (int a = 0; a < 3; ++a) {
            std::vector<Interval> along;
            for (std::size_t i = 0; i < items.size(); ++i) along.push_back({items[i].box.lo[a], items[i].box.hi[a], i});
            consider(std::move(along));
        }
        for (std::size_t k : {std::size_t{0}, items.size() / 2}) {
            const Vec3& n = members_[items[k].member].facet.n;
            const double ln = length(n);
            if (ln > 0.0) consider(along_normal(items, {n[0] / ln, n[1] / ln, n[2] / ln}));
        }
        for (std::size_t i = 0; i < best.size(); ++i) {
            if (!spend(best_end[i] - i - 1)) return;
            for (std::size_t j = i + 1; j < best_end[i]; ++j)
                if (!test(items[best[i].item], items[best[j].item], region)) return;
        }
    }

    // Each item's extent along unit u, widened so that two items whose
    // widened intervals lie apart cannot cross: the vertices of each then lie
    // strictly on one side of the other's plane, as the side test computes
    // it. A triangle turned by angle phi from u reaches sin(phi) * D off its
    // plane within the crowd's box (diameter D), so along u its plane's side
    // is known beyond (sin(phi) D) / cos(phi); 2^-40 of D and of the largest
    // coordinate M covers every rounding of sides and projections many times
    // over. A triangle turned more than about 75 degrees from u spans every
    // interval; one without a plane (its normal zero) has nothing to cross.
    std::vector<Interval> along_normal(const std::vector<CrowdedItem>& items, const Vec3& u) const {
        Aabb all{items[0].box};
        for (const CrowdedItem& it : items)
            for (int a = 0; a < 3; ++a) {
                all.lo[a] = std::min(all.lo[a], it.box.lo[a]);
                all.hi[a] = std::max(all.hi[a], it.box.hi[a]);
            }
        const double diameter = length(sub(all.hi, all.lo));
        double largest = 0.0;
        for (int a = 0; a < 3; ++a) largest = std::max({largest, std::fabs(all.lo[a]), std::fabs(all.hi[a])});
        const double slack = std::ldexp(1.0, -40);
        std::vector<Interval> along;
        along.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            const Facet& f = members_[items[i].member].facet;
            const double ln = length(f.n);
            double margin = 0.0;
            if (ln > 0.0) {
                const double cosine = std::fabs(dot(u, f.n)) / ln;
                const double sine = length(cross(u, f.n)) / ln;
                margin = cosine < 0.25 ? INF
                                       : (sine * diameter + slack * (diameter + largest)) / cosine + slack * largest;
            }
            double lo = INF, hi = -INF;
            for (const Vec3& p : f.p) {
                lo = std::min(lo, dot(u, p));
                hi = std::max(hi, dot(u, p));
            }
            along.push_back({lo - margin, hi + margin, i});
        }
        return along;
    }

    // The pair loop's conditions, with the region's, and the pair test;
    // false when the budget ran out.
    bool test(const CrowdedItem& a, const CrowdedItem& b, const Region& region) {
        if (((a.flags | b.flags) & ALL_FLAGS) != ALL_FLAGS || !a.box.overlaps(b.box)) return true;
        Vec3 corner;
        for (int k = 0; k < 3; ++k) corner[k] = std::max(a.box.lo[k], b.box.lo[k]);
        if (!region.holds(corner)) return true;
        if (!spend(PAIR_TEST)) return false;
        const Member &m = members_[a.member], &n = members_[b.member];
        if (triangles_cross(m.facet, n.facet))
            out_.add(std::min(m.triangle, n.triangle), std::max(m.triangle, n.triangle));
        return true;
    }

    std::span<const Member> members_;
    const CrossingSearch& search_;
    FoundPairs& out_;
    std::uint64_t left_;
    std::uint64_t since_check_ = 0;
    std::vector<double> centres_;
};

}  // namespace

void crowded_pairs(std::vector<CrowdedItem> items, std::span<const Member> members, const CrossingSearch& search,
                   FoundPairs& out) {
    const std::uint64_t budget = CROWDED_WORK * items.size();
    Crowd(members, search, out, budget).split(std::move(items), Region{}, 0);
}

}  // namespace quarvel::detail
