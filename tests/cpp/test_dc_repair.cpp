// The mesh check's crossing search (with and without a focus) and the
// splitting that makes two solids meeting along an edge a 2-manifold.
#include "check.hpp"
#include "dc/mesh_check.hpp"
#include "dc/repair.hpp"

using namespace quarvel;

namespace {

const std::vector<Vec3> kTetra{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
const std::vector<Triangle> kTetraFaces{{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};

// Two tetrahedra meeting along the edge 0-3 only.
TriangleMesh tetras_on_an_edge() {
    TriangleMesh m;
    m.vertices = kTetra;
    m.vertices.push_back({-1, 0, 0});
    m.vertices.push_back({0, -1, 0});
    m.triangles = kTetraFaces;
    for (const Triangle& t : std::vector<Triangle>{{0, 5, 4}, {0, 4, 3}, {0, 3, 5}, {4, 5, 3}}) m.triangles.push_back(t);
    m.normals.assign(m.vertices.size(), Vec3{0, 0, 1});
    return m;
}

}  // namespace

TEST(crossing_pairs_are_found_once_and_only_near_the_focus) {
    // Triangle 1 pierces triangle 0; triangle 2 lies far away, touching nothing.
    const std::vector<Vec3> v{{0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {0.5, 0.5, -1}, {0.5, 0.5, 1}, {1.5, 1.5, 1},
                              {9, 9, 9}, {10, 9, 9}, {9, 10, 9}};
    const std::vector<Triangle> t{{0, 1, 2}, {3, 4, 5}, {6, 7, 8}};
    CHECK((intersecting_pairs(v, t) == std::vector<TrianglePair>{{0, 1}}));
    CHECK(intersecting_pairs(v, t, std::vector<std::uint8_t>{0, 0, 1}).empty());
    CHECK(intersecting_pairs(v, t, std::vector<std::uint8_t>{0, 1, 0}).size() == 1);
    // Sharing the vertex 0 and lying in one plane is touching, not crossing.
    CHECK(intersecting_pairs(v, std::vector<Triangle>{{0, 1, 2}, {0, 2, 1}}).empty());
}

TEST(two_solids_on_one_edge_split_into_two_closed_manifolds) {
    TriangleMesh m = tetras_on_an_edge();
    const MeshCheck before = check_mesh(m.vertices, m.triangles);
    CHECK(before.nonmanifold_edges == 1);
    // Each tetrahedron gets its own middle of the edge, then its own ends.
    CHECK(split_pinches(m) == 4);
    CHECK(m.normals.size() == m.vertices.size());
    const MeshCheck after = check_mesh(m.vertices, m.triangles);
    CHECK(after.boundary_edges == 0);
    CHECK(after.nonmanifold_edges == 0);
    CHECK(after.nonmanifold_vertices == 0);
    CHECK(after.misoriented_edges == 0);
    CHECK(after.intersecting.empty());
    CHECK(after.degenerate_triangles == 0);
    TriangleMesh again = tetras_on_an_edge();
    split_pinches(again);
    CHECK(again.vertices == m.vertices && again.triangles == m.triangles);
}
