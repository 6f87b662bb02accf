#include "octree/octree.hpp"

#include <bit>
#include <cmath>

#include "core/fault.hpp"

namespace quarvel {

namespace {

// Descends from `node` at `level` towards `cell` while nodes are Internal,
// telling step(group, child) each step. Returns the level reached.
template <class Step>
unsigned descend(const Octree& tree, const OctreeNode*& node, unsigned level, const CellKey& cell,
                 Step&& step) {
    for (unsigned n = cell.level - level; n-- > 0; ++level) {
        const Internal* internal = as_internal(*node);
        if (!internal) break;
        const unsigned c =
            ((cell.x >> n) & 1u) | (((cell.y >> n) & 1u) << 1) | (((cell.z >> n) & 1u) << 2);
        step(internal->group, c);
        node = &tree.group(internal->group)[c];
    }
    return level;
}

}  // namespace

Domain cube_around(const Vec3& bbox_min, const Vec3& bbox_max) {
    Vec3 extent{bbox_max[0] - bbox_min[0], bbox_max[1] - bbox_min[1], bbox_max[2] - bbox_min[2]};
    Domain d;
    d.size = max_ignoring_nan(max_ignoring_nan(extent[0], extent[1]), extent[2]);
    for (int a = 0; a < 3; ++a) {
        double centre = (bbox_min[a] + bbox_max[a]) * 0.5;
        d.origin[a] = centre - d.size * 0.5;
    }
    return d;
}

double pow2(unsigned level) { return static_cast<double>(1u << level); }

double Octree::finest_edge() const { return size / pow2(max_depth); }

Vec3 Octree::position(const CornerKey& key) const {
    const double h = finest_edge();
    return {origin[0] + static_cast<double>(key.x) * h, origin[1] + static_cast<double>(key.y) * h,
            origin[2] + static_cast<double>(key.z) * h};
}

const ChildGroup& Octree::group(std::uint32_t index) const {
    if (index >= children.size()) index_fault(children.size(), index);
    return children[index];
}

ChildGroup& Octree::group(std::uint32_t index) {
    if (index >= children.size()) index_fault(children.size(), index);
    return children[index];
}

OctreeNode make_cell(const std::array<double, 8>& values, double iso_value) {
    std::uint8_t mask = 0;
    for (unsigned i = 0; i < 8; ++i)
        if (values[i] < iso_value) mask |= static_cast<std::uint8_t>(1u << i);
    if (mask == 0) return Outside{};
    if (mask == 255) return Inside{};
    return Leaf{mask};
}

FoundNode find_node(const Octree& tree, std::uint32_t x, std::uint32_t y, std::uint32_t z,
                    unsigned level) {
    return find_node_from(tree, &tree.root, 0, {x, y, z, static_cast<std::uint8_t>(level)});
}

FoundNode find_node_from(const Octree& tree, const OctreeNode* start, unsigned start_level,
                         const CellKey& cell) {
    const unsigned reached = descend(tree, start, start_level, cell, [](auto, auto) {});
    return {start, reached};
}

FoundSlot locate(const Octree& tree, NodeSlot start, unsigned start_level, const CellKey& cell) {
    const OctreeNode* node = &tree.at(start);
    NodeSlot slot = start;
    const unsigned reached = descend(tree, node, start_level, cell,
                                     [&](std::uint32_t group, unsigned child) {
                                         slot = {group, child};
                                     });
    return {slot, reached};
}

FoundNode find_node_path(const Octree& tree, const CellKey& cell, NodePath& path) {
    const OctreeNode* node = &tree.root;
    path[0] = node;
    const unsigned reached = descend(tree, node, 0, cell, [&, level = 0u](std::uint32_t group,
                                                                         unsigned child) mutable {
        path[++level] = &tree.group(group)[child];
    });
    return {node, reached};
}

FoundNode find_face_neighbour(const Octree& tree, const NodePath& path, const CellKey& cell,
                              const CellKey& neighbour, unsigned axis) {
    // Above the highest bit in which the coordinates differ, both paths agree.
    const unsigned differ = static_cast<unsigned>(std::bit_width(cell[axis] ^ neighbour[axis]));
    const unsigned shared = cell.level - differ;
    return find_node_from(tree, path[shared], shared, neighbour);
}

std::vector<CellKey> collect_leaves(const Octree& tree) {
    std::vector<CellKey> out;
    walk_leaves(tree, [&](const CellKey& key, const OctreeNode&, const NodePath&) {
        out.push_back(key);
    });
    return out;
}

bool subtree_has_surface_leaf(const Octree& tree, const OctreeNode& node) {
    bool found = false;
    // Keys are not read, so the walk may number the subtree from a root key.
    walk_subtree(tree, node, CellKey{}, [&](const CellKey&, const OctreeNode& n, const NodePath&) {
        found = found || is_surface_leaf(n);
        return !found;
    });
    return found;
}

Statistics statistics(const Octree& tree) {
    Statistics s;
    walk_nodes(tree, [&](const CellKey& key, const OctreeNode& node, const NodePath&) {
        switch (kind_of(node)) {
            case NodeKind::internal: ++s.internal_count; return true;
            case NodeKind::leaf:
                ++s.leaf_count;
                if (key.level > s.max_leaf_depth) s.max_leaf_depth = key.level;
                return false;
            case NodeKind::outside: ++s.outside_count; return false;
            case NodeKind::inside: ++s.inside_count; return false;
        }
        return false;
    });
    return s;
}

}  // namespace quarvel
