// The mesh check's crossing search (with and without a focus) and the
// splitting that makes two solids meeting along an edge a 2-manifold.
#include <algorithm>
#include <array>
#include <map>
#include <random>

#include "check.hpp"
#include "mesh/check.hpp"
#include "mesh/moving_crossings.hpp"
#include "core/fault.hpp"
#include "dc/repair.hpp"
#include "dc/vertex_keys.hpp"

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

// The crossing test without shortcuts: every edge of either triangle not
// touching the other against it, then every pair of overlapping boxes.
bool crosses_in_full(const std::vector<Vec3>& v, const Triangle& e, const Triangle& f) {
    const Vec3 &a = v[f[0]], &b = v[f[1]], &c = v[f[2]];
    const Vec3 n = cross(sub(b, a), sub(c, a));
    const auto orient = [](const Vec3& p, const Vec3& q, const Vec3& r, const Vec3& s) {
        return dot(sub(q, p), cross(sub(r, p), sub(s, p)));
    };
    for (unsigned k = 0; k < 3; ++k) {
        const std::uint64_t i = e[k], j = e[(k + 1) % 3];
        bool touching = false;
        for (std::uint64_t w : f) touching = touching || w == i || w == j || v[w] == v[i] || v[w] == v[j];
        if (touching) continue;
        const Vec3 ap = sub(v[i], a), aq = sub(v[j], a);
        const double s = dot(n, ap), t = dot(n, aq), noise = 1e-12 * length(n) * (length(ap) + length(aq));
        if (!((s > noise && t < -noise) || (s < -noise && t > noise))) continue;
        const double o1 = orient(v[i], v[j], a, b), o2 = orient(v[i], v[j], b, c), o3 = orient(v[i], v[j], c, a);
        if ((o1 >= 0 && o2 >= 0 && o3 >= 0) || (o1 <= 0 && o2 <= 0 && o3 <= 0)) return true;
    }
    return false;
}

// Whether the search must report triangles i < j.
bool pair_in_full(const std::vector<Vec3>& v, const std::vector<Triangle>& t, const std::vector<std::uint8_t>& focus,
                  std::uint64_t i, std::uint64_t j) {
    unsigned shared = 0;
    bool overlap = true;
    for (int a = 0; a < 3; ++a) {
        double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
        for (int k = 0; k < 3; ++k) {
            for (int m = 0; m < 3; ++m) shared += a == 0 && t[i][k] == t[j][m];
            lo[0] = std::min(lo[0], v[t[i][k]][a]), hi[0] = std::max(hi[0], v[t[i][k]][a]);
            lo[1] = std::min(lo[1], v[t[j][k]][a]), hi[1] = std::max(hi[1], v[t[j][k]][a]);
        }
        overlap = overlap && lo[0] <= hi[1] && lo[1] <= hi[0];
    }
    const auto degenerate = [](const Triangle& x) { return x[0] == x[1] || x[1] == x[2] || x[2] == x[0]; };
    if (!overlap || shared >= 2 || degenerate(t[i]) || degenerate(t[j])) return false;
    if (!focus.empty() && !focus[i] && !focus[j]) return false;
    return crosses_in_full(v, t[j], t[i]) || crosses_in_full(v, t[i], t[j]);
}

std::vector<TrianglePair> every_pair_in_full(const std::vector<Vec3>& v, const std::vector<Triangle>& t,
                                             const std::vector<std::uint8_t>& focus) {
    std::vector<TrianglePair> out;
    for (std::uint64_t i = 0; i < t.size(); ++i)
        for (std::uint64_t j = i + 1; j < t.size(); ++j)
            if (pair_in_full(v, t, focus, i, j)) out.push_back({i, j});
    return out;
}

}  // namespace

