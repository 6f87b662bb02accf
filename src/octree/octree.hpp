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

#include "core/flat_map.hpp"
#include "core/vec3.hpp"
#include "octree/keys.hpp"

namespace quarvel {

// ---------------------------------------------------------------- samples

struct CornerSample {
    double value = 0.0;
    std::optional<Vec3> gradient;
};

// Corner samples of one build, by lattice key. The table holds only keys and
// indices (16-byte slots), the samples sit densely beside it: lookups are the
// build's hottest operation and mostly miss the processor caches.
class CornerCache {
public:
    explicit CornerCache(std::size_t expected = 0) : index_(expected) {
        samples_.reserve(expected);
    }
    void reserve(std::size_t expected) {
        index_.reserve(expected);
        samples_.reserve(expected);
    }
    std::size_t size() const noexcept { return samples_.size(); }
    bool empty() const noexcept { return samples_.empty(); }
    bool contains(const CornerKey& key) const noexcept { return index_.contains(key); }

    // Inserts, or replaces the sample of a key already present.
    void insert_or_assign(const CornerKey& key, CornerSample sample) {
        const auto next = static_cast<std::uint32_t>(samples_.size());
        if (index_.try_emplace(key, next))
            samples_.push_back(std::move(sample));
        else
            samples_[*index_.find(key)] = std::move(sample);
    }
    // Claims a slot for a key to be sampled later: its index when the key is
    // new (the sample stays empty until filled through at()), else nothing.
    // One probe both tests membership and reserves the place. Slots are
    // numbered in claim order, after every earlier sample.
    std::optional<std::uint32_t> claim(const CornerKey& key) {
        const auto next = static_cast<std::uint32_t>(samples_.size());
        if (!index_.try_emplace(key, next)) return std::nullopt;
        samples_.emplace_back();
        return next;
    }
    CornerSample& at(std::uint32_t index) { return samples_[index]; }
    // Takes back the newest claims: `keys` claimed slots first, first + 1, ...
    // up to the last sample. The cache is then as it was before them.
    void withdraw(std::uint32_t first, std::span<const CornerKey> keys) {
        for (const CornerKey& key : keys) index_.erase(key);
        samples_.erase(samples_.begin() + first, samples_.end());
    }

    const CornerSample* find(const CornerKey& key) const noexcept {
        const std::uint32_t* i = index_.find(key);
        return i ? &samples_[*i] : nullptr;
    }
    CornerSample* find(const CornerKey& key) noexcept {
        const std::uint32_t* i = index_.find(key);
        return i ? &samples_[*i] : nullptr;
    }

private:
    FlatMap<CornerKey, std::uint32_t> index_;
    std::vector<CornerSample> samples_;
};

// ---------------------------------------------------------------- nodes

// The corner samples of a Leaf, copied when it was made so that later stages
// never return to the cache.
struct LeafData {
    std::optional<std::array<Vec3, 8>> gradients;  // present when all eight corners had one
    std::array<double, 8> values{};                // raw corner values, corner order
};

// A cell whose corners straddle the iso value (0 < sign_mask < 255). Its
// samples live in the tree's leaf arena, which keeps nodes at 12 bytes: walks
// touch a cache line or two per group instead of kilobytes.
struct Leaf {
    std::uint32_t data = 0;      // index into Octree::leaf_data
    std::uint8_t sign_mask = 0;  // bit i: values[i] < iso_value
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
    std::vector<LeafData> leaf_data;   // append-only arena of leaf samples
    Vec3 origin{};
    double size = 0.0;
    double iso_value = 0.0;
    std::uint8_t min_depth = 0;
    std::uint8_t max_depth = 0;

    double finest_edge() const;                   // size / 2^max_depth
    Vec3 position(const CornerKey& key) const;    // origin + key * finest_edge
    const ChildGroup& group(std::uint32_t index) const;  // faults when out of range
    ChildGroup& group(std::uint32_t index);
    const OctreeNode& at(NodeSlot slot) const {
        return slot.group == NodeSlot::ROOT ? root : group(slot.group)[slot.child];
    }
    OctreeNode& at(NodeSlot slot) { return const_cast<OctreeNode&>(std::as_const(*this).at(slot)); }
    const LeafData& data(const Leaf& leaf) const;         // faults when out of range
    Leaf add_leaf(LeafData data, std::uint8_t sign_mask);
};

// 2^level as f64, formed as a 32-bit shift.
double pow2(unsigned level);

// Central-difference step of builds and extractions: a hundredth of the
// finest cell edge.
inline double fd_step(const Octree& tree) { return 0.01 * tree.finest_edge(); }

// The node made from eight corner samples (corner order); a Leaf's samples are
// appended to the tree's leaf arena.
OctreeNode make_cell(Octree& tree, const std::array<const CornerSample*, 8>& samples,
                     double iso_value);

// ---------------------------------------------------------------- lookups

struct FoundNode {
    const OctreeNode* node;
    unsigned level;  // < target only when `node` is not Internal
};
// Descends towards cell (x, y, z, level), stopping at the first non-Internal node.
FoundNode find_node(const Octree& tree, std::uint32_t x, std::uint32_t y, std::uint32_t z,
                    unsigned level);
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

}  // namespace quarvel
