#include "octree/build.hpp"

#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>

#include "core/fault.hpp"
#include "core/monitor.hpp"
#include "core/ordered_gather.hpp"
#include "eval/sampler.hpp"
#include "octree/balance.hpp"
#include "octree/guard.hpp"
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

// Every cell of `level`, z outermost and x fastest.
std::vector<CellKey> cells_of_level(unsigned level) {
    const std::uint32_t n = 1u << level;
    std::vector<CellKey> cells;
    cells.reserve(std::size_t{n} * n * n);
    for (std::uint32_t z = 0; z < n; ++z)
        for (std::uint32_t y = 0; y < n; ++y)
            for (std::uint32_t x = 0; x < n; ++x) cells.push_back({x, y, z, static_cast<std::uint8_t>(level)});
    return cells;
}

// A node of the assembly, and whether it may merge with its siblings: always
// by signs; with the guard, only when proven.
struct Assembled {
    OctreeNode node;
    bool mergeable = true;
};

Assembled assemble(Octree& tree, const CornerCache& cache, const CellKey& cell,
                   const EmptinessProof& proof) {
    if (cell.level == tree.min_depth) {
        const CornerKey m = min_corner(cell, tree.max_depth);
        const std::uint32_t edge = 1u << (tree.max_depth - tree.min_depth);
        std::array<double, 8> values;
        for (unsigned i = 0; i < 8; ++i) {
            const std::uint32_t s = cache.index_of(corner_of(m, edge, i));
            if (s == CornerCache::NONE) fault("corner not in cache");
            values[i] = cache.value(s);
        }
        return {make_cell(values, tree.iso_value), !proof.unproven(tree, cache, cell)};
    }
    ChildGroup group;
    bool mergeable = true;
    for (unsigned c = 0; c < 8; ++c) {
        const Assembled child = assemble(tree, cache, child_of(cell, c), proof);
        group[c] = child.node;
        mergeable = mergeable && child.mergeable;
    }
    auto all_are = [&](NodeKind kind) {
        for (const OctreeNode& child : group)
            if (kind_of(child) != kind) return false;
        return true;
    };
    if (mergeable && all_are(NodeKind::inside)) return {Inside{}};
    if (mergeable && all_are(NodeKind::outside)) return {Outside{}};
    tree.children.push_back(group);
    return {Internal{static_cast<std::uint32_t>(tree.children.size() - 1)}, false};
}

}  // namespace

// ---------------------------------------------------------------- phase 3

std::array<Vec3, 8> cell_gradients(const std::array<double, 8>& values, double edge) {
    std::array<Vec3, 8> g;
    for (unsigned i = 0; i < 8; ++i)
        for (unsigned a = 0; a < 3; ++a) {
            const unsigned low = i & ~(1u << a), high = i | (1u << a);
            g[i][a] = (values[high] - values[low]) / edge;
        }
    return g;
}

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
    const double cell_edge = tree.size / pow2(cell.level);
    double f = DBL_MAX, g = 0.0;
    std::array<double, 8> values{};
    bool every_corner = true, any_without_gradient = false;
    CornerCache::Nearby cached(cache);
    for (unsigned i = 0; i < 8; ++i) {
        const std::uint32_t s = cached.index_of(corner_of(m, edge, i));
        every_corner = every_corner && s != CornerCache::NONE;
        if (s == CornerCache::NONE) continue;
        values[i] = cache.value(s);
        f = min_ignoring_nan(f, std::fabs(values[i] - tree.iso_value));
        if (const Vec3* gradient = cache.gradient(s))
            g = max_ignoring_nan(g, length(*gradient));
        else
            any_without_gradient = true;
    }
    if (any_without_gradient && every_corner)
        for (const Vec3& estimate : cell_gradients(values, cell_edge))
            g = max_ignoring_nan(g, length(estimate));
    const double diagonal = cell_edge * std::sqrt(3.0);
    return f < diagonal * (g * 1.5);
}

