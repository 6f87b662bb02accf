#include "eval/polygon.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

namespace quarvel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Below this many edges, visiting them all is as quick.
constexpr std::size_t kIndexedFrom = 16;
constexpr std::uint32_t kLeafEdges = 4;

// The nearest point of edge j to (x, y), as the offset from it, and whether
// it lies inside the edge; every path computes it so.
struct EdgeNear {
    double dx, dy, d2;
    bool along;
};
EdgeNear edge_near(const PolygonEdges& p, std::size_t j, double x, double y) {
    const double pax = x - p.ax[j], pay = y - p.ay[j];
    double t = (pax * p.ex[j] + pay * p.ey[j]) / p.len2[j];
    t = t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t);
    const double dx = pax - t * p.ex[j], dy = pay - t * p.ey[j];
    return {dx, dy, dx * dx + dy * dy, t > 0.0 && t < 1.0};
}

bool ray_crosses(const PolygonEdges& p, std::size_t j, double x, double y) {
    return (p.ay[j] <= y) != (p.end_y[j] <= y) && x < p.ax[j] + (y - p.ay[j]) * p.slope[j];
}

// The nearest edge so far: the first of equals, as a loop over every edge in order keeps.
struct Nearest {
    double best = kInf;
    std::size_t edge = kNone;
    EdgeNear at{};

    void offer(const PolygonEdges& p, std::size_t j, double x, double y) {
        const EdgeNear e = edge_near(p, j, x, y);
        if (e.d2 < best || (e.d2 == best && e.d2 < kInf && j < edge)) {
            best = e.d2;
            edge = j;
            at = e;
        }
    }
};

PolygonSample sample_from(const PolygonEdges& p, const Nearest& n, bool inside) {
    const double dist = std::sqrt(n.best);
    const double side = inside ? -1.0 : 1.0;
    const double normal_x = n.edge == kNone ? 0.0 : p.nx[n.edge], normal_y = n.edge == kNone ? 0.0 : p.ny[n.edge];
    if (dist > 0.0 && !n.at.along) return {side * dist, side * n.at.dx / dist, side * n.at.dy / dist};
    return {side * dist, normal_x, normal_y};
}

struct EdgeBox {
    double lo_x, hi_x, lo_y, hi_y;
};

EdgeBox box_of_edge(const PolygonEdges& p, std::size_t j) {
    const double bx = p.ax[j] + p.ex[j], by = p.ay[j] + p.ey[j];
    return {std::min(p.ax[j], bx), std::max(p.ax[j], bx), std::min(p.ay[j], by), std::max(p.ay[j], by)};
}

// The tree over the edges' boxes: halves by the median of the edges' middles
// along the longer side of their spread, down to leaves of a few edges.
void build_tree(PolygonEdges& p, std::vector<std::uint32_t>& edges, std::size_t node, std::size_t begin,
                std::size_t end) {
    EdgeBox b{kInf, -kInf, kInf, -kInf};
    double mx[2] = {kInf, -kInf}, my[2] = {kInf, -kInf};
    for (std::size_t i = begin; i < end; ++i) {
        const EdgeBox e = box_of_edge(p, edges[i]);
        b = {std::min(b.lo_x, e.lo_x), std::max(b.hi_x, e.hi_x), std::min(b.lo_y, e.lo_y), std::max(b.hi_y, e.hi_y)};
        const double cx = 0.5 * (e.lo_x + e.hi_x), cy = 0.5 * (e.lo_y + e.hi_y);
        mx[0] = std::min(mx[0], cx), mx[1] = std::max(mx[1], cx);
        my[0] = std::min(my[0], cy), my[1] = std::max(my[1], cy);
    }
    p.box[4 * node] = b.lo_x, p.box[4 * node + 1] = b.hi_x, p.box[4 * node + 2] = b.lo_y, p.box[4 * node + 3] = b.hi_y;
    if (end - begin <= kLeafEdges) {
        p.first[node] = static_cast<std::uint32_t>(p.leaf_edge.size());
        p.count[node] = static_cast<std::uint32_t>(end - begin);
        p.leaf_edge.insert(p.leaf_edge.end(), edges.begin() + begin, edges.begin() + end);
        return;
    }
    const bool along_x = mx[1] - mx[0] >= my[1] - my[0];
    const std::size_t middle = begin + (end - begin) / 2;
    std::nth_element(edges.begin() + begin, edges.begin() + middle, edges.begin() + end,
                     [&](std::uint32_t a, std::uint32_t c) {
                         const EdgeBox ea = box_of_edge(p, a), ec = box_of_edge(p, c);
                         const double ka = along_x ? ea.lo_x + ea.hi_x : ea.lo_y + ea.hi_y;
                         const double kc = along_x ? ec.lo_x + ec.hi_x : ec.lo_y + ec.hi_y;
                         return ka != kc ? ka < kc : a < c;
                     });
    const std::size_t child = p.count.size();
    for (auto* column : {&p.first, &p.count}) column->resize(child + 2, 0);
    p.box.resize(4 * (child + 2));
    p.first[node] = static_cast<std::uint32_t>(child);
    p.count[node] = 0;
    build_tree(p, edges, child, begin, middle);
    build_tree(p, edges, child + 1, middle, end);
}

