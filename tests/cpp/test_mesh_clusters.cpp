// Block merges, the first part of simplification: what they keep of a closed
// mesh, and the vertices they are told to hold.
#include <map>

#include "check.hpp"
#include "mesh/check.hpp"
#include "mesh/clusters.hpp"
#include "mesh/measure.hpp"

using namespace quarvel;

namespace {

// The unit cube's surface, each face an n x n grid of squares cut in two,
// counter-clockwise seen from outside.
TriangleMesh grid_cube(int n) {
    TriangleMesh m;
    std::map<std::array<int, 3>, std::uint64_t> index;
    const auto vertex = [&](std::array<int, 3> g) {
        const auto [it, made] = index.try_emplace(g, m.vertices.size());
        if (made) m.vertices.push_back({double(g[0]) / n, double(g[1]) / n, double(g[2]) / n});
        return it->second;
    };
    for (int axis = 0; axis < 3; ++axis)
        for (int side = 0; side < 2; ++side)
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) {
                    const int u = (axis + 1) % 3, v = (axis + 2) % 3;
                    std::array<std::uint64_t, 4> q;
                    for (int c = 0; c < 4; ++c) {
                        std::array<int, 3> g{};
                        g[axis] = side * n;
                        g[u] = i + (c == 1 || c == 2);
                        g[v] = j + (c >= 2);
                        q[c] = vertex(g);
                    }
                    if (side == 1) {
                        m.triangles.push_back({q[0], q[1], q[2]});
                        m.triangles.push_back({q[0], q[2], q[3]});
                    } else {
                        m.triangles.push_back({q[0], q[2], q[1]});
                        m.triangles.push_back({q[0], q[3], q[2]});
                    }
                }
    return m;
}

bool clean(const TriangleMesh& m) {
    const MeshCheck c = check_mesh(m.vertices, m.triangles);
    return c.degenerate_triangles + c.boundary_edges + c.nonmanifold_edges + c.misoriented_edges +
               c.nonmanifold_vertices + c.intersecting_count ==
           0;
}

}  // namespace

TEST(block_merges_keep_a_closed_cube_whole_with_its_corners) {
    const int n = 32;
    const TriangleMesh cube = grid_cube(n);
    REQUIRE(clean(cube));
    const Clustered out = merge_blocks(cube, 1e-3, std::vector<std::uint8_t>(cube.vertices.size(), 0),
                                       BlockGrid{{0.0, 0.0, 0.0}, 1.0 / n});
    CHECK(clean(out.mesh));
    CHECK(out.mesh.triangles.size() * 20 < cube.triangles.size());
    CHECK(out.merged + out.mesh.vertices.size() == cube.vertices.size());
    CHECK(out.mesh.vertices.size() - out.mesh.triangles.size() / 2 == 2);  // Euler characteristic of a sphere
    CHECK(std::abs(measure_mesh(out.mesh.vertices, out.mesh.triangles).volume - 1.0) < 1e-12);
    int corners = 0;
    for (const Vec3& p : out.mesh.vertices)
        corners += (p[0] == 0.0 || p[0] == 1.0) && (p[1] == 0.0 || p[1] == 1.0) && (p[2] == 0.0 || p[2] == 1.0);
    CHECK(corners == 8);
}

TEST(block_merges_leave_held_vertices_alone) {
    const int n = 16;
    const TriangleMesh cube = grid_cube(n);
    std::vector<std::uint8_t> held(cube.vertices.size(), 0);
    for (std::size_t v = 0; v < held.size(); ++v) held[v] = cube.vertices[v][2] == 1.0 && cube.vertices[v][0] < 0.5;
    const Clustered out = merge_blocks(cube, 1e-3, held, BlockGrid{});  // cells of the mean edge
    CHECK(clean(out.mesh));
    std::vector<int> into(out.mesh.vertices.size(), 0);
    for (std::size_t v = 0; v < held.size(); ++v) ++into[out.from[v]];
    for (std::size_t v = 0; v < held.size(); ++v) {
        if (!held[v]) continue;
        CHECK(out.held[out.from[v]] == 1);
        CHECK(into[out.from[v]] == 1);  // neither merged nor merged into
        CHECK(out.mesh.vertices[out.from[v]] == cube.vertices[v]);
    }
    CHECK(out.mesh.triangles.size() * 4 < cube.triangles.size());
}
