#include "dc/faces.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "core/fault.hpp"
#include "core/ordered_gather.hpp"
#include "core/parallel.hpp"
#include "dc/sheets.hpp"

namespace quarvel {

namespace {

// Zero for a (near) zero-area triangle, so that split scores 0 instead of NaN.
Vec3 unit(const Vec3& w) {
    const double len = std::sqrt(dot(w, w));
    if (!(len > 1e-15)) return {0.0, 0.0, 0.0};
    return {w[0] / len, w[1] / len, w[2] / len};
}

const Vec3& position(std::span<const Vec3> positions, std::uint64_t v) {
    if (v >= positions.size()) index_fault(positions.size(), v);
    return positions[v];
}

void emit(std::vector<Triangle>& out, std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    if (a == b || b == c || a == c) return;
    out.push_back({a, b, c});
}

struct FaceBuilder {
    const SurfaceCells& surface;
    const CellLookup& lookup;
    const std::vector<std::uint64_t>& first_vertex;
    bool by_sheet = false;

    // Vertex of cell `c` on its edge `e`: the slot of the edge's inside corner, or of its sheet.
    std::uint64_t vertex_on_edge(std::uint64_t c, unsigned e) const {
        if (by_sheet) return first_vertex[c] + slot_on_edge(surface.cells[c], e, true);
        const CellComponents& comp = components_of(surface.cells[c]);
        if (comp.count == 1) return first_vertex[c];
        const auto [a, b] = CUBE_EDGES[e];
        const unsigned inside = below(surface.cells[c], a) ? a : b;
        return first_vertex[c] + static_cast<std::uint64_t>(component_of(comp, inside));
    }

    // The cells one step down from a cell along a set of axes (bit per axis),
    // each looked up once: the edges of one cell share them.
    struct Below {
        std::array<std::uint64_t, 8> found{};
        std::uint8_t known = 0;  // bit per set of axes
    };

    std::uint64_t cell_below(std::uint64_t c, unsigned axes, Below& memo) const {
        if (!(memo.known >> axes & 1u)) {
            memo.found[axes] = lookup.find_below(c, axes);
            memo.known |= static_cast<std::uint8_t>(1u << axes);
        }
        return memo.found[axes];
    }

    // The four cells around the edge of cell `c` along `d`: c itself, then one
    // step down along u, v and both, at c's level and each with a vertex. None
    // at the lower domain boundary, or where a cell is missing or of another level.
    std::optional<std::array<std::uint64_t, 4>> cells_around(std::uint64_t c, unsigned d, Below& memo) const {
        const auto [u, v] = OTHER_AXES[d];
        const CellKey& key = surface.cells[c].key;
        if (key[u] == 0 || key[v] == 0) return std::nullopt;
        std::array<std::uint64_t, 4> around{c, 0, 0, 0};
        for (unsigned q = 1; q < 4; ++q) {
            const unsigned axes = (q & 1u ? 1u << u : 0u) | (q & 2u ? 1u << v : 0u);
            const std::uint64_t found = cell_below(c, axes, memo);
            if (found == CellLookup::NONE) return std::nullopt;
            around[q] = found;
        }
        for (unsigned q = 1; q < 4; ++q)
            if (first_vertex[around[q]] == PlacedVertices::NONE) return std::nullopt;
        return around;
    }

