// The octree: a cube over the caller's box, an integer lattice at the finest
// level that names every cell corner, a tree stored as a root plus an
// append-only arena of eight-child groups, and the cache of corner samples.
//
// Numbering used everywhere: in a corner or child index 0..7, bit 0 selects +x,
// bit 1 +y, bit 2 +z.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "core/flat_map.hpp"
#include "core/vec3.hpp"

namespace quarvel {

// ---------------------------------------------------------------- keys

// A corner on the lattice of level max_depth (lattice units).
struct CornerKey {
    std::uint32_t x = 0, y = 0, z = 0;
    bool operator==(const CornerKey&) const = default;
    std::uint64_t packed() const noexcept {
        return (std::uint64_t{x} | (std::uint64_t{y} << 32)) ^ (std::uint64_t{z} * 0x9E3779B97F4A7C15ULL);
    }
};

// A cell: coordinates among the 2^level cells per axis of its level.
struct CellKey {
    std::uint32_t x = 0, y = 0, z = 0;
    std::uint8_t level = 0;
    bool operator==(const CellKey&) const = default;
    std::uint64_t packed() const noexcept {
        return (std::uint64_t{x} | (std::uint64_t{y} << 32)) ^
               (std::uint64_t{z} * 0x9E3779B97F4A7C15ULL) ^ (std::uint64_t{level} << 56);
    }
};

// Offset (0 or 1 per axis) of corner or child `i`.
constexpr std::uint32_t bit_x(unsigned i) { return i & 1u; }
constexpr std::uint32_t bit_y(unsigned i) { return (i >> 1) & 1u; }
constexpr std::uint32_t bit_z(unsigned i) { return (i >> 2) & 1u; }

// Corner `i` of a cell with minimum corner key `m` and lattice edge `s`.
constexpr CornerKey corner_of(CornerKey m, std::uint32_t s, unsigned i) {
    return {m.x + (bit_x(i) ? s : 0u), m.y + (bit_y(i) ? s : 0u), m.z + (bit_z(i) ? s : 0u)};
}

// Child `c` of cell (x, y, z, level).
constexpr CellKey child_of(const CellKey& k, unsigned c) {
    return {2 * k.x + bit_x(c), 2 * k.y + bit_y(c), 2 * k.z + bit_z(c),
            static_cast<std::uint8_t>(k.level + 1)};
}

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
    // One probe both tests membership and reserves the place.
    std::optional<std::uint32_t> claim(const CornerKey& key) {
        const auto next = static_cast<std::uint32_t>(samples_.size());
        if (!index_.try_emplace(key, next)) return std::nullopt;
        samples_.emplace_back();
        return next;
    }
    CornerSample& at(std::uint32_t index) { return samples_[index]; }

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

// A surface leaf: a Leaf whose mask is neither 0 nor 255.
bool is_surface_leaf(const OctreeNode& node);

// ---------------------------------------------------------------- tree

struct Domain {
    Vec3 origin{};
    double size = 0.0;
};

// The cube around a box: widest extent (NaN-ignoring max), same centre.
Domain cube_around(const Vec3& bbox_min, const Vec3& bbox_max);

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
    const LeafData& data(const Leaf& leaf) const;         // faults when out of range
    Leaf add_leaf(LeafData data, std::uint8_t sign_mask);
};

// 2^level as f64, formed as a 32-bit shift.
double pow2(unsigned level);

// The node made from eight corner samples (corner order); a Leaf's samples are
// appended to the tree's leaf arena.
OctreeNode make_cell(Octree& tree, const std::array<const CornerSample*, 8>& samples,
                     double iso_value);

struct FoundNode {
    const OctreeNode* node;
    unsigned level;  // < target only when `node` is not Internal
};
// Descends towards cell (x, y, z, level), stopping at the first non-Internal node.
FoundNode find_node(const Octree& tree, std::uint32_t x, std::uint32_t y, std::uint32_t z,
                    unsigned level);
// The same descent, started at `start`, a node at `start_level` on the cell's
// path (an ancestor shared with a cell already visited saves the upper levels).
FoundNode find_node_from(const Octree& tree, const OctreeNode* start, unsigned start_level,
                         std::uint32_t x, std::uint32_t y, std::uint32_t z, unsigned level);

// Every non-Internal node's key, depth first, children 0..7.
std::vector<CellKey> collect_leaves(const Octree& tree);

// The nodes from the root to the cell being visited: path[l] is at level l.
using NodePath = std::array<const OctreeNode*, 33>;

// The walk of collect_leaves, calling visit(key, node, path) for every
// non-Internal node; the tree must not change during the walk.
template <class Visit>
void walk_leaves(const Octree& tree, Visit&& visit);

// find_node for `neighbour`, a face neighbour of `cell` (the cell at the end of
// `path`) along `axis`: the descent starts at their deepest shared ancestor.
FoundNode find_face_neighbour(const Octree& tree, const NodePath& path, const CellKey& cell,
                              const CellKey& neighbour, unsigned axis);

// The eight children of the cell with minimum corner key `m` at `level`, made
// from cached samples of its 27 child lattice points (each looked up once). A
// missing point is the fault `missing_message`.
ChildGroup make_children(Octree& tree, const CornerCache& cache, CornerKey m, unsigned level,
                         double iso_value, const char* missing_message);

// Turns the node of the cell with minimum corner key `m` at `level` into
// Internal with eight children made from cached samples. All 27 child lattice
// points must be cached.
void subdivide(Octree& tree, const CornerCache& cache, CornerKey m, unsigned level,
               double iso_value);

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
void walk_leaves(const Octree& tree, const OctreeNode& node, const CellKey& key, NodePath& path,
                 Visit& visit) {
    path[key.level] = &node;
    if (const auto* internal = std::get_if<Internal>(&node)) {
        const ChildGroup& group = tree.group(internal->group);
        for (unsigned c = 0; c < 8; ++c) walk_leaves(tree, group[c], child_of(key, c), path, visit);
    } else {
        visit(key, node, static_cast<const NodePath&>(path));
    }
}
}  // namespace detail

template <class Visit>
void walk_leaves(const Octree& tree, Visit&& visit) {
    NodePath path{};
    detail::walk_leaves(tree, tree.root, CellKey{}, path, visit);
}

// Minimum corner key of a cell on the finest lattice.
inline CornerKey min_corner(const CellKey& k, unsigned max_depth) {
    unsigned shift = max_depth - k.level;
    return {k.x << shift, k.y << shift, k.z << shift};
}

}  // namespace quarvel
