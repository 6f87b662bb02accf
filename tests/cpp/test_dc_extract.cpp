// The extraction end to end: closed oriented spheres, the call pattern, the
// largest-component filter, faults, and independence of the thread count.
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "check.hpp"
#include "core/fault.hpp"
#include "core/parallel.hpp"
#include "dc/component.hpp"
#include "dc/extract.hpp"
#include "mesh/pieces.hpp"
#include "dc/surface_cells.hpp"
#include "fields.hpp"
#include "test_dc_support.hpp"

using dctest::fault_message;

using namespace quarvel;

namespace {

const Vec3 kCentre{0.52, 0.47, 0.5};

// Sign-changing edges of all surface leaves, counted from the tree's own
// leaves rather than from the extraction's cell list.
std::size_t count_crossing_edges(const Octree& tree) {
    std::size_t n = 0;
    for (const CellKey& key : collect_leaves(tree)) {
        if (key.level < tree.min_depth) continue;
        const OctreeNode* node = find_node(tree, key.x, key.y, key.z, key.level).node;
        if (!is_surface_leaf(*node)) continue;
        const unsigned mask = std::get<Leaf>(*node).sign_mask;
        for (unsigned a = 0; a < 8; ++a)
            for (unsigned axis = 0; axis < 3; ++axis) {
                const unsigned b = a | (1u << axis);
                if (b != a && ((mask >> a) & 1u) != ((mask >> b) & 1u)) ++n;
            }
    }
    return n;
}


// min(|p - c1| - r1, |p - c2| - r2), gradient of the nearer sphere.
testing::LambdaField two_spheres(bool with_gradients) {
    const Vec3 c1{0.3, 0.5, 0.5}, c2{0.75, 0.5, 0.5};
    const double r1 = 0.25, r2 = 0.12;
    auto d1 = [=](const Vec3& p) { return testing::norm(dctest::sub(p, c1)) - r1; };
    auto d2 = [=](const Vec3& p) { return testing::norm(dctest::sub(p, c2)) - r2; };
    auto value = [=](const Vec3& p) { return std::min(d1(p), d2(p)); };
    if (!with_gradients) return testing::LambdaField(value);
    return testing::LambdaField(value, [=](const Vec3& p) {
        const Vec3 d = dctest::sub(p, d1(p) <= d2(p) ? c1 : c2);
        const double n = testing::norm(d);
        return Vec3{d[0] / n, d[1] / n, d[2] / n};
    });
}

std::string checksum(const TriangleMesh& m) {
    std::uint64_t h = 1469598103934665603ULL;  // FNV-1a over the exact bits
    auto mix = [&](std::uint64_t v) {
        for (int i = 0; i < 8; ++i) {
            h ^= (v >> (8 * i)) & 0xffu;
            h *= 1099511628211ULL;
        }
    };
    for (const Vec3& p : m.vertices)
        for (double c : p) mix(std::bit_cast<std::uint64_t>(c));
    for (const auto& t : m.triangles)
        for (auto v : t) mix(v);
    std::ostringstream os;
    os << std::hex << h << std::dec << "/" << m.vertices.size() << "/" << m.triangles.size();
    return os.str();
}

}  // namespace

TEST(dc_sphere_is_closed_oriented_and_on_the_surface) {
    for (unsigned depth : {4u, 5u}) {
        auto field = testing::sphere(0.35, kCentre);
        const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, depth);
        const TriangleMesh mesh = extract_dual_contour(field, tree, 30.0);
        REQUIRE(!mesh.triangles.empty());
        const dctest::Topology topo = dctest::topology(mesh);
        CHECK(topo.in_range);
        CHECK(topo.closed);
        CHECK(topo.oriented);
        CHECK_EQ(topo.euler, 2);
        CHECK_EQ(topo.used_vertices, mesh.vertices.size());
        for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
            const Vec3 out = dctest::sub(dctest::triangle_centroid(mesh, t), kCentre);
            CHECK(dctest::dot(dctest::triangle_normal(mesh, t), out) > 0);
        }
        // Newton steps with the exact gradient of a distance field land on it,
        // unless the step left the vertex's box: then it stays on the box,
        // whose faces lie on multiples of a quarter cell edge.
        const double h = tree.finest_edge();
        std::size_t on_surface = 0;
        for (const Vec3& p : mesh.vertices) {
            const double error = std::fabs(testing::norm(dctest::sub(p, kCentre)) - 0.35);
            CHECK(error < 0.05 * h);
            if (error < 1e-12) {
                ++on_surface;
                continue;
            }
            bool on_box = false;
            for (double c : p) on_box = on_box || std::fabs(c * 4 / h - std::round(c * 4 / h)) < 1e-9;
            CHECK(on_box);
        }
        CHECK(on_surface > mesh.vertices.size() * 9 / 10);
    }
}

