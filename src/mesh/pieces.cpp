#include "mesh/pieces.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>

#include "core/fault.hpp"
#include "core/monitor.hpp"
#include "core/parallel.hpp"

namespace quarvel {

namespace {

// Union-find over vertex indices that threads may join at once: a root is
// always linked under the smaller of the two, by compare-and-swap, and
// paths are halved as they are walked. The sets are connected components,
// the same whatever the order of joins; which vertex is a set's root is
// not, and nothing reads it but to tell sets apart.
class DisjointSets {
public:
    explicit DisjointSets(std::size_t n) : parent_(std::make_unique<std::atomic<std::uint64_t>[]>(n)), size_(n) {
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) parent_[i].store(i, std::memory_order_relaxed);
        });
    }

    std::uint64_t find(std::uint64_t x) {
        if (x >= size_) index_fault(size_, x);
        for (;;) {
            std::uint64_t p = parent_[x].load(std::memory_order_relaxed);
            if (p == x) return x;
            const std::uint64_t g = parent_[p].load(std::memory_order_relaxed);
            if (g != p) parent_[x].compare_exchange_weak(p, g, std::memory_order_relaxed);
            x = g;
        }
    }

    void unite(std::uint64_t a, std::uint64_t b) {
        for (;;) {
            a = find(a);
            b = find(b);
            if (a == b) return;
            if (a > b) std::swap(a, b);
            std::uint64_t expected = b;
            if (parent_[b].compare_exchange_strong(expected, a, std::memory_order_relaxed)) return;
        }
    }

private:
    std::unique_ptr<std::atomic<std::uint64_t>[]> parent_;
    std::size_t size_;
};

// The piece of each triangle: the root of its vertices' set once every
// triangle has joined its three vertices.
std::vector<std::uint64_t> triangle_pieces(std::span<const Triangle> triangles, std::size_t vertex_count,
                                               Monitor& monitor) {
    const Monitor::Active active(&monitor);
    DisjointSets sets(vertex_count);
    parallel_for(triangles.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            check_active(t);
            const auto& [i, j, k] = triangles[t];
            sets.unite(i, j);
            sets.unite(i, k);
        }
    });
    std::vector<std::uint64_t> root_of(triangles.size());
    parallel_for(triangles.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            check_active(t);
            root_of[t] = sets.find(triangles[t][0]);
        }
    });
    return root_of;
}

std::vector<std::uint64_t> triangle_pieces(const TriangleMesh& mesh, Monitor& monitor) {
    return triangle_pieces(mesh.triangles, mesh.vertices.size(), monitor);
}

// Keeps the triangles for which keep(t) holds and the vertices they use,
// renumbered in increasing order of their old index.
template <class Keep>
void keep_triangles(TriangleMesh& mesh, std::size_t count, Keep keep) {
    // Sized exactly: the lists become the result arrays' buffers.
    std::vector<std::array<std::uint64_t, 3>> kept;
    kept.reserve(count);
    for (std::size_t t = 0; t < mesh.triangles.size(); ++t)
        if (keep(t)) kept.push_back(mesh.triangles[t]);

    constexpr std::uint64_t unused = ~std::uint64_t{0};
    std::vector<std::uint64_t> renumber(mesh.vertices.size(), unused);
    for (const auto& tri : kept)
        for (std::uint64_t v : tri) renumber[v] = 0;
    std::vector<Vec3> vertices, normals;
    vertices.reserve(static_cast<std::size_t>(std::count(renumber.begin(), renumber.end(), 0)));
    if (!mesh.normals.empty()) normals.reserve(vertices.capacity());
    for (std::size_t v = 0; v < mesh.vertices.size(); ++v) {
        if (renumber[v] == unused) continue;
        renumber[v] = vertices.size();
        vertices.push_back(mesh.vertices[v]);
        if (!mesh.normals.empty()) normals.push_back(mesh.normals[v]);
    }
    for (auto& tri : kept)
        for (std::uint64_t& v : tri) v = renumber[v];
    mesh.vertices = std::move(vertices);
    mesh.normals = std::move(normals);
    mesh.triangles = std::move(kept);
}

}  // namespace

std::vector<std::uint64_t> piece_labels(std::span<const Triangle> triangles, std::size_t vertex_count,
                                        Monitor& monitor) {
    std::vector<std::uint64_t> labels = triangle_pieces(triangles, vertex_count, monitor);
    constexpr std::uint64_t unseen = ~std::uint64_t{0};
    std::vector<std::uint64_t> piece_of_root(vertex_count, unseen);
    std::uint64_t pieces = 0;
    for (std::uint64_t& label : labels) {
        std::uint64_t& piece = piece_of_root[label];
        if (piece == unseen) piece = pieces++;
        label = piece;
    }
    return labels;
}

std::uint64_t count_pieces(const TriangleMesh& mesh, Monitor& monitor) {
    const std::vector<std::uint64_t> labels = piece_labels(mesh.triangles, mesh.vertices.size(), monitor);
    return labels.empty() ? 0 : *std::max_element(labels.begin(), labels.end()) + 1;
}

void keep_largest_piece(TriangleMesh& mesh, Monitor& monitor) {
    if (mesh.triangles.empty()) return;
    const std::vector<std::uint64_t> root_of = triangle_pieces(mesh, monitor);
    // Counting by root index instead of hashing: same counts, and scanning the
    // triangles in order makes the earliest triangle's component win a tie.
    std::vector<std::uint64_t> count(mesh.vertices.size(), 0);
    for (std::uint64_t r : root_of) ++count[r];
    std::uint64_t best = root_of[0];
    for (std::uint64_t r : root_of)
        if (count[r] > count[best]) best = r;
    if (count[best] != mesh.triangles.size())
        keep_triangles(mesh, count[best], [&](std::size_t t) { return root_of[t] == best; });
}

std::uint64_t drop_small_pieces(TriangleMesh& mesh, double min_volume, Monitor& monitor) {
    if (mesh.triangles.empty()) return 0;
    const std::vector<std::uint64_t> root_of = triangle_pieces(mesh, monitor);
    // Each piece's volume by the divergence theorem about the centre of the
    // vertices' box (small summands), summed in triangle order.
    Vec3 lo = mesh.vertices[mesh.triangles[0][0]], hi = lo;
    for (const Vec3& v : mesh.vertices)
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], v[a]), hi[a] = std::max(hi[a], v[a]);
    const Vec3 centre{0.5 * lo[0] + 0.5 * hi[0], 0.5 * lo[1] + 0.5 * hi[1], 0.5 * lo[2] + 0.5 * hi[2]};
    std::vector<double> volume(mesh.vertices.size(), 0.0);
    std::vector<std::uint64_t> count(mesh.vertices.size(), 0);
    for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
        monitor.check(t);
        const auto& [i, j, k] = mesh.triangles[t];
        volume[root_of[t]] += dot(sub(mesh.vertices[i], centre),
                                  cross(sub(mesh.vertices[j], centre), sub(mesh.vertices[k], centre)));
        ++count[root_of[t]];
    }
    std::uint64_t dropped = 0, kept = 0;
    std::vector<char> keep(mesh.vertices.size(), 0);
    for (std::size_t r = 0; r < count.size(); ++r) {
        if (!count[r]) continue;
        keep[r] = !(std::abs(volume[r]) / 6.0 < min_volume);  // NaN volumes stay
        if (keep[r]) kept += count[r]; else ++dropped;
    }
    if (dropped) keep_triangles(mesh, kept, [&](std::size_t t) { return keep[root_of[t]] != 0; });
    return dropped;
}

}  // namespace quarvel