TEST(crossing_search_agrees_with_every_pair_tested_in_full) {
    // Soups on a coarse lattice (many exactly coplanar and touching pairs),
    // then with the lattice's planes bent by rounding-sized amounts, moved
    // by a little more, and copies of vertices under other indices.
    std::mt19937 rng(3);
    for (const double bend : {0.0, 1e-15, 1e-12, 1e-9, 1e-3}) {
        std::uniform_int_distribution<int> step(0, 6);
        std::uniform_real_distribution<double> jitter(-bend, bend);
        std::vector<Vec3> v;
        for (int i = 0; i < 160; ++i) v.push_back({step(rng) / 8.0, step(rng) / 8.0, step(rng) / 8.0 + jitter(rng)});
        for (int i = 0; i < 20; ++i) v.push_back(v[i]);
        std::uniform_int_distribution<std::uint64_t> pick(0, v.size() - 1);
        std::vector<Triangle> t;
        for (int i = 0; i < 400; ++i) t.push_back({pick(rng), pick(rng), pick(rng)});
        std::vector<std::uint8_t> focus(t.size());
        for (std::uint8_t& f : focus) f = rng() % 8 == 0;
        const std::vector<TrianglePair> all = every_pair_in_full(v, t, {});
        CHECK(all.size() > 50);
        CHECK(intersecting_pairs(v, t) == all);
        CHECK(intersecting_pairs(v, t, focus) == every_pair_in_full(v, t, focus));
        // One triangle in focus: the search keeps only those near it.
        std::vector<std::uint8_t> one(t.size(), 0);
        one[all[all.size() / 2][0]] = 1;
        const std::vector<TrianglePair> near = every_pair_in_full(v, t, one);
        CHECK(!near.empty());
        CHECK(intersecting_pairs(v, t, one) == near);
    }
}

TEST(searches_of_moving_triangles_find_what_the_whole_search_finds) {
    // Small triangles between neighbouring points of a lattice (coplanar and
    // touching pairs), a few of whose vertices move about their boxes while
    // the rest stay; the triangles holding them are the moving ones, some
    // turned round as a quad's new split would. Then the same at a scale the
    // search rescales, and a vertex leaving its box.
    for (const double scale : {1.0, 0x1p80}) {
        std::mt19937 rng(5);
        constexpr int N = 9;
        std::vector<Vec3> v;
        for (int x = 0; x < N; ++x)
            for (int y = 0; y < N; ++y)
                for (int z = 0; z < N; ++z) v.push_back({x * scale / 8, y * scale / 8, z * scale / 8});
        std::uniform_int_distribution<int> at(0, N - 1), by(-1, 1);
        const auto near = [&](int x, int y, int z) {
            const auto c = [&](int u) { return static_cast<std::uint64_t>(std::clamp(u + by(rng), 0, N - 1)); };
            return (c(x) * N + c(y)) * N + c(z);
        };
        std::vector<Triangle> t;
        for (int i = 0; i < 1500; ++i) {
            const int x = at(rng), y = at(rng), z = at(rng);
            t.push_back({static_cast<std::uint64_t>((x * N + y) * N + z), near(x, y, z), near(x, y, z)});
        }
        std::vector<std::uint8_t> moves(v.size(), 0);
        std::vector<Box> reach(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) {
            reach[i] = {v[i], v[i]};
            if (rng() % 12 != 0) continue;
            moves[i] = 1;
            for (int a = 0; a < 3; ++a) reach[i].lo[a] -= scale / 8, reach[i].hi[a] += scale / 16;
        }
        std::vector<std::uint64_t> moving;
        std::vector<Box> bound;
        for (std::uint64_t k = 0; k < t.size(); ++k) {
            if (!(moves[t[k][0]] || moves[t[k][1]] || moves[t[k][2]])) continue;
            moving.push_back(k);
            Box b = reach[t[k][0]];
            for (std::uint64_t w : t[k])
                for (int a = 0; a < 3; ++a) {
                    b.lo[a] = std::min(b.lo[a], reach[w].lo[a]);
                    b.hi[a] = std::max(b.hi[a], reach[w].hi[a]);
                }
            bound.push_back(b);
        }
        const MovingCrossings search(v, t, moving, bound);
        std::uniform_real_distribution<double> share(-0.2, 1.2);
        for (int trial = 0; trial < 6; ++trial) {
            for (std::size_t i = 0; i < v.size(); ++i)
                for (int a = 0; a < 3 && moves[i]; ++a)  // some at their boxes' sides
                    v[i][a] = std::clamp(reach[i].lo[a] + share(rng) * (reach[i].hi[a] - reach[i].lo[a]),
                                         reach[i].lo[a], reach[i].hi[a]);
            std::vector<std::uint8_t> focus(t.size(), 0);
            for (std::uint64_t k : moving) {
                focus[k] = rng() % 3 != 0;
                if (rng() % 4 == 0) std::rotate(t[k].begin(), t[k].begin() + 1, t[k].end());
            }
            const std::vector<TrianglePair> expected = intersecting_pairs(v, t, focus);
            CHECK(trial == 0 || !expected.empty());
            CHECK(search.crossing(v, t, focus) == expected);
        }
        const std::size_t first = static_cast<std::size_t>(std::find(moves.begin(), moves.end(), 1) - moves.begin());
        v[first][0] = reach[first].hi[0] + scale;
        std::vector<std::uint8_t> all(t.size(), 0);
        for (std::uint64_t k : moving) all[k] = 1;
        if (scale == 1.0) {
            CHECK_THROWS_AS(search.crossing(v, t, all), Fault);
        }
    }
}

