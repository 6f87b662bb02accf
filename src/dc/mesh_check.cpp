#include "dc/mesh_check.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "core/fault.hpp"
#include "core/ordered_gather.hpp"

namespace quarvel {

namespace {

bool degenerate(const Triangle& t) { return t[0] == t[1] || t[1] == t[2] || t[0] == t[2]; }

// ------------------------------------------------------------------ edges

// One side of a triangle: its undirected edge (lo < hi) and which way the
// triangle runs through it.
struct HalfEdge {
    std::uint64_t lo = 0, hi = 0;
    std::uint64_t triangle = 0;
    bool forward = false;  // the triangle runs lo -> hi
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
            half[next[std::min(a, b)]++] = {std::min(a, b), std::max(a, b), t, a < b};
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

struct UnionFind {
    std::vector<std::uint64_t> parent;
    explicit UnionFind(std::size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0); }
    std::uint64_t find(std::uint64_t x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    }
    void join(std::uint64_t a, std::uint64_t b) {
        a = find(a);
        b = find(b);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
};

std::uint64_t corner_at(const Triangle& t, std::uint64_t index, std::uint64_t v) {
    for (unsigned k = 0; k < 3; ++k)
        if (t[k] == v) return 3 * index + k;
    fault("a triangle does not hold its own edge's vertex");
}

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
        const Triangle& t = triangles[half[i].triangle];
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

// ------------------------------------------------------------ intersections

double orient(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
    return dot(sub(b, a), cross(sub(c, a), sub(d, a)));
}

// A triangle's plane as the crossing test measures sides: through its first
// vertex a, normal (b - a) x (c - a), unnormalised.
struct Plane {
    Vec3 a, n;
    double side(const Vec3& p) const { return dot(n, sub(p, a)); }
};

Plane plane_of(std::span<const Vec3> v, const Triangle& t) {
    const Vec3& a = v[t[0]];
    return {a, cross(sub(v[t[1]], a), sub(v[t[2]], a))};
}

// Segment pq passes through triangle abc: its ends lie on either side of the
// plane, each further from it than rounding could place it (a relative 1e-12
// of their distances), and the line meets the closed triangle. An end within
// rounding of the plane counts as touching it: nearly coplanar neighbours do
// not cross.
bool segment_crosses(const Vec3& p, const Vec3& q, const Plane& plane, const Vec3& b, const Vec3& c) {
    const Vec3& a = plane.a;
    const Vec3 ap = sub(p, a), aq = sub(q, a);
    const double s = dot(plane.n, ap), t = dot(plane.n, aq);
    const double noise = 1e-12 * length(plane.n) * (length(ap) + length(aq));
    if (!((s > noise && t < -noise) || (s < -noise && t > noise))) return false;
    const double o1 = orient(p, q, a, b), o2 = orient(p, q, b, c), o3 = orient(p, q, c, a);
    return (o1 >= 0.0 && o2 >= 0.0 && o3 >= 0.0) || (o1 <= 0.0 && o2 <= 0.0 && o3 <= 0.0);
}

// An end of an edge at a vertex of the triangle (the same vertex, or another
// in the same place) touches it there and does not pass through it.
bool touches(std::span<const Vec3> v, std::uint64_t end, const Triangle& t) {
    for (std::uint64_t w : t)
        if (w == end || v[w] == v[end]) return true;
    return false;
}

// An edge of `edges_of` through t (whose plane is `plane`). Edges with an end
// touching t are passed over. Every other edge needs one end strictly on each
// side of the plane, as segment_crosses measures them: when the remaining
// vertices all lie on one side (or in it), no edge can cross, and the
// edge tests are skipped. Most neighbouring pairs end there.
bool edge_crosses(std::span<const Vec3> v, const Triangle& edges_of, const Triangle& t, const Plane& plane) {
    std::array<bool, 3> touching{};
    bool above = false, below = false;
    for (unsigned k = 0; k < 3; ++k) {
        touching[k] = touches(v, edges_of[k], t);
        if (touching[k]) continue;
        const double s = plane.side(v[edges_of[k]]);
        above = above || s > 0.0;
        below = below || s < 0.0;
    }
    if (!above || !below) return false;
    for (unsigned k = 0; k < 3; ++k) {
        const unsigned next = (k + 1) % 3;
        if (touching[k] || touching[next]) continue;
        if (segment_crosses(v[edges_of[k]], v[edges_of[next]], plane, v[t[1]], v[t[2]])) return true;
    }
    return false;
}

bool triangles_cross(std::span<const Vec3> v, const Triangle& t, const Triangle& u) {
    return edge_crosses(v, u, t, plane_of(v, t)) || edge_crosses(v, t, u, plane_of(v, u));
}

unsigned shared_vertices(const Triangle& t, const Triangle& u) {
    unsigned n = 0;
    for (unsigned i = 0; i < 3; ++i)
        for (unsigned j = 0; j < 3; ++j) n += t[i] == u[j];
    return n;
}

struct Aabb {
    Vec3 lo, hi;
};

// The grid: cells of edge `cell` from `origin`, at most 2^21 per axis, so a
// cell's coordinates pack into one 63-bit key.
struct Grid {
    Vec3 origin{};
    double cell = 1.0;
    static constexpr std::uint64_t AXIS = std::uint64_t{1} << 21;

