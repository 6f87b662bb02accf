#include "dc/largest_component.hpp"

#include "core/fault.hpp"

namespace quarvel {

namespace {

// Union-find over vertex indices with path halving; union makes the first root the parent.
class DisjointSets {
public:
    explicit DisjointSets(std::size_t n) : parent_(n) {
        for (std::size_t i = 0; i < n; ++i) parent_[i] = i;
    }

    std::uint64_t find(std::uint64_t x) {
        if (x >= parent_.size()) index_fault(parent_.size(), x);
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }

    void unite(std::uint64_t a, std::uint64_t b) {
        const std::uint64_t ra = find(a);
        const std::uint64_t rb = find(b);
        if (ra != rb) parent_[rb] = ra;
    }

private:
    std::vector<std::uint64_t> parent_;
};

}  // namespace

void keep_largest_component(TriangleMesh& mesh) {
    auto& triangles = mesh.triangles;
    if (triangles.empty()) return;
    const std::size_t n = mesh.vertices.size();
    DisjointSets sets(n);
    for (const auto& [i, j, k] : triangles) {
        sets.unite(i, j);
        sets.unite(i, k);
    }

    // Counting by root index instead of hashing: same counts, and scanning the
    // triangles in order makes the earliest triangle's component win a tie.
    std::vector<std::uint64_t> root_of(triangles.size());
    std::vector<std::uint64_t> count(n, 0);
    for (std::size_t t = 0; t < triangles.size(); ++t) ++count[root_of[t] = sets.find(triangles[t][0])];
    std::uint64_t best = root_of[0];
    for (std::uint64_t r : root_of)
        if (count[r] > count[best]) best = r;
    if (count[best] == triangles.size()) return;

    std::vector<std::array<std::uint64_t, 3>> kept;
    kept.reserve(count[best]);
    for (std::size_t t = 0; t < triangles.size(); ++t)
        if (root_of[t] == best) kept.push_back(triangles[t]);

    constexpr std::uint64_t unused = ~std::uint64_t{0};
    std::vector<std::uint64_t> renumber(n, unused);
    for (const auto& tri : kept)
        for (std::uint64_t v : tri) renumber[v] = 0;
    std::vector<Vec3> vertices;
    for (std::size_t v = 0; v < n; ++v) {
        if (renumber[v] == unused) continue;
        renumber[v] = vertices.size();
        vertices.push_back(mesh.vertices[v]);
    }
    for (auto& tri : kept)
        for (std::uint64_t& v : tri) v = renumber[v];
    mesh.vertices = std::move(vertices);
    triangles = std::move(kept);
}

}  // namespace quarvel