namespace {

// leaf_selected with the corner samples of `cell` from the cache, where they
// stay unchanged from the leaf's making on. Only directions and ratios of
// lengths are compared, so gradients read from the values may take any edge.
bool leaf_selected_in_cache(const Octree& tree, const CornerCache& cache, const CellKey& cell,
                            double cos_threshold) {
    const CornerKey m = min_corner(cell, tree.max_depth);
    const std::uint32_t edge = 1u << (tree.max_depth - cell.level);
    std::array<Vec3, 8> gradients;
    std::array<double, 8> values;
    bool all_gradients = true;
    CornerCache::Nearby cached(cache);
    for (unsigned i = 0; i < 8; ++i) {
        const std::uint32_t s = cached.index_of(corner_of(m, edge, i));
        if (s == CornerCache::NONE) return false;
        values[i] = cache.value(s);
        const Vec3* g = cache.gradient(s);
        all_gradients = all_gradients && g;
        if (g) gradients[i] = *g;
    }
    return leaf_selected(all_gradients ? gradients : cell_gradients(values, 1.0), cos_threshold);
}

// The non-Internal cells of `level` that the two tests above select, or that
// the guard has not proven, in walk order. No node lies deeper than `level`
// yet: the levels are refined in turn. A guard with bounds alone decides
// uniform cells: one it proves holds no surface to refine towards.
std::vector<CellKey> select_for_refinement(const Octree& tree, const CornerCache& cache,
                                           unsigned level, double cos_threshold,
                                           const EmptinessProof& proof) {
    if (proof.bounds)
        proof.prepare(tree, cache,
                      gather_leaves<CellKey>(tree, [&](const CellKey& cell, const OctreeNode& node,
                                                       const NodePath&, std::vector<CellKey>& out) {
                          if (cell.level == level && !as_leaf(node)) out.push_back(cell);
                      }));
    return gather_leaves<CellKey>(tree, [&](const CellKey& cell, const OctreeNode& node,
                                            const NodePath&, std::vector<CellKey>& out) {
        if (cell.level != level) return;
        if (as_leaf(node) ? leaf_selected_in_cache(tree, cache, cell, cos_threshold)
                          : proof.unproven(tree, cache, cell) ||
                                (!proof.bounds && uniform_cell_selected(tree, cache, cell)))
            out.push_back(cell);
    });
}

void refine_levels(FieldSampler& sampler, Octree& tree, CornerCache& cache, double cos_threshold,
                   const EmptinessProof& proof, Monitor& monitor) {
    for (unsigned level = tree.min_depth; level < tree.max_depth; ++level) {
        monitor.report(Stage::refining, level - tree.min_depth, tree.max_depth - tree.min_depth);
        const std::vector<CellKey> selected =
            select_for_refinement(tree, cache, level, cos_threshold, proof);
        if (selected.empty()) return;
        refine(sampler, tree, cache, one_level(selected), Pass::build);
        monitor.poll();
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
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        check_active(i);
        if (as_leaf(*find_node_path(tree, leaves[i], path).node)) band_requests_at(tree, leaves[i], path, requests);
    }
    return first_seen<CellKey>(requests);
}

// The leaves whose band requests may have changed since `refined` (cells just
// subdivided one level) were split: their new Leaf children, and the finest
// leaves beside them, whose face neighbours now lie deeper. Any other leaf
// finds what it found in the pass before, which asked for nothing or for a
// cell now split, whose neighbours are among these. In walk order, each once.
std::vector<CellKey> leaves_touched(const Octree& tree, std::span<const CellKey> refined) {
    std::vector<CellKey> out;
    for (std::size_t i = 0; i < refined.size(); ++i) {
        check_active(i);
        const CellKey& cell = refined[i];
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

// A pass's requests less the uniform cells a guard with bounds proves (no edge
// on their faces changes sign, so no face of the mesh needs a vertex from
// them), then the cells the guard has still to examine, each once.
std::vector<CellKey> with_unproven(std::vector<CellKey> requests, Examination& examination,
                                   const Octree& tree, const CornerCache& cache,
                                   const EmptinessProof& proof) {
    if (proof.bounds) {
        // Judged in parallel (the tree and the cache are only read), kept in order.
        const auto uniform = parallel_map<std::uint8_t>(
            requests.size(), [&](std::size_t i) { return is_uniform_leaf(tree, requests[i]); });
        std::vector<CellKey> neighbours;
        for (std::size_t i = 0; i < requests.size(); ++i)
            if (uniform[i]) neighbours.push_back(requests[i]);
        proof.prepare(tree, cache, neighbours);
        requests = parallel_filter(std::span<const CellKey>(requests), [&](std::size_t i) {
            return !uniform[i] || proof.unproven(tree, cache, requests[i]);
        });
    }
    const std::vector<CellKey> unproven = examination.unproven(tree, cache);
    if (unproven.empty()) return requests;
    requests.insert(requests.end(), unproven.begin(), unproven.end());
    return first_seen<CellKey>(requests);
}

// Refines every surface leaf to max_depth, the uniform cells beside finest
// surface leaves, and the cells the guard has not proven, one batch per pass,
// until a pass finds nothing. After a pass that split few cells (against the
// tree's size) only the leaves they touched are visited again; after many, a
// walk of the whole tree finds them sooner. The leaves touched cover splits
// made for the guard too: a split is a split, whatever asked for it; and a
// neighbour proven by bounds stays proven, so a leaf not touched asks anew
// for nothing.
void refine_band(FieldSampler& sampler, Octree& tree, CornerCache& cache, const EmptinessProof& proof,
                 Monitor& monitor) {
    Examination examination(tree, proof);
    std::vector<CellKey> cells =
        with_unproven(band_detail::band_requests(tree), examination, tree, cache, proof);
    while (!cells.empty()) {
        refine(sampler, tree, cache, one_level(cells), Pass::build);
        examination.refined(cells, tree.max_depth);
        monitor.poll();
        std::vector<CellKey> requests =
            cells.size() * 8 < tree.children.size()
                ? band_detail::band_requests(tree, band_detail::leaves_touched(tree, cells))
                : band_detail::band_requests(tree);
        cells = with_unproven(std::move(requests), examination, tree, cache, proof);
    }
}

}  // namespace

BuildResult build_octree(Evaluator& field, const BuildParams& params, Monitor& monitor) {
    const Monitor::Active active(&monitor);
    Octree tree = empty_tree(params);
    FieldSampler sampler(field, fd_step(tree), params.options.estimate_gradients);
    CornerCache cache;
    BuildResult result;

    monitor.report(Stage::sampling, 0, 1);
    sample_first_lattice(sampler, tree, cache);
    monitor.report(Stage::sampling, 1, 1);
    result.first_lattice_evaluations = sampler.evaluations();
    CellBounds bounds(field);
    EmptinessProof proof{params.options.guard, params.options.lipschitz};
    if (proof.active && params.options.bounds && bounds.available()) proof.bounds = &bounds;
    result.guard = judge_first_lattice(tree, cache, proof, result.steepest);
    proof.active = result.guard == GuardOutcome::on || result.guard == GuardOutcome::bounds;
    if (proof.bounds) proof.prepare(tree, cache, cells_of_level(tree.min_depth));
    tree.root = assemble(tree, cache, CellKey{}, proof).node;
    monitor.poll();
    if (params.min_depth < params.max_depth) {
        refine_levels(sampler, tree, cache, cos_degrees(params.angle_threshold_deg), proof, monitor);
        cache.forget_gradients();  // no later step reads them
        if (params.finish == Finish::balance)
            balance_octree(sampler, tree, cache, proof, monitor);
        else
            refine_band(sampler, tree, cache, proof, monitor);
    }
    monitor.report(Stage::refining, 1, 1);
    if (params.options.keep_corner_values) tree.corners = std::move(cache);
    result.tree = std::move(tree);
    result.eval_count = sampler.evaluations();
    result.cells_bounded = bounds.bounded_count();
    result.cells_proven = bounds.proven_count();
    return result;
}

}  // namespace quarvel
