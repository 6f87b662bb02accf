#include "octree/build.hpp"

#include <unistd.h>

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
    // Per point: key, position, query array row, value, gradient, two cache slots.
    constexpr double bytes_per_point = 12 + 24 + 24 + 8 + 24 + 2 * 56;
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
        std::array<const CornerSample*, 8> samples;
        for (unsigned i = 0; i < 8; ++i) {
            samples[i] = cache.find(corner_of(m, edge, i));
            if (!samples[i]) fault("corner not in cache");
        }
        return {make_cell(tree, samples, tree.iso_value), !proof.unproven(tree, cache, cell)};
    }
    ChildGroup group;
    bool mergeable = true;
    for (unsigned c = 0; c < 8; ++c) {
        Assembled child = assemble(tree, cache, child_of(cell, c), proof);
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

bool leaf_selected(const LeafData& leaf, double cos_threshold) {
    // Only directions and ratios of lengths are compared: any edge will do.
    const std::array<Vec3, 8> g = leaf.gradients ? *leaf.gradients : cell_gradients(leaf.values, 1.0);
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
    for (unsigned i = 0; i < 8; ++i) {
        const CornerSample* sample = cache.find(corner_of(m, edge, i));
        every_corner = every_corner && sample;
        if (!sample) continue;
        values[i] = sample->value;
        f = min_ignoring_nan(f, std::fabs(sample->value - tree.iso_value));
        if (sample->gradient)
            g = max_ignoring_nan(g, length(*sample->gradient));
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

// The non-Internal cells of `level` that the two tests above select, or that
// the guard has not proven, in walk order. A guard with bounds alone decides
// uniform cells: one it proves holds no surface to refine towards.
std::vector<CellKey> select_for_refinement(const Octree& tree, const CornerCache& cache,
                                           unsigned level, double cos_threshold,
                                           const EmptinessProof& proof) {
    auto each_cell = [&](auto&& visit) {
        walk_nodes(tree, [&](const CellKey& cell, const OctreeNode& node, const NodePath&) {
            if (is_internal(node)) return cell.level < level;
            if (cell.level == level) visit(cell, as_leaf(node));
            return false;
        });
    };
    if (proof.bounds) {
        std::vector<CellKey> uniform;
        each_cell([&](const CellKey& cell, const Leaf* leaf) {
            if (!leaf) uniform.push_back(cell);
        });
        proof.prepare(tree, cache, uniform);
    }
    std::vector<CellKey> out;
    each_cell([&](const CellKey& cell, const Leaf* leaf) {
        if (leaf ? leaf_selected(tree.data(*leaf), cos_threshold)
                 : proof.unproven(tree, cache, cell) ||
                       (!proof.bounds && uniform_cell_selected(tree, cache, cell)))
            out.push_back(cell);
    });
    return out;
}

void refine_levels(FieldSampler& sampler, Octree& tree, CornerCache& cache, double cos_threshold,
                   const EmptinessProof& proof) {
    for (unsigned level = tree.min_depth; level < tree.max_depth; ++level) {
        sampler.report(Stage::refining, level - tree.min_depth, tree.max_depth - tree.min_depth);
        const std::vector<CellKey> selected =
            select_for_refinement(tree, cache, level, cos_threshold, proof);
        if (selected.empty()) return;
        refine(sampler, tree, cache, one_level(selected), Pass::build);
        sampler.poll();
    }
}

// ---------------------------------------------------------------- phase 4

// One pass of band refinement: every Leaf coarser than max_depth, and every
// uniform cell coarser than a finest Leaf beside it, in walk order; then
// `unproven`, the cells the guard has still to examine. A guard with bounds
// passes over a neighbour it proves: no edge on its faces changes sign, so
// no face of the mesh needs a vertex from it.
std::vector<CellKey> band_requests(const Octree& tree, const CornerCache& cache, const EmptinessProof& proof,
                                   std::span<const CellKey> unproven) {
    UniqueList<CellKey> refine, beside;
    walk_leaves(tree, [&](const CellKey& key, const OctreeNode& node, const NodePath& path) {
        if (!as_leaf(node)) return;
        if (key.level < tree.max_depth) {
            refine.push(key);
            return;
        }
        for_each_face_neighbour(key, [&](const CellKey& neighbour, unsigned axis) {
            const FoundNode found = find_face_neighbour(tree, path, key, neighbour, axis);
            if (found.level < key.level && is_uniform(*found.node))
                (proof.bounds ? beside : refine).push(ancestor(neighbour, found.level));
        });
    });
    std::vector<CellKey> neighbours = beside.take();
    proof.prepare(tree, cache, neighbours);
    for (const CellKey& cell : neighbours)
        if (proof.unproven(tree, cache, cell)) refine.push(cell);
    for (const CellKey& cell : unproven) refine.push(cell);
    return refine.take();
}

// Refines every surface leaf to max_depth, the uniform cells beside finest
// surface leaves, and the cells the guard has not proven, one batch per pass,
// until a pass finds nothing.
void refine_band(FieldSampler& sampler, Octree& tree, CornerCache& cache, const EmptinessProof& proof) {
    Examination examination(tree, proof);
    for (;;) {
        const std::vector<CellKey> cells = band_requests(tree, cache, proof, examination.unproven(tree, cache));
        if (cells.empty()) return;
        refine(sampler, tree, cache, one_level(cells), Pass::build);
        examination.refined(cells, tree.max_depth);
        sampler.poll();
    }
}

}  // namespace

BuildResult build_octree(Evaluator& field, const BuildParams& params) {
    Octree tree = empty_tree(params);
    FieldSampler sampler(field, fd_step(tree), params.options.estimate_gradients);
    CornerCache cache;
    BuildResult result;

    sampler.report(Stage::sampling, 0, 1);
    sample_first_lattice(sampler, tree, cache);
    sampler.report(Stage::sampling, 1, 1);
    result.first_lattice_evaluations = sampler.evaluations();
    CellBounds bounds(field);
    EmptinessProof proof{params.options.guard, params.options.lipschitz};
    if (proof.active && params.options.bounds && bounds.available()) proof.bounds = &bounds;
    result.guard = judge_first_lattice(tree, cache, proof, result.steepest);
    proof.active = result.guard == GuardOutcome::on || result.guard == GuardOutcome::bounds;
    if (proof.bounds) proof.prepare(tree, cache, cells_of_level(tree.min_depth));
    tree.root = assemble(tree, cache, CellKey{}, proof).node;
    sampler.poll();
    if (params.min_depth < params.max_depth) {
        refine_levels(sampler, tree, cache, cos_degrees(params.angle_threshold_deg), proof);
        if (params.finish == Finish::balance)
            balance_octree(sampler, tree, cache, proof);
        else
            refine_band(sampler, tree, cache, proof);
    }
    sampler.report(Stage::refining, 1, 1);
    result.tree = std::move(tree);
    result.eval_count = sampler.evaluations();
    result.cells_bounded = bounds.bounded_count();
    result.cells_proven = bounds.proven_count();
    return result;
}

}  // namespace quarvel
