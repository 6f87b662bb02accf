#include "dc/surface_cells.hpp"

#include "core/fault.hpp"
#include "core/monitor.hpp"
#include "core/parallel.hpp"

namespace quarvel {

std::vector<SurfaceCell> collect_surface_cells(const Octree& tree) {
    // A cell's bounds as a walk from the root forms them, each level's halved
    // from its parent's, so that they are the same to the last bit.
    return gather_leaves<SurfaceCell>(
        tree, [&](const CellKey& key, const OctreeNode& node, const NodePath&, std::vector<SurfaceCell>& out) {
            const Leaf* leaf = surface_leaf(node);
            if (!leaf || key.level < tree.min_depth) return;
            Vec3 min = tree.origin;
            double edge = tree.size;
            for (unsigned l = 1; l <= key.level; ++l) {
                const double half = edge * 0.5;
                for (unsigned a = 0; a < 3; ++a) min[a] = min[a] + (((key[a] >> (key.level - l)) & 1u) ? half : 0.0);
                edge = half;
            }
            out.push_back({leaf->sign_mask, min, edge, key});
        });
}

CellLookup build_cell_lookup(const std::vector<SurfaceCell>& cells) {
    CellLookup lookup(cells.size());
    for (std::uint64_t i = 0; i < cells.size(); ++i) {
        check_active(i);
        lookup.insert_or_assign(cells[i].key, i);
    }
    return lookup;
}

SurfaceCells index_surface_cells(std::vector<SurfaceCell> cells) {
    SurfaceCells out;
    std::vector<CellComponents> components;
    components.reserve(cells.size());
    for (const SurfaceCell& cell : cells) components.push_back(components_of(cell));
    out.slots = number_vertex_slots(components);
    out.cells = std::move(cells);
    return out;
}

void attach_corner_values(SurfaceCells& surface, const Octree& tree) {
    surface.values.resize(surface.cells.size());
    parallel_for(surface.cells.size(), [&](std::size_t begin, std::size_t end) {
        CornerCache::Nearby cached(tree.corners);
        for (std::size_t c = begin; c < end; ++c) {
            const CellKey& key = surface.cells[c].key;
            const CornerKey m = min_corner(key, tree.max_depth);
            const std::uint32_t edge = 1u << (tree.max_depth - key.level);
            for (unsigned i = 0; i < 8; ++i) {
                const std::uint32_t s = cached.index_of(corner_of(m, edge, i));
                if (s == CornerCache::NONE) fault("corner value not kept");
                surface.values[c][i] = tree.corners.value(s);
            }
        }
    });
}

SurfaceCells surface_from_samples(std::vector<SampledCell>&& cells, std::vector<std::array<double, 8>>&& values,
                                  const Vec3& origin, double size, unsigned max_depth) {
    if (values.size() != cells.size()) fault("corner values not given for every cell");
    std::vector<SurfaceCell> surface(cells.size());
    parallel_for(cells.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const SampledCell& c = cells[i];
            const CellKey key{c.x, c.y, c.z, static_cast<std::uint8_t>(max_depth)};
            // Bounds halved level by level from the cube, as collect_surface_cells forms them.
            Vec3 min = origin;
            double edge = size;
            for (unsigned l = 1; l <= max_depth; ++l) {
                const double half = edge * 0.5;
                for (unsigned a = 0; a < 3; ++a) min[a] = min[a] + (((key[a] >> (max_depth - l)) & 1u) ? half : 0.0);
                edge = half;
            }
            surface[i] = {c.sign_mask, min, edge, key};
        }
    });
    cells = {};
    SurfaceCells out = index_surface_cells(std::move(surface));
    out.values = std::move(values);
    return out;
}

DcParams DcParams::of(double iso_value, double size, unsigned max_depth, double angle_threshold_deg,
                      const DcOptions& options) {
    return {iso_value, cos_degrees(angle_threshold_deg), size, size / pow2(max_depth), options};
}

DcParams DcParams::of(const Octree& tree, double angle_threshold_deg, const DcOptions& options) {
    return {tree.iso_value, cos_degrees(angle_threshold_deg), tree.size, tree.finest_edge(), options};
}

}  // namespace quarvel
