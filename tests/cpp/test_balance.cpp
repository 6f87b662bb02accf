// The balancing pass on hand-built trees. Every scene uses origin 0 and size
// 2^max_depth, so world coordinates equal lattice keys and a field can be given
// as "below the iso value exactly at these lattice points".
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "check.hpp"
#include "core/fault.hpp"
#include "fields.hpp"
#include "octree/balance.hpp"
#include "octree/build.hpp"

using namespace quarvel;
using namespace quarvel::balance_detail;

namespace {

using ValueFn = std::function<double(const Vec3&)>;
constexpr Vec3 kGradient{0.0, 0.0, 1.0};

// -1 at the listed lattice points, +1 everywhere else (fd offsets included).
ValueFn below_at(std::vector<CornerKey> points) {
    return [points = std::move(points)](const Vec3& p) {
        for (const CornerKey& k : points)
            if (p[0] == double(k.x) && p[1] == double(k.y) && p[2] == double(k.z)) return -1.0;
        return 1.0;
    };
}

ValueFn sphere_value(Vec3 c, double r) {
    return [=](const Vec3& p) { return testing::norm({p[0] - c[0], p[1] - c[1], p[2] - c[2]}) - r; };
}

CornerKey key_of(const CellKey& cell, unsigned max_depth) { return min_corner(cell, max_depth); }

// A tree grown by hand: every split samples its 27 lattice points first.
struct Scene {
    Octree tree;
    CornerCache cache;
    ValueFn value;

    Scene(unsigned max_depth, ValueFn f, double iso = 0.0) : value(std::move(f)) {
        tree.size = pow2(max_depth);
        tree.max_depth = static_cast<std::uint8_t>(max_depth);
        tree.iso_value = iso;
        const std::uint32_t edge = 1u << max_depth;
        for (unsigned k = 0; k < 8; ++k) sample(corner_of({0, 0, 0}, edge, k));
        tree.root = make_cell(samples_of({0, 0, 0}, edge), iso);
    }

    void sample(const CornerKey& key) {
        if (!cache.contains(key)) cache.insert_or_assign(key, {value(tree.position(key)), kGradient});
    }

    std::array<const CornerSample*, 8> samples_of(CornerKey m, std::uint32_t edge) const {
        std::array<const CornerSample*, 8> s;
        for (unsigned k = 0; k < 8; ++k) s[k] = cache.find(corner_of(m, edge, k));
        return s;
    }

    void split(const CellKey& cell) {
        const CornerKey m = key_of(cell, tree.max_depth);
        const std::uint32_t t = 1u << (tree.max_depth - cell.level - 1);
        for (std::uint32_t i = 0; i < 3; ++i)
            for (std::uint32_t j = 0; j < 3; ++j)
                for (std::uint32_t k = 0; k < 3; ++k) sample({m.x + i * t, m.y + j * t, m.z + k * t});
        subdivide(tree, cache, m, cell.level, tree.iso_value);
    }

    // Splits every cell on the way from the root down to `level` around `point`.
    void split_down(const CornerKey& point, unsigned level) {
        for (unsigned l = 0; l < level; ++l) {
            const unsigned s = tree.max_depth - l;
            const CellKey cell{point.x >> s, point.y >> s, point.z >> s, static_cast<std::uint8_t>(l)};
            const FoundNode f = find_node(tree, cell.x, cell.y, cell.z, l);
            if (f.level == l && !std::holds_alternative<Internal>(*f.node)) split(cell);
        }
    }

