// Names for an extraction's vertices that do not depend on which other cells
// were meshed with them: the finest cell a vertex belongs to, and which of
// that cell's vertices it is. Two extractions over overlapping windows of one
// lattice give a vertex they both make the same name, so meshes made apart
// (tiles) join by name, without welding by distance.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dc/repair.hpp"
#include "dc/surface_cells.hpp"
#include "mesh/triangle_mesh.hpp"

namespace quarvel {

// Finest-cell coordinates packed 21 bits per axis: names serve depths up to 21.
inline constexpr unsigned kKeyAxisBits = 21;
inline constexpr std::uint64_t kKeyAxisMask = (std::uint64_t{1} << kKeyAxisBits) - 1;

constexpr std::uint64_t pack_cell(std::uint64_t x, std::uint64_t y, std::uint64_t z) {
    return x | (y << kKeyAxisBits) | (z << (2 * kKeyAxisBits));
}
constexpr std::uint32_t cell_axis(std::uint64_t packed, unsigned axis) {
    return static_cast<std::uint32_t>((packed >> (kKeyAxisBits * axis)) & kKeyAxisMask);
}

struct VertexKey {
    std::uint64_t cell = 0;    // the owning cell, packed
    std::uint64_t detail = 0;  // which of its vertices: the slot, or a digest of how a repair made it
    bool operator==(const VertexKey&) const = default;
    auto operator<=>(const VertexKey&) const = default;
};

// The names of `triangles`' vertices: the first `placed` are the cells',
// each cell's consecutive from `first_vertex` (per cell, or NONE), the rest
// those a repair added, as `made` records them (split_pinches). A vertex a pinch split is told from its copies by
// the vertices around its fan, so its name does not follow the order the
// triangles come in. Cells must be of one level of at most 21.
std::vector<VertexKey> vertex_keys(const SurfaceCells& surface, std::span<const std::uint64_t> first_vertex,
                                   std::uint64_t placed, std::span<const MadeVertex> made,
                                   std::span<const Triangle> triangles);

}  // namespace quarvel
