#include "octree/guard.hpp"

#include <array>
#include <bit>
#include <cmath>

#include "core/fault.hpp"
#include "core/ordered_gather.hpp"

namespace quarvel {

namespace {

// A field steeper than L by less than this is taken for one whose factor was
// set a little low; more, and its values say nothing about distance.
constexpr double kSteepnessMargin = 2.0;

// The farthest point of octant j from corner i, in cell edges, by the number of
// axes on which they lie on the same side (3 - popcount(i ^ j)): half an edge
// along those axes, a whole edge along the others.
constexpr std::array<double, 4> kFarthest = {1.7320508075688772, 1.5, 1.224744871391589,
                                             0.8660254037844386};

// Whether every corner of `cell` is cached with a value (infinite ones too) on
// one side of the iso value.
bool uniform_by_signs(const Octree& tree, const CornerCache& cache, const CellKey& cell) {
    const CornerKey m = min_corner(cell, tree.max_depth);
    const std::uint32_t edge = 1u << (tree.max_depth - cell.level);
    bool any_below = false, any_above = false;
    CornerCache::Nearby cached(cache);
    for (unsigned i = 0; i < 8; ++i) {
        const std::uint32_t s = cached.index_of(corner_of(m, edge, i));
        if (s == CornerCache::NONE || std::isnan(cache.value(s))) return false;
        (cache.value(s) - tree.iso_value < 0 ? any_below : any_above) = true;
    }
    return !(any_below && any_above);
}

}  // namespace

bool CellBounds::available() { return field_.eval_bounds({}, {}); }

void CellBounds::bound(const Octree& tree, std::span<const CellKey> cells) {
    std::vector<CellKey> fresh;
    std::vector<Box> boxes;
    constexpr std::size_t kAhead = 16;  // the set outgrows the caches: fetch its slots ahead
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i + kAhead < cells.size()) bounded_.prefetch(cells[i + kAhead]);
        const CellKey& cell = cells[i];
        if (!bounded_.insert(cell)) continue;  // asked for twice in one list
        const CornerKey m = min_corner(cell, tree.max_depth);
        const std::uint32_t edge = 1u << (tree.max_depth - cell.level);
        // The positions the corners were sampled at, so the box holds every sample.
        boxes.push_back({tree.position(m), tree.position(corner_of(m, edge, 7))});
        fresh.push_back(cell);
    }
    if (fresh.empty()) return;
    std::vector<Interval> bounds(fresh.size());
    if (!field_.eval_bounds(boxes, bounds)) fault("a field that gave bounds gave none");
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        if (i + kAhead < fresh.size()) proven_.prefetch(fresh[i + kAhead]);
        // NaN bounds compare false: unknown is unproven.
        if (bounds[i].lo > tree.iso_value || bounds[i].hi < tree.iso_value) proven_.insert(fresh[i]);
    }
}

void EmptinessProof::prepare(const Octree& tree, const CornerCache& cache, std::span<const CellKey> cells) const {
    if (!active || !bounds) return;
    bounds->bound(tree, parallel_filter(cells, [&](std::size_t i) {
                      return !bounds->bounded(cells[i]) && uniform_by_signs(tree, cache, cells[i]);
                  }));
}

bool EmptinessProof::unproven(const Octree& tree, const CornerCache& cache, const CellKey& cell) const {
    if (!active) return false;
    if (bounds) return !bounds->proven(cell) && uniform_by_signs(tree, cache, cell);
    const CornerKey m = min_corner(cell, tree.max_depth);
    const std::uint32_t edge = 1u << (tree.max_depth - cell.level);
    const double cell_edge = tree.size / pow2(cell.level);
    std::array<double, 8> reach;  // the empty ball's radius around each corner, in cell edges
    bool any_below = false, any_above = false;
    CornerCache::Nearby cached(cache);
    for (unsigned i = 0; i < 8; ++i) {
        const std::uint32_t s = cached.index_of(corner_of(m, edge, i));
        if (s == CornerCache::NONE || !std::isfinite(cache.value(s))) return false;
        const double f = cache.value(s) - tree.iso_value;
        (f < 0 ? any_below : any_above) = true;
        reach[i] = std::fabs(f) / (lipschitz * cell_edge);
    }
    if (any_below && any_above) return false;
    for (unsigned j = 0; j < 8; ++j) {
        bool covered = false;
        for (unsigned i = 0; i < 8 && !covered; ++i)
            covered = reach[i] > kFarthest[3 - std::popcount(i ^ j)];
        if (!covered) return true;
    }
    return false;
}

Examination::Examination(const Octree& tree, const EmptinessProof& proof) : proof_(proof) {
    if (!proof.active) return;
    walk_leaves(tree, [&](const CellKey& key, const OctreeNode& node, const NodePath&) {
        if (is_uniform(node) && key.level < tree.max_depth) candidates_.push_back(key);
    });
}

std::vector<CellKey> Examination::unproven(const Octree& tree, const CornerCache& cache) {
    std::vector<CellKey> leaves = parallel_filter(std::span<const CellKey>(candidates_),
                                                  [&](std::size_t i) { return is_uniform_leaf(tree, candidates_[i]); });
    candidates_.clear();
    proof_.prepare(tree, cache, leaves);
    return parallel_filter(std::span<const CellKey>(leaves),
                           [&](std::size_t i) { return proof_.unproven(tree, cache, leaves[i]); });
}

void Examination::refined(std::span<const CellKey> cells, unsigned max_depth) {
    if (!proof_.active) return;
    candidates_.clear();
    for (const CellKey& cell : cells)
        if (cell.level + 1u < max_depth)
            for (unsigned c = 0; c < 8; ++c) candidates_.push_back(child_of(cell, c));
}

GuardOutcome judge_first_lattice(const Octree& tree, const CornerCache& cache,
                                 const EmptinessProof& proof, double& steepest) {
    steepest = 0.0;
    if (!proof.active) return GuardOutcome::off;
    const std::uint32_t n = 1u << tree.min_depth;
    const std::uint32_t step = 1u << (tree.max_depth - tree.min_depth);
    const double edge = tree.size / pow2(tree.min_depth);
    bool infinite = false;
    for (std::uint32_t z = 0; z <= n; ++z)
        for (std::uint32_t y = 0; y <= n; ++y)
            for (std::uint32_t x = 0; x <= n; ++x) {
                const CornerKey key{x * step, y * step, z * step};
                const std::uint32_t here = cache.index_of(key);
                if (here == CornerCache::NONE) continue;
                infinite = infinite || std::isinf(cache.value(here));
                const std::uint32_t at[3] = {x, y, z};
                for (unsigned axis = 0; axis < 3; ++axis) {
                    if (at[axis] == n) continue;
                    CornerKey next = key;
                    (axis == 0 ? next.x : axis == 1 ? next.y : next.z) += step;
                    const std::uint32_t there = cache.index_of(next);
                    if (there == CornerCache::NONE) continue;
                    const double slope = std::fabs(cache.value(there) - cache.value(here)) / edge;
                    if (slope > steepest) steepest = slope;  // a NaN slope never counts
                }
            }
    if (proof.bounds) return GuardOutcome::bounds;
    if (infinite) return GuardOutcome::infinite_values;
    if (steepest > kSteepnessMargin * proof.lipschitz) return GuardOutcome::too_steep;
    return GuardOutcome::on;
}

}  // namespace quarvel