    testing::LambdaField field(bool with_gradients = true) const {
        if (!with_gradients) return testing::LambdaField(value);
        return testing::LambdaField(value, [](const Vec3&) { return kGradient; });
    }
};

// ---------------------------------------------------------------- oracles

std::string cells_text(const std::vector<CellKey>& cells) {
    std::ostringstream os;
    for (const CellKey& c : cells) os << "(" << c.x << "," << c.y << "," << c.z << "," << int(c.level) << ")";
    return os.str();
}
std::string requests_text(const std::vector<RefineRequest>& requests) {
    std::ostringstream os;
    for (const RefineRequest& r : requests)
        os << cells_text({r.cell}) << "->" << int(r.target);
    return os.str();
}

bool is_internal(const OctreeNode& n) { return std::holds_alternative<Internal>(n); }

bool holds_surface(const Octree& tree, const OctreeNode& node) {
    if (const auto* in = std::get_if<Internal>(&node)) {
        for (const OctreeNode& child : tree.group(in->group))
            if (holds_surface(tree, child)) return true;
        return false;
    }
    return is_surface_leaf(node);
}

// Calls visit(neighbour) for each face neighbour of `c` inside the cube.
template <class Visit>
void face_neighbours(const CellKey& c, Visit visit) {
    const long long side = 1ll << c.level;
    for (int axis = 0; axis < 3; ++axis)
        for (int d : {-1, 1}) {
            long long n[3] = {c.x, c.y, c.z};
            n[axis] += d;
            if (n[axis] < 0 || n[axis] >= side) continue;
            visit(CellKey{std::uint32_t(n[0]), std::uint32_t(n[1]), std::uint32_t(n[2]), c.level});
        }
}

// Leaves with a face neighbour more than one level coarser.
int coarse_neighbour_violations(const Octree& tree) {
    int v = 0;
    for (const CellKey& c : collect_leaves(tree))
        face_neighbours(c, [&](const CellKey& n) {
            if (find_node(tree, n.x, n.y, n.z, n.level).level + 1 < c.level) ++v;
        });
    return v;
}

// Surface leaves beside a coarser non-surface cell, or (below max_depth) beside
// a same-level subdivided cell that holds a surface leaf.
int surface_rule_violations(const Octree& tree) {
    int v = 0;
    for (const CellKey& c : collect_leaves(tree)) {
        if (!is_surface_leaf(*find_node(tree, c.x, c.y, c.z, c.level).node)) continue;
        face_neighbours(c, [&](const CellKey& n) {
            const FoundNode f = find_node(tree, n.x, n.y, n.z, n.level);
            if (f.level < c.level && !is_surface_leaf(*f.node)) ++v;
            if (f.level == c.level && is_internal(*f.node) && c.level < tree.max_depth &&
                holds_surface(tree, *f.node))
                ++v;
        });
    }
    return v;
}

// Cells of level n sharing a sign-changing edge of a surface leaf of level n
// that are neither a surface leaf of that level nor subdivided.
int edge_rule_violations(const Octree& tree) {
    int v = 0;
    for (const CellKey& c : collect_leaves(tree)) {
        const auto* leaf = std::get_if<Leaf>(find_node(tree, c.x, c.y, c.z, c.level).node);
        if (!leaf || !is_surface_leaf(*leaf)) continue;
        const long long side = 1ll << c.level;
        for (unsigned i = 0; i < 8; ++i)
            for (unsigned axis = 0; axis < 3; ++axis) {
                const unsigned j = i | (1u << axis);
                if (j == i) continue;
                if ((leaf->values[i] < tree.iso_value) == (leaf->values[j] < tree.iso_value)) continue;
                const long long e[3] = {c.x + static_cast<long long>(bit_x(i)),
                                        c.y + static_cast<long long>(bit_y(i)),
                                        c.z + static_cast<long long>(bit_z(i))};
                const unsigned p = axis == 0 ? 1 : 0, q = axis == 2 ? 1 : 2;
                for (int dp = 0; dp < 2; ++dp)
                    for (int dq = 0; dq < 2; ++dq) {
                        long long k[3] = {c.x, c.y, c.z};
                        k[p] = e[p] - dp;
                        k[q] = e[q] - dq;
                        if (k[p] < 0 || k[q] < 0 || k[p] >= side || k[q] >= side) continue;
                        const FoundNode f = find_node(tree, std::uint32_t(k[0]), std::uint32_t(k[1]),
                                                      std::uint32_t(k[2]), c.level);
                        if (f.level < c.level || (!is_internal(*f.node) && !is_surface_leaf(*f.node)))
                            ++v;
                    }
            }
    }
    return v;
}

// Corners of non-Internal nodes missing from the cache, without a gradient, or
// disagreeing with the values a Leaf copied.
int corner_cache_violations(const Octree& tree, const CornerCache& cache) {
    int v = 0;
    for (const CellKey& c : collect_leaves(tree)) {
        const OctreeNode& node = *find_node(tree, c.x, c.y, c.z, c.level).node;
        const auto* leaf = std::get_if<Leaf>(&node);
        const std::uint32_t edge = 1u << (tree.max_depth - c.level);
        for (unsigned k = 0; k < 8; ++k) {
            const CornerSample* s = cache.find(corner_of(key_of(c, tree.max_depth), edge, k));
            if (!s || !s->gradient || (leaf && leaf->values[k] != s->value)) ++v;
        }
    }
    return v;
}

std::set<std::tuple<double, double, double>> as_set(const std::vector<Vec3>& points) {
    std::set<std::tuple<double, double, double>> out;
    for (const Vec3& p : points) out.emplace(p[0], p[1], p[2]);
    return out;
}

// ---------------------------------------------------------------- scenes

// Outside everywhere, max_depth 3: a level-3 block in the corner of level-2
// cells, so level-3 leaves face the level-1 cells 1, 2 and 4 of the root.
Scene two_levels_coarser() {
    Scene s(3, below_at({}));
    s.split({0, 0, 0, 0});
    s.split({0, 0, 0, 1});
    s.split({1, 1, 1, 2});
    return s;
}

// A sphere with three level-5 spikes into an otherwise level-1 tree.
Scene spiky_sphere() {
    Scene s(5, sphere_value({15.3, 16.2, 14.7}, 9.4));
    s.split({0, 0, 0, 0});
    s.split_down({24, 16, 14}, 5);
    s.split_down({5, 16, 14}, 5);
    s.split_down({15, 25, 14}, 5);
    return s;
}

// Below only at (4, 4, 0), max_depth 3: every cell with that corner is a surface leaf.
Scene edge_scene() {
    Scene s(3, below_at({{4, 4, 0}}));
    s.split({0, 0, 0, 0});
    s.split({0, 0, 0, 1});
    return s;
}

struct ThrowingField final : Evaluator {
    struct Boom : FieldError {};
    testing::LambdaField inner;
    int fail_at;  // 1-based call that throws
    int calls = 0;
    ThrowingField(testing::LambdaField f, int at) : inner(std::move(f)), fail_at(at) {}
    BatchResult eval_batch(std::span<const Vec3> points) override {
        if (++calls == fail_at) throw Boom{};
        return inner.eval_batch(points);
    }
};

// Returns exactly `values` values and `gradients` gradients, cut or padded.
struct ResizedField final : Evaluator {
    testing::LambdaField inner;
    std::size_t values, gradients;
    ResizedField(testing::LambdaField f, std::size_t v, std::size_t g)
        : inner(std::move(f)), values(v), gradients(g) {}
    BatchResult eval_batch(std::span<const Vec3> points) override {
        BatchResult r = inner.eval_batch(points);
        r.values.resize(values, 1.0);
        if (r.gradients) r.gradients->resize(gradients, kGradient);
        return r;
    }
};

std::string fault_message(const std::function<void()>& run) {
    try {
        run();
    } catch (const Fault& f) {
        return f.message();
    }
    return "no fault";
}

}  // namespace

