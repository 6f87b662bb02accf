#include "dc/surface_cells.hpp"

#include <algorithm>
#include <atomic>

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

namespace {

std::uint64_t code_of(const CellKey& k) { return walk_code({k.x, k.y, k.z}); }

}  // namespace

CellLookup::CellLookup(const std::vector<SurfaceCell>& cells) : cells_(cells) {
    by_code_ = index_in_z_order();
    if (by_code_) return;
    map_.reserve(cells.size());
    for (std::uint64_t i = 0; i < cells.size(); ++i) {
        check_active(i);
        map_.insert_or_assign(cells[i].key, i);
    }
}

bool CellLookup::index_in_z_order() {
    const std::size_t n = cells_.size();
    if (n == 0) return false;
    level_ = cells_[0].key.level;
    // z-order codes cover levels up to 21; a run table of about n entries.
    if (level_ > 21) return false;
    unsigned bits = 0;
    while ((std::uint64_t{1} << bits) < n && bits < 3u * level_) ++bits;
    shift_ = 3u * level_ - bits;
    codes_.resize(n);
    std::atomic<bool> sorted{true};
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) codes_[i] = code_of(cells_[i].key);
        for (std::size_t i = std::max<std::size_t>(begin, 1); i < end; ++i)
            if (cells_[i].key.level != level_ ||
                !((i > begin ? codes_[i - 1] : code_of(cells_[i - 1].key)) < codes_[i])) {
                sorted.store(false, std::memory_order_relaxed);
                return;
            }
    });
    if (!sorted.load()) {
        codes_ = {};
        return false;
    }
    // Each run's start is written by the cell that opens it, and the runs
    // before it that no cell opens take the same start.
    const std::uint64_t runs = std::uint64_t{1} << bits;
    start_.resize(runs + 1);
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint64_t run = codes_[i] >> shift_;
            const std::uint64_t after = i == 0 ? 0 : (codes_[i - 1] >> shift_) + 1;
            for (std::uint64_t r = after; r <= run; ++r) start_[r] = i;
        }
    });
    for (std::uint64_t r = (codes_[n - 1] >> shift_) + 1; r <= runs; ++r) start_[r] = n;
    return true;
}

std::uint64_t CellLookup::find(const CellKey& key) const {
    if (!by_code_) {
        const std::uint64_t* at = map_.find(key);
        return at ? *at : NONE;
    }
    if (key.level != level_ || std::max({key.x, key.y, key.z}) >> level_ != 0) return NONE;
    return find_code(code_of(key));
}

std::uint64_t CellLookup::find_near(std::uint64_t c, const std::array<int, 3>& step) const {
    CellKey key = cells_[c].key;
    const std::uint64_t side = std::uint64_t{1} << key.level;
    for (unsigned axis = 0; axis < 3; ++axis) {
        if (step[axis] < 0 && key[axis] == 0) return NONE;
        if (step[axis] > 0 && key[axis] + std::uint64_t{1} >= side) return NONE;
    }
    if (!by_code_) {
        for (unsigned axis = 0; axis < 3; ++axis) key[axis] += static_cast<std::uint32_t>(step[axis]);
        return find(key);
    }
    std::uint64_t code = codes_[c];
    for (unsigned axis = 0; axis < 3; ++axis)
        if (step[axis] != 0) code = step_code(code, axis, step[axis] > 0);
    return find_code(code);
}

std::uint64_t CellLookup::find_below(std::uint64_t c, unsigned axes) const {
    return find_near(c, {-static_cast<int>(axes & 1u), -static_cast<int>(axes >> 1 & 1u),
                         -static_cast<int>(axes >> 2 & 1u)});
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
