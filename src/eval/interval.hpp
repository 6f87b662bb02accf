// The operations of a program on intervals: for operands ranging over
// intervals, an interval holding every value the same operation gives on
// points, as computed in floating point. Bounds are rounded outwards, by one
// unit in the last place for correctly rounded arithmetic and by a few for
// library functions and composite operations.
//
// An interval whose bounds are NaN is unknown: some point may give NaN (a
// square root of a negative number, 0 times infinity, sin of infinity...), and
// nothing can be concluded from it. Unknown operands give unknown results,
// except where the point operation itself cannot pass NaN on (a comparison, a
// selection decided by its condition).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "eval/dual.hpp"

namespace quarvel {

struct Interval {
    double lo = 0.0;
    double hi = 0.0;

    static Interval point(double v) { return {v, v}; }
    static Interval whole() {
        constexpr double inf = std::numeric_limits<double>::infinity();
        return {-inf, inf};
    }
    static Interval unknown() { return {ops::kNaN, ops::kNaN}; }
    bool is_unknown() const { return std::isnan(lo) || std::isnan(hi); }
};

namespace ops {

namespace interval_detail {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

// `lo` lowered and `hi` raised by at least `ulps` units in their last place:
// |x| * ulps * 2^-52 is at least that many units (exactly, a power of two
// apart), and the smallest subnormal moves 0. Infinite bounds stay.
inline Interval outward(double lo, double hi, int ulps = 1) {
    constexpr double kUnit = std::numeric_limits<double>::epsilon();
    constexpr double kTiny = std::numeric_limits<double>::denorm_min();
    const double down = std::isinf(lo) ? 0.0 : std::fabs(lo) * (ulps * kUnit) + kTiny;
    const double up = std::isinf(hi) ? 0.0 : std::fabs(hi) * (ulps * kUnit) + kTiny;
    return {lo - down, hi + up};
}

// [lo, hi] grown by `ulps` units of rounding at magnitude `scale`, then outward:
// for results of several roundings whose error follows the operands' size.
inline Interval padded(double lo, double hi, double scale, int ulps) {
    const double pad = ulps * std::numeric_limits<double>::epsilon() * scale;
    return outward(lo - pad, hi + pad);
}

inline bool holds_zero(const Interval& a) { return a.lo <= 0.0 && a.hi >= 0.0; }
inline bool reaches_inf(const Interval& a) { return std::isinf(a.lo) || std::isinf(a.hi); }
inline bool finite(const Interval& a) { return std::isfinite(a.lo) && std::isfinite(a.hi); }
// Smallest and largest |x| over the interval.
inline double mig(const Interval& a) { return holds_zero(a) ? 0.0 : std::min(std::fabs(a.lo), std::fabs(a.hi)); }
inline double mag(const Interval& a) { return std::max(std::fabs(a.lo), std::fabs(a.hi)); }
inline Interval hull(const Interval& a, const Interval& b) {
    if (a.is_unknown() || b.is_unknown()) return Interval::unknown();
    return {std::min(a.lo, b.lo), std::max(a.hi, b.hi)};
}

// Whether some x = phase + 2 pi k lies in [lo, hi], allowing for the rounding of
// the test: an extremum counted that is not there only widens the result.
inline bool reaches_phase(double lo, double hi, double phase) {
    const double t_lo = (lo - phase) / kTwoPi, t_hi = (hi - phase) / kTwoPi;
    const double slack = 1e-9 + 1e-12 * std::max(std::fabs(t_lo), std::fabs(t_hi));
    return std::floor(t_hi + slack) >= t_lo - slack;
}

// sin or cos over [a.lo, a.hi]: the ends, and 1 or -1 where a peak or a trough
// lies within.
inline Interval periodic(const Interval& a, double peak, double (*f)(double)) {
    if (a.is_unknown() || !finite(a)) return Interval::unknown();
    // Beyond this the phase test loses its precision; any range is then whole.
    if (a.hi - a.lo >= kTwoPi || std::max(std::fabs(a.lo), std::fabs(a.hi)) > 1e9) return {-1.0, 1.0};
    // Points take the library's value or one within two units of it (sincos_near).
    const double f_lo = f(a.lo), f_hi = f(a.hi);
    Interval r = outward(std::min(f_lo, f_hi), std::max(f_lo, f_hi), 4);
    if (reaches_phase(a.lo, a.hi, peak)) r.hi = 1.0;
    if (reaches_phase(a.lo, a.hi, peak + kPi)) r.lo = -1.0;
    return {std::max(r.lo, -1.0), std::min(r.hi, 1.0)};
}

inline double sin_of(double x) { return std::sin(x); }
inline double cos_of(double x) { return std::cos(x); }

}  // namespace interval_detail

inline Interval add(const Interval& a, const Interval& b) {
    using namespace interval_detail;
    if (a.is_unknown() || b.is_unknown()) return Interval::unknown();
    if ((a.hi == kInf && b.lo == -kInf) || (a.lo == -kInf && b.hi == kInf)) return Interval::unknown();
    return outward(a.lo + b.lo, a.hi + b.hi);
}

inline Interval sub(const Interval& a, const Interval& b) {
    using namespace interval_detail;
    if (a.is_unknown() || b.is_unknown()) return Interval::unknown();
    if ((a.hi == kInf && b.hi == kInf) || (a.lo == -kInf && b.lo == -kInf)) return Interval::unknown();
    return outward(a.lo - b.hi, a.hi - b.lo);
}

inline Interval mul(const Interval& a, const Interval& b) {
    using namespace interval_detail;
    if (a.is_unknown() || b.is_unknown()) return Interval::unknown();
    if ((holds_zero(a) && reaches_inf(b)) || (holds_zero(b) && reaches_inf(a))) return Interval::unknown();
    const double p[] = {a.lo * b.lo, a.lo * b.hi, a.hi * b.lo, a.hi * b.hi};
    return outward(*std::min_element(p, p + 4), *std::max_element(p, p + 4));
}

inline Interval div(const Interval& a, const Interval& b) {
    using namespace interval_detail;
    if (a.is_unknown() || b.is_unknown()) return Interval::unknown();
    if (holds_zero(b)) return holds_zero(a) ? Interval::unknown() : Interval::whole();  // 0 / 0
    if (reaches_inf(a) && reaches_inf(b)) return Interval::unknown();                   // inf / inf
    const double q[] = {a.lo / b.lo, a.lo / b.hi, a.hi / b.lo, a.hi / b.hi};
    return outward(*std::min_element(q, q + 4), *std::max_element(q, q + 4));
}

inline Interval neg(const Interval& a) { return {-a.hi, -a.lo}; }

inline Interval abs(const Interval& a) {
    if (a.is_unknown()) return a;
    if (a.lo >= 0.0) return a;
    if (a.hi <= 0.0) return {-a.hi, -a.lo};
    return {0.0, std::max(-a.lo, a.hi)};
}

inline Interval square(const Interval& a) {
    using namespace interval_detail;
    if (a.is_unknown()) return a;
    const double m = mig(a), n = mag(a);
    return outward(m * m, n * n);
}

// A partly negative range gives NaN at some points: unknown.
inline Interval sqrt(const Interval& a) {
    if (a.is_unknown() || a.lo < 0.0) return Interval::unknown();
    return interval_detail::outward(std::sqrt(a.lo), std::sqrt(a.hi));
}

inline Interval sin(const Interval& a) {
    using namespace interval_detail;
    return periodic(a, kPi / 2.0, sin_of);
}
inline Interval cos(const Interval& a) { return interval_detail::periodic(a, 0.0, interval_detail::cos_of); }

inline Interval floor(const Interval& a) {
    if (a.is_unknown()) return a;
    return {std::floor(a.lo), std::floor(a.hi)};
}

inline Interval detach(const Interval& a) { return a; }

inline Interval min(const Interval& a, const Interval& b) {
    if (a.is_unknown() || b.is_unknown()) return Interval::unknown();
    return {std::min(a.lo, b.lo), std::min(a.hi, b.hi)};
}
inline Interval max(const Interval& a, const Interval& b) {
    if (a.is_unknown() || b.is_unknown()) return Interval::unknown();
    return {std::max(a.lo, b.lo), std::max(a.hi, b.hi)};
}

// Over a box that reaches the origin or the cut along the negative x axis the
// angle takes values from both ends of its range; elsewhere it is continuous
// and its extremes lie at the box's corners.
inline Interval atan2(const Interval& a, const Interval& b) {
    using namespace interval_detail;
    if (a.is_unknown() || b.is_unknown()) return Interval::unknown();
    if (b.lo <= 0.0 && holds_zero(a)) return outward(-kPi, kPi, 2);
    const double c[] = {std::atan2(a.lo, b.lo), std::atan2(a.lo, b.hi), std::atan2(a.hi, b.lo),
                        std::atan2(a.hi, b.hi)};
    return outward(*std::min_element(c, c + 4), *std::max_element(c, c + 4), 2);
}

// A comparison never gives NaN: with an unknown operand it may go either way.
inline Interval less(const Interval& a, const Interval& b) {
    if (a.is_unknown() || b.is_unknown()) return {0.0, 1.0};
    if (a.hi < b.lo) return {1.0, 1.0};
    if (a.lo >= b.hi) return {0.0, 0.0};
    return {0.0, 1.0};
}

inline Interval select(const Interval& c, const Interval& a, const Interval& b) {
    if (!c.is_unknown()) {
        if (c.lo > 0.0 || c.hi < 0.0) return a;
        if (c.lo == 0.0 && c.hi == 0.0) return b;
    }
    return interval_detail::hull(a, b);
}

inline Interval length2(const Interval& a, const Interval& b, std::uint32_t) {
    using namespace interval_detail;
    if (a.is_unknown() || b.is_unknown()) return Interval::unknown();
    const double m0 = mig(a), m1 = mig(b), n0 = mag(a), n1 = mag(b);
    return outward(std::sqrt(m0 * m0 + m1 * m1), std::sqrt(n0 * n0 + n1 * n1), 4);
}
inline Interval length3(const Interval& a, const Interval& b, const Interval& c, std::uint32_t) {
    using namespace interval_detail;
    if (a.is_unknown() || b.is_unknown() || c.is_unknown()) return Interval::unknown();
    const double m0 = mig(a), m1 = mig(b), m2 = mig(c), n0 = mag(a), n1 = mag(b), n2 = mag(c);
    return outward(std::sqrt(m0 * m0 + m1 * m1 + m2 * m2), std::sqrt(n0 * n0 + n1 * n1 + n2 * n2), 4);
}

// The smooth minimum rises with a and b and falls as k grows (d/dk = -h (1 - h)),
// so its range comes from two corners. Infinite operands may give NaN (0 * inf).
inline Interval smooth_min(const Interval& a, const Interval& b, const Interval& k) {
    using namespace interval_detail;
    if (!finite(a) || !finite(b) || !finite(k) || k.lo <= 0.0) return Interval::unknown();
    const double lo = smooth_min(a.lo, b.lo, k.hi), hi = smooth_min(a.hi, b.hi, k.lo);
    return padded(lo, hi, std::max({mag(a), mag(b), k.hi}), 8);
}

// A signed distance moves no faster than the point: the value at the box's
// centre, give or take its half diagonal.
inline Interval polygon(const PolygonEdges& p, const Interval& x, const Interval& y) {
    using namespace interval_detail;
    if (!finite(x) || !finite(y)) return Interval::unknown();
    const double cx = 0.5 * x.lo + 0.5 * x.hi, cy = 0.5 * y.lo + 0.5 * y.hi;
    const double radius = outward(0.0, 0.5 * std::hypot(x.hi - x.lo, y.hi - y.lo), 2).hi;
    const double v = polygon(p, cx, cy);
    if (!std::isfinite(v) || !std::isfinite(radius)) return Interval::unknown();
    const double scale = std::max({mag(x), mag(y), p.reach}) + radius;
    return padded(v - radius, v + radius, scale, 16);
}

}  // namespace ops
}  // namespace quarvel