// ---------------------------------------------------------------- no work

TEST(balance_root_not_internal_makes_no_call) {
    for (const ValueFn& f : {below_at({{0, 0, 0}}), below_at({})}) {
        Scene s(2, f);
        const bool was_surface = is_surface_leaf(s.tree.root);
        testing::LambdaField field = s.field();
        CHECK_EQ(balance_octree(field, s.tree, s.cache), 0u);
        CHECK(field.batches.empty());
        CHECK(s.tree.children.empty());
        CHECK_EQ(is_surface_leaf(s.tree.root), was_surface);
    }
}

TEST(balance_leaves_balanced_tree_unchanged) {
    // Uniform level 2 below max_depth 3, surface around the centre point.
    Scene s(3, below_at({{4, 4, 4}}));
    s.split({0, 0, 0, 0});
    for (unsigned c = 0; c < 8; ++c) s.split(child_of({0, 0, 0, 0}, c));
    const std::string before = cells_text(collect_leaves(s.tree));
    const std::size_t groups = s.tree.children.size(), samples = s.cache.size();
    REQUIRE(!collect_surface_leaves(s.tree).empty());

    testing::LambdaField field = s.field(false);
    CHECK_EQ(balance_octree(field, s.tree, s.cache), 0u);
    CHECK(field.batches.empty());
    CHECK_EQ(s.tree.children.size(), groups);
    CHECK_EQ(s.cache.size(), samples);
    CHECK_EQ(cells_text(collect_leaves(s.tree)), before);
}

TEST(balance_makes_no_call_when_corners_are_cached) {
    Scene s = two_levels_coarser();
    for (std::uint32_t x = 0; x <= 8; x += 2)
        for (std::uint32_t y = 0; y <= 8; y += 2)
            for (std::uint32_t z = 0; z <= 8; z += 2) s.sample({x, y, z});
    testing::LambdaField field = s.field();
    CHECK_EQ(balance_octree(field, s.tree, s.cache), 0u);
    CHECK(field.batches.empty());
    CHECK_EQ(coarse_neighbour_violations(s.tree), 0);
    CHECK(is_internal(*find_node(s.tree, 1, 0, 0, 1).node));
}

// ---------------------------------------------------------------- phase A

