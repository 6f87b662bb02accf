// Helpers for the dual-contouring tests: complete uniform octrees built by hand
// through the model API, fields that misbehave on purpose, and mesh invariants.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/fault.hpp"
#include "dc/extract.hpp"
#include "fields.hpp"
#include "octree/octree.hpp"
#include "octree/refine.hpp"

namespace dctest {

using quarvel::Vec3;

// The message of the Fault `body` throws, or "(no fault)".
inline std::string fault_message(const std::function<void()>& body) {
    try {
        body();
    } catch (const quarvel::Fault& f) {
        return f.message();
    }
    return "(no fault)";
}

// Every lattice corner of `depth` sampled in one batch, every cell subdivided
// down to `depth` (no merging), so every leaf sits at level `depth`. With
// `refine`, only the cells it accepts (and that exist) are subdivided.
inline quarvel::Octree uniform_tree(quarvel::Evaluator& field, Vec3 origin, double size,
                                    unsigned depth, double iso = 0.0,
                                    std::function<bool(const quarvel::CellKey&)> refine = nullptr) {
    using namespace quarvel;
    Octree tree;
    tree.origin = origin;
    tree.size = size;
    tree.iso_value = iso;
    tree.min_depth = static_cast<std::uint8_t>(depth);
    tree.max_depth = static_cast<std::uint8_t>(depth);
    const std::uint32_t n = (1u << depth) + 1;
    std::vector<CornerKey> keys;
    std::vector<Vec3> points;
    for (std::uint32_t z = 0; z < n; ++z)
        for (std::uint32_t y = 0; y < n; ++y)
            for (std::uint32_t x = 0; x < n; ++x) {
                keys.push_back({x, y, z});
                points.push_back(tree.position(keys.back()));
            }
    const BatchResult batch = field.eval_batch(points);
    CornerCache cache(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        CornerSample s{batch.values[i], std::nullopt};
        if (batch.gradients) s.gradient = (*batch.gradients)[i];
        cache.insert_or_assign(keys[i], s);
    }
    std::array<double, 8> root;
    for (unsigned i = 0; i < 8; ++i) root[i] = cache.find(corner_of({0, 0, 0}, 1u << depth, i))->value;
    tree.root = make_cell(root, iso);
    for (unsigned level = 0; level < depth; ++level) {
        const std::uint32_t cells = 1u << level;
        for (std::uint32_t z = 0; z < cells; ++z)
            for (std::uint32_t y = 0; y < cells; ++y)
                for (std::uint32_t x = 0; x < cells; ++x) {
                    const CellKey cell{x, y, z, static_cast<std::uint8_t>(level)};
                    if (refine && (find_node(tree, x, y, z, level).level != level || !refine(cell)))
                        continue;
                    subdivide(tree, cache, {cell, static_cast<std::uint8_t>(level + 1)}, Pass::build);
                }
    }
    tree.corners = std::move(cache);  // as a build for the pipeline keeps them
    return tree;
}

// A field that drops entries of chosen batches: values and/or gradient rows
// beyond `keep` in batch number `batch` (0-based).
class TruncatingField : public quarvel::Evaluator {
public:
    TruncatingField(quarvel::Evaluator& inner, std::size_t batch, std::optional<std::size_t> keep_values,
                    std::optional<std::size_t> keep_gradients)
        : inner_(inner), batch_(batch), keep_values_(keep_values), keep_gradients_(keep_gradients) {}

    quarvel::BatchResult eval_batch(std::span<const Vec3> points) override {
        quarvel::BatchResult r = inner_.eval_batch(points);
        if (calls_++ == batch_) {
            if (keep_values_) r.values.resize(*keep_values_);
            if (keep_gradients_ && r.gradients) r.gradients->resize(*keep_gradients_);
        }
        return r;
    }

private:
    quarvel::Evaluator& inner_;
    std::size_t batch_;
    std::optional<std::size_t> keep_values_, keep_gradients_;
    std::size_t calls_ = 0;
};

inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Right-hand normal (unnormalised) of triangle t.
inline Vec3 triangle_normal(const quarvel::TriangleMesh& m, std::size_t t) {
    const auto& [a, b, c] = m.triangles[t];
    return cross(sub(m.vertices[b], m.vertices[a]), sub(m.vertices[c], m.vertices[a]));
}

inline Vec3 triangle_centroid(const quarvel::TriangleMesh& m, std::size_t t) {
    Vec3 c{};
    for (auto v : m.triangles[t])
        for (int a = 0; a < 3; ++a) c[a] += m.vertices[v][a] / 3.0;
    return c;
}

struct Topology {
    bool closed = true;     // every undirected edge in exactly two triangles
    bool oriented = true;   // every directed edge in at most one triangle
    bool in_range = true;   // every index < vertex count
    long euler = 0;         // V - E + F over the vertices the triangles use
    std::size_t used_vertices = 0;
};

inline Topology topology(const quarvel::TriangleMesh& m) {
    Topology t;
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> directed;
    std::set<std::uint64_t> used;
    for (const auto& tri : m.triangles) {
        for (int k = 0; k < 3; ++k) {
            if (tri[k] >= m.vertices.size()) t.in_range = false;
            used.insert(tri[k]);
            ++directed[{tri[k], tri[(k + 1) % 3]}];
        }
    }
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> undirected;
    for (const auto& [e, n] : directed) {
        if (n != 1) t.oriented = false;
        undirected[{std::min(e.first, e.second), std::max(e.first, e.second)}] += n;
    }
    for (const auto& [e, n] : undirected)
        if (n != 2) t.closed = false;
    t.used_vertices = used.size();
    t.euler = static_cast<long>(used.size()) - static_cast<long>(undirected.size()) +
              static_cast<long>(m.triangles.size());
    return t;
}

}  // namespace dctest