    void cell_quads(std::uint64_t c, std::vector<Quad>& out) const {
        if (first_vertex[c] == PlacedVertices::NONE) return;
        const SurfaceCell& cell = surface.cells[c];
        Below memo;
        for (unsigned d = 0; d < 3; ++d) {
            const auto [a, b] = CUBE_EDGES[edge_along(d, 0)];
            const bool a_below = below(cell, a);
            if (a_below == below(cell, b)) continue;
            const std::optional<std::array<std::uint64_t, 4>> around = cells_around(c, d, memo);
            if (!around) continue;
            std::array<std::uint64_t, 4> vq;
            for (unsigned q = 0; q < 4; ++q) vq[q] = vertex_on_edge((*around)[q], edge_along(d, q));
            const auto& t = QUAD_ORDER[d];
            // Counter-clockwise seen from the side at or above the iso value.
            if (a_below)
                out.push_back({vq[0], vq[t[1]], vq[3], vq[t[3]]});
            else
                out.push_back({vq[t[3]], vq[3], vq[t[1]], vq[0]});
        }
    }
};

}  // namespace

void split_quad(const Quad& quad, std::span<const Vec3> positions, std::vector<Triangle>& out) {
    const auto [a, b, c, d] = quad;
    const Vec3& pa = position(positions, a);
    const Vec3& pb = position(positions, b);
    const Vec3& pc = position(positions, c);
    const Vec3& pd = position(positions, d);
    const Vec3 ab = sub(pb, pa), ac = sub(pc, pa), ad = sub(pd, pa);
    const Vec3 bc = sub(pc, pb), bd = sub(pd, pb);
    const double along_ac = dot(unit(cross(ab, ac)), unit(cross(ac, ad)));
    const double along_bd = dot(unit(cross(ab, ad)), unit(cross(bc, bd)));
    // A tie keeps A-C; a NaN score falls to B-D.
    if (along_ac >= along_bd) {
        emit(out, a, b, c);
        emit(out, a, c, d);
    } else {
        emit(out, a, b, d);
        emit(out, b, c, d);
    }
}

std::vector<Quad> make_quads(const SurfaceCells& surface, const PlacedVertices& vertices) {
    // Built here, after the field batches, so that it never adds to their peak.
    const CellLookup lookup(surface.cells);
    const FaceBuilder builder{surface, lookup, vertices.first_vertex, vertices.by_sheet};
    return parallel_gather<Quad>(surface.cells.size(),
                                 [&](std::size_t c, std::vector<Quad>& out) { builder.cell_quads(c, out); });
}

std::vector<Triangle> split_quads(std::span<const Quad> quads, std::span<const Vec3> positions) {
    return parallel_gather<Triangle>(quads.size(), [&](std::size_t q, std::vector<Triangle>& out) {
        split_quad(quads[q], positions, out);
    });
}

bool split_in_place(std::span<const Quad> quads, std::size_t triangle_count) {
    const auto distinct = [](const Quad& d) {
        return d[0] != d[1] && d[0] != d[2] && d[0] != d[3] && d[1] != d[2] && d[1] != d[3] && d[2] != d[3];
    };
    return triangle_count == 2 * quads.size() && std::all_of(quads.begin(), quads.end(), distinct);
}

std::vector<std::uint8_t> resplit_quads(std::span<const Quad> quads, std::span<const Vec3> positions,
                                        std::span<const std::uint8_t> moved, std::vector<Triangle>& triangles,
                                        std::span<const std::uint64_t> among) {
    if (!split_in_place(quads, triangles.size())) {
        std::vector<Triangle> remade = split_quads(quads, positions);
        std::vector<std::uint8_t> changed(remade.size(), 1);
        if (remade.size() == triangles.size())
            for (std::size_t t = 0; t < remade.size(); ++t) changed[t] = remade[t] != triangles[t];
        triangles = std::move(remade);
        return changed;
    }
    std::vector<std::uint8_t> changed(triangles.size(), 0);
    parallel_for(among.empty() ? quads.size() : among.size(), [&](std::size_t begin, std::size_t end) {
        std::vector<Triangle> two;
        for (std::size_t i = begin; i < end; ++i) {
            if (!among.empty() && among[i] % 2 != 0) continue;  // its quad comes with 2q
            const std::size_t q = among.empty() ? i : among[i] / 2;
            const Quad& d = quads[q];
            if (!(moved[d[0]] || moved[d[1]] || moved[d[2]] || moved[d[3]])) continue;
            two.clear();
            split_quad(d, positions, two);
            for (std::size_t k = 0; k < 2; ++k) {
                changed[2 * q + k] = two[k] != triangles[2 * q + k];
                triangles[2 * q + k] = two[k];
            }
        }
    });
    return changed;
}

std::vector<Triangle> generate_faces(const SurfaceCells& surface, const PlacedVertices& vertices) {
    return split_quads(make_quads(surface, vertices), vertices.positions);
}

}  // namespace quarvel