TEST(balance_splits_neighbour_two_levels_coarser) {
    Scene s = two_levels_coarser();
    REQUIRE(coarse_neighbour_violations(s.tree) > 0);
    // Child 1, 2 and 4 of the level-3 block face root children 1, 2 and 4 first.
    CHECK_EQ(cells_text(split_requests(s.tree)), cells_text({{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}}));

    testing::LambdaField field = s.field();
    // Each split cell needs 27 points at spacing 2; the 9 on the face it shares
    // with cell (0,0,0,1) and 4 root corners are cached: 14 new each, disjoint.
    CHECK_EQ(balance_octree(field, s.tree, s.cache), 42u);
    REQUIRE(field.batches.size() == 1u);
    CHECK_EQ(field.batches[0].size(), 42u);
    CHECK_EQ(coarse_neighbour_violations(s.tree), 0);
    for (const CellKey& c : {CellKey{1, 0, 0, 1}, CellKey{0, 1, 0, 1}, CellKey{0, 0, 1, 1}})
        CHECK(is_internal(*find_node(s.tree, c.x, c.y, c.z, 1).node));
    CHECK(!is_internal(*find_node(s.tree, 1, 1, 0, 1).node));
}

TEST(balance_counts_seven_evaluations_per_estimated_gradient) {
    Scene with = two_levels_coarser(), without = two_levels_coarser();
    testing::LambdaField given = with.field(true), estimated = without.field(false);
    CHECK_EQ(balance_octree(given, with.tree, with.cache), 42u);
    CHECK_EQ(balance_octree(estimated, without.tree, without.cache), 7u * 42u);
    REQUIRE(estimated.batches.size() == 2u);
    CHECK_EQ(estimated.batches[1].size(), 6u * 42u);
    // The finite-difference batch offsets the same points by 0.01 h (h = 1 here).
    const Vec3 p = estimated.batches[0][0];
    CHECK_EQ(estimated.batches[1][0][0], p[0] + 0.01);
    CHECK_EQ(estimated.batches[1][1][0], p[0] - 0.01);
    CHECK(as_set(estimated.batches[0]) == as_set(given.batches[0]));
    CHECK_EQ(cells_text(collect_leaves(with.tree)), cells_text(collect_leaves(without.tree)));
    CHECK_EQ(corner_cache_violations(without.tree, without.cache), 0);
}

TEST(balance_coarser_neighbour_of_surface_leaf_split_only_when_not_surface) {
    // The surface leaf (0,0,1,2) faces root child 4 across +z. Root child 1 is a
    // surface leaf beside the subdivided child 0, so it asks to split itself.
    {
        // Root child 4 shares the point (0,0,2): a surface leaf, left to its own rule.
        Scene s(2, below_at({{0, 0, 2}, {4, 0, 0}}));
        s.split({0, 0, 0, 0});
        s.split({0, 0, 0, 1});
        CHECK_EQ(cells_text(split_requests(s.tree)), cells_text({{1, 0, 0, 1}, {0, 0, 1, 1}}));
    }
    {
        // Below at (0,0,1) instead: root child 4 is Outside and is split at once.
        Scene s(2, below_at({{0, 0, 1}, {4, 0, 0}}));
        s.split({0, 0, 0, 0});
        s.split({0, 0, 0, 1});
        CHECK_EQ(cells_text(split_requests(s.tree)), cells_text({{0, 0, 1, 1}, {1, 0, 0, 1}}));
        testing::LambdaField field = s.field();
        balance_faces(field, s.tree, s.cache);
        CHECK_EQ(surface_rule_violations(s.tree), 0);
        CHECK_EQ(coarse_neighbour_violations(s.tree), 0);
    }
}

TEST(balance_surface_leaf_follows_subdivided_neighbour_only_above_max_depth) {
    // Nodes set by hand: root child 1 is Internal with a surface leaf below,
    // root child 0 a surface leaf beside it.
    auto scene = [](unsigned max_depth, bool surface_below) {
        Octree t;
        t.size = 4;
        t.max_depth = static_cast<std::uint8_t>(max_depth);
        const Leaf surface{std::nullopt, {-1, 1, 1, 1, 1, 1, 1, 1}, 1};
        ChildGroup top, below;
        top.fill(Outside{});
        below.fill(Outside{});
        top[0] = surface;
        top[1] = Internal{1};
        if (surface_below) below[0] = surface;
        t.children = {top, below};
        t.root = Internal{0};
        return t;
    };
    CHECK_EQ(cells_text(split_requests(scene(2, true))), cells_text({{0, 0, 0, 1}}));
    CHECK(split_requests(scene(2, false)).empty());
    // At max_depth nothing can go finer: a (malformed) subdivided neighbour there is ignored.
    CHECK(split_requests(scene(1, true)).empty());
}

