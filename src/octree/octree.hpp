// The octree: a cube over the caller's box, an integer lattice at the finest
// level that names every cell corner (octree/keys.hpp), a tree stored as a
// root plus an append-only arena of eight-child groups, and the cache of
// corner samples.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/ordered_gather.hpp"
#include "core/vec3.hpp"
#include "octree/corner_cache.hpp"
#include "octree/keys.hpp"

namespace quarvel {

// ---------------------------------------------------------------- nodes

// A cell whose corners straddle the iso value (0 < sign_mask < 255). Later
// stages read only the mask: the level tests take corner gradients from the
// cache, and dual contouring takes its signs from the mask (values[a] -
// iso < 0 exactly when values[a] < iso). So nodes stay 8 bytes and a group
// of eight fills one cache line.
struct Leaf {
    std::uint8_t sign_mask = 0;  // bit i: corner value i < iso_value
};
struct Outside {};  // no corner below the iso value
struct Inside {};   // every corner below the iso value
struct Internal {
    std::uint32_t group = 0;  // index into Octree::children
};

using OctreeNode = std::variant<Leaf, Outside, Inside, Internal>;
using ChildGroup = std::array<OctreeNode, 8>;

// What a node is. Code outside this section asks these helpers instead of the
// variant, so a change of node layout stays here.
enum class NodeKind : std::uint8_t { leaf, outside, inside, internal };
static_assert(std::variant_size_v<OctreeNode> == 4 &&
              std::is_same_v<std::variant_alternative_t<3, OctreeNode>, Internal>);
inline NodeKind kind_of(const OctreeNode& node) { return static_cast<NodeKind>(node.index()); }
inline const Internal* as_internal(const OctreeNode& node) { return std::get_if<Internal>(&node); }
inline const Leaf* as_leaf(const OctreeNode& node) { return std::get_if<Leaf>(&node); }
inline bool is_internal(const OctreeNode& node) { return kind_of(node) == NodeKind::internal; }
// Outside or Inside: a cell the surface does not cross.
inline bool is_uniform(const OctreeNode& node) {
    return kind_of(node) == NodeKind::outside || kind_of(node) == NodeKind::inside;
}
// The Leaf of a surface leaf (mask neither 0 nor 255), else null.
inline const Leaf* surface_leaf(const OctreeNode& node) {
    const Leaf* leaf = as_leaf(node);
    return leaf && leaf->sign_mask != 0 && leaf->sign_mask != 255 ? leaf : nullptr;
}
inline bool is_surface_leaf(const OctreeNode& node) { return surface_leaf(node) != nullptr; }

// ---------------------------------------------------------------- tree

struct Domain {
    Vec3 origin{};
    double size = 0.0;
};

// The cube around a box: widest extent (NaN-ignoring max), same centre.
Domain cube_around(const Vec3& bbox_min, const Vec3& bbox_max);

// Where a node is stored: the root, or entry `child` of group `group`. Unlike
// a pointer, it stays valid while the arena grows.
struct NodeSlot {
    static constexpr std::uint32_t ROOT = ~std::uint32_t{0};
    std::uint32_t group = ROOT;
    std::uint32_t child = 0;
};

struct Octree {
    OctreeNode root = Outside{};
    std::vector<ChildGroup> children;  // append-only arena of child groups
    Vec3 origin{};
    double size = 0.0;
    double iso_value = 0.0;
    std::uint8_t min_depth = 0;
    std::uint8_t max_depth = 0;
    // The corner samples, kept after the build only when asked (the package
    // pipeline reads the corner values of its surface cells); else empty.
    CornerCache corners;

