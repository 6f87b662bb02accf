// Face generation: the diagonal split, orientation per axis, the vertex of a
// multi-vertex cell, and the edges that yield no quad.
#include <cmath>
#include <random>

#include "check.hpp"
#include "dc/faces.hpp"
#include "dc/vertices.hpp"
#include "fields.hpp"
#include "test_dc_support.hpp"

using namespace quarvel;

namespace {

std::vector<Triangle> split(const std::array<std::uint64_t, 4>& quad, const std::vector<Vec3>& p) {
    std::vector<Triangle> out;
    split_quad(quad, p, out);
    return out;
}

bool same(const std::vector<Triangle>& got, const std::vector<Triangle>& want) { return got == want; }

// Four level-1 cells around the x edge from (0,1,1) to (1,1,1): q0 = (0,1,1)
// owns it, q1 = (0,0,1), q2 = (0,1,0), q3 = (0,0,0). Only the lattice point
// (0,1,1) is inside; in q3 it is corner 6, grouped with nothing, while a
// second inside corner 1 gives q3 two vertices.
struct FourCells {
    std::vector<SurfaceCell> cells;
    std::vector<std::uint64_t> first{0, 1, 2, 3};
    std::vector<Vec3> positions{{0.5, 1.5, 1.5}, {0.5, 0.5, 1.5}, {0.5, 1.5, 0.5},
                                {0.9, 0.1, 0.1}, {0.5, 0.5, 0.5}};

    FourCells() {
        const CellKey keys[4] = {{0, 1, 1, 1}, {0, 0, 1, 1}, {0, 1, 0, 1}, {0, 0, 0, 1}};
        const std::uint8_t masks[4] = {1, 4, 16, 66};
        for (int q = 0; q < 4; ++q) {
            SurfaceCell c;
            c.key = keys[q];
            c.sign_mask = masks[q];
            c.edge = 1.0;
            c.min = {0.0, double(keys[q].y), double(keys[q].z)};
            cells.push_back(c);
        }
    }
    std::vector<Triangle> faces() const {
        PlacedVertices placed;
        placed.positions = positions;
        placed.first_vertex = first;
        return generate_faces(index_surface_cells(cells), placed);
    }
};

}  // namespace