// The bands of the ray test: edge j is crossed by y = c exactly when
// min(ay, end_y) <= c < max(ay, end_y), so it belongs to the bands from its
// lower end's to below its upper end's. Left empty where they would hold
// more than 64 entries per edge.
void build_bands(PolygonEdges& p) {
    const std::size_t n = p.ax.size();
    std::vector<double> ys;
    for (std::size_t j = 0; j < n; ++j) {
        ys.push_back(p.ay[j]);
        ys.push_back(p.end_y[j]);
    }
    std::sort(ys.begin(), ys.end());
    ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
    const auto index = [&](double y) {
        return static_cast<std::size_t>(std::lower_bound(ys.begin(), ys.end(), y) - ys.begin());
    };
    std::vector<std::uint32_t> start(ys.size() + 1, 0);
    std::size_t total = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t lo = index(std::min(p.ay[j], p.end_y[j])), hi = index(std::max(p.ay[j], p.end_y[j]));
        for (std::size_t k = lo; k < hi; ++k) ++start[k + 1];
        total += hi - lo;
        if (total > 64 * n) return;
    }
    for (std::size_t k = 0; k < ys.size(); ++k) start[k + 1] += start[k];
    std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
    p.band_edge.resize(total);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t lo = index(std::min(p.ay[j], p.end_y[j])), hi = index(std::max(p.ay[j], p.end_y[j]));
        for (std::size_t k = lo; k < hi; ++k) p.band_edge[next[k]++] = static_cast<std::uint32_t>(j);
    }
    p.band_y = std::move(ys);
    p.band_start = std::move(start);
}

}  // namespace

PolygonEdges prepare_polygon(const double* corner, std::size_t n) {
    PolygonEdges p;
    for (auto* column : {&p.ax, &p.ay, &p.ex, &p.ey, &p.len2, &p.end_y, &p.slope, &p.nx, &p.ny})
        column->resize(n);
    const double* normal = corner + 2 * n;
    bool finite = true;
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t next = (j + 1) % n;
        p.ax[j] = corner[2 * j];
        p.ay[j] = corner[2 * j + 1];
        p.ex[j] = corner[2 * next] - p.ax[j];
        p.ey[j] = corner[2 * next + 1] - p.ay[j];
        p.len2[j] = p.ex[j] * p.ex[j] + p.ey[j] * p.ey[j];
        p.end_y[j] = p.ay[j] + p.ey[j];
        p.slope[j] = p.ex[j] / (p.ey[j] != 0.0 ? p.ey[j] : 1.0);
        p.nx[j] = normal[2 * j];
        p.ny[j] = normal[2 * j + 1];
        p.reach = std::max({p.reach, std::fabs(p.ax[j]), std::fabs(p.ay[j])});
        finite = finite && std::isfinite(p.ax[j] + p.ex[j]) && std::isfinite(p.ay[j] + p.ey[j]) &&
                 std::isfinite(p.len2[j]) && std::isfinite(p.slope[j]);
    }
    if (n < kIndexedFrom || n > std::numeric_limits<std::uint32_t>::max() / 2 || !finite) return p;
    // Edges of no length are never the nearest (their distance is NaN).
    std::vector<std::uint32_t> edges;
    for (std::size_t j = 0; j < n; ++j)
        if (p.len2[j] > 0.0) edges.push_back(static_cast<std::uint32_t>(j));
    if (edges.empty()) return p;
    p.first.assign(1, 0);
    p.count.assign(1, 0);
    p.box.assign(4, 0.0);
    build_tree(p, edges, 0, 0, edges.size());
    build_bands(p);
    return p;
}