TEST(balance_ignores_neighbours_outside_the_cube) {
    // Level-3 blocks in two opposite corners: a neighbour that wrapped around
    // the cube would land in a level-1 cell and ask for a split.
    Scene s(3, below_at({}));
    s.split({0, 0, 0, 0});
    s.split({0, 0, 0, 1});
    s.split({0, 0, 0, 2});
    s.split({1, 1, 1, 1});
    s.split({3, 3, 3, 2});
    CHECK(split_requests(s.tree).empty());
    testing::LambdaField field = s.field();
    CHECK_EQ(balance_octree(field, s.tree, s.cache), 0u);
    CHECK(field.batches.empty());
}

TEST(balance_phase_a_guarantees_hold_on_a_sphere) {
    Scene s = spiky_sphere();
    REQUIRE(coarse_neighbour_violations(s.tree) > 0);
    const std::size_t samples = s.cache.size();
    testing::LambdaField field = s.field();
    const std::uint64_t evaluations = balance_faces(field, s.tree, s.cache);
    CHECK(field.batches.size() >= 2u);
    CHECK_EQ(coarse_neighbour_violations(s.tree), 0);
    CHECK_EQ(surface_rule_violations(s.tree), 0);
    CHECK_EQ(corner_cache_violations(s.tree, s.cache), 0);
    CHECK_EQ(evaluations, s.cache.size() - samples);
    CHECK_EQ(evaluations, field.points_received());
}

// ---------------------------------------------------------------- phase B

TEST(balance_edge_neighbours_of_surface_leaf_requested) {
    Scene s = edge_scene();
    // Surface leaf (1,1,0,2) changes sign on its x, y and z edges at (4,4,0);
    // the level-2 cells across them lie in root children 2, 1 and 3.
    CHECK_EQ(requests_text(refine_requests(s.tree, s.cache)),
             requests_text({{{0, 1, 0, 1}, 2}, {{1, 0, 0, 1}, 2}, {{1, 1, 0, 1}, 2}}));
    testing::LambdaField field = s.field();
    balance_edges(field, s.tree, s.cache);
    CHECK_EQ(edge_rule_violations(s.tree), 0);
    CHECK_EQ(corner_cache_violations(s.tree, s.cache), 0);
    CHECK(is_internal(*find_node(s.tree, 1, 1, 0, 1).node));
}

TEST(balance_edge_candidates_in_axis_then_offset_order) {
    // Surface leaf (1,1,1,2) changes sign on the three edges meeting at (4,4,4).
    // Along x the cells across lie in root children 6, 2, 4 for (dp, dq) = (0,0),
    // (0,1), (1,0); along y in 5, 1, (4); along z in 3, (1), (2). Root child 7
    // meets the leaf only at the corner and is not asked for.
    Scene s(3, below_at({{4, 4, 4}}));
    s.split({0, 0, 0, 0});
    s.split({0, 0, 0, 1});
    std::vector<RefineRequest> expected;
    for (unsigned c : {6u, 2u, 4u, 5u, 1u, 3u}) expected.push_back({child_of({0, 0, 0, 0}, c), 2});
    CHECK_EQ(requests_text(refine_requests(s.tree, s.cache)), requests_text(expected));
}

