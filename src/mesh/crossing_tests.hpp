// The crossing search's pair test, shared by its grid (mesh_check_crossings.cpp)
// and its search of crowded cells (crowded_cells.cpp): boxes, then the
// triangles' planes and edges. Internal to the mesh check.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
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
    bool touches(std::uint64_t w, const Vec3& x) const {
        for (unsigned k = 0; k < 3; ++k)
            if (index[k] == w || p[k] == x) return true;
        return false;
    }
};

// The sides of e's vertices of f's plane (f.side), each computed once per
// pair and direction: the side tests and the segment tests below share them.
// A vertex marked `skip` (one of f's) is never read and gets 0.
using Sides = std::array<double, 3>;

inline Sides sides_of(const Facet& e, const Facet& f, const std::array<bool, 3>& skip) {
    Sides s{};
    for (unsigned k = 0; k < 3; ++k)
        if (!skip[k]) s[k] = f.side(e.p[k]);
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
        if (skip[k]) continue;
        above = above || side[k] > 0.0;
        below = below || side[k] < 0.0;
    }
    return above && below;
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

// An edge of either triangle passes through the other. Triangles sharing an
// edge meet along it and never count. Neither can cross when the vertices of
// each lie strictly on one side of the other's plane.
inline bool triangles_cross(const Facet& t, const Facet& u) {
    std::array<bool, 3> in_u{}, in_t{};  // vertex k of t is one of u's; vertex m of u one of t's
    unsigned shared = 0;
    for (unsigned k = 0; k < 3; ++k)
        for (unsigned m = 0; m < 3; ++m)
            if (t.index[k] == u.index[m]) {
                in_u[k] = in_t[m] = true;
                ++shared;
            }
    return shared < 2 && (edge_crosses(u, t, in_t) || edge_crosses(t, u, in_u));
}

// A triangle as a search tests it: corners and plane, and its index.
struct Member {
    Facet facet;
    std::uint64_t triangle;
};

}  // namespace quarvel::detail
