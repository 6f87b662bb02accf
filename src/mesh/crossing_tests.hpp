// The crossing search's pair test, shared by its grid (mesh_check_crossings.cpp)
// and its search of crowded cells (crowded_cells.cpp): boxes, then the
// triangles' planes and edges. Internal to the mesh check.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>

#include "core/vec3.hpp"
#include "mesh/triangle_mesh.hpp"

namespace quarvel::detail {

struct Aabb {
    Vec3 lo, hi;
    bool overlaps(const Aabb& o) const {
        for (int a = 0; a < 3; ++a)
            if (o.hi[a] < lo[a] || hi[a] < o.lo[a]) return false;
        return true;
    }
};

inline Aabb box_of(const std::array<Vec3, 3>& p) {
    Aabb b{p[0], p[0]};
    for (unsigned k = 1; k < 3; ++k)
        for (int a = 0; a < 3; ++a) {
            b.lo[a] = std::min(b.lo[a], p[k][a]);
            b.hi[a] = std::max(b.hi[a], p[k][a]);
        }
    return b;
}

inline Aabb box_of(std::span<const Vec3> v, const Triangle& t) { return box_of({v[t[0]], v[t[1]], v[t[2]]}); }

// A triangle searched: non-degenerate, with finite corners not all in one
// place (such a triangle has neither edges nor a plane to cross); its box.
inline std::optional<Aabb> live_box(std::span<const Vec3> v, const Triangle& t) {
    if (t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) return std::nullopt;
    const Aabb b = box_of(v, t);
    if (!is_finite(b.lo) || !is_finite(b.hi) || b.lo == b.hi) return std::nullopt;
    return b;
}

inline double orient(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
    return dot(sub(b, a), cross(sub(c, a), sub(d, a)));
}

// A triangle as the crossing test reads it: its vertices' indices and places,
// and its plane through the first, normal (p1 - p0) x (p2 - p0), unnormalised.
struct Facet {
    Triangle index{};
    std::array<Vec3, 3> p{};
    Vec3 n{};

