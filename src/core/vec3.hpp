// Points and vectors in world coordinates, and the scalar helpers shared by the
// octree and dual contouring. Each fixes its order of operations (x, then y,
// then z), which results depend on bit for bit.
#pragma once

#include <array>
#include <cmath>

namespace quarvel {

using Vec3 = std::array<double, 3>;  // x, y, z

inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double length(const Vec3& v) { return std::sqrt(dot(v, v)); }
inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline bool is_finite(const Vec3& v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// |v| also where the plain sum of squares overflows although every component
// is finite (gradients of a field scaled by 1e160): then formed from v scaled
// by its largest magnitude. Otherwise exactly length(v).
inline double length_without_overflow(const Vec3& v) {
    const double plain = length(v);
    if (!std::isinf(plain) || !is_finite(v)) return plain;
    const double m = std::fmax(std::fmax(std::fabs(v[0]), std::fabs(v[1])), std::fabs(v[2]));
    const Vec3 u{v[0] / m, v[1] / m, v[2] / m};
    return m * length(u);
}

// min / max that ignore a NaN operand (the other one wins).
inline double min_ignoring_nan(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a < b ? a : b;
}
inline double max_ignoring_nan(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a > b ? a : b;
}

// The cosine of an angle in degrees, converted as degrees * pi / 180.
inline double cos_degrees(double degrees) { return std::cos(degrees * 3.141592653589793 / 180.0); }

}  // namespace quarvel