TEST(balance_first_surface_leaf_sets_refine_target) {
    // Runs one iteration of phase B by its stages.
    auto one_iteration = [](Scene& s) {
        const std::vector<RefineRequest> requests = refine_requests(s.tree, s.cache);
        CornerQueue queue;
        for (const RefineRequest& r : requests)
            collect_refine_corners(s.tree, s.cache, key_of(r.cell, 3), r.cell.level, r.target, queue);
        testing::LambdaField field = s.field();
        evaluate_queue(field, s.tree, s.cache, queue);
        for (const RefineRequest& r : requests)
            refine_to_level(s.tree, s.cache, key_of(r.cell, 3), r.cell.level, r.target);
    };
    // Reached from (1,1,0,1): the level of every cell inside it.
    auto levels_in_root_child_3 = [](const Octree& t) {
        std::set<unsigned> levels;
        for (std::uint32_t x = 4; x < 8; ++x)
            for (std::uint32_t y = 4; y < 8; ++y)
                for (std::uint32_t z = 0; z < 4; ++z) levels.insert(find_node(t, x, y, z, 3).level);
        return levels;
    };
    {
        // The level-3 surface leaf (3,3,0,3) comes first: (1,1,0,1) goes to level 3,
        // though the later level-2 leaf (2,1,0,2) touches it too.
        Scene s = edge_scene();
        s.split({1, 1, 0, 2});
        s.split({1, 0, 0, 1});
        CHECK_EQ(cells_text(collect_surface_leaves(s.tree)),
                 cells_text({{3, 3, 0, 3}, {2, 1, 0, 2}, {0, 1, 0, 1}, {1, 1, 0, 1}}));
        CHECK_EQ(requests_text(refine_requests(s.tree, s.cache)),
                 requests_text({{{0, 1, 0, 1}, 3}, {{2, 1, 0, 2}, 3}, {{1, 1, 0, 1}, 3}}));
        one_iteration(s);
        CHECK(levels_in_root_child_3(s.tree) == std::set<unsigned>{3});
    }
    {
        // The level-2 surface leaf (1,1,0,2) comes first: (1,1,0,1) goes to level 2
        // only, and the level-3 leaf (4,3,0,3) still asks for (1,1,0,2).
        Scene s = edge_scene();
        s.split({1, 0, 0, 1});
        s.split({2, 1, 0, 2});
        CHECK_EQ(requests_text(refine_requests(s.tree, s.cache)),
                 requests_text({{{0, 1, 0, 1}, 2}, {{1, 1, 0, 1}, 2}, {{1, 1, 0, 2}, 3}}));
        one_iteration(s);
        CHECK(levels_in_root_child_3(s.tree) == std::set<unsigned>{2});
        testing::LambdaField field = s.field();
        balance_edges(field, s.tree, s.cache);
        CHECK_EQ(edge_rule_violations(s.tree), 0);
    }
}

TEST(balance_edge_signs_read_missing_corners_as_zero) {
    // The cache lacks the one point below: it reads as 0.0, which is below an
    // iso value of 0.5 but not below 0 (equal is not below).
    for (double iso : {0.0, 0.5}) {
        Scene s = edge_scene();
        Scene bare(3, below_at({}), iso);
        bare.tree = s.tree;
        bare.tree.iso_value = iso;
        for (std::uint32_t x = 0; x <= 8; ++x)
            for (std::uint32_t y = 0; y <= 8; ++y)
                for (std::uint32_t z = 0; z <= 8; ++z)
                    if (s.cache.contains({x, y, z}) && !(x == 4 && y == 4 && z == 0))
                        bare.sample({x, y, z});
        const std::size_t expected = iso > 0 ? 3 : 0;
        CHECK_EQ(refine_requests(bare.tree, bare.cache).size(), expected);
    }
}

TEST(balance_phase_b_guarantee_holds_on_a_sphere) {
    Scene s = spiky_sphere();
    const std::size_t samples = s.cache.size();
    testing::LambdaField field = s.field();
    const std::uint64_t evaluations = balance_octree(field, s.tree, s.cache);
    CHECK_EQ(edge_rule_violations(s.tree), 0);
    CHECK_EQ(corner_cache_violations(s.tree, s.cache), 0);
    CHECK_EQ(evaluations, s.cache.size() - samples);

    // No lattice point reaches the field twice, nor one cached before the pass.
    std::set<std::tuple<double, double, double>> seen;
    std::size_t sent = 0;
    for (const auto& batch : field.batches) {
        sent += batch.size();
        for (const Vec3& p : batch) seen.emplace(p[0], p[1], p[2]);
    }
    CHECK_EQ(seen.size(), sent);
    CHECK_EQ(sent, evaluations);
    CHECK(field.batches.size() >= 3u);

    // Estimated gradients change the count, not the tree.
    Scene again = spiky_sphere();
    testing::LambdaField estimated = again.field(false);
    CHECK_EQ(balance_octree(estimated, again.tree, again.cache), 7 * evaluations);
    CHECK_EQ(estimated.batches.size(), 2 * field.batches.size());
    CHECK_EQ(cells_text(collect_leaves(again.tree)), cells_text(collect_leaves(s.tree)));
}

// ---------------------------------------------------------------- failures

