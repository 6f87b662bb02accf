// Hand-built scenes and brute-force oracles for the balancing pass tests. Every
// scene uses origin 0 and size 2^max_depth, so world coordinates equal lattice
// keys and a field can be given as "below the iso value exactly at these
// lattice points".
#pragma once

#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <variant>

#include "core/fault.hpp"
#include "eval/sampler.hpp"
#include "fields.hpp"
#include "octree/balance.hpp"
#include "octree/refine.hpp"

namespace balance_testing {

using namespace quarvel;
using namespace quarvel::balance_detail;

using ValueFn = std::function<double(const Vec3&)>;
constexpr Vec3 kGradient{0.0, 0.0, 1.0};

// -1 at the listed lattice points, +1 everywhere else (fd offsets included).
inline ValueFn below_at(std::vector<CornerKey> points) {
    return [points = std::move(points)](const Vec3& p) {
        for (const CornerKey& k : points)
            if (p[0] == double(k.x) && p[1] == double(k.y) && p[2] == double(k.z)) return -1.0;
        return 1.0;
    };
}

inline ValueFn sphere_value(Vec3 c, double r) {
    return [=](const Vec3& p) {
        return testing::norm({p[0] - c[0], p[1] - c[1], p[2] - c[2]}) - r;
    };
}

inline CornerKey key_of(const CellKey& cell, unsigned max_depth) {
    return min_corner(cell, max_depth);
}

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
        tree.root = make_cell(values_of({0, 0, 0}, edge), iso);
    }

    void sample(const CornerKey& key) {
        if (!cache.contains(key))
            cache.insert_or_assign(key, {value(tree.position(key)), kGradient});
    }

    std::array<double, 8> values_of(CornerKey m, std::uint32_t edge) const {
        std::array<double, 8> v;
        for (unsigned k = 0; k < 8; ++k) v[k] = cache.find(corner_of(m, edge, k))->value;
        return v;
    }

    void split(const CellKey& cell) {
        const CornerKey m = key_of(cell, tree.max_depth);
        const std::uint32_t t = 1u << (tree.max_depth - cell.level - 1);
        for (std::uint32_t i = 0; i < 3; ++i)
            for (std::uint32_t j = 0; j < 3; ++j)
                for (std::uint32_t k = 0; k < 3; ++k)
                    sample({m.x + i * t, m.y + j * t, m.z + k * t});
        subdivide(tree, cache, {cell, static_cast<std::uint8_t>(cell.level + 1)}, Pass::build);
    }

    // Splits every cell on the way from the root down to `level` around `point`.
    void split_down(const CornerKey& point, unsigned level) {
        for (unsigned l = 0; l < level; ++l) {
            const unsigned s = tree.max_depth - l;
            const CellKey cell{point.x >> s, point.y >> s, point.z >> s,
                               static_cast<std::uint8_t>(l)};
            const FoundNode f = find_node(tree, cell.x, cell.y, cell.z, l);
            if (f.level == l && !std::holds_alternative<Internal>(*f.node)) split(cell);
        }
    }

    testing::LambdaField field(bool with_gradients = true) const {
        if (!with_gradients) return testing::LambdaField(value);
        return testing::LambdaField(value, [](const Vec3&) { return kGradient; });
    }
};

// ---------------------------------------------------------------- runs

// The pass and its phases on a plain field, sampled with the build's step.
inline std::uint64_t balance_octree(Evaluator& field, Octree& tree, CornerCache& cache) {
    FieldSampler sampler(field, fd_step(tree));
    return quarvel::balance_octree(sampler, tree, cache);
}
inline std::uint64_t balance_faces(Evaluator& field, Octree& tree, CornerCache& cache) {
    FieldSampler sampler(field, fd_step(tree));
    return quarvel::balance_detail::balance_faces(sampler, tree, cache);
}
inline std::uint64_t balance_edges(Evaluator& field, Octree& tree, CornerCache& cache) {
    FieldSampler sampler(field, fd_step(tree));
    return quarvel::balance_detail::balance_edges(sampler, tree, cache);
}
// One refine() step of the balance pass.
inline void refine_once(Evaluator& field, Octree& tree, CornerCache& cache,
                        std::span<const RefineRequest> requests) {
    FieldSampler sampler(field, fd_step(tree));
    refine(sampler, tree, cache, requests, Pass::balance);
}

// ---------------------------------------------------------------- oracles