PolygonSample polygon_sample(const PolygonEdges& p, double x, double y) {
    if (std::isnan(x) || std::isnan(y)) return {kNaN, kNaN, kNaN};
    Nearest nearest;
    bool inside = false;
    if (p.box.empty() || !std::isfinite(x) || !std::isfinite(y)) {
        for (std::size_t j = 0; j < p.ax.size(); ++j) {
            nearest.offer(p, j, x, y);
            inside ^= ray_crosses(p, j, x, y);
        }
        return sample_from(p, nearest, inside);
    }
    if (p.band_y.empty()) {
        for (std::size_t j = 0; j < p.ax.size(); ++j) inside ^= ray_crosses(p, j, x, y);
    } else {
        const auto above = std::upper_bound(p.band_y.begin(), p.band_y.end(), y);
        if (above != p.band_y.begin() && above != p.band_y.end()) {
            const std::size_t k = static_cast<std::size_t>(above - p.band_y.begin()) - 1;
            for (std::uint32_t e = p.band_start[k]; e < p.band_start[k + 1]; ++e)
                inside ^= ray_crosses(p, p.band_edge[e], x, y);
        }
    }
    // A node is passed over when even the nearest point of its box lies
    // further than the best edge by more than rounding could hide: `slack`
    // is far above the few units in the last place of the coordinates that
    // a computed distance may be off by. Compared squared, against a limit
    // worked out again only when the best edge changes.
    const double slack = 1e-9 * std::max({std::fabs(x), std::fabs(y), p.reach}) + 1e-300;
    double limit = kInf, limit_of = kInf;
    std::array<std::uint32_t, 128> stack;
    std::size_t top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const std::uint32_t k = stack[--top];
        const double* b = &p.box[4 * k];
        const double gx = std::max({b[0] - x, 0.0, x - b[1]}), gy = std::max({b[2] - y, 0.0, y - b[3]});
        if (nearest.best != limit_of) {
            limit_of = nearest.best;
            const double far = std::sqrt(limit_of) * (1.0 + 1e-9) + slack;
            limit = far * far * (1.0 + 1e-9);
        }
        if (gx * gx + gy * gy > limit) continue;
        if (p.count[k] > 0) {
            for (std::uint32_t e = p.first[k]; e < p.first[k] + p.count[k]; ++e)
                nearest.offer(p, p.leaf_edge[e], x, y);
            continue;
        }
        // The nearer child on top, to be searched first.
        const std::uint32_t c = p.first[k];
        const double* l = &p.box[4 * c];
        const double* r = &p.box[4 * (c + 1)];
        const double to_l = std::max({l[0] - x, 0.0, x - l[1]}) + std::max({l[2] - y, 0.0, y - l[3]});
        const double to_r = std::max({r[0] - x, 0.0, x - r[1]}) + std::max({r[2] - y, 0.0, y - r[3]});
        if (top + 2 > stack.size()) {  // deeper than any tree of < 2^32 edges: search the rest in full
            for (std::size_t j = 0; j < p.ax.size(); ++j) nearest.offer(p, j, x, y);
            break;
        }
        stack[top++] = to_l <= to_r ? c + 1 : c;
        stack[top++] = to_l <= to_r ? c : c + 1;
    }
    return sample_from(p, nearest, inside);
}

}  // namespace quarvel
