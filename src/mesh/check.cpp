#include "mesh/check.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numeric>

#include "core/fault.hpp"
#include "core/monitor.hpp"
#include "core/parallel.hpp"

namespace quarvel {

namespace {

// ------------------------------------------------------------------ edges

// One side of a triangle: its undirected edge (lo < hi) and which way the
// triangle runs through it.
struct HalfEdge {
    std::uint64_t lo = 0, hi = 0;
    std::uint64_t side = 0;  // the triangle's index times 2, plus 1 when it runs lo -> hi
    std::uint64_t triangle() const { return side >> 1; }
    bool forward() const { return (side & 1) != 0; }
};

// Half-edges of the non-degenerate triangles, sorted by (lo, hi, triangle):
// a counting sort by lo, then each vertex's few half-edges by hi.
std::vector<HalfEdge> sorted_half_edges(std::span<const Triangle> triangles) {
    std::uint64_t vertex_count = 0;
    for (const Triangle& t : triangles) vertex_count = std::max({vertex_count, t[0] + 1, t[1] + 1, t[2] + 1});
    std::vector<std::uint64_t> start(vertex_count + 1, 0);
    for (const Triangle& t : triangles)
        if (!degenerate(t))
            for (unsigned k = 0; k < 3; ++k) ++start[std::min(t[k], t[(k + 1) % 3]) + 1];
    for (std::uint64_t v = 0; v < vertex_count; ++v) start[v + 1] += start[v];
    std::vector<HalfEdge> half(start[vertex_count]);
    std::vector<std::uint64_t> next(start.begin(), start.end() - 1);
    for (std::uint64_t t = 0; t < triangles.size(); ++t) {
        if (degenerate(triangles[t])) continue;
        for (unsigned k = 0; k < 3; ++k) {
            const std::uint64_t a = triangles[t][k], b = triangles[t][(k + 1) % 3];
            half[next[std::min(a, b)]++] = {std::min(a, b), std::max(a, b), t << 1 | (a < b)};
        }
    }
    // Triangles went in increasing order; an insertion sort by hi (a vertex
    // has a handful of half-edges) is stable and keeps them so.
    for (std::uint64_t v = 0; v < vertex_count; ++v)
        for (std::uint64_t i = start[v] + 1; i < start[v + 1]; ++i) {
            const HalfEdge moving = half[i];
            std::uint64_t j = i;
            for (; j > start[v] && half[j - 1].hi > moving.hi; --j) half[j] = half[j - 1];
            half[j] = moving;
        }
    return half;
}

// Calls group(begin, end) for each run of half-edges on one edge.
template <class Group>
void for_each_edge(const std::vector<HalfEdge>& half, Group&& group) {
    for (std::size_t begin = 0, end = 0; begin < half.size(); begin = end) {
        end = begin + 1;
        while (end < half.size() && half[end].lo == half[begin].lo && half[end].hi == half[begin].hi) ++end;
        group(begin, end);
    }
}

// ---------------------------------------------------------------- vertices

// Each vertex's corners (corner 3t + k is vertex k of triangle t): those of
// vertex v are order[start[v]] to order[start[v + 1]], in increasing order.
struct VertexCorners {
    std::vector<std::uint64_t> start, order;
};

// With `only`, the corners of the flagged vertices alone.
VertexCorners corners_by_vertex(std::span<const Triangle> triangles, std::size_t vertex_count,
                                std::span<const std::uint8_t> only, const std::atomic<bool>* stop) {
    const auto wanted = [&](std::uint64_t v) { return only.empty() || only[v]; };
    VertexCorners c{std::vector<std::uint64_t>(vertex_count + 1, 0), {}};
    for (const Triangle& t : triangles)
        for (std::uint64_t v : t) c.start[v + 1] += wanted(v);
    check_stop(stop);
    for (std::size_t v = 0; v < vertex_count; ++v) c.start[v + 1] += c.start[v];
    c.order.resize(c.start[vertex_count]);
    std::vector<std::uint64_t> next(c.start.begin(), c.start.end() - 1);
    for (std::uint64_t k = 0; k < 3 * triangles.size(); ++k) {
        check_active(k);  // so that Ctrl-C ends a meshing call here too
        const std::uint64_t v = triangles[k / 3][k % 3];
        if (wanted(v)) c.order[next[v]++] = k;
    }
    return c;
}

// An edge from a vertex to its neighbour w, as one of the vertex's corners
// (its place in the vertex's list) sees it: the triangle runs out along it
// to w, or comes in from w.
struct Spoke {
    std::uint64_t w;
    std::uint64_t corner;
    bool outward;
    bool operator<(const Spoke& o) const { return w != o.w ? w < o.w : corner < o.corner; }
};

// The spokes of one vertex's non-degenerate corners, by neighbour: a
// triangle holds an edge at most once, so the spokes to w number the
// triangles on that edge, as its half-edges do.
void spokes_of(std::span<const Triangle> triangles, std::span<const std::uint64_t> corners, std::vector<Spoke>& spokes) {
    spokes.clear();
    for (std::uint64_t i = 0; i < corners.size(); ++i) {
        const Triangle& t = triangles[corners[i] / 3];
        if (degenerate(t)) continue;
        const unsigned k = corners[i] % 3;
        spokes.push_back({t[(k + 1) % 3], i, true});
        spokes.push_back({t[(k + 2) % 3], i, false});
    }
    // A vertex has a dozen spokes or so: sorted by insertion, which beats
    // std::sort's set-up at that size; long lists (crowded vertices) by std::sort.
    if (spokes.size() > 32) {
        std::sort(spokes.begin(), spokes.end());
        return;
    }
    for (std::size_t i = 1; i < spokes.size(); ++i) {
        const Spoke s = spokes[i];
        std::size_t j = i;
        for (; j > 0 && s < spokes[j - 1]; --j) spokes[j] = spokes[j - 1];
        spokes[j] = s;
    }
}

std::uint64_t root_of(std::vector<std::uint64_t>& parent, std::uint64_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
}
void unite(std::vector<std::uint64_t>& parent, std::uint64_t a, std::uint64_t b) {
    a = root_of(parent, a);
    b = root_of(parent, b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
}

constexpr std::uint64_t NO_FAN = ~std::uint64_t{0};

// The half-edges of one crowded edge in the order of their triangles around
// it (angle of the third vertex about lo -> hi).
std::vector<std::size_t> around_edge(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                                     const std::vector<HalfEdge>& half, std::size_t begin, std::size_t end) {
    const Vec3& a = vertices[half[begin].lo];
    const Vec3 e = sub(vertices[half[begin].hi], a);
    // Any direction across e, then the one completing the frame.
    const unsigned least = std::fabs(e[0]) <= std::fabs(e[1]) ? (std::fabs(e[0]) <= std::fabs(e[2]) ? 0 : 2)
                                                              : (std::fabs(e[1]) <= std::fabs(e[2]) ? 1 : 2);
    Vec3 axis{0.0, 0.0, 0.0};
    axis[least] = 1.0;
    const Vec3 r1 = cross(e, axis);
    const Vec3 r2 = cross(e, r1);
    std::vector<std::pair<double, std::size_t>> order;
    for (std::size_t i = begin; i < end; ++i) {
        const Triangle& t = triangles[half[i].triangle()];
        std::uint64_t third = t[0];
        for (unsigned k = 0; k < 3; ++k)
            if (t[k] != half[i].lo && t[k] != half[i].hi) third = t[k];
        const Vec3 u = sub(vertices[third], a);
        order.push_back({std::atan2(dot(u, r2), dot(u, r1)), i});
    }
    std::sort(order.begin(), order.end());
    std::vector<std::size_t> out;
    for (const auto& [angle, i] : order) out.push_back(i);
    return out;
}

}  // namespace

std::vector<CrowdedPair> pair_crowded_edges(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                                           bool join_inside) {
    const std::vector<HalfEdge> half = sorted_half_edges(triangles);
    std::vector<CrowdedPair> pairs;
    for_each_edge(half, [&](std::size_t begin, std::size_t end) {
        if (end - begin <= 2) return;
        // Running lo -> hi, a triangle's inside lies toward decreasing angle.
        const std::vector<std::size_t> ring = around_edge(vertices, triangles, half, begin, end);
        std::vector<std::uint8_t> paired(ring.size(), 0);
        for (std::size_t i = 0; i < ring.size(); ++i) {
            const std::size_t j = (i + (join_inside ? 1 : ring.size() - 1)) % ring.size();
            if (!half[ring[i]].forward() || half[ring[j]].forward() || paired[i] || paired[j]) continue;
            paired[i] = paired[j] = 1;
            pairs.push_back({half[begin].lo, half[begin].hi, half[ring[i]].triangle(), half[ring[j]].triangle()});
        }
    });
    return pairs;
}

VertexScan scan_vertices(std::span<const Triangle> triangles, std::size_t vertex_count,
                         std::span<const std::uint8_t> only, const std::atomic<bool>* stop) {
    const VertexCorners corners = corners_by_vertex(triangles, vertex_count, only, stop);
    check_stop(stop);
    VertexScan out;
    out.fan.assign(3 * triangles.size(), 0);
    std::mutex tally;
    parallel_for(vertex_count, [&](std::size_t begin, std::size_t end) {
        VertexScan part;
        std::vector<Spoke> spokes;
        std::vector<std::uint64_t> parent, fan_of_root;
        for (std::uint64_t v = begin; v < end; ++v) {
            if (v % 4096 == 0) check_stop(stop);
            const std::span<const std::uint64_t> mine(corners.order.data() + corners.start[v],
                                                      corners.start[v + 1] - corners.start[v]);
            spokes_of(triangles, mine, spokes);
            parent.resize(mine.size());
            std::iota(parent.begin(), parent.end(), 0);
            for (std::size_t i = 0, j = 0; i < spokes.size(); i = j) {
                for (j = i + 1; j < spokes.size() && spokes[j].w == spokes[i].w;) ++j;
                const std::size_t n = j - i;
                // Two triangles alone on an edge join their corners here in one fan.
                if (n == 2) unite(parent, spokes[i].corner, spokes[i + 1].corner);
                if (spokes[i].w < v) continue;  // each edge counted once, at its lower end
                part.boundary_edges += n == 1;
                part.nonmanifold_edges += n > 2;
                if (n > 2 && (part.crowded_vertices.empty() || part.crowded_vertices.back() != v))
                    part.crowded_vertices.push_back(v);
                part.misoriented_edges += n == 2 && spokes[i].outward == spokes[i + 1].outward;
            }
            // Fans numbered in order of their first corner.
            fan_of_root.assign(mine.size(), NO_FAN);
            std::uint32_t fans = 0;
            for (std::size_t i = 0; i < mine.size(); ++i) {
                if (degenerate(triangles[mine[i] / 3])) continue;
                std::uint64_t& id = fan_of_root[root_of(parent, i)];
                if (id == NO_FAN) id = fans++;
                out.fan[mine[i]] = static_cast<std::uint32_t>(id);
            }
        }
        std::lock_guard lock(tally);
        out.boundary_edges += part.boundary_edges;
        out.nonmanifold_edges += part.nonmanifold_edges;
        out.misoriented_edges += part.misoriented_edges;
        out.crowded_vertices.insert(out.crowded_vertices.end(), part.crowded_vertices.begin(),
                                    part.crowded_vertices.end());
    });
    std::sort(out.crowded_vertices.begin(), out.crowded_vertices.end());
    return out;
}

MeshCheck check_topology(std::span<const Triangle> triangles, std::size_t vertex_count,
                         const std::atomic<bool>* stop) {
    for (const Triangle& t : triangles)
        for (std::uint64_t v : t)
            if (v >= vertex_count) index_fault(vertex_count, v);
    MeshCheck out;
    for (const Triangle& t : triangles) out.degenerate_triangles += degenerate(t);
    check_stop(stop);
    const VertexScan scan = scan_vertices(triangles, vertex_count, {}, stop);
    out.boundary_edges = scan.boundary_edges;
    out.nonmanifold_edges = scan.nonmanifold_edges;
    out.misoriented_edges = scan.misoriented_edges;
    std::vector<std::uint8_t> pinched(vertex_count, 0);
    for (std::size_t c = 0; c < scan.fan.size(); ++c)
        if (scan.fan[c] > 0) pinched[triangles[c / 3][c % 3]] = 1;
    out.nonmanifold_vertices = static_cast<std::uint64_t>(std::count(pinched.begin(), pinched.end(), 1));
    return out;
}

MeshCheck check_mesh(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                     const CrossingSearch& search) {
    MeshCheck out = check_topology(triangles, vertices.size(), search.stop);
    check_stop(search.stop);
    const std::vector<std::uint8_t> finite =
        parallel_map<std::uint8_t>(vertices.size(), [&](std::size_t i) { return std::uint8_t{is_finite(vertices[i])}; });
    out.nonfinite_vertices = static_cast<std::uint64_t>(std::count(finite.begin(), finite.end(), 0));
    CrossingPairs crossing = find_crossings(vertices, triangles, search);
    out.intersecting = std::move(crossing.listed);
    out.intersecting_count = crossing.count;
    out.intersecting_complete = crossing.complete;
    return out;
}

}  // namespace quarvel
