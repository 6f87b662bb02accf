#include "dc/mass_point.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/parallel.hpp"
#include "dc/sheets.hpp"

namespace quarvel {

void place_mass_points(const SurfaceCells& surface, const Crossings& crossings, PlacedVertices& vertices) {
    const bool for_repair = !vertices.crossing_mean.empty();
    parallel_for(surface.cells.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            const std::uint64_t first = vertices.first_vertex[c];
            if (first == PlacedVertices::NONE) continue;
            const SurfaceCell& cell = surface.cells[c];
            std::array<Vec3, 4> sum{};
            std::array<unsigned, 4> count{};
            std::array<Box, 4> box;
            box.fill({{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}});
            for_each_crossing(crossings, c, c + 1, [&](std::size_t, unsigned e, std::uint64_t i) {
                const unsigned j = slot_on_edge(cell, e, vertices.by_sheet);
                const Vec3& p = crossings.solved_points[crossings.solved_edge[i]];
                for (int a = 0; a < 3; ++a) {
                    sum[j][a] += p[a];
                    box[j].lo[a] = std::min(box[j].lo[a], p[a]);
                    box[j].hi[a] = std::max(box[j].hi[a], p[a]);
                }
                ++count[j];
            });
            for (unsigned j = 0; j < slot_count(cell, vertices.by_sheet); ++j) {
                const unsigned k = count[j];
                const Vec3 mean = k > 0 ? Vec3{sum[j][0] / k, sum[j][1] / k, sum[j][2] / k} : cell_centre(cell);
                vertices.positions[first + j] = mean;
                vertices.sharp[first + j] = 0;
                if (for_repair) {
                    vertices.crossing_mean[first + j] = mean;
                    vertices.crossing_box[first + j] = k > 0 ? box[j] : cell_box(cell);
                }
            }
        }
    });
}

}  // namespace quarvel