TEST(dc_call_pattern_with_and_without_gradients) {
    for (bool with_gradients : {true, false}) {
        auto field = testing::sphere(0.35, kCentre, with_gradients);
        const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 4);
        const std::size_t n = count_crossing_edges(tree);
        field.batches.clear();
        const TriangleMesh mesh = extract_dual_contour(field, tree, 30.0);
        REQUIRE(n > 0);
        const std::size_t v = mesh.vertices.size();  // one piece: nothing filtered
        std::vector<std::size_t> expected(8, n);    // bisection rounds
        expected.push_back(n);                      // normals
        if (with_gradients) {
            expected.insert(expected.end(), {v, v, v});  // three projection passes
        } else {
            expected.push_back(6 * n);
            expected.insert(expected.end(), {v, 6 * v});  // one pass
        }
        REQUIRE(field.batches.size() == expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) CHECK_EQ(field.batches[i].size(), expected[i]);
        // The normal batch is evaluated at the crossing points the last round bracketed.
        CHECK(field.batches[8] != field.batches[7]);
        CHECK(dctest::topology(mesh).closed);
    }
}

TEST(dc_no_surface_means_no_call) {
    for (double value : {1.0, -1.0, 0.0}) {  // all outside, all inside, all at iso
        testing::LambdaField field([=](const Vec3&) { return value; });
        const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 3);
        field.batches.clear();
        const TriangleMesh mesh = extract_dual_contour(field, tree, 30.0);
        CHECK(mesh.vertices.empty());
        CHECK(mesh.triangles.empty());
        CHECK(field.batches.empty());
    }
    // Surface leaves only above min_depth.
    auto sphere = testing::sphere(0.35, kCentre);
    Octree shallow = dctest::uniform_tree(sphere, {0, 0, 0}, 1.0, 3);
    shallow.min_depth = 4;
    sphere.batches.clear();
    CHECK(extract_dual_contour(sphere, shallow, 30.0).vertices.empty());
    CHECK(sphere.batches.empty());
}

TEST(dc_surface_on_the_lower_boundary_gives_vertices_without_faces) {
    // Only the lattice point at the origin is inside: one cell, all of whose
    // crossing edges lie on the lower faces of the domain.
    auto field = testing::sphere(0.1, {0, 0, 0});
    const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 2);
    field.batches.clear();
    const TriangleMesh mesh = extract_dual_contour(field, tree, 30.0);
    CHECK_EQ(mesh.vertices.size(), 1u);
    CHECK(mesh.triangles.empty());
    CHECK_EQ(field.batches.size(), 8u + 1u + 3u);
}

TEST(dc_two_spheres_keep_only_the_larger) {
    auto both = two_spheres(true);
    const Octree tree = dctest::uniform_tree(both, {0, 0, 0}, 1.0, 5);
    const TriangleMesh mesh = extract_dual_contour(both, tree, 30.0);
    const dctest::Topology topo = dctest::topology(mesh);
    CHECK(topo.in_range);
    CHECK(topo.closed);
    CHECK(topo.oriented);
    CHECK_EQ(topo.euler, 2);
    CHECK_EQ(topo.used_vertices, mesh.vertices.size());  // the small sphere's vertices are gone
    const double h = tree.finest_edge();
    for (const Vec3& p : mesh.vertices) CHECK_NEAR(testing::norm(dctest::sub(p, {0.3, 0.5, 0.5})), 0.25, 0.05 * h);

    // Near the larger sphere the union field is that sphere's own field, so
    // the kept piece, renumbered in old order, is exactly its mesh alone.
    auto big = testing::sphere(0.25, {0.3, 0.5, 0.5});
    const Octree big_tree = dctest::uniform_tree(big, {0, 0, 0}, 1.0, 5);
    const TriangleMesh alone = extract_dual_contour(big, big_tree, 30.0);
    CHECK(mesh.vertices == alone.vertices);
    CHECK(mesh.triangles == alone.triangles);
}

