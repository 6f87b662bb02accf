// The operations of a program on points: on plain values, and on dual numbers
// that carry the gradient with respect to the point along (forward-mode
// differentiation). Each Dual operation computes its value with the plain one,
// so the two paths give the same values bit for bit.
//
// Conventions shared with the package's NumPy shapes, so that both give the
// same gradient where a derivative jumps: min and max pick the first operand
// on ties, |a| counts 0 as positive, and NaN in either operand of min or max
// gives NaN (with that operand's derivative).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "eval/polygon.hpp"

namespace quarvel {

// A value and its three partial derivatives with respect to x, y and z.
struct Dual {
    double v = 0.0;
    double dx = 0.0, dy = 0.0, dz = 0.0;
};

namespace ops {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------- plain values

inline double add(double a, double b) { return a + b; }
inline double sub(double a, double b) { return a - b; }
inline double mul(double a, double b) { return a * b; }
inline double div(double a, double b) { return a / b; }
inline double neg(double a) { return -a; }
inline double abs(double a) { return std::fabs(a); }
inline double square(double a) { return a * a; }
inline double sqrt(double a) { return std::sqrt(a); }
inline double sin(double a) { return std::sin(a); }
inline double cos(double a) { return std::cos(a); }

// sin and cos of x together, within two units in the last place of the library's,
// for |x| <= kNearReach: x reduced by pi/2 in four parts (the first two
// products exact for quadrants below 2^20, the last for x next to a multiple
// of pi/2), then the classic minimax polynomials on [-pi/4, pi/4].
// Without branches or calls, so that loops over lanes vectorise; beyond the
// reach the result is meaningless and callers take std::sin and std::cos.
inline constexpr double kNearReach = 1e5;
struct SinCos {
    double sin, cos;
};
inline SinCos sincos_near(double x) {
    constexpr double kTwoOverPi = 6.36619772367581382433e-01;
    constexpr double kPio2[] = {1.57079632673412561417e+00, 6.07710050630396597660e-11,
                                2.02226624871116645580e-21, 8.47842766036889956997e-32};
    constexpr double kRound = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to a whole number
    const double shifted = x * kTwoOverPi + kRound;     // whose low bits hold that number
    const double q = shifted - kRound;
    const double r = (((x - q * kPio2[0]) - q * kPio2[1]) - q * kPio2[2]) - q * kPio2[3];
    const double z = r * r;
    const double sin_r = r + r * z * (-1.66666666666666324348e-01 + z * (8.33333333332248946124e-03 +
        z * (-1.98412698298579493134e-04 + z * (2.75573137070700676789e-06 + z * (-2.50507602534068634195e-08 +
        z * 1.58969099521155010221e-10)))));
    const double hz = 0.5 * z, w = 1.0 - hz;
    const double cos_r = w + (((1.0 - w) - hz) + z * (z * (4.16666666666666019037e-02 +
        z * (-1.38888888888741095749e-03 + z * (2.48015872894767294178e-05 + z * (-2.75573143513906633035e-07 +
        z * (2.08757232129817482790e-09 + z * -1.13596475577881948265e-11)))))));
    // The quadrant picks and signs the results by bit operations, which
    // vectorise whether one result or both are used.
    const std::uint64_t quadrant = std::bit_cast<std::uint64_t>(shifted);
    const std::uint64_t swap = 0 - (quadrant & 1);
    const std::uint64_t bits_s = std::bit_cast<std::uint64_t>(sin_r), bits_c = std::bit_cast<std::uint64_t>(cos_r);
    const std::uint64_t s = (bits_c & swap) | (bits_s & ~swap), c = (bits_s & swap) | (bits_c & ~swap);
    return {std::bit_cast<double>(s ^ ((quadrant & 2) << 62)), std::bit_cast<double>(c ^ (((quadrant + 1) & 2) << 62))};
}
inline double sin_near(double a) { return sincos_near(a).sin; }
inline double cos_near(double a) { return sincos_near(a).cos; }
inline double floor(double a) { return std::floor(a); }
inline double detach(double a) { return a; }
// Whether min (max) keeps its first operand: on ties, and when it is NaN (a NaN
// second operand is kept by the comparison failing). Written without branches,
// as every lane's selection below, so that loops over lanes vectorise.
inline bool keeps_first_min(double a, double b) { return (a <= b) | (a != a); }
inline bool keeps_first_max(double a, double b) { return (a >= b) | (a != a); }
inline double min(double a, double b) { return keeps_first_min(a, b) ? a : b; }
inline double max(double a, double b) { return keeps_first_max(a, b) ? a : b; }
inline double atan2(double a, double b) { return std::atan2(a, b); }
inline double less(double a, double b) { return a < b ? 1.0 : 0.0; }
inline double select(double c, double a, double b) { return c != 0.0 ? a : b; }
inline double length2(double a, double b, std::uint32_t) { return std::sqrt(a * a + b * b); }
inline double length3(double a, double b, double c, std::uint32_t) {
    return std::sqrt(a * a + b * b + c * c);
}

// The blend weight of the polynomial smooth minimum: 1 where a is lower by k or more.
inline double smooth_weight(double a, double b, double k) {
    double h = 0.5 + 0.5 * (b - a) / k;
    h = h < 0.0 ? 0.0 : h;  // NaN passes both
    return h > 1.0 ? 1.0 : h;
}
inline double smooth_min(double a, double b, double k) {
    const double h = smooth_weight(a, b, k);
    return h * a + (1.0 - h) * b - k * h * (1.0 - h);
}

inline double polygon(const PolygonEdges& p, double x, double y) { return polygon_sample(p, x, y).v; }

// ---------------------------------------------------------------- dual numbers

// a's derivative scaled by s: the chain rule of a one-operand function.
inline Dual chain(double v, double s, const Dual& a) { return {v, s * a.dx, s * a.dy, s * a.dz}; }
// s * a's derivative + t * b's derivative.
inline Dual chain(double v, double s, const Dual& a, double t, const Dual& b) {
    return {v, s * a.dx + t * b.dx, s * a.dy + t * b.dy, s * a.dz + t * b.dz};
}

inline Dual add(const Dual& a, const Dual& b) {
    return {a.v + b.v, a.dx + b.dx, a.dy + b.dy, a.dz + b.dz};
}
inline Dual sub(const Dual& a, const Dual& b) {
    return {a.v - b.v, a.dx - b.dx, a.dy - b.dy, a.dz - b.dz};
}
inline Dual mul(const Dual& a, const Dual& b) { return chain(a.v * b.v, b.v, a, a.v, b); }
inline Dual div(const Dual& a, const Dual& b) {
    const double q = a.v / b.v;
    return {q, (a.dx - q * b.dx) / b.v, (a.dy - q * b.dy) / b.v, (a.dz - q * b.dz) / b.v};
}
inline Dual neg(const Dual& a) { return {-a.v, -a.dx, -a.dy, -a.dz}; }
inline Dual abs(const Dual& a) { return chain(std::fabs(a.v), a.v >= 0.0 ? 1.0 : -1.0, a); }
inline Dual square(const Dual& a) { return chain(a.v * a.v, 2.0 * a.v, a); }
inline Dual sqrt(const Dual& a) {
    const double r = std::sqrt(a.v);
    return chain(r, 0.5 / r, a);
}
inline Dual sin(const Dual& a) { return chain(std::sin(a.v), std::cos(a.v), a); }
inline Dual cos(const Dual& a) { return chain(std::cos(a.v), -std::sin(a.v), a); }
inline Dual sin_near(const Dual& a) {
    const SinCos t = sincos_near(a.v);
    return chain(t.sin, t.cos, a);
}
inline Dual cos_near(const Dual& a) {
    const SinCos t = sincos_near(a.v);
    return chain(t.cos, -t.sin, a);
}
inline Dual floor(const Dual& a) { return {std::floor(a.v), 0.0, 0.0, 0.0}; }
inline Dual detach(const Dual& a) { return {a.v, 0.0, 0.0, 0.0}; }
// a if `first` else b, component by component.
inline Dual pick(bool first, const Dual& a, const Dual& b) {
    return {first ? a.v : b.v, first ? a.dx : b.dx, first ? a.dy : b.dy, first ? a.dz : b.dz};
}
inline Dual min(const Dual& a, const Dual& b) { return pick(keeps_first_min(a.v, b.v), a, b); }
inline Dual max(const Dual& a, const Dual& b) { return pick(keeps_first_max(a.v, b.v), a, b); }
// With a constant operand, whose derivative is zero: the same values, and the
// same derivatives up to the sign of a zero, for half the memory traffic.
inline Dual add(const Dual& a, double k) { return {a.v + k, a.dx, a.dy, a.dz}; }
inline Dual add(double k, const Dual& b) { return {k + b.v, b.dx, b.dy, b.dz}; }
inline Dual sub(const Dual& a, double k) { return {a.v - k, a.dx, a.dy, a.dz}; }
inline Dual sub(double k, const Dual& b) { return {k - b.v, -b.dx, -b.dy, -b.dz}; }
inline Dual mul(const Dual& a, double k) { return {a.v * k, k * a.dx, k * a.dy, k * a.dz}; }
inline Dual mul(double k, const Dual& b) { return {k * b.v, k * b.dx, k * b.dy, k * b.dz}; }
inline Dual div(const Dual& a, double k) { return {a.v / k, a.dx / k, a.dy / k, a.dz / k}; }
inline Dual div(double k, const Dual& b) {
    const double q = k / b.v;
    return {q, -(q * b.dx) / b.v, -(q * b.dy) / b.v, -(q * b.dz) / b.v};
}
inline Dual min(const Dual& a, double k) { return pick(keeps_first_min(a.v, k), a, Dual{k}); }
inline Dual min(double k, const Dual& b) { return pick(keeps_first_min(k, b.v), Dual{k}, b); }
inline Dual max(const Dual& a, double k) { return pick(keeps_first_max(a.v, k), a, Dual{k}); }
inline Dual max(double k, const Dual& b) { return pick(keeps_first_max(k, b.v), Dual{k}, b); }

// atan2(a, b); at the origin, where the angle has no derivative, zero.
inline Dual atan2(const Dual& a, const Dual& b) {
    const double r2 = a.v * a.v + b.v * b.v;
    const double s = b.v / r2, t = -a.v / r2;
    return chain(std::atan2(a.v, b.v), r2 != 0.0 ? s : 0.0, a, r2 != 0.0 ? t : 0.0, b);
}
inline Dual less(const Dual& a, const Dual& b) { return {less(a.v, b.v), 0.0, 0.0, 0.0}; }
inline Dual select(const Dual& c, const Dual& a, const Dual& b) { return pick(c.v != 0.0, a, b); }

// The length's derivative where it is zero: operand `fallback`'s own, or none
// (fallback = the operand count), like a unit vector with a fallback direction.
// The weight of operand k in a length's derivative: x / len, or where the
// length is 0, 1 for the fallback operand and 0 for the others.
inline double length_weight(double x, double len, std::uint32_t k, std::uint32_t fallback) {
    const double w = x / len;  // divided whatever len is, so that no branch guards it
    return len > 0.0 ? w : (k == fallback ? 1.0 : 0.0);
}
inline Dual length2(const Dual& a, const Dual& b, std::uint32_t fallback) {
    const double len = length2(a.v, b.v, fallback);
    return chain(len, length_weight(a.v, len, 0, fallback), a, length_weight(b.v, len, 1, fallback), b);
}
inline Dual length3(const Dual& a, const Dual& b, const Dual& c, std::uint32_t fallback) {
    const double len = length3(a.v, b.v, c.v, fallback);
    const double s = length_weight(a.v, len, 0, fallback), t = length_weight(b.v, len, 1, fallback),
                 u = length_weight(c.v, len, 2, fallback);
    return {len, s * a.dx + t * b.dx + u * c.dx, s * a.dy + t * b.dy + u * c.dy, s * a.dz + t * b.dz + u * c.dz};
}

// Inside the blend the weight's own derivative cancels: d/da = h, d/db = 1 - h,
// d/dk = -h (1 - h).
inline Dual smooth_min(const Dual& a, const Dual& b, const Dual& k) {
    const double h = smooth_weight(a.v, b.v, k.v);
    const Dual ab = chain(smooth_min(a.v, b.v, k.v), h, a, 1.0 - h, b);
    const double s = -h * (1.0 - h);
    return {ab.v, ab.dx + s * k.dx, ab.dy + s * k.dy, ab.dz + s * k.dz};
}

inline Dual polygon(const PolygonEdges& p, const Dual& x, const Dual& y) {
    const PolygonSample s = polygon_sample(p, x.v, y.v);
    return chain(s.v, s.gx, x, s.gy, y);
}

}  // namespace ops
}  // namespace quarvel