inline std::string cells_text(const std::vector<CellKey>& cells) {
    std::ostringstream os;
    for (const CellKey& c : cells)
        os << "(" << c.x << "," << c.y << "," << c.z << "," << int(c.level) << ")";
    return os.str();
}
inline std::string requests_text(const std::vector<RefineRequest>& requests) {
    std::ostringstream os;
    for (const RefineRequest& r : requests)
        os << cells_text({r.cell}) << "->" << int(r.target);
    return os.str();
}

inline bool holds_surface(const Octree& tree, const OctreeNode& node) {
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
inline int coarse_neighbour_violations(const Octree& tree) {
    int v = 0;
    for (const CellKey& c : collect_leaves(tree))
        face_neighbours(c, [&](const CellKey& n) {
            if (find_node(tree, n.x, n.y, n.z, n.level).level + 1 < c.level) ++v;
        });
    return v;
}

// Surface leaves beside a coarser non-surface cell, or (below max_depth) beside
// a same-level subdivided cell that holds a surface leaf.
inline int surface_rule_violations(const Octree& tree) {
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
inline int edge_rule_violations(const Octree& tree) {
    int v = 0;
    for (const CellKey& c : collect_leaves(tree)) {
        const auto* leaf = std::get_if<Leaf>(find_node(tree, c.x, c.y, c.z, c.level).node);
        if (!leaf || !is_surface_leaf(*leaf)) continue;
        const long long side = 1ll << c.level;
        for (unsigned i = 0; i < 8; ++i)
            for (unsigned axis = 0; axis < 3; ++axis) {
                const unsigned j = i | (1u << axis);
                if (j == i) continue;
                if (((leaf->sign_mask >> i) & 1u) == ((leaf->sign_mask >> j) & 1u)) continue;
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
                        const FoundNode f = find_node(tree, std::uint32_t(k[0]),
                                                      std::uint32_t(k[1]), std::uint32_t(k[2]),
                                                      c.level);
                        const bool fine = f.level == c.level &&
                                          (is_internal(*f.node) || is_surface_leaf(*f.node));
                        if (!fine) ++v;
                    }
            }
    }
    return v;
}

// Corners of non-Internal nodes missing from the cache, without a gradient, or
// disagreeing with the signs a Leaf took from them.
inline int corner_cache_violations(const Octree& tree, const CornerCache& cache) {
    int v = 0;
    for (const CellKey& c : collect_leaves(tree)) {
        const OctreeNode& node = *find_node(tree, c.x, c.y, c.z, c.level).node;
        const auto* leaf = std::get_if<Leaf>(&node);
        const std::uint32_t edge = 1u << (tree.max_depth - c.level);
        for (unsigned k = 0; k < 8; ++k) {
            const auto s = cache.find(corner_of(key_of(c, tree.max_depth), edge, k));
            const bool below = s && s->value < tree.iso_value;
            if (!s || !s->gradient || (leaf && ((leaf->sign_mask >> k) & 1u) != below)) ++v;
        }
    }
    return v;
}

inline std::set<std::tuple<double, double, double>> as_set(const std::vector<Vec3>& points) {
    std::set<std::tuple<double, double, double>> out;
    for (const Vec3& p : points) out.emplace(p[0], p[1], p[2]);
    return out;
}

// ---------------------------------------------------------------- scenes

// Outside everywhere, max_depth 3: a level-3 block in the corner of level-2
// cells, so level-3 leaves face the level-1 cells 1, 2 and 4 of the root.
inline Scene two_levels_coarser() {
    Scene s(3, below_at({}));
    s.split({0, 0, 0, 0});
    s.split({0, 0, 0, 1});
    s.split({1, 1, 1, 2});
    return s;
}

// A sphere with three level-5 spikes into an otherwise level-1 tree.
inline Scene spiky_sphere() {
    Scene s(5, sphere_value({15.3, 16.2, 14.7}, 9.4));
    s.split({0, 0, 0, 0});
    s.split_down({24, 16, 14}, 5);
    s.split_down({5, 16, 14}, 5);
    s.split_down({15, 25, 14}, 5);
    return s;
}

// Below only at (4, 4, 0), max_depth 3: every cell with that corner is a surface leaf.
inline Scene edge_scene() {
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

inline std::string fault_message(const std::function<void()>& run) {
    try {
        run();
    } catch (const Fault& f) {
        return f.message();
    }
    return "no fault";
}

}  // namespace balance_testing