TEST(crossing_search_of_fans_agrees_with_every_pair_tested_in_full) {
    // Triangles around a few shared vertices (the pairs of a vertex's fan
    // take their own path), the shared one at each of the three places, the
    // others on a coarse lattice (coplanar and touching pairs), some of them
    // copies under other indices, then bent by rounding-sized amounts and more.
    std::mt19937 rng(11);
    for (const double bend : {0.0, 1e-12, 1e-3}) {
        std::uniform_int_distribution<int> step(0, 4);
        std::uniform_real_distribution<double> jitter(-bend, bend);
        std::vector<Vec3> v;
        for (int i = 0; i < 64; ++i) v.push_back({step(rng) / 4.0, step(rng) / 4.0 + jitter(rng), step(rng) / 4.0});
        for (int i = 4; i < 14; ++i) v.push_back(v[i]);
        std::uniform_int_distribution<std::uint64_t> hub(0, 3), other(4, v.size() - 1);
        std::vector<Triangle> t;
        for (int i = 0; i < 300; ++i) {
            Triangle x{hub(rng), other(rng), other(rng)};
            std::rotate(x.begin(), x.begin() + rng() % 3, x.end());
            t.push_back(x);
        }
        const std::vector<TrianglePair> all = every_pair_in_full(v, t, {});
        CHECK(all.size() > 50);
        CHECK(intersecting_pairs(v, t) == all);
    }
}

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
    // Triangles with a corner that is not finite are never searched, focused or beside the focus.
    std::vector<Vec3> w = v;
    w.push_back({INFINITY, 0.5, 0.0});
    w.push_back({0.5, NAN, 0.0});
    const std::vector<Triangle> u{{0, 1, 2}, {3, 4, 5}, {9, 4, 3}, {10, 3, 4}, {9, 10, 0}};
    for (const std::vector<std::uint8_t>& f : {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{0, 1, 0, 0, 0},
                                               std::vector<std::uint8_t>{1, 0, 1, 1, 1}})
        CHECK((intersecting_pairs(w, u, f) == std::vector<TrianglePair>{{0, 1}}));
}

TEST(crossing_search_on_many_triangles_with_huge_ones_agrees_with_a_sweep) {
    // Enough triangles for the passes over them to run in parallel blocks: a
    // rough height field, a few triangles across all of it and degenerate
    // ones. The oracle tests every pair whose boxes meet along x.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> height(0.0, 0.05), anywhere(-0.2, 1.2);
    constexpr std::uint64_t N = 130;  // over 2 blocks of triangles
    std::vector<Vec3> v;
    for (std::uint64_t i = 0; i < N; ++i)
        for (std::uint64_t j = 0; j < N; ++j) v.push_back({i / double(N), j / double(N), height(rng)});
    std::vector<Triangle> t;
    for (std::uint64_t i = 0; i + 1 < N; ++i)
        for (std::uint64_t j = 0; j + 1 < N; ++j) {
            const std::uint64_t a = i * N + j;
            t.push_back({a, a + N, a + N + 1});
            t.push_back({a, a + N + 1, a + 1});
        }
    for (int k = 0; k < 12; ++k) {
        for (int c = 0; c < 3; ++c) v.push_back({anywhere(rng), anywhere(rng), height(rng)});
        t.push_back({v.size() - 3, v.size() - 2, v.size() - 1});
        t.push_back({v.size() - 3, v.size() - 3, v.size() - 1});
    }
    std::vector<std::uint8_t> focus(t.size());
    for (std::uint8_t& f : focus) f = rng() % 64 == 0;
    std::vector<std::uint64_t> order(t.size());
    std::vector<double> lo(t.size()), hi(t.size());
    for (std::uint64_t i = 0; i < t.size(); ++i) {
        order[i] = i;
        lo[i] = std::min({v[t[i][0]][0], v[t[i][1]][0], v[t[i][2]][0]});
        hi[i] = std::max({v[t[i][0]][0], v[t[i][1]][0], v[t[i][2]][0]});
    }
    std::sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) { return lo[a] < lo[b]; });
    for (const std::vector<std::uint8_t>& f : {std::vector<std::uint8_t>{}, focus}) {
        std::vector<TrianglePair> expected;
        for (std::size_t a = 0; a < order.size(); ++a)
            for (std::size_t b = a + 1; b < order.size() && lo[order[b]] <= hi[order[a]]; ++b) {
                const std::uint64_t i = std::min(order[a], order[b]), j = std::max(order[a], order[b]);
                if (pair_in_full(v, t, f, i, j)) expected.push_back({i, j});
            }
        std::sort(expected.begin(), expected.end());
        CHECK(expected.size() > 100);
        CHECK(intersecting_pairs(v, t, f) == expected);
    }
}

