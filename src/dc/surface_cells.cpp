#include "dc/surface_cells.hpp"

namespace quarvel {

namespace {

struct Collector {
    const Octree& tree;
    std::vector<SurfaceCell>& out;

    void visit(const OctreeNode& node, const CellKey& key, const Vec3& min, double edge) {
        if (const auto* internal = std::get_if<Internal>(&node)) {
            const ChildGroup& group = tree.group(internal->group);
            const double half = edge * 0.5;
            for (unsigned c = 0; c < 8; ++c) {
                const Vec3 child_min{min[0] + (bit_x(c) ? half : 0.0), min[1] + (bit_y(c) ? half : 0.0),
                                     min[2] + (bit_z(c) ? half : 0.0)};
                visit(group[c], child_of(key, c), child_min, half);
            }
            return;
        }
        if (key.level < tree.min_depth || !is_surface_leaf(node)) return;
        const Leaf& leaf = std::get<Leaf>(node);
        out.push_back({tree.data(leaf).values, leaf.sign_mask, min, edge, key});
    }
};

}  // namespace

std::vector<SurfaceCell> collect_surface_cells(const Octree& tree) {
    std::vector<SurfaceCell> cells;
    Collector{tree, cells}.visit(tree.root, CellKey{}, tree.origin, tree.size);
    return cells;
}

CellLookup build_cell_lookup(const std::vector<SurfaceCell>& cells) {
    CellLookup lookup(cells.size());
    for (std::uint64_t i = 0; i < cells.size(); ++i) lookup.insert_or_assign(cells[i].key, i);
    return lookup;
}

}  // namespace quarvel
