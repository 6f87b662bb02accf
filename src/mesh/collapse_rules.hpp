// What simplification may do to the triangles it keeps, and the quadric that
// bounds how far it moves the surface: shared by the block merges
// (mesh/clusters.hpp) and the edge collapses (mesh/simplify.hpp) that follow.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>

#include "core/vec3.hpp"

namespace quarvel {

inline constexpr double kSimplifyMinAngleDeg = 10.0;

// Sum of squared distances to planes n.x + d = 0, as the upper triangle of a
// symmetric 4x4 matrix (Garland and Heckbert's quadric, unweighted: the sum
// bounds the largest distance).
struct Quadric {
    std::array<double, 10> q{};

    static Quadric of_plane(const Vec3& n, double d) {
        return {{n[0] * n[0], n[0] * n[1], n[0] * n[2], n[0] * d, n[1] * n[1], n[1] * n[2], n[1] * d,
                 n[2] * n[2], n[2] * d, d * d}};
    }
    void add(const Quadric& o) {
        for (int i = 0; i < 10; ++i) q[i] += o.q[i];
    }
    double at(const Vec3& p) const {
        const double x = p[0], y = p[1], z = p[2];
        return q[0] * x * x + 2 * q[1] * x * y + 2 * q[2] * x * z + 2 * q[3] * x + q[4] * y * y + 2 * q[5] * y * z +
               2 * q[6] * y + q[7] * z * z + 2 * q[8] * z + q[9];
    }
};

inline Vec3 face_normal(const Vec3& a, const Vec3& b, const Vec3& c) { return cross(sub(b, a), sub(c, a)); }

// The plane n.x + d = 0 of triangle (a, b, c), n of unit length; none (all
// zero) when it has no area.
struct Plane {
    Vec3 n{0.0, 0.0, 0.0};
    double d = 0.0;

    static Plane of(const Vec3& a, const Vec3& b, const Vec3& c) {
        Vec3 n = face_normal(a, b, c);
        const double len = length(n);
        if (!(len > 0.0)) return {};
        n = {n[0] / len, n[1] / len, n[2] / len};
        return {n, -dot(n, a)};
    }
};

// What the rules compare of a triangle: its normal, whose length is twice
// its area, and the squared sine of its smallest angle (the angle between its
// two longer sides), found without a square root.
struct TriangleShape {
    Vec3 normal;
    double normal2;     // |normal|^2
    double least_sin2;  // 0 when a side has no length

    static TriangleShape of(const Vec3& a, const Vec3& b, const Vec3& c) {
        const Vec3 n = face_normal(a, b, c);
        const Vec3 ab = sub(b, a), bc = sub(c, b), ca = sub(a, c);
        const double s0 = dot(ab, ab), s1 = dot(bc, bc), s2 = dot(ca, ca);
        const double shortest = std::min({s0, s1, s2});
        const double n2 = dot(n, n);
        const double others = shortest == s0 ? s1 * s2 : shortest == s1 ? s0 * s2 : s0 * s1;
        return {n, n2, shortest > 0.0 ? n2 / others : 0.0};
    }
};

// The squared sine of an angle in degrees, as TriangleShape gives it.
inline double sin2_of_degrees(double degrees) {
    const double sine = std::sin(degrees * 3.141592653589793 / 180.0);
    return sine * sine;
}

// Whether a triangle may change from `before` to `after`: it keeps an area,
// turns at most 60 degrees, and gets no angle whose squared sine is below
// `least_sin2` (kSimplifyMinAngleDeg's by default) unless it already had a
// smaller one.
inline bool may_reshape(const TriangleShape& before, const TriangleShape& after, double least_sin2) {
    if (!(after.normal2 > 0.0) || !(before.normal2 > 0.0)) return false;
    const double d = dot(before.normal, after.normal);
    if (d < 0.0 || d * d < 0.25 * before.normal2 * after.normal2) return false;  // cos 60 degrees = 0.5
    return !(after.least_sin2 < least_sin2 && after.least_sin2 < before.least_sin2);
}

inline bool may_reshape(const TriangleShape& before, const TriangleShape& after) {
    static const double least_sin2 = sin2_of_degrees(kSimplifyMinAngleDeg);
    return may_reshape(before, after, least_sin2);
}

// The same for triangle (a, b, c) with its corner `a` moved to `to`.
inline bool may_move_corner(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& to) {
    return may_reshape(TriangleShape::of(a, b, c), TriangleShape::of(to, b, c));
}

}  // namespace quarvel