TEST(dc_largest_component_filter_by_hand) {
    // Piece A: two triangles over vertices 0, 2, 4, 5; piece B: three
    // triangles over 1, 3, 6, 7; vertex 8 unused.
    TriangleMesh m;
    for (int i = 0; i < 9; ++i) m.vertices.push_back({double(i), 0, 0});
    m.triangles = {{0, 2, 4}, {1, 3, 6}, {2, 4, 5}, {3, 6, 7}, {1, 6, 7}};
    TriangleMesh kept = m;
    keep_largest_piece(kept);
    // Old vertices 1, 3, 6, 7 become 0, 1, 2, 3.
    CHECK(kept.triangles == (std::vector<std::array<std::uint64_t, 3>>{{0, 1, 2}, {1, 2, 3}, {0, 2, 3}}));
    CHECK(kept.vertices == (std::vector<Vec3>{{1, 0, 0}, {3, 0, 0}, {6, 0, 0}, {7, 0, 0}}));

    // A tie keeps the piece of the first triangle.
    TriangleMesh tie = m;
    tie.triangles.pop_back();
    keep_largest_piece(tie);
    CHECK(tie.triangles == (std::vector<std::array<std::uint64_t, 3>>{{0, 1, 2}, {1, 2, 3}}));
    CHECK(tie.vertices == (std::vector<Vec3>{{0, 0, 0}, {2, 0, 0}, {4, 0, 0}, {5, 0, 0}}));

    // One piece: untouched, the unused vertices included.
    TriangleMesh one = m;
    one.triangles = {{0, 2, 4}, {2, 4, 5}};
    keep_largest_piece(one);
    CHECK_EQ(one.vertices.size(), 9u);
    CHECK(one.triangles == (std::vector<std::array<std::uint64_t, 3>>{{0, 2, 4}, {2, 4, 5}}));

    // No triangles: nothing to filter.
    TriangleMesh none;
    none.vertices = m.vertices;
    keep_largest_piece(none);
    CHECK_EQ(none.vertices.size(), 9u);
}

TEST(dc_piece_labels_join_in_any_order) {
    // Many strips, their triangles shuffled and their vertices interleaved,
    // so that threads join sets from every end at once: the labels must be
    // the strips, numbered by first appearance.
    constexpr std::uint64_t strips = 3000, length = 20;
    std::vector<std::array<std::uint64_t, 3>> triangles;
    std::vector<std::uint64_t> strip_of;
    for (std::uint64_t k = 0; k < length; ++k)
        for (std::uint64_t s = 0; s < strips; ++s) {
            triangles.push_back({k * strips + s, (k + 1) * strips + s, (k + 2) * strips + s});
            strip_of.push_back(s);
        }
    std::uint64_t state = 7;
    for (std::size_t i = triangles.size() - 1; i > 0; --i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::size_t j = (state >> 33) % (i + 1);
        std::swap(triangles[i], triangles[j]);
        std::swap(strip_of[i], strip_of[j]);
    }
    const std::vector<std::uint64_t> labels = piece_labels(triangles, (length + 2) * strips);
    std::vector<std::uint64_t> label_of_strip(strips, ~std::uint64_t{0});
    std::uint64_t next = 0;
    bool same = labels.size() == triangles.size();
    for (std::size_t t = 0; same && t < triangles.size(); ++t) {
        std::uint64_t& want = label_of_strip[strip_of[t]];
        if (want == ~std::uint64_t{0}) want = next++;
        same = labels[t] == want;
    }
    CHECK(same);
    CHECK_EQ(next, strips);
}

