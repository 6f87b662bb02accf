#include "octree/build.hpp"

#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>

#include "core/fault.hpp"
#include "eval/sampler.hpp"
#include "octree/balance.hpp"
#include "octree/refine.hpp"

namespace quarvel {

namespace {

// A first batch that cannot fit in memory is refused up front, as an allocation
// failure, instead of letting the system kill the process halfway through.
void check_first_batch_fits(std::uint64_t side) {
    // Per point: key, query array row, the field's value and gradient (and as
    // much again for its own temporaries), the cached value and gradient; the
    // first lattice needs no index.
    constexpr double bytes_per_point = 12 + 24 + 2 * (8 + 24) + 8 + 25;
    const double points = static_cast<double>(side) * static_cast<double>(side) *
                          static_cast<double>(side);
    const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                          static_cast<double>(sysconf(_SC_PAGE_SIZE));
    if (memory > 0 && points * bytes_per_point > memory) throw std::bad_alloc();
}

Octree empty_tree(const BuildParams& params) {
    Octree tree;
    const Domain domain = cube_around(params.bbox_min, params.bbox_max);
    tree.origin = domain.origin;
    tree.size = domain.size;
    tree.iso_value = params.iso_value;
    tree.min_depth = params.min_depth;
    tree.max_depth = params.max_depth;
    return tree;
}

// ---------------------------------------------------------------- phase 1

// Every lattice point of min_depth, z outermost and x fastest, in one batch.
// Its values are read before any gradient is estimated.
void sample_first_lattice(FieldSampler& sampler, const Octree& tree, CornerCache& cache) {
    const std::uint64_t n = std::uint64_t{1} << tree.min_depth;
    check_first_batch_fits(n + 1);
    const unsigned s = tree.max_depth - tree.min_depth;
    const std::size_t count = static_cast<std::size_t>((n + 1) * (n + 1) * (n + 1));
    cache.start_with_lattice(static_cast<std::uint32_t>(n + 1), s);
    cache.reserve(count);
    CornerBatch batch;
    batch.reserve(count);
    for (std::uint32_t z = 0; z <= n; ++z)
        for (std::uint32_t y = 0; y <= n; ++y)
            for (std::uint32_t x = 0; x <= n; ++x) batch.queue(tree, cache, {x << s, y << s, z << s});
    batch.sample(sampler, cache, ShortValues::fault_before_estimate);
}

// ---------------------------------------------------------------- phase 2

OctreeNode assemble(Octree& tree, const CornerCache& cache, const CellKey& cell) {
    if (cell.level == tree.min_depth) {
        const CornerKey m = min_corner(cell, tree.max_depth);
        const std::uint32_t edge = 1u << (tree.max_depth - tree.min_depth);
        std::array<double, 8> values;
        for (unsigned i = 0; i < 8; ++i) {
            const std::uint32_t s = cache.index_of(corner_of(m, edge, i));
            if (s == CornerCache::NONE) fault("corner not in cache");
            values[i] = cache.value(s);
        }
        return make_cell(values, tree.iso_value);
    }
    ChildGroup group;
    for (unsigned c = 0; c < 8; ++c) group[c] = assemble(tree, cache, child_of(cell, c));
    auto all_are = [&](NodeKind kind) {
        for (const OctreeNode& child : group)
            if (kind_of(child) != kind) return false;
        return true;
    };
    if (all_are(NodeKind::inside)) return Inside{};
    if (all_are(NodeKind::outside)) return Outside{};
    tree.children.push_back(group);
    return Internal{static_cast<std::uint32_t>(tree.children.size() - 1)};
}

}  // namespace

// ---------------------------------------------------------------- phase 3

bool leaf_selected(const std::array<Vec3, 8>& g, double cos_threshold) {
    std::array<Vec3, 8> normals;
    std::array<double, 8> lengths;
    unsigned count = 0;
    for (unsigned i = 0; i < 8; ++i) {
        lengths[i] = length(g[i]);
        if (lengths[i] > 1e-12)
            normals[count++] = {g[i][0] / lengths[i], g[i][1] / lengths[i], g[i][2] / lengths[i]};
    }
    if (count >= 2) {
        double m = 1.0;
        for (unsigned i = 0; i < count; ++i)
            for (unsigned j = i + 1; j < count; ++j) m = min_ignoring_nan(m, dot(normals[i], normals[j]));
        if (cos_threshold > m) return true;
    }
    double gmin = DBL_MAX, gmax = 0.0;
    for (double len : lengths) {
        gmin = min_ignoring_nan(gmin, len);
        gmax = max_ignoring_nan(gmax, len);
    }
    return gmin > 1e-12 && gmax > 4.0 * gmin;
}

bool uniform_cell_selected(const Octree& tree, const CornerCache& cache, const CellKey& cell) {
    const CornerKey m = min_corner(cell, tree.max_depth);
    const std::uint32_t edge = 1u << (tree.max_depth - cell.level);
    double f = DBL_MAX, g = 0.0;
    CornerCache::Nearby cached(cache);
    for (unsigned i = 0; i < 8; ++i) {
        const std::uint32_t s = cached.index_of(corner_of(m, edge, i));
        if (s == CornerCache::NONE) continue;
        f = min_ignoring_nan(f, std::fabs(cache.value(s) - tree.iso_value));
        if (const Vec3* gradient = cache.gradient(s)) g = max_ignoring_nan(g, length(*gradient));
    }
    const double diagonal = (tree.size / pow2(cell.level)) * std::sqrt(3.0);
    return f < diagonal * (g * 1.5);
}

namespace {

// leaf_selected with the corner gradients of `cell` from the cache, where they
// stay unchanged from the leaf's making on; a Leaf whose corners do not all
// carry one is never selected.
bool leaf_selected_in_cache(const Octree& tree, const CornerCache& cache, const CellKey& cell,
                            double cos_threshold) {
    const CornerKey m = min_corner(cell, tree.max_depth);
    const std::uint32_t edge = 1u << (tree.max_depth - cell.level);
    std::array<Vec3, 8> gradients;
    CornerCache::Nearby cached(cache);
    for (unsigned i = 0; i < 8; ++i) {
        const std::uint32_t s = cached.index_of(corner_of(m, edge, i));
        const Vec3* g = s == CornerCache::NONE ? nullptr : cache.gradient(s);
        if (!g) return false;
        gradients[i] = *g;
    }
    return leaf_selected(gradients, cos_threshold);
}

// The non-Internal cells of `level` that the two tests above select, in walk
// order. No node lies deeper than `level` yet: the levels are refined in turn.
std::vector<CellKey> select_for_refinement(const Octree& tree, const CornerCache& cache,
                                           unsigned level, double cos_threshold) {
    return gather_leaves<CellKey>(tree, [&](const CellKey& cell, const OctreeNode& node,
                                            const NodePath&, std::vector<CellKey>& out) {
        if (cell.level != level) return;
        if (as_leaf(node) ? leaf_selected_in_cache(tree, cache, cell, cos_threshold)
                          : uniform_cell_selected(tree, cache, cell))
            out.push_back(cell);
    });
}

void refine_levels(FieldSampler& sampler, Octree& tree, CornerCache& cache, double cos_threshold) {
    for (unsigned level = tree.min_depth; level < tree.max_depth; ++level) {
        const std::vector<CellKey> selected = select_for_refinement(tree, cache, level, cos_threshold);
        if (selected.empty()) return;
        refine(sampler, tree, cache, one_level(selected), Pass::build);
        sampler.poll();
    }
}

// ---------------------------------------------------------------- phase 4

}  // namespace

namespace band_detail {

namespace {

// What the Leaf `key` (reached through `path`) asks of a band pass: itself
// when coarser than max_depth, else every uniform cell coarser than it beside
// it. Appended to `out`, repeats included.
void band_requests_at(const Octree& tree, const CellKey& key, const NodePath& path,
                      std::vector<CellKey>& out) {
    if (key.level < tree.max_depth) {
        out.push_back(key);
        return;
    }
    for_each_face_neighbour(key, [&](const CellKey& neighbour, unsigned axis) {
        const FoundNode found = find_face_neighbour(tree, path, key, neighbour, axis);
        if (found.level < key.level && is_uniform(*found.node))
            out.push_back(ancestor(neighbour, found.level));
    });
}

// Disjoint cells (and repeats) sorted as a depth-first walk meets them.
void sort_in_walk_order(std::vector<CellKey>& cells, unsigned max_depth) {
    if (max_depth > 21) {
        std::sort(cells.begin(), cells.end(), [&](const CellKey& a, const CellKey& b) {
            return walk_order_less(a, b, max_depth);
        });
        return;
    }
    // Disjoint cells have distinct minimum corners, so their codes order them.
    std::vector<std::pair<std::uint64_t, CellKey>> coded(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i)
        coded[i] = {walk_code(min_corner(cells[i], max_depth)), cells[i]};
    std::sort(coded.begin(), coded.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = coded[i].second;
}

// Finest Leaf nodes of the subtree of `cell` on its face toward `axis` side
// `high` (the side of larger coordinates), appended to `out`.
void finest_leaves_on_face(const Octree& tree, const OctreeNode& node, const CellKey& cell,
                           unsigned axis, bool high, std::vector<CellKey>& out) {
    walk_subtree(tree, node, cell, [&](const CellKey& k, const OctreeNode& n, const NodePath&) {
        const unsigned down = k.level - cell.level;
        const std::uint32_t face = high ? ((cell[axis] + 1u) << down) - 1u : cell[axis] << down;
        if (k[axis] != face) return false;
        if (is_internal(n)) return true;
        if (k.level == tree.max_depth && as_leaf(n)) out.push_back(k);
        return false;
    });
}

}  // namespace

std::vector<CellKey> band_requests(const Octree& tree) {
    return first_seen<CellKey>(gather_leaves<CellKey>(
        tree, [&](const CellKey& key, const OctreeNode& node, const NodePath& path,
                  std::vector<CellKey>& out) {
            if (as_leaf(node)) band_requests_at(tree, key, path, out);
        }));
}

std::vector<CellKey> band_requests(const Octree& tree, std::span<const CellKey> leaves) {
    std::vector<CellKey> requests;
    NodePath path{};
    for (const CellKey& key : leaves)
        if (as_leaf(*find_node_path(tree, key, path).node)) band_requests_at(tree, key, path, requests);
    return first_seen<CellKey>(requests);
}

// The leaves whose band requests may have changed since `refined` (cells just
// subdivided one level) were split: their new Leaf children, and the finest
// leaves beside them, whose face neighbours now lie deeper. Any other leaf
// finds what it found in the pass before, which asked for nothing or for a
// cell now split, whose neighbours are among these. In walk order, each once.
std::vector<CellKey> leaves_touched(const Octree& tree, std::span<const CellKey> refined) {
    std::vector<CellKey> out;
    for (const CellKey& cell : refined) {
        const FoundNode found = find_node(tree, cell.x, cell.y, cell.z, cell.level);
        const Internal* split = as_internal(*found.node);
        if (!split || found.level != cell.level) fault("refined cell is not in the tree");
        const ChildGroup& group = tree.group(split->group);
        for (unsigned c = 0; c < 8; ++c)
            if (as_leaf(group[c])) out.push_back(child_of(cell, c));
        for_each_face_neighbour(cell, [&](const CellKey& n, unsigned axis) {
            const FoundNode beside = find_node(tree, n.x, n.y, n.z, n.level);
            if (beside.level == n.level && is_internal(*beside.node))
                finest_leaves_on_face(tree, *beside.node, n, axis, n[axis] < cell[axis], out);
        });
    }
    sort_in_walk_order(out, tree.max_depth);
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace band_detail

namespace {

// Refines every surface leaf to max_depth, and the uniform cells beside finest
// surface leaves, one batch per pass, until a pass finds nothing. After a
// pass that split few cells (against the tree's size) only the leaves they
// touched are visited again; after many, a walk of the whole tree finds them
// sooner.
void refine_band(FieldSampler& sampler, Octree& tree, CornerCache& cache) {
    std::vector<CellKey> cells = band_detail::band_requests(tree);
    while (!cells.empty()) {
        refine(sampler, tree, cache, one_level(cells), Pass::build);
        sampler.poll();
        cells = cells.size() * 8 < tree.children.size() ? band_detail::band_requests(tree, band_detail::leaves_touched(tree, cells))
                                                         : band_detail::band_requests(tree);
    }
}

}  // namespace

BuildResult build_octree(Evaluator& field, const BuildParams& params) {
    Octree tree = empty_tree(params);
    FieldSampler sampler(field, fd_step(tree));
    CornerCache cache;

    sample_first_lattice(sampler, tree, cache);
    tree.root = assemble(tree, cache, CellKey{});
    sampler.poll();
    if (params.min_depth < params.max_depth) {
        refine_levels(sampler, tree, cache, cos_degrees(params.angle_threshold_deg));
        cache.forget_gradients();  // no later step reads them
        if (params.finish == Finish::balance)
            balance_octree(sampler, tree, cache);
        else
            refine_band(sampler, tree, cache);
    }
    return {std::move(tree), sampler.evaluations()};
}

}  // namespace quarvel