    std::array<std::uint64_t, 3> coords(const Vec3& p) const {
        std::array<std::uint64_t, 3> c;
        for (int a = 0; a < 3; ++a) {
            const double x = std::floor((p[a] - origin[a]) / cell);
            c[a] = static_cast<std::uint64_t>(std::clamp(x, 0.0, static_cast<double>(AXIS - 1)));
        }
        return c;
    }
    static std::uint64_t key(std::uint64_t x, std::uint64_t y, std::uint64_t z) { return (x << 42) | (y << 21) | z; }
};

std::uint64_t cells_covered(const Grid& grid, const Aabb& box) {
    const auto lo = grid.coords(box.lo), hi = grid.coords(box.hi);
    return (hi[0] - lo[0] + 1) * (hi[1] - lo[1] + 1) * (hi[2] - lo[2] + 1);
}

// Cells about twice the mean triangle's largest extent, grown until no more
// than 16 grid entries per triangle are needed (a few huge triangles among
// many small ones would otherwise cover too many cells).
Grid choose_grid(const std::vector<Aabb>& boxes, const std::vector<std::uint64_t>& live) {
    Grid grid;
    Vec3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
    double extent = 0.0;
    for (std::uint64_t t : live) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], boxes[t].lo[a]);
            hi[a] = std::max(hi[a], boxes[t].hi[a]);
        }
        const Vec3 d = sub(boxes[t].hi, boxes[t].lo);
        extent += std::max({d[0], d[1], d[2]});
    }
    grid.origin = lo;
    const double span = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    grid.cell = std::max({2.0 * extent / static_cast<double>(live.size()), span / (Grid::AXIS - 1), 1e-300});
    for (;;) {
        std::uint64_t entries = 0;
        for (std::uint64_t t : live) entries += cells_covered(grid, boxes[t]);
        if (entries <= 16 * live.size()) return grid;
        grid.cell *= 2.0;
    }
}

// Calls visit(key) for every grid cell `box` covers.
template <class Visit>
void for_each_cell(const Grid& grid, const Aabb& box, Visit&& visit) {
    const auto lo = grid.coords(box.lo), hi = grid.coords(box.hi);
    for (std::uint64_t x = lo[0]; x <= hi[0]; ++x)
        for (std::uint64_t y = lo[1]; y <= hi[1]; ++y)
            for (std::uint64_t z = lo[2]; z <= hi[2]; ++z) visit(Grid::key(x, y, z));
}