    Facet(std::span<const Vec3> v, const Triangle& t)
        : index(t), p{v[t[0]], v[t[1]], v[t[2]]}, n(cross(sub(p[1], p[0]), sub(p[2], p[0]))) {}
    double side(const Vec3& x) const { return dot(n, sub(x, p[0])); }
    // A vertex of another triangle at one of this one's (the same vertex, or
    // another in the same place) touches it there and does not pass through it.
    // Compared whole, without branches.
    bool touches(std::uint64_t w, const Vec3& x) const {
        bool any = false;
        for (unsigned k = 0; k < 3; ++k)
            any |= (index[k] == w) | ((p[k][0] == x[0]) & (p[k][1] == x[1]) & (p[k][2] == x[2]));
        return any;
    }
};

// The sides of e's vertices of f's plane (f.side), each computed once per
// pair and direction: the side tests and the segment tests below share them.
// A vertex marked `skip` (one of f's) is never read and gets 0.
using Sides = std::array<double, 3>;

inline Sides sides_of(const Facet& e, const Facet& f, const std::array<bool, 3>& skip) {
    Sides s{};
    // Computed for every vertex and then masked (finite either way), without a branch on `skip`.
    for (unsigned k = 0; k < 3; ++k) s[k] = skip[k] ? 0.0 : f.side(e.p[k]);
    return s;
}

// Segment pq passes through triangle f, where s and t are f.side(p) and
// f.side(q): its ends lie on either side of the plane, each further from it
// than rounding could place it (a relative 1e-12 of their distances), and
// the line meets the closed triangle. An end within rounding of the plane
// counts as touching it: nearly coplanar neighbours do not cross. The tests
// run cheapest and most selective first; each is a pure condition, so their
// order does not change the answer.
inline bool segment_crosses(const Vec3& p, const Vec3& q, double s, double t, const Facet& f) {
    // The noise is >= 0 (or NaN, failing every comparison): ends not strictly
    // apart fail the test with it too.
    if (!((s > 0.0 && t < 0.0) || (s < 0.0 && t > 0.0))) return false;
    const Vec3 &a = f.p[0], &b = f.p[1], &c = f.p[2];
    // Two orientations of opposite strict signs already rule the line out.
    const double o1 = orient(p, q, a, b), o2 = orient(p, q, b, c);
    if ((o1 > 0.0 && o2 < 0.0) || (o1 < 0.0 && o2 > 0.0)) return false;
    const double o3 = orient(p, q, c, a);
    if (!((o1 >= 0.0 && o2 >= 0.0 && o3 >= 0.0) || (o1 <= 0.0 && o2 <= 0.0 && o3 <= 0.0))) return false;
    const double noise = 1e-12 * length(f.n) * (length(sub(p, a)) + length(sub(q, a)));
    return (s > noise && t < -noise) || (s < -noise && t > noise);
}

// Whether the vertices of e not marked `skip` lie on both sides of f's plane
// (`side`: as sides_of measures them). When they do not, no edge between
// them can cross f.
inline bool straddles(const Sides& side, const std::array<bool, 3>& skip) {
    bool above = false, below = false;
    for (unsigned k = 0; k < 3; ++k) {
        above |= !skip[k] & (side[k] > 0.0);
        below |= !skip[k] & (side[k] < 0.0);
    }
    return above & below;
}

// The part of edge_crosses past the first side test, rarely reached: kept
// out of line, so that the pair loop's common path stays small.
[[gnu::noinline]] inline bool touching_edge_crosses(const Facet& e, const Facet& f, const std::array<bool, 3>& shared,
                                                    const Sides& side) {
    std::array<bool, 3> touching{};
    for (unsigned k = 0; k < 3; ++k) touching[k] = shared[k] || f.touches(e.index[k], e.p[k]);
    if (touching != shared && !straddles(side, touching)) return false;
    for (unsigned k = 0; k < 3; ++k) {
        const unsigned next = (k + 1) % 3;
        if (touching[k] || touching[next]) continue;
        if (segment_crosses(e.p[k], e.p[next], side[k], side[next], f)) return true;
    }
    return false;
}

// An edge of e through f; `shared` marks e's vertices that are f's too. Edges
// with an end touching f are passed over; any other needs its ends strictly
// on either side of f's plane, so most neighbouring pairs end at the side
// tests, before any edge test: first with only the shared vertices set aside
// (cheap), then with all touching ones.
inline bool edge_crosses(const Facet& e, const Facet& f, const std::array<bool, 3>& shared) {
    const Sides side = sides_of(e, f, shared);
    return straddles(side, shared) && touching_edge_crosses(e, f, shared, side);
}

// Bit 3k + m is set where vertex k of t is vertex m of u. Without branches:
// which vertices neighbours share follows no pattern.
inline unsigned shared_vertices(const Facet& t, const Facet& u) {
    unsigned bits = 0;
    for (unsigned k = 0; k < 3; ++k)
        for (unsigned m = 0; m < 3; ++m) bits |= unsigned{t.index[k] == u.index[m]} << (3 * k + m);
    return bits;
}

// Whether x lies at one of f's corners (Facet::touches without the indices).
inline bool at_corner(const Facet& f, const Vec3& x) {
    bool any = false;
    for (unsigned k = 0; k < 3; ++k) any |= (f.p[k][0] == x[0]) & (f.p[k][1] == x[1]) & (f.p[k][2] == x[2]);
    return any;
}

// edge_crosses for triangles with one vertex in common, e's vertex `common`
// (the most frequent pairs by far, each vertex's fan): the two edges of e
// from it touch f, so only the opposite one can cross, and only when
// neither of its ends touches f either. The same decision, without the
// general case's masks; on a smooth mesh the opposite edge straddles the
// plane about half the time, and the edge test, which nearly always fails,
// comes before the rarely true test for touching ends.
inline bool opposite_edge_crosses(const Facet& e, const Facet& f, unsigned common) {
    static constexpr unsigned after[3] = {1, 2, 0};
    const unsigned k = after[common], next = after[k];
    const double s = f.side(e.p[k]), t = f.side(e.p[next]);
    return segment_crosses(e.p[k], e.p[next], s, t, f) && !at_corner(f, e.p[k]) && !at_corner(f, e.p[next]);
}

// An edge of either triangle passes through the other. Triangles sharing an
// edge meet along it and never count. Neither can cross when the vertices of
// each lie strictly on one side of the other's plane.
inline bool triangles_cross(const Facet& t, const Facet& u) {
    const unsigned bits = shared_vertices(t, u);
    if (bits == 0) return edge_crosses(u, t, {}) || edge_crosses(t, u, {});
    if ((bits & (bits - 1)) != 0) return false;  // two vertices or more in common
    static constexpr unsigned row[9] = {0, 0, 0, 1, 1, 1, 2, 2, 2}, column[9] = {0, 1, 2, 0, 1, 2, 0, 1, 2};
    const unsigned b = static_cast<unsigned>(std::countr_zero(bits));
    return opposite_edge_crosses(u, t, column[b]) || opposite_edge_crosses(t, u, row[b]);
}

// A triangle as a search tests it: corners and plane, and its index.
struct Member {
    Facet facet;
    std::uint64_t triangle;
};

}  // namespace quarvel::detail