namespace {

// A soup of separate triangles, each with its own three vertices.
struct Soup {
    std::vector<Vec3> v;
    std::vector<Triangle> t;
    void add(const Vec3& a, const Vec3& b, const Vec3& c) {
        v.insert(v.end(), {a, b, c});
        t.push_back({v.size() - 3, v.size() - 2, v.size() - 1});
    }
};

Vec3 along(const Vec3& p, const Vec3& d, double s) { return {p[0] + s * d[0], p[1] + s * d[1], p[2] + s * d[2]}; }

}  // namespace

TEST(crossing_search_in_crowded_cells_agrees_with_every_pair_tested_in_full) {
    // Cells far fuller than a surface's: a cluster of small triangles among
    // large ones (the cells follow the mean size), and a stack of nearly
    // parallel triangles across an oblique plane, tilted so that close
    // neighbours cross, copies a rounding apart among them, pierced by a few.
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0), sym(-1.0, 1.0);
    const auto random_in = [&](const Vec3& c, double r) { return Vec3{c[0] + r * sym(rng), c[1] + r * sym(rng), c[2] + r * sym(rng)}; };
    Soup cluster;
    for (int i = 0; i < 150; ++i) cluster.add(random_in({2, 2, 2}, 2), random_in({2, 2, 2}, 2), random_in({2, 2, 2}, 2));
    for (int i = 0; i < 1500; ++i) {
        const Vec3 c = random_in({1, 1, 1}, 0.03);
        cluster.add(random_in(c, 0.006), random_in(c, 0.006), random_in(c, 0.006));
    }
    Soup stack;
    const double norm = std::sqrt(14.0);
    const Vec3 u{1 / norm, 2 / norm, 3 / norm}, e1{2 / std::sqrt(5.0), -1 / std::sqrt(5.0), 0};
    const Vec3 e2 = cross(u, e1);
    for (int i = 0; i < 400; ++i) {
        const double offset = i < 300 ? 1e-3 * i : 0.1 + 1e-13 * i, tilt = i % 3 == 0 ? 0.0 : 2e-3;
        std::array<Vec3, 3> p;
        for (int k = 0; k < 3; ++k) {
            const double angle = 2.0944 * k + 0.1 * i;
            p[k] = along(along(along({0, 0, 0}, e1, std::cos(angle)), e2, std::sin(angle)), u, offset + tilt * sym(rng));
        }
        stack.add(p[0], p[1], p[2]);
    }
    for (int i = 0; i < 8; ++i)
        stack.add(along(random_in({0, 0, 0}, 0.3), u, -0.2), along(random_in({0, 0, 0}, 0.3), u, 0.5),
                  along(random_in({0, 0, 0}, 0.3), u, 0.5));
    for (const Soup* soup : {&cluster, &stack}) {
        std::vector<std::uint8_t> focus(soup->t.size());
        for (std::uint8_t& f : focus) f = rng() % 16 == 0;
        for (const std::vector<std::uint8_t>& f : {std::vector<std::uint8_t>{}, focus}) {
            const std::vector<TrianglePair> all = every_pair_in_full(soup->v, soup->t, f);
            CHECK(all.size() > 200);
            CHECK(intersecting_pairs(soup->v, soup->t, f) == all);
            const CrossingPairs bounded = find_crossings(soup->v, soup->t, {.bounded = true}, f);
            CHECK(bounded.complete && bounded.count == all.size() && bounded.listed == all);
        }
    }
}