    double finest_edge() const;                   // size / 2^max_depth
    Vec3 position(const CornerKey& key) const;    // origin + key * finest_edge
    const ChildGroup& group(std::uint32_t index) const;  // faults when out of range
    ChildGroup& group(std::uint32_t index);
    const OctreeNode& at(NodeSlot slot) const {
        return slot.group == NodeSlot::ROOT ? root : group(slot.group)[slot.child];
    }
    OctreeNode& at(NodeSlot slot) { return const_cast<OctreeNode&>(std::as_const(*this).at(slot)); }
};

// 2^level as f64, formed as a 32-bit shift.
double pow2(unsigned level);

// Central-difference step of builds and extractions: a hundredth of the
// finest cell edge.
inline double fd_step(const Octree& tree) { return 0.01 * tree.finest_edge(); }

// The node made from eight corner values (corner order).
OctreeNode make_cell(const std::array<double, 8>& values, double iso_value);

// ---------------------------------------------------------------- lookups

struct FoundNode {
    const OctreeNode* node;
    unsigned level;  // < target only when `node` is not Internal
};
// Descends towards cell (x, y, z, level), stopping at the first non-Internal node.
FoundNode find_node(const Octree& tree, std::uint32_t x, std::uint32_t y, std::uint32_t z,
                    unsigned level);
// Whether `cell` is a leaf of the tree, at its own level, with corners all on one side.
inline bool is_uniform_leaf(const Octree& tree, const CellKey& cell) {
    const FoundNode found = find_node(tree, cell.x, cell.y, cell.z, cell.level);
    return found.level == cell.level && is_uniform(*found.node);
}
// The same descent towards `cell`, started at `start`, a node at `start_level`
// on its path (an ancestor shared with a cell already visited saves the upper
// levels).
FoundNode find_node_from(const Octree& tree, const OctreeNode* start, unsigned start_level,
                         const CellKey& cell);

// The same descent for changing the tree: from the node at `start` (at
// `start_level`, an ancestor of `cell`) to the slot of the node it stops at.
struct FoundSlot {
    NodeSlot slot;
    unsigned level;  // < cell.level only when the node there is not Internal
};
FoundSlot locate(const Octree& tree, NodeSlot start, unsigned start_level, const CellKey& cell);

// The nodes from the root to the cell being visited: path[l] is at level l.
using NodePath = std::array<const OctreeNode*, 33>;

// find_node towards `cell` that also records the nodes passed: path[l] at level l.
FoundNode find_node_path(const Octree& tree, const CellKey& cell, NodePath& path);

// find_node for `neighbour`, a face neighbour of `cell` (the cell at the end of
// `path`) along `axis`: the descent starts at their deepest shared ancestor.
FoundNode find_face_neighbour(const Octree& tree, const NodePath& path, const CellKey& cell,
                              const CellKey& neighbour, unsigned axis);

// ---------------------------------------------------------------- walks

// Depth first, children 0..7: visit(key, node, path) for every node, entering
// an Internal node's children only when it returns true. Starts at `start`,
// the node of `key`; the tree must not change during the walk.
template <class Visit>
void walk_subtree(const Octree& tree, const OctreeNode& start, const CellKey& key, Visit&& visit);
template <class Visit>
void walk_nodes(const Octree& tree, Visit&& visit) {
    walk_subtree(tree, tree.root, CellKey{}, visit);
}

// visit(key, node, path) for every non-Internal node, in walk order.
template <class Visit>
void walk_leaves(const Octree& tree, Visit&& visit) {
    walk_nodes(tree, [&](const CellKey& key, const OctreeNode& node, const NodePath& path) {
        if (is_internal(node)) return true;
        visit(key, node, path);
        return false;
    });
}

// walk_leaves on the pool: visit(key, node, path, out) appends its results
// to `out`. The subtrees below level `split` are walked as separate tasks
// whose outputs are joined in walk order, so the result is the serial walk's.
template <class T, class Visit>
std::vector<T> gather_leaves(const Octree& tree, Visit&& visit, unsigned split = 4);

// Every non-Internal node's key, in walk order.
std::vector<CellKey> collect_leaves(const Octree& tree);

// Whether `node` is, or has below it, a surface leaf.
bool subtree_has_surface_leaf(const Octree& tree, const OctreeNode& node);

struct Statistics {
    std::uint64_t leaf_count = 0;
    std::uint64_t internal_count = 0;
    std::uint64_t outside_count = 0;
    std::uint64_t inside_count = 0;
    std::uint8_t max_leaf_depth = 0;
};
Statistics statistics(const Octree& tree);

namespace detail {
template <class Visit>
void walk(const Octree& tree, const OctreeNode& node, const CellKey& key, NodePath& path,
          Visit& visit) {
    path[key.level] = &node;
    if (!visit(key, node, static_cast<const NodePath&>(path))) return;
    if (const Internal* internal = as_internal(node)) {
        const ChildGroup& group = tree.group(internal->group);
        for (unsigned c = 0; c < 8; ++c) walk(tree, group[c], child_of(key, c), path, visit);
    }
}
}  // namespace detail

template <class Visit>
void walk_subtree(const Octree& tree, const OctreeNode& start, const CellKey& key, Visit&& visit) {
    NodePath path{};
    detail::walk(tree, start, key, path, visit);
}

template <class T, class Visit>
std::vector<T> gather_leaves(const Octree& tree, Visit&& visit, unsigned split) {
    // The nodes where the serial walk would stop or cross `split`, in walk
    // order, each with the path above it.
    struct Task {
        CellKey key;
        const OctreeNode* node;
        NodePath path;
    };
    std::vector<Task> tasks;
    walk_nodes(tree, [&](const CellKey& key, const OctreeNode& node, const NodePath& path) {
        if (is_internal(node) && key.level < split) return true;
        tasks.push_back({key, &node, path});
        return false;
    });
    return parallel_gather<T>(
        tasks.size(),
        [&](std::size_t i, std::vector<T>& out) {
            Task task = tasks[i];
            auto leaves = [&](const CellKey& key, const OctreeNode& node, const NodePath& path) {
                if (is_internal(node)) return true;
                visit(key, node, path, out);
                return false;
            };
            detail::walk(tree, *task.node, task.key, task.path, leaves);
        },
        2);
}

}  // namespace quarvel
