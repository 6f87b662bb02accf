#include "octree/octree.hpp"

#include <bit>
#include <cmath>

#include "core/fault.hpp"
#include "core/vec3.hpp"

namespace quarvel {

namespace {

void count_node(const Octree& tree, const OctreeNode& node, unsigned depth, Statistics& s) {
    if (const auto* internal = std::get_if<Internal>(&node)) {
        ++s.internal_count;
        for (const OctreeNode& child : tree.group(internal->group))
            count_node(tree, child, depth + 1, s);
    } else if (std::holds_alternative<Leaf>(node)) {
        ++s.leaf_count;
        if (depth > s.max_leaf_depth) s.max_leaf_depth = static_cast<std::uint8_t>(depth);
    } else if (std::holds_alternative<Outside>(node)) {
        ++s.outside_count;
    } else {
        ++s.inside_count;
    }
}

void collect(const Octree& tree, const OctreeNode& node, const CellKey& key,
             std::vector<CellKey>& out) {
    if (const auto* internal = std::get_if<Internal>(&node)) {
        const ChildGroup& group = tree.group(internal->group);
        for (unsigned c = 0; c < 8; ++c) collect(tree, group[c], child_of(key, c), out);
    } else {
        out.push_back(key);
    }
}

}  // namespace

bool is_surface_leaf(const OctreeNode& node) {
    const auto* leaf = std::get_if<Leaf>(&node);
    return leaf && leaf->sign_mask != 0 && leaf->sign_mask != 255;
}

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

const LeafData& Octree::data(const Leaf& leaf) const {
    if (leaf.data >= leaf_data.size()) index_fault(leaf_data.size(), leaf.data);
    return leaf_data[leaf.data];
}

Leaf Octree::add_leaf(LeafData samples, std::uint8_t sign_mask) {
    leaf_data.push_back(std::move(samples));
    return {static_cast<std::uint32_t>(leaf_data.size() - 1), sign_mask};
}

OctreeNode make_cell(Octree& tree, const std::array<const CornerSample*, 8>& samples,
                     double iso_value) {
    std::uint8_t mask = 0;
    for (unsigned i = 0; i < 8; ++i)
        if (samples[i]->value < iso_value) mask |= static_cast<std::uint8_t>(1u << i);
    if (mask == 0) return Outside{};
    if (mask == 255) return Inside{};
    LeafData data;
    bool all_gradients = true;
    for (unsigned i = 0; i < 8; ++i) {
        data.values[i] = samples[i]->value;
        all_gradients = all_gradients && samples[i]->gradient.has_value();
    }
    if (all_gradients) {
        std::array<Vec3, 8> g;
        for (unsigned i = 0; i < 8; ++i) g[i] = *samples[i]->gradient;
        data.gradients = g;
    }
    return tree.add_leaf(std::move(data), mask);
}

FoundNode find_node(const Octree& tree, std::uint32_t x, std::uint32_t y, std::uint32_t z,
                    unsigned level) {
    return find_node_from(tree, &tree.root, 0, x, y, z, level);
}

FoundNode find_node_from(const Octree& tree, const OctreeNode* start, unsigned start_level,
                         std::uint32_t x, std::uint32_t y, std::uint32_t z, unsigned level) {
    const OctreeNode* node = start;
    unsigned reached = start_level;
    for (unsigned n = level - start_level; n-- > 0;) {
        const auto* internal = std::get_if<Internal>(node);
        if (!internal) break;
        unsigned c = ((x >> n) & 1u) | (((y >> n) & 1u) << 1) | (((z >> n) & 1u) << 2);
        node = &tree.group(internal->group)[c];
        ++reached;
    }
    return {node, reached};
}

FoundNode find_face_neighbour(const Octree& tree, const NodePath& path, const CellKey& cell,
                              const CellKey& neighbour, unsigned axis) {
    const std::uint32_t a = axis == 0 ? cell.x : axis == 1 ? cell.y : cell.z;
    const std::uint32_t b = axis == 0 ? neighbour.x : axis == 1 ? neighbour.y : neighbour.z;
    // Above the highest bit in which the coordinates differ, both paths agree.
    const unsigned shared = cell.level - static_cast<unsigned>(std::bit_width(a ^ b));
    return find_node_from(tree, path[shared], shared, neighbour.x, neighbour.y, neighbour.z,
                          cell.level);
}

std::vector<CellKey> collect_leaves(const Octree& tree) {
    std::vector<CellKey> out;
    collect(tree, tree.root, CellKey{}, out);
    return out;
}

ChildGroup make_children(Octree& tree, const CornerCache& cache, CornerKey m, unsigned level,
                         double iso_value, const char* missing_message) {
    const std::uint32_t t = 1u << (tree.max_depth - level - 1);
    std::array<const CornerSample*, 27> lattice;  // (dx, dy, dz) in {0,1,2}^3, x fastest
    for (unsigned dz = 0; dz < 3; ++dz)
        for (unsigned dy = 0; dy < 3; ++dy)
            for (unsigned dx = 0; dx < 3; ++dx) {
                const CornerSample* s = cache.find({m.x + dx * t, m.y + dy * t, m.z + dz * t});
                if (!s) fault(missing_message);
                lattice[dx + 3 * dy + 9 * dz] = s;
            }
    ChildGroup group;
    for (unsigned c = 0; c < 8; ++c) {
        std::array<const CornerSample*, 8> samples;
        for (unsigned i = 0; i < 8; ++i)
            samples[i] = lattice[(bit_x(c) + bit_x(i)) + 3 * (bit_y(c) + bit_y(i)) +
                                 9 * (bit_z(c) + bit_z(i))];
        group[c] = make_cell(tree, samples, iso_value);
    }
    return group;
}

void subdivide(Octree& tree, const CornerCache& cache, CornerKey m, unsigned level,
               double iso_value) {
    const ChildGroup group =
        make_children(tree, cache, m, level, iso_value, "corner not in cache during subdivision");
    const auto g = static_cast<std::uint32_t>(tree.children.size());
    tree.children.push_back(group);

    OctreeNode* node = &tree.root;
    std::uint32_t x = m.x, y = m.y, z = m.z;
    std::uint32_t b = level > 0 ? 1u << (tree.max_depth - 1) : 0;
    for (unsigned step = 0; step < level; ++step) {
        unsigned index = (x >= b ? 1u : 0u) | (y >= b ? 2u : 0u) | (z >= b ? 4u : 0u);
        if (x >= b) x -= b;
        if (y >= b) y -= b;
        if (z >= b) z -= b;
        b >>= 1;
        auto* internal = std::get_if<Internal>(node);
        if (!internal) break;
        node = &tree.group(internal->group)[index];
    }
    *node = Internal{g};
}

Statistics statistics(const Octree& tree) {
    Statistics s;
    count_node(tree, tree.root, 0, s);
    return s;
}

}  // namespace quarvel