TEST(balance_field_error_stops_the_failing_iteration) {
    {
        // Failing first batch, with or without the finite-difference one.
        for (auto [gradients, at] : {std::pair{true, 1}, std::pair{false, 1}, std::pair{false, 2}}) {
            Scene s = two_levels_coarser();
            const std::size_t groups = s.tree.children.size(), samples = s.cache.size();
            ThrowingField field(s.field(gradients), at);
            CHECK_THROWS_AS(balance_octree(field, s.tree, s.cache), ThrowingField::Boom);
            CHECK_EQ(field.calls, at);
            CHECK_EQ(s.tree.children.size(), groups);
            CHECK_EQ(s.cache.size(), samples);
        }
    }
    {
        // Failing second iteration: the first one's splits and samples stay.
        Scene expected = spiky_sphere();
        const std::vector<CellKey> splits = split_requests(expected.tree);
        CornerQueue queue;
        for (const CellKey& c : splits) queue_child_corners(expected.tree, expected.cache, key_of(c, 5), c.level, queue);
        testing::LambdaField first = expected.field();
        evaluate_queue(first, expected.tree, expected.cache, queue);
        for (const CellKey& c : splits) balance_subdivide(expected.tree, expected.cache, key_of(c, 5), c.level);

        Scene s = spiky_sphere();
        ThrowingField field(s.field(), 2);
        CHECK_THROWS_AS(balance_octree(field, s.tree, s.cache), ThrowingField::Boom);
        CHECK_EQ(s.tree.children.size(), expected.tree.children.size());
        CHECK_EQ(s.cache.size(), expected.cache.size());
        CHECK_EQ(cells_text(collect_leaves(s.tree)), cells_text(collect_leaves(expected.tree)));
    }
}

TEST(balance_short_results_fault_with_index) {
    auto run = [](std::size_t values, std::size_t gradients) {
        return fault_message([&] {
            Scene s = two_levels_coarser();
            ResizedField field(s.field(), values, gradients);
            balance_octree(field, s.tree, s.cache);
        });
    };
    CHECK_EQ(run(41, 42), std::string("index out of bounds: the len is 41 but the index is 41"));
    CHECK_EQ(run(42, 41), std::string("index out of bounds: the len is 41 but the index is 41"));
    // Entry by entry, value before gradient: the shorter gradients fail first.
    CHECK_EQ(run(10, 5), std::string("index out of bounds: the len is 5 but the index is 5"));
    CHECK_EQ(run(0, 42), std::string("index out of bounds: the len is 0 but the index is 0"));
    // Entries past the batch are ignored.
    CHECK_EQ(run(50, 50), std::string("no fault"));
}

// ---------------------------------------------------------------- stages

TEST(balance_subdivide_uses_tree_iso_and_leaves_internal_cells) {
    // f = x on a max_depth 1 cube [0, 2]^3 with iso 0.3: only x = 0 is below.
    Scene s(1, [](const Vec3& p) { return p[0]; }, 0.3);
    for (std::uint32_t x = 0; x <= 2; ++x)
        for (std::uint32_t y = 0; y <= 2; ++y)
            for (std::uint32_t z = 0; z <= 2; ++z) s.sample({x, y, z});
    balance_subdivide(s.tree, s.cache, {0, 0, 0}, 0);
    REQUIRE(is_internal(s.tree.root));
    REQUIRE(s.tree.children.size() == 1u);
    const ChildGroup& g = s.tree.children[0];
    for (unsigned c = 0; c < 8; ++c) {
        if (bit_x(c)) {
            CHECK(std::holds_alternative<Outside>(g[c]));
            continue;
        }
        const auto* leaf = std::get_if<Leaf>(&g[c]);
        REQUIRE(leaf);
        CHECK_EQ(int(leaf->sign_mask), 0x55);
        CHECK(leaf->gradients.has_value());
    }
    // Already subdivided: nothing appended, nothing replaced.
    balance_subdivide(s.tree, s.cache, {0, 0, 0}, 0);
    CHECK_EQ(s.tree.children.size(), 1u);
    CHECK_EQ(std::get<Internal>(s.tree.root).group, 0u);
}

TEST(balance_subdivide_faults_on_missing_corner) {
    const std::string message = "corner not in cache during balance subdivision";
    Scene s(1, below_at({{0, 0, 0}}));
    CHECK_EQ(fault_message([&] { balance_subdivide(s.tree, s.cache, {0, 0, 0}, 0); }), message);
    CornerCache empty;
    CHECK_EQ(fault_message([&] { balance_subdivide(s.tree, empty, {0, 0, 0}, 0); }), message);
    CHECK(s.tree.children.empty());
    CHECK(is_surface_leaf(s.tree.root));
}