// The triangles of `live` sharing a grid cell with a flagged one.
std::vector<std::uint64_t> near_focus(const Grid& grid, const std::vector<Aabb>& boxes,
                                      const std::vector<std::uint64_t>& live, std::span<const std::uint8_t> focus) {
    std::vector<std::uint64_t> cells;
    for (std::uint64_t t : live)
        if (focus[t]) for_each_cell(grid, boxes[t], [&](std::uint64_t key) { cells.push_back(key); });
    std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
    std::vector<std::uint64_t> near;
    for (std::uint64_t t : live) {
        bool hit = false;
        for_each_cell(grid, boxes[t], [&](std::uint64_t key) {
            hit = hit || std::binary_search(cells.begin(), cells.end(), key);
        });
        if (hit) near.push_back(t);
    }
    return near;
}

struct Entry {
    std::uint64_t key, triangle;
    bool operator<(const Entry& o) const { return key != o.key ? key < o.key : triangle < o.triangle; }
};

}  // namespace

std::vector<CrowdedPair> pair_crowded_edges(std::span<const Vec3> vertices, std::span<const Triangle> triangles) {
    const std::vector<HalfEdge> half = sorted_half_edges(triangles);
    std::vector<CrowdedPair> pairs;
    for_each_edge(half, [&](std::size_t begin, std::size_t end) {
        if (end - begin <= 2) return;
        // Running lo -> hi, a triangle's inside lies toward decreasing angle.
        const std::vector<std::size_t> ring = around_edge(vertices, triangles, half, begin, end);
        std::vector<std::uint8_t> paired(ring.size(), 0);
        for (std::size_t i = 0; i < ring.size(); ++i) {
            const std::size_t j = (i + ring.size() - 1) % ring.size();
            if (!half[ring[i]].forward || half[ring[j]].forward || paired[i] || paired[j]) continue;
            paired[i] = paired[j] = 1;
            pairs.push_back({half[begin].lo, half[begin].hi, half[ring[i]].triangle, half[ring[j]].triangle});
        }
    });
    return pairs;
}

std::vector<std::uint32_t> corner_fans(std::span<const Triangle> triangles, std::size_t vertex_count) {
    const std::vector<HalfEdge> half = sorted_half_edges(triangles);
    UnionFind corners(3 * triangles.size());
    for_each_edge(half, [&](std::size_t begin, std::size_t end) {
        if (end - begin != 2) return;
        const HalfEdge& x = half[begin];
        const HalfEdge& y = half[begin + 1];
        for (std::uint64_t v : {x.lo, x.hi})
            corners.join(corner_at(triangles[x.triangle], x.triangle, v), corner_at(triangles[y.triangle], y.triangle, v));
    });
    // Fans numbered per vertex in order of their first corner.
    std::vector<std::uint32_t> fan(3 * triangles.size(), 0);
    // Corners grouped by vertex (a counting sort), each group in corner order.
    std::vector<std::uint64_t> start(vertex_count + 1, 0);
    for (const Triangle& t : triangles)
        for (std::uint64_t v : t) ++start[v + 1];
    for (std::size_t v = 0; v < vertex_count; ++v) start[v + 1] += start[v];
    std::vector<std::uint64_t> order(3 * triangles.size());
    {
        std::vector<std::uint64_t> next(start.begin(), start.end() - 1);
        for (std::uint64_t c = 0; c < order.size(); ++c) order[next[triangles[c / 3][c % 3]]++] = c;
    }
    std::vector<std::pair<std::uint64_t, std::uint32_t>> seen;  // root, fan of one vertex
    for (std::size_t i = 0; i < order.size();) {
        const std::uint64_t v = triangles[order[i] / 3][order[i] % 3];
        seen.clear();
        for (; i < order.size() && triangles[order[i] / 3][order[i] % 3] == v; ++i) {
            if (degenerate(triangles[order[i] / 3])) continue;
            const std::uint64_t root = corners.find(order[i]);
            auto found = std::find_if(seen.begin(), seen.end(), [&](const auto& s) { return s.first == root; });
            if (found == seen.end()) {
                seen.push_back({root, static_cast<std::uint32_t>(seen.size())});
                found = seen.end() - 1;
            }
            fan[order[i]] = found->second;
        }
    }
    return fan;
}

