// A grid of cubic cells laid over a box, as the crossing searches' sieves
// use it: the cells a box reaches, clamped into the grid, and the cell size
// chosen from the boxes the grid will hold. Internal to the mesh check.
#pragma once

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <optional>

#include "mesh/crossing_tests.hpp"

namespace quarvel::detail {

struct BoxGrid {
    Vec3 origin{};
    double scale = 1.0;  // cells per unit length
    std::array<std::uint64_t, 3> dims{1, 1, 1};

    // The cells from lo to hi along each axis; empty when the box lies outside.
    struct Range {
        std::array<std::uint64_t, 3> lo{}, hi{}, dims{};
        bool empty = false;
        std::uint64_t count() const { return (hi[0] - lo[0] + 1) * (hi[1] - lo[1] + 1) * (hi[2] - lo[2] + 1); }
        std::uint64_t first() const { return (lo[0] * dims[1] + lo[1]) * dims[2] + lo[2]; }
        template <class Visit>
        void each(Visit&& visit) const {
            for (std::uint64_t x = lo[0]; x <= hi[0]; ++x)
                for (std::uint64_t y = lo[1]; y <= hi[1]; ++y)
                    for (std::uint64_t z = lo[2]; z <= hi[2]; ++z) visit((x * dims[1] + y) * dims[2] + z);
        }
    };

    std::uint64_t size() const { return dims[0] * dims[1] * dims[2]; }

    // A box's cells, clamped into the grid; empty when it lies outside or is
    // not finite. A box maps to cells monotonically, so two boxes that
    // overlap share a cell.
    Range cells(const Aabb& b) const {
        Range r;
        r.dims = dims;
        for (int a = 0; a < 3; ++a) {
            const double lo = std::floor((b.lo[a] - origin[a]) * scale);
            const double hi = std::floor((b.hi[a] - origin[a]) * scale);
            const double last = static_cast<double>(dims[a] - 1);
            if (!(hi >= 0.0 && lo <= last)) return {.empty = true};
            r.lo[a] = lo < 0.0 ? 0 : static_cast<std::uint64_t>(lo);
            r.hi[a] = hi > last ? dims[a] - 1 : static_cast<std::uint64_t>(hi);
        }
        return r;
    }

    // The grid over `all` with cells `cell` across, twice as large until it
    // has at most `max_cells` cells and the n boxes that for_each_box(visit)
    // passes to visit reach at most 16 cells each on average. Nothing where
    // `all` is not finite or the cells would outgrow the double range.
    template <class ForEachBox>
    static std::optional<BoxGrid> fit(const Aabb& all, double cell, double max_cells, std::size_t n,
                                      ForEachBox&& for_each_box) {
        BoxGrid grid;
        grid.origin = all.lo;
        const Vec3 span = sub(all.hi, all.lo);
        for (cell = std::max(cell, 1e-300);; cell *= 2.0) {
            if (!(cell < DBL_MAX / 2) || !is_finite(span)) return std::nullopt;
            grid.scale = 1.0 / cell;
            double count = 1.0;
            for (int a = 0; a < 3; ++a) count *= std::floor(span[a] * grid.scale) + 1.0;
            if (count > max_cells) continue;
            for (int a = 0; a < 3; ++a) grid.dims[a] = static_cast<std::uint64_t>(std::floor(span[a] * grid.scale)) + 1;
            std::uint64_t entries = 0;
            for_each_box([&](const Aabb& b) { entries += grid.cells(b).count(); });
            if (entries <= 16 * n) return grid;
        }
    }
};

}  // namespace quarvel::detail