TEST(dc_field_failures_reach_the_caller) {
    auto sphere = testing::sphere(0.35, kCentre);
    const Octree tree = dctest::uniform_tree(sphere, {0, 0, 0}, 1.0, 4);
    const std::size_t n = count_crossing_edges(tree);

    // One value short in the first bisection round.
    dctest::TruncatingField short_values(sphere, 0, n - 1, std::nullopt);
    CHECK_EQ(fault_message([&] { extract_dual_contour(short_values, tree, 30.0); }),
             "index out of bounds: the len is " + std::to_string(n - 1) + " but the index is " +
                 std::to_string(n - 1));

    // Gradients cut short in the first projection pass (batch 9), which runs
    // on the pool: the fault of the lowest index wins.
    dctest::TruncatingField short_gradients(sphere, 9, std::nullopt, std::size_t{5});
    CHECK_EQ(fault_message([&] { extract_dual_contour(short_gradients, tree, 30.0); }),
             std::string("index out of bounds: the len is 5 but the index is 5"));

    // A field error passes through unchanged and stops the extraction.
    struct Failing : Evaluator {
        Evaluator& inner;
        int calls = 0;
        explicit Failing(Evaluator& e) : inner(e) {}
        BatchResult eval_batch(std::span<const Vec3> p) override {
            if (++calls == 9) throw FieldError();
            return inner.eval_batch(p);
        }
    } failing(sphere);
    CHECK_THROWS_AS(extract_dual_contour(failing, tree, 30.0), FieldError);
    CHECK_EQ(failing.calls, 9);
}

TEST(dc_inverted_domain_faults_in_the_clamp) {
    // A negative size mirrors the domain: cell boxes come out inverted. The
    // first surface cell (level 2, edge -0.5) spans x from 0.5 to 0; its one
    // inside corner sees three orthogonal normals, sharp below 90 degrees,
    // which grows the box by 0.25 * -2 / 4 = -0.125 per side.
    auto field = testing::sphere(0.5, {0, 0, 0});
    const Octree tree = dctest::uniform_tree(field, {1, 1, 1}, -2.0, 2);
    CHECK_EQ(fault_message([&] { extract_dual_contour(field, tree, 30.0); }),
             std::string("min > max, or either was NaN. min = 0.625, max = -0.125"));
    CHECK_EQ(fault_message([&] { extract_dual_contour(field, tree, 100.0); }),
             std::string("min > max, or either was NaN. min = 0.5, max = 0.0"));
}

TEST(dc_mesh_does_not_depend_on_thread_count) {
    // Two pieces (the filter runs), no gradients (finite differences) and a
    // gradient field, each large enough to be split across the pool.
    auto probe = [] {
        std::string sums;
        for (bool with_gradients : {false, true}) {
            auto field = two_spheres(with_gradients);
            const Octree tree = dctest::uniform_tree(field, {0, 0, 0}, 1.0, 5);
            sums += checksum(extract_dual_contour(field, tree, 30.0)) + " ";
        }
        return sums;
    };
    if (std::getenv("QUARVEL_DC_THREAD_PROBE")) {  // the child runs: report and stop
        std::cout << "checksum " << probe() << "\n";
        return;
    }
    auto field = two_spheres(true);
    REQUIRE(collect_surface_cells(dctest::uniform_tree(field, {0, 0, 0}, 1.0, 5)).size() > 4 * 256);

    char exe[4096];
    const ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    REQUIRE(len > 0);
    exe[len] = '\0';
    const std::string here = probe();
    for (const char* threads : {"1", "3"}) {
        const std::string command = std::string("RAYON_NUM_THREADS=") + threads +
                                    " QUARVEL_DC_THREAD_PROBE=1 '" + exe +
                                    "' dc_mesh_does_not_depend_on_thread_count";
        FILE* pipe = popen(command.c_str(), "r");
        REQUIRE(pipe != nullptr);
        std::string output;
        char buf[256];
        while (std::fgets(buf, sizeof buf, pipe)) output += buf;
        CHECK_EQ(pclose(pipe), 0);
        const std::size_t at = output.find("checksum ");
        REQUIRE(at != std::string::npos);
        const std::string theirs = output.substr(at + 9, output.find('\n', at) - at - 9);
        CHECK_EQ(theirs, here);
    }
}