std::vector<TrianglePair> intersecting_pairs(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                                             std::span<const std::uint8_t> focus) {
    std::vector<std::uint64_t> live;
    std::vector<Aabb> boxes(triangles.size());
    for (std::uint64_t t = 0; t < triangles.size(); ++t) {
        if (degenerate(triangles[t])) continue;
        Aabb& b = boxes[t];
        b.lo = b.hi = vertices[triangles[t][0]];
        for (unsigned k = 1; k < 3; ++k)
            for (int a = 0; a < 3; ++a) {
                b.lo[a] = std::min(b.lo[a], vertices[triangles[t][k]][a]);
                b.hi[a] = std::max(b.hi[a], vertices[triangles[t][k]][a]);
            }
        if (is_finite(b.lo) && is_finite(b.hi)) live.push_back(t);
    }
    if (live.size() < 2) return {};
    const Grid grid = choose_grid(boxes, live);
    if (!focus.empty()) live = near_focus(grid, boxes, live, focus);
    std::vector<Entry> entries = parallel_gather<Entry>(live.size(), [&](std::size_t i, std::vector<Entry>& out) {
        const std::uint64_t t = live[i];
        for_each_cell(grid, boxes[t], [&](std::uint64_t key) { out.push_back({key, t}); });
    });
    std::sort(entries.begin(), entries.end());
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (i == 0 || entries[i].key != entries[i - 1].key) starts.push_back(i);
    starts.push_back(entries.size());
    std::vector<TrianglePair> pairs = parallel_gather<TrianglePair>(
        starts.size() - 1,
        [&](std::size_t g, std::vector<TrianglePair>& out) {
            const std::size_t begin = starts[g], end = starts[g + 1];
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint64_t t = entries[i].triangle;
                for (std::size_t j = i + 1; j < end; ++j) {
                    const std::uint64_t u = entries[j].triangle;
                    Vec3 lo, hi;
                    bool overlap = true;
                    for (int a = 0; a < 3; ++a) {
                        lo[a] = std::max(boxes[t].lo[a], boxes[u].lo[a]);
                        hi[a] = std::min(boxes[t].hi[a], boxes[u].hi[a]);
                        overlap = overlap && lo[a] <= hi[a];
                    }
                    // Each pair is tested in the one cell holding the low corner of the boxes' overlap.
                    if (!overlap) continue;
                    const auto c = grid.coords(lo);
                    if (Grid::key(c[0], c[1], c[2]) != entries[i].key) continue;
                    if (!focus.empty() && !focus[t] && !focus[u]) continue;
                    if (shared_vertices(triangles[t], triangles[u]) >= 2) continue;
                    if (triangles_cross(vertices, triangles[t], triangles[u])) out.push_back({t, u});
                }
            }
        },
        16);
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    return pairs;
}

MeshCheck check_mesh(std::span<const Vec3> vertices, std::span<const Triangle> triangles) {
    for (const Triangle& t : triangles)
        for (std::uint64_t v : t)
            if (v >= vertices.size()) index_fault(vertices.size(), v);
    MeshCheck out;
    for (const Triangle& t : triangles) out.degenerate_triangles += degenerate(t);
    const std::vector<HalfEdge> half = sorted_half_edges(triangles);
    for_each_edge(half, [&](std::size_t begin, std::size_t end) {
        const std::size_t n = end - begin;
        out.boundary_edges += n == 1;
        out.nonmanifold_edges += n > 2;
        out.misoriented_edges += n == 2 && half[begin].forward == half[begin + 1].forward;
    });
    const std::vector<std::uint32_t> fan = corner_fans(triangles, vertices.size());
    std::vector<std::uint8_t> pinched(vertices.size(), 0);
    for (std::size_t c = 0; c < fan.size(); ++c)
        if (fan[c] > 0) pinched[triangles[c / 3][c % 3]] = 1;
    out.nonmanifold_vertices = static_cast<std::uint64_t>(std::count(pinched.begin(), pinched.end(), 1));
    out.intersecting = intersecting_pairs(vertices, triangles);
    return out;
}

}  // namespace quarvel