TEST(balance_refine_corners_queued_depth_first) {
    Scene s(3, below_at({}));
    s.split({0, 0, 0, 0});
    CornerQueue queue;
    collect_refine_corners(s.tree, s.cache, {0, 0, 0}, 1, 3, queue);
    // All 125 points of the cell's level-3 lattice except its 8 cached corners.
    CHECK_EQ(queue.keys.size(), 117u);
    CHECK_EQ(queue.pending.size(), 117u);
    // Child 0's corners 1..7 at edge 2, then its own child 0 at edge 1.
    CHECK(queue.keys[0] == (CornerKey{2, 0, 0}));
    CHECK(queue.keys[6] == (CornerKey{2, 2, 2}));
    CHECK(queue.keys[7] == (CornerKey{1, 0, 0}));
    bool aligned = true, fresh = true;
    for (std::size_t i = 0; i < queue.keys.size(); ++i) {
        aligned = aligned && queue.points[i] == s.tree.position(queue.keys[i]);
        fresh = fresh && !s.cache.contains(queue.keys[i]);
    }
    CHECK(aligned);
    CHECK(fresh);

    const std::vector<Vec3> points = queue.points;
    testing::LambdaField field = s.field();
    CHECK_EQ(evaluate_queue(field, s.tree, s.cache, queue), 117u);
    REQUIRE(field.batches.size() == 1u);
    CHECK(field.batches[0] == points);
    CHECK(queue.keys.empty());
    CHECK_EQ(evaluate_queue(field, s.tree, s.cache, queue), 0u);
    CHECK_EQ(field.batches.size(), 1u);

    refine_to_level(s.tree, s.cache, {0, 0, 0}, 1, 3);
    std::set<unsigned> inside, beside;
    for (std::uint32_t x = 0; x < 8; ++x)
        for (std::uint32_t y = 0; y < 8; ++y)
            for (std::uint32_t z = 0; z < 8; ++z)
                (x < 4 && y < 4 && z < 4 ? inside : beside).insert(find_node(s.tree, x, y, z, 3).level);
    CHECK(inside == std::set<unsigned>{3});
    CHECK(beside == std::set<unsigned>{1});
}

TEST(balance_refine_stops_at_target_and_max_depth) {
    Scene s(2, below_at({}));
    s.split({0, 0, 0, 0});
    CornerQueue none;
    collect_refine_corners(s.tree, s.cache, {0, 0, 0}, 1, 1, none);
    CHECK(none.keys.empty());
    refine_to_level(s.tree, s.cache, {0, 0, 0}, 1, 1);
    CHECK_EQ(s.tree.children.size(), 1u);

    // A target past max_depth is capped there.
    CornerQueue capped;
    collect_refine_corners(s.tree, s.cache, {0, 0, 0}, 1, 9, capped);
    CHECK_EQ(capped.keys.size(), 27u - 8u);
    testing::LambdaField field = s.field();
    evaluate_queue(field, s.tree, s.cache, capped);
    refine_to_level(s.tree, s.cache, {0, 0, 0}, 1, 9);
    CHECK_EQ(s.tree.children.size(), 2u);
    CHECK_EQ(find_node(s.tree, 1, 1, 1, 2).level, 2u);
}

TEST(balance_queue_skips_cached_and_pending_corners) {
    Scene s(2, below_at({}));
    CornerQueue queue;
    queue_child_corners(s.tree, s.cache, {0, 0, 0}, 0, queue);
    // 27 child lattice points less the 8 root corners; child 0's corners first.
    CHECK_EQ(queue.keys.size(), 19u);
    CHECK(queue.keys[0] == (CornerKey{2, 0, 0}));
    CHECK(queue.keys[1] == (CornerKey{0, 2, 0}));
    queue_child_corners(s.tree, s.cache, {0, 0, 0}, 0, queue);
    CHECK_EQ(queue.keys.size(), 19u);
}

TEST(balance_surface_walks) {
    Scene s = edge_scene();
    CHECK_EQ(cells_text(collect_surface_leaves(s.tree)),
             cells_text({{1, 1, 0, 2}, {1, 0, 0, 1}, {0, 1, 0, 1}, {1, 1, 0, 1}}));
    CHECK(subtree_has_surface_leaf(s.tree, s.tree.root));
    const ChildGroup& top = s.tree.group(std::get<Internal>(s.tree.root).group);
    CHECK(subtree_has_surface_leaf(s.tree, top[0]));
    CHECK(!subtree_has_surface_leaf(s.tree, top[4]));

    Scene flat = two_levels_coarser();
    CHECK(collect_surface_leaves(flat.tree).empty());
    CHECK(!subtree_has_surface_leaf(flat.tree, flat.tree.root));
}

// ---------------------------------------------------------------- through the build

TEST(balance_through_adaptive_build) {
    testing::LambdaField field = testing::sphere(0.61, {0.03, -0.02, 0.05});
    BuildParams params;
    params.bbox_min = {-1, -1, -1};
    params.bbox_max = {1, 1, 1};
    params.min_depth = 2;
    params.max_depth = 5;
    params.balance = true;
    const BuildResult built = build_octree(field, params);
    CHECK_EQ(edge_rule_violations(built.tree), 0);
    CHECK_EQ(built.eval_count, field.points_received());
    CHECK(statistics(built.tree).leaf_count > 0u);
}
