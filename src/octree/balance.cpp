#include "octree/balance.hpp"

#include <array>
#include <optional>

#include "core/monitor.hpp"

namespace quarvel {

namespace balance_detail {

namespace {

// ---------------------------------------------------------------- phase A

// The split a face neighbour `n` of leaf `c` asks for, if any; `d` is the node
// the descent towards `n` reached.
std::optional<CellKey> split_for(const Octree& tree, const CellKey& c, bool c_is_surface,
                                 const CellKey& n, const FoundNode& d) {
    const unsigned u = c.level;
    if (!is_internal(*d.node)) {
        const bool two_levels_coarser = d.level + 1 < u;
        const bool bare_beside_surface = c_is_surface && d.level < u && !is_surface_leaf(*d.node);
        if (two_levels_coarser || bare_beside_surface) return ancestor(n, d.level);
        return std::nullopt;
    }
    // Internal only at level u: a finer surface there means c must follow it down.
    if (c_is_surface && u < tree.max_depth && subtree_has_surface_leaf(tree, *d.node)) return c;
    return std::nullopt;
}

// ---------------------------------------------------------------- phase B

// Whether each corner of surface leaf `m` is below the iso value; a corner
// missing from the cache reads as 0.0.
std::array<bool, 8> corner_signs(const Octree& tree, const CornerCache& cache, const CellKey& m) {
    const CornerKey base = min_corner(m, tree.max_depth);
    const std::uint32_t edge = 1u << (tree.max_depth - m.level);
    std::array<bool, 8> below{};
    for (unsigned k = 0; k < 8; ++k) {
        const std::uint32_t s = cache.index_of(corner_of(base, edge, k));
        below[k] = (s == CornerCache::NONE ? 0.0 : cache.value(s)) < tree.iso_value;
    }
    return below;
}

// Calls `visit` with the cells of m's level, other than m, that share edge e
// along `axis` with m, in the order (dp, dq) = (0,0), (0,1), (1,0), (1,1).
template <class Visit>
void for_each_edge_sharer(const CellKey& m, unsigned axis, unsigned e, Visit&& visit) {
    const std::uint64_t side = std::uint64_t{1} << m.level;
    const unsigned p = OTHER_AXES[axis][0], q = OTHER_AXES[axis][1];
    const std::uint64_t P = std::uint64_t{m[p]} + (e & 1u);
    const std::uint64_t Q = std::uint64_t{m[q]} + (e >> 1);
    for (unsigned dp = 0; dp < 2; ++dp) {
        for (unsigned dq = 0; dq < 2; ++dq) {
            if (P < dp || Q < dq || P - dp >= side || Q - dq >= side) continue;
            CellKey cell = m;
            cell[p] = static_cast<std::uint32_t>(P - dp);
            cell[q] = static_cast<std::uint32_t>(Q - dq);
            if (cell != m) visit(cell);
        }
    }
}

// Runs one refine() step per list `next_requests` makes, until one is empty.
template <class NextRequests>
std::uint64_t refine_until_done(FieldSampler& sampler, Octree& tree, CornerCache& cache, Monitor& monitor,
                                NextRequests&& next_requests) {
    const std::uint64_t before = sampler.evaluations();
    for (;;) {
        const std::vector<RefineRequest> requests = next_requests();
        if (requests.empty()) return sampler.evaluations() - before;
        monitor.check();
        refine(sampler, tree, cache, requests, Pass::balance);
    }
}

}  // namespace

std::vector<CellKey> collect_surface_leaves(const Octree& tree) {
    std::vector<CellKey> out;
    walk_leaves(tree, [&](const CellKey& key, const OctreeNode& node, const NodePath&) {
        if (is_surface_leaf(node)) out.push_back(key);
    });
    return out;
}

std::vector<CellKey> split_requests(const Octree& tree, std::span<const CellKey> unproven) {
    std::vector<CellKey> splits = gather_leaves<CellKey>(
        tree, [&](const CellKey& c, const OctreeNode& node, const NodePath& path,
                  std::vector<CellKey>& out) {
            const bool surface = is_surface_leaf(node);
            for_each_face_neighbour(c, [&](const CellKey& n, unsigned axis) {
                const FoundNode d = find_face_neighbour(tree, path, c, n, axis);
                if (const std::optional<CellKey> split = split_for(tree, c, surface, n, d))
                    out.push_back(*split);
            });
        });
    splits.insert(splits.end(), unproven.begin(), unproven.end());
    return first_seen<CellKey>(splits);
}

std::vector<RefineRequest> refine_requests(const Octree& tree, const CornerCache& cache) {
    const std::vector<CellKey> surface = collect_surface_leaves(tree);
    FlatSet<CellKey> surface_set(surface.size());
    for (const CellKey& m : surface) surface_set.insert(m);

    FlatSet<CellKey> requested;
    std::vector<RefineRequest> requests;
    for (std::size_t i = 0; i < surface.size(); ++i) {
        check_active(i);
        const CellKey& m = surface[i];
        const std::array<bool, 8> below = corner_signs(tree, cache, m);
        for (unsigned axis = 0; axis < 3; ++axis) {
            for (unsigned e = 0; e < 4; ++e) {
                const auto& [a, b] = CUBE_EDGES[edge_along(axis, e)];
                if (below[a] == below[b]) continue;
                for_each_edge_sharer(m, axis, e, [&](const CellKey& k) {
                    if (surface_set.contains(k)) return;  // already as fine as m, no descent
                    const FoundNode d = find_node(tree, k.x, k.y, k.z, k.level);
                    if (d.level == k.level) return;
                    // The first request fixes the target: later ones are ignored.
                    const CellKey coarse = ancestor(k, d.level);
                    if (requested.insert(coarse)) requests.push_back({coarse, m.level});
                });
            }
        }
    }
    return requests;
}

std::uint64_t balance_faces(FieldSampler& sampler, Octree& tree, CornerCache& cache,
                            const EmptinessProof& proof, Monitor& monitor) {
    Examination examination(tree, proof);
    return refine_until_done(sampler, tree, cache, monitor, [&] {
        const std::vector<CellKey> splits = split_requests(tree, examination.unproven(tree, cache));
        examination.refined(splits, tree.max_depth);
        return one_level(splits);
    });
}

std::uint64_t balance_edges(FieldSampler& sampler, Octree& tree, CornerCache& cache, Monitor& monitor) {
    return refine_until_done(sampler, tree, cache, monitor, [&] { return refine_requests(tree, cache); });
}

}  // namespace balance_detail

std::uint64_t balance_octree(FieldSampler& sampler, Octree& tree, CornerCache& cache,
                             const EmptinessProof& proof, Monitor& monitor) {
    const std::uint64_t faces = balance_detail::balance_faces(sampler, tree, cache, proof, monitor);
    const std::uint64_t edges = balance_detail::balance_edges(sampler, tree, cache, monitor);
    return faces + edges;
}

}  // namespace quarvel