TEST(a_bounded_search_leaves_a_pile_of_copies_half_searched_and_says_so) {
    // Copies of one triangle (no two cross: they lie in one plane) and one
    // triangle through them all.
    Soup pile;
    for (int i = 0; i < 3000; ++i) pile.add({0, 0, 0}, {1, 0, 0}, {0, 1, 0});
    pile.add({0.2, 0.2, -1}, {0.3, 0.2, 1}, {0.2, 0.3, 1});
    const CrossingPairs every = find_crossings(pile.v, pile.t, {});
    CHECK(every.complete && every.count == 3000 && every.listed.size() == 3000);
    // The first ten listed, all counted.
    const CrossingPairs first = find_crossings(pile.v, pile.t, {.listed = 10});
    CHECK(first.complete && first.count == 3000);
    CHECK(first.listed == std::vector<TrianglePair>(every.listed.begin(), every.listed.begin() + 10));
    const CrossingPairs some = find_crossings(pile.v, pile.t, {.listed = 10, .bounded = true});
    CHECK(!some.complete && some.count <= 3000 && some.listed.size() <= 10);
    for (const TrianglePair& p : some.listed) CHECK(std::binary_search(every.listed.begin(), every.listed.end(), p));
    // A stop asked for ends the search.
    const std::atomic<bool> stop{true};
    bool stopped = false;
    try {
        find_crossings(pile.v, pile.t, {.stop = &stop});
    } catch (const CheckStopped&) {
        stopped = true;
    }
    CHECK(stopped);
}

TEST(crossing_search_finds_the_same_pairs_at_any_scale) {
    // A soup on a coarse lattice, bent a little, scaled by powers of two from
    // far below to the top of the double range (the last one's extent beyond it).
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> step(-6, 6);
    std::uniform_real_distribution<double> jitter(-1e-3, 1e-3);
    std::vector<Vec3> v;
    for (int i = 0; i < 120; ++i) v.push_back({step(rng) / 8.0, step(rng) / 8.0, step(rng) / 8.0 + jitter(rng)});
    std::uniform_int_distribution<std::uint64_t> pick(0, v.size() - 1);
    std::vector<Triangle> t;
    for (int i = 0; i < 300; ++i) t.push_back({pick(rng), pick(rng), pick(rng)});
    const std::vector<TrianglePair> plain = intersecting_pairs(v, t);
    CHECK(plain.size() > 50);
    for (const int exponent : {-1000, -400, -80, 80, 300, 1023}) {
        std::vector<Vec3> w;
        for (const Vec3& p : v) w.push_back({std::ldexp(p[0], exponent), std::ldexp(p[1], exponent), std::ldexp(p[2], exponent)});
        CHECK(intersecting_pairs(w, t) == plain);
    }
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

TEST(vertex_names_tell_every_split_vertex_apart_whatever_the_triangle_order) {
    // Two midpoints on one edge and the copies of its ends: each named by
    // what it was made from and the names around it, not by when it was made.
    std::array<std::map<std::pair<std::uint64_t, std::uint64_t>, Vec3>, 2> named;
    for (int order = 0; order < 2; ++order) {
        TriangleMesh m = tetras_on_an_edge();
        if (order == 1) std::reverse(m.triangles.begin(), m.triangles.end());
        const std::uint32_t n = static_cast<std::uint32_t>(m.vertices.size());
        std::vector<SurfaceCell> cells(n);
        std::vector<std::uint64_t> first(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            cells[i].key = {i, 0, 0, 4};
            first[i] = i;
        }
        std::vector<MadeVertex> made;
        split_pinches(m, Monitor::none(), false, {}, &made);
        CHECK(made.size() == 4);
        const std::vector<VertexKey> keys = vertex_keys(index_surface_cells(cells), first, n, made, m.triangles);
        CHECK(keys.size() == m.vertices.size());
        for (std::size_t v = 0; v < keys.size(); ++v) named[order][{keys[v].cell, keys[v].detail}] = m.vertices[v];
        CHECK(named[order].size() == keys.size());
    }
    CHECK(named[0] == named[1]);
}