TEST(dc_split_quad_diagonal_choice) {
    // A planar square: both splits agree perfectly, the tie keeps A-C.
    const std::vector<Vec3> square{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    CHECK(same(split({0, 1, 2, 3}, square), {{0, 1, 2}, {0, 2, 3}}));

    // C lifted: A-C normals (0,-1,1)/√2 and (-1,0,1)/√2 agree by 1/2, B-D
    // normals (0,0,1) and (-1,-1,1)/√3 by 1/√3, so B-D wins.
    const std::vector<Vec3> bent{{0, 0, 0}, {1, 0, 0}, {1, 1, 1}, {0, 1, 0}};
    CHECK(same(split({0, 1, 2, 3}, bent), {{0, 1, 3}, {1, 2, 3}}));
    // Lifting B instead makes A-C the flatter split.
    const std::vector<Vec3> bent_b{{0, 0, 0}, {1, 0, 1}, {1, 1, 0}, {0, 1, 0}};
    CHECK(same(split({0, 1, 2, 3}, bent_b), {{0, 1, 2}, {0, 2, 3}}));

    // A repeated vertex: both scores are 0 (zero normals), A-C is kept, and
    // the triangle with the repeated index is dropped.
    CHECK(same(split({0, 0, 2, 3}, square), {{0, 2, 3}}));
    // Coincident positions with distinct indices are still emitted.
    const std::vector<Vec3> pinched{{0, 0, 0}, {0, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    CHECK_EQ(split({0, 1, 2, 3}, pinched).size(), 2u);
}

TEST(dc_faces_pick_the_vertex_of_the_edges_inside_corner) {
    FourCells four;
    // Quad (q0, q1, q3, q2) with q3's second vertex (4); the planar tie splits along A-C.
    const auto faces = four.faces();
    CHECK(same(faces, {{0, 1, 4}, {0, 4, 2}}));
    // Winding: corner a (low x) is inside, so the normal points to +x.
    TriangleMesh m{four.positions, faces, {}};
    for (std::size_t t = 0; t < faces.size(); ++t) CHECK(dctest::triangle_normal(m, t)[0] > 0);

    // The same edge with the signs swapped winds the other way.
    FourCells flipped;
    for (auto& c : flipped.cells) c.sign_mask = static_cast<std::uint8_t>(~c.sign_mask);
    flipped.positions[3] = {0.5, 0.5, 0.5};  // q3 now has a single vertex
    for (const Triangle& t : flipped.faces()) {
        TriangleMesh one{flipped.positions, {t}, {}};
        CHECK(dctest::triangle_normal(one, 0)[0] < 0);
    }
}

TEST(dc_faces_need_all_four_cells_with_vertices) {
    FourCells no_vertex;
    no_vertex.first[2] = PlacedVertices::NONE;
    CHECK(no_vertex.faces().empty());

    FourCells missing;
    missing.cells.pop_back();
    missing.first.pop_back();
    CHECK(missing.faces().empty());

    // The owner itself without a vertex yields nothing either.
    FourCells owner;
    owner.first[0] = PlacedVertices::NONE;
    CHECK(owner.faces().empty());
}

TEST(dc_plane_per_axis_winds_toward_the_outside) {
    // f = ±(coordinate d − 0.4) on a uniform depth-2 tree of the unit cube: the
    // 4×4 layer of cells at index 1 along d; quads only where both other key
    // coordinates are ≥ 1 (the lower boundary has none), so 3×3 quads.
    for (int d = 0; d < 3; ++d) {
        for (double sign : {1.0, -1.0}) {
            testing::LambdaField field(
                [=](const Vec3& p) { return sign * (p[d] - 0.4); },
                [=](const Vec3&) {
                    Vec3 g{0, 0, 0};
                    g[d] = sign;
                    return g;
                });
            const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 2);
            const TriangleMesh mesh = extract_dual_contour(field, tree, 30.0);
            CHECK_EQ(mesh.triangles.size(), 18u);
            CHECK_EQ(mesh.vertices.size(), 16u);
            for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
                const Vec3 n = dctest::triangle_normal(mesh, t);
                CHECK(n[d] * sign > 0);
                CHECK_NEAR(n[(d + 1) % 3], 0.0, 1e-12);
                CHECK_NEAR(n[(d + 2) % 3], 0.0, 1e-12);
            }
            for (const Vec3& p : mesh.vertices) {
                CHECK_NEAR(p[d], 0.4, 1e-12);
                for (int a = 0; a < 3; ++a) {
                    if (a == d) continue;
                    const double k = (p[a] - 0.125) / 0.25;  // cell centres 0.125 + 0.25 k
                    CHECK_NEAR(k, std::round(k), 1e-9);
                }
            }
            const dctest::Topology topo = dctest::topology(mesh);
            CHECK(topo.oriented);
            CHECK(!topo.closed);  // a patch of plane, open at the domain boundary
            CHECK_EQ(topo.euler, 1);
        }
    }
}

TEST(dc_no_quad_across_a_change_of_level) {
    // max_depth 2; only the level-1 cells with y index 0 are refined. The plane
    // x = 0.4 then crosses level-2 cells with y < 0.5 and level-1 cells above.
    // Level-2 quads need key y ≥ 1 and z ≥ 1 with all neighbours at level 2:
    // key y = 1, z = 1..3, that is 3 quads. The level-1 cells' x edges border
    // refined cells, so they give none.
    testing::LambdaField field([](const Vec3& p) { return p[0] - 0.4; },
                               [](const Vec3&) { return Vec3{1, 0, 0}; });
    Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 2, 0.0,
                                       [](const CellKey& k) { return k.level == 0 || k.y == 0; });
    tree.min_depth = 1;
    const TriangleMesh mesh = extract_dual_contour(field, tree, 30.0);
    CHECK_EQ(mesh.triangles.size(), 6u);
    for (const auto& tri : mesh.triangles)
        for (auto v : tri) CHECK(mesh.vertices[v][1] < 0.5);
}

TEST(dc_resplit_after_moves_equals_a_full_split) {
    // Random quads over random points, a tenth of the points moved each round:
    // splitting again only the quads that moved gives the full split, and the
    // changed flags mark exactly the triangles that differ. With a quad that
    // repeats a vertex (its count depends on the split), everything is split.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Vec3> p(200);
    for (Vec3& x : p) x = {u(rng), u(rng), u(rng)};
    std::uniform_int_distribution<std::uint64_t> pick(0, p.size() - 1);
    for (const bool repeat : {false, true}) {
        std::vector<Quad> quads;
        while (quads.size() < 300) {
            const Quad q{pick(rng), pick(rng), pick(rng), pick(rng)};
            if (q[0] != q[1] && q[0] != q[2] && q[0] != q[3] && q[1] != q[2] && q[1] != q[3] && q[2] != q[3])
                quads.push_back(q);
        }
        if (repeat) quads[7][2] = quads[7][0];
        std::vector<Triangle> triangles = split_quads(quads, p);
        std::size_t changes = 0;
        for (int round = 0; round < 4; ++round) {
            std::vector<std::uint8_t> moved(p.size(), 0);
            for (std::size_t v = 0; v < p.size(); ++v)
                if (rng() % 10 == 0) {
                    moved[v] = 1;
                    p[v] = {u(rng), u(rng), u(rng)};
                }
            const std::vector<Triangle> before = triangles;
            const std::vector<std::uint8_t> changed = resplit_quads(quads, p, moved, triangles);
            CHECK(triangles == split_quads(quads, p));
            REQUIRE(changed.size() == triangles.size());
            for (std::size_t t = 0; t < triangles.size(); ++t) {
                CHECK(changed[t] == (before.size() != triangles.size() || before[t] != triangles[t]));
                changes += changed[t];
            }
        }
        CHECK(changes > 20);
    }
}
