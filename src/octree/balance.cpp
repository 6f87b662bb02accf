#include "octree/balance.hpp"

#include <array>
#include <variant>

#include "core/fault.hpp"

namespace quarvel {

namespace balance_detail {

namespace {

constexpr const char* kMissingCorner = "corner not in cache during balance subdivision";

// Corner pairs of the four edges along each axis, edge e = (p bit, q bit) of
// the two perpendicular axes (p, q): (y, z) for x, (x, z) for y, (x, y) for z.
constexpr std::array<std::array<std::array<unsigned, 2>, 4>, 3> EDGE_CORNERS{{
    {{{0, 1}, {2, 3}, {4, 5}, {6, 7}}},  // along x
    {{{0, 2}, {1, 3}, {4, 6}, {5, 7}}},  // along y
    {{{0, 4}, {1, 5}, {2, 6}, {3, 7}}},  // along z
}};
constexpr std::array<std::array<unsigned, 2>, 3> PERPENDICULAR{{{1, 2}, {0, 2}, {0, 1}}};

// Every row must join two corners that differ only along its axis and sit at
// perpendicular offsets (e & 1, e >> 1); the candidate cells rely on it.
constexpr bool edge_table_consistent() {
    for (unsigned a = 0; a < 3; ++a)
        for (unsigned e = 0; e < 4; ++e) {
            const unsigned first = EDGE_CORNERS[a][e][0], second = EDGE_CORNERS[a][e][1];
            if (second != (first | (1u << a)) || (first & (1u << a))) return false;
            if (((first >> PERPENDICULAR[a][0]) & 1u) != (e & 1u)) return false;
            if (((first >> PERPENDICULAR[a][1]) & 1u) != (e >> 1)) return false;
        }
    return true;
}
static_assert(edge_table_consistent());

bool is_internal(const OctreeNode& node) { return std::holds_alternative<Internal>(node); }

// The cell at `level` that contains `cell` (level <= cell.level).
CellKey ancestor(const CellKey& cell, unsigned level) {
    const unsigned up = cell.level - level;
    return {cell.x >> up, cell.y >> up, cell.z >> up, static_cast<std::uint8_t>(level)};
}

// Calls `visit(neighbour, axis)` with each face neighbour of `cell` inside the
// cube, in the order -x, +x, -y, +y, -z, +z.
template <class Visit>
void for_each_face_neighbour(const CellKey& cell, Visit&& visit) {
    const std::uint64_t side = std::uint64_t{1} << cell.level;
    const std::array<std::uint32_t, 3> at{cell.x, cell.y, cell.z};
    for (unsigned axis = 0; axis < 3; ++axis) {
        std::array<std::uint32_t, 3> n = at;
        if (at[axis] > 0) {
            n[axis] = at[axis] - 1;
            visit(CellKey{n[0], n[1], n[2], cell.level}, axis);
        }
        if (at[axis] + std::uint64_t{1} < side) {
            n[axis] = at[axis] + 1;
            visit(CellKey{n[0], n[1], n[2], cell.level}, axis);
        }
    }
}

void collect_surface(const Octree& tree, const OctreeNode& node, const CellKey& key,
                     std::vector<CellKey>& out) {
    if (const auto* internal = std::get_if<Internal>(&node)) {
        const ChildGroup& group = tree.group(internal->group);
        for (unsigned c = 0; c < 8; ++c) collect_surface(tree, group[c], child_of(key, c), out);
    } else if (is_surface_leaf(node)) {
        out.push_back(key);
    }
}

// ---------------------------------------------------------------- phase A

// The split a face neighbour `n` of leaf `c` asks for, if any, in `request`;
// `d` is the node the descent towards `n` reached.
template <class Request>
void judge_neighbour(const Octree& tree, const CellKey& c, bool c_is_surface, const CellKey& n,
                     const FoundNode& d, Request&& request) {
    const unsigned u = c.level;
    if (!is_internal(*d.node)) {
        const bool two_levels_coarser = d.level + 1 < u;
        const bool bare_beside_surface = c_is_surface && d.level < u && !is_surface_leaf(*d.node);
        if (two_levels_coarser || bare_beside_surface) request(ancestor(n, d.level));
        return;
    }
    // Internal only at level u: a finer surface there means c must follow it down.
    if (!c_is_surface || u >= tree.max_depth) return;
    const ChildGroup& group = tree.group(std::get<Internal>(*d.node).group);
    for (const OctreeNode& child : group) {
        if (subtree_has_surface_leaf(tree, child)) {
            request(c);
            return;
        }
    }
}

// ---------------------------------------------------------------- phase B

// Whether each corner of surface leaf `m` is below the iso value; a corner
// missing from the cache reads as 0.0.
std::array<bool, 8> corner_signs(const Octree& tree, const CornerCache& cache, const CellKey& m) {
    const CornerKey base = min_corner(m, tree.max_depth);
    const std::uint32_t edge = 1u << (tree.max_depth - m.level);
    std::array<bool, 8> below{};
    for (unsigned k = 0; k < 8; ++k) {
        const CornerSample* s = cache.find(corner_of(base, edge, k));
        below[k] = (s ? s->value : 0.0) < tree.iso_value;
    }
    return below;
}

// Calls `visit` with the cells of m's level, other than m, that share edge e
// along `axis` with m, in the order (dp, dq) = (0,0), (0,1), (1,0), (1,1).
template <class Visit>
void for_each_edge_sharer(const CellKey& m, unsigned axis, unsigned e, Visit&& visit) {
    const std::uint64_t side = std::uint64_t{1} << m.level;
    const std::array<std::uint32_t, 3> at{m.x, m.y, m.z};
    const unsigned p = PERPENDICULAR[axis][0], q = PERPENDICULAR[axis][1];
    const std::uint64_t P = std::uint64_t{at[p]} + (e & 1u);
    const std::uint64_t Q = std::uint64_t{at[q]} + (e >> 1);
    for (unsigned dp = 0; dp < 2; ++dp) {
        for (unsigned dq = 0; dq < 2; ++dq) {
            if (P < dp || Q < dq || P - dp >= side || Q - dq >= side) continue;
            std::array<std::uint32_t, 3> k = at;
            k[p] = static_cast<std::uint32_t>(P - dp);
            k[q] = static_cast<std::uint32_t>(Q - dq);
            const CellKey cell{k[0], k[1], k[2], m.level};
            if (cell != m) visit(cell);
        }
    }
}

// ---------------------------------------------------------------- corners

void queue_corner(const Octree& tree, const CornerCache& cache, const CornerKey& key,
                  CornerQueue& queue) {
    if (cache.contains(key) || !queue.pending.insert(key)) return;
    queue.keys.push_back(key);
    queue.points.push_back(tree.position(key));
}

void queue_cell_corners(const Octree& tree, const CornerCache& cache, CornerKey m,
                        std::uint32_t edge, CornerQueue& queue) {
    for (unsigned k = 0; k < 8; ++k) queue_corner(tree, cache, corner_of(m, edge, k), queue);
}

}  // namespace

std::vector<CellKey> collect_surface_leaves(const Octree& tree) {
    std::vector<CellKey> out;
    collect_surface(tree, tree.root, CellKey{}, out);
    return out;
}

bool subtree_has_surface_leaf(const Octree& tree, const OctreeNode& node) {
    const auto* internal = std::get_if<Internal>(&node);
    if (!internal) return is_surface_leaf(node);
    for (const OctreeNode& child : tree.group(internal->group))
        if (subtree_has_surface_leaf(tree, child)) return true;
    return false;
}

std::vector<CellKey> split_requests(const Octree& tree) {
    UniqueList<CellKey> splits;
    auto request = [&](const CellKey& cell) { splits.push(cell); };
    walk_leaves(tree, [&](const CellKey& c, const OctreeNode& node, const NodePath& path) {
        if (c.level == 0) return;  // the whole cube has no neighbours
        const bool surface = is_surface_leaf(node);
        for_each_face_neighbour(c, [&](const CellKey& n, unsigned axis) {
            judge_neighbour(tree, c, surface, n, find_face_neighbour(tree, path, c, n, axis),
                            request);
        });
    });
    return splits.take();
}

std::vector<RefineRequest> refine_requests(const Octree& tree, const CornerCache& cache) {
    const std::vector<CellKey> surface = collect_surface_leaves(tree);
    FlatSet<CellKey> surface_set(surface.size());
    for (const CellKey& m : surface) surface_set.insert(m);

    FlatSet<CellKey> requested;
    std::vector<RefineRequest> requests;
    for (const CellKey& m : surface) {
        const std::array<bool, 8> below = corner_signs(tree, cache, m);
        for (unsigned axis = 0; axis < 3; ++axis) {
            for (unsigned e = 0; e < 4; ++e) {
                if (below[EDGE_CORNERS[axis][e][0]] == below[EDGE_CORNERS[axis][e][1]]) continue;
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

void queue_child_corners(const Octree& tree, const CornerCache& cache, CornerKey m,
                         unsigned level, CornerQueue& queue) {
    const std::uint32_t half = 1u << (tree.max_depth - level - 1);
    for (unsigned c = 0; c < 8; ++c)
        queue_cell_corners(tree, cache, corner_of(m, half, c), half, queue);
}

void collect_refine_corners(const Octree& tree, const CornerCache& cache, CornerKey m,
                            unsigned level, unsigned target, CornerQueue& queue) {
    if (level >= target || level >= tree.max_depth) return;
    const std::uint32_t half = 1u << (tree.max_depth - level - 1);
    for (unsigned c = 0; c < 8; ++c) {
        const CornerKey child = corner_of(m, half, c);
        queue_cell_corners(tree, cache, child, half, queue);
        if (level + 1 < target)
            collect_refine_corners(tree, cache, child, level + 1, target, queue);
    }
}

std::uint64_t evaluate_queue(Evaluator& field, const Octree& tree, CornerCache& cache,
                             CornerQueue& queue) {
    if (queue.keys.empty()) return 0;
    const double fd_step = 0.01 * tree.finest_edge();
    const SampledBatch batch = sample_with_gradients(field, queue.points, fd_step);
    for (std::size_t i = 0; i < queue.keys.size(); ++i) {
        const double value = checked_at(batch.values, i);
        cache.insert_or_assign(queue.keys[i], CornerSample{value, checked_at(batch.gradients, i)});
    }
    queue.pending = FlatSet<CornerKey>();
    queue.keys.clear();
    queue.points.clear();
    return batch.evaluations;
}

void balance_subdivide(Octree& tree, const CornerCache& cache, CornerKey m, unsigned level) {
    if (cache.empty()) fault(kMissingCorner);
    const ChildGroup group = make_children(tree, cache, m, level, tree.iso_value, kMissingCorner);

    // Locate the node as (group, slot) rather than by pointer, so the append
    // below cannot leave it dangling whatever container holds the arena.
    OctreeNode* node = &tree.root;
    std::uint32_t parent_group = 0;
    unsigned slot = 0;
    bool at_root = true;
    for (unsigned j = 0; j < level; ++j) {
        const auto* internal = std::get_if<Internal>(node);
        if (!internal) break;
        const unsigned bit = tree.max_depth - 1u - j;
        slot = ((m.x >> bit) & 1u) | (((m.y >> bit) & 1u) << 1) | (((m.z >> bit) & 1u) << 2);
        parent_group = internal->group;
        at_root = false;
        node = &tree.group(parent_group)[slot];
    }
    if (is_internal(*node)) return;

    const auto g = static_cast<std::uint32_t>(tree.children.size());
    tree.children.push_back(group);
    OctreeNode& target = at_root ? tree.root : tree.group(parent_group)[slot];
    target = Internal{g};
}

void refine_to_level(Octree& tree, const CornerCache& cache, CornerKey m, unsigned level,
                     unsigned target) {
    if (level >= target || level >= tree.max_depth) return;
    balance_subdivide(tree, cache, m, level);
    if (level + 1 >= target) return;
    const unsigned shift = tree.max_depth - level - 1;
    const std::uint32_t half = 1u << shift;
    for (unsigned c = 0; c < 8; ++c) {
        const CornerKey child = corner_of(m, half, c);
        const FoundNode d = find_node(tree, child.x >> shift, child.y >> shift, child.z >> shift,
                                      level + 1);
        if (d.level == level + 1 && !is_internal(*d.node))
            refine_to_level(tree, cache, child, level + 1, target);
    }
}

// Phase A: split until no leaf has a face neighbour breaking the 2:1 rule or
// the two surface rules. Returns its evaluations.
std::uint64_t balance_faces(Evaluator& field, Octree& tree, CornerCache& cache) {
    std::uint64_t evaluations = 0;
    for (;;) {
        const std::vector<CellKey> splits = split_requests(tree);
        if (splits.empty()) return evaluations;
        CornerQueue queue;
        for (const CellKey& cell : splits)
            queue_child_corners(tree, cache, min_corner(cell, tree.max_depth), cell.level, queue);
        evaluations += evaluate_queue(field, tree, cache, queue);
        for (const CellKey& cell : splits)
            balance_subdivide(tree, cache, min_corner(cell, tree.max_depth), cell.level);
    }
}

// Phase B: refine every coarse cell beside a sign-changing edge of a surface
// leaf down to that leaf's level. Returns its evaluations.
std::uint64_t balance_edges(Evaluator& field, Octree& tree, CornerCache& cache) {
    std::uint64_t evaluations = 0;
    for (;;) {
        const std::vector<RefineRequest> requests = refine_requests(tree, cache);
        if (requests.empty()) return evaluations;
        CornerQueue queue;
        for (const RefineRequest& r : requests)
            collect_refine_corners(tree, cache, min_corner(r.cell, tree.max_depth), r.cell.level,
                                   r.target, queue);
        evaluations += evaluate_queue(field, tree, cache, queue);
        for (const RefineRequest& r : requests)
            refine_to_level(tree, cache, min_corner(r.cell, tree.max_depth), r.cell.level,
                            r.target);
    }
}

}  // namespace balance_detail

std::uint64_t balance_octree(Evaluator& field, Octree& tree, CornerCache& cache) {
    using namespace balance_detail;
    const std::uint64_t faces = balance_faces(field, tree, cache);
    const std::uint64_t edges = balance_edges(field, tree, cache);
    return faces + edges;
}

}  // namespace quarvel
