#include "dc/surface_cells.hpp"

namespace quarvel {

std::vector<SurfaceCell> collect_surface_cells(const Octree& tree) {
    std::vector<SurfaceCell> cells;
    // Bounds of the nodes on the walk's path, each level's halved from its parent's.
    std::array<Vec3, 33> min;
    std::array<double, 33> edge;
    walk_nodes(tree, [&](const CellKey& key, const OctreeNode& node, const NodePath&) {
        const unsigned l = key.level;
        if (l == 0) {
            min[0] = tree.origin;
            edge[0] = tree.size;
        } else {
            const double half = edge[l - 1] * 0.5;
            for (unsigned a = 0; a < 3; ++a) min[l][a] = min[l - 1][a] + ((key[a] & 1u) ? half : 0.0);
            edge[l] = half;
        }
        if (is_internal(node)) return true;
        const Leaf* leaf = surface_leaf(node);
        if (leaf && l >= tree.min_depth)
            cells.push_back({tree.data(*leaf).values, leaf->sign_mask, min[l], edge[l], key});
        return false;
    });
    return cells;
}

CellLookup build_cell_lookup(const std::vector<SurfaceCell>& cells) {
    CellLookup lookup(cells.size());
    for (std::uint64_t i = 0; i < cells.size(); ++i) lookup.insert_or_assign(cells[i].key, i);
    return lookup;
}

SurfaceCells index_surface_cells(std::vector<SurfaceCell> cells) {
    SurfaceCells out;
    out.components.reserve(cells.size());
    for (const SurfaceCell& cell : cells) out.components.push_back(COMPONENT_TABLE[cell.sign_mask]);
    out.slots = number_vertex_slots(out.components);
    out.lookup = build_cell_lookup(cells);
    out.cells = std::move(cells);
    return out;
}

DcParams DcParams::of(const Octree& tree, double angle_threshold_deg, const DcOptions& options) {
    return {tree.iso_value, cos_degrees(angle_threshold_deg), tree.size, tree.finest_edge(), options};
}

}  // namespace quarvel
