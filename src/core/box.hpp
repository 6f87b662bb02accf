// An axis-aligned box, and clamping into it with the fault an inverted or NaN
// box raises. Callers see the same message whichever stage clamps.
#pragma once

#include "core/vec3.hpp"

namespace quarvel {

// An axis-aligned box in world coordinates.
struct Box {
    Vec3 lo{};
    Vec3 hi{};
};

// Faults with "min > max, or either was NaN. min = {lo}, max = {hi}" unless lo <= hi.
void check_bounds(double lo, double hi);

// `v` moved into [lo, hi] after check_bounds; NaN stays NaN.
inline double clamp_checked(double v, double lo, double hi) {
    check_bounds(lo, hi);
    if (v < lo) v = lo;
    if (v > hi) v = hi;
    return v;
}

// The signed Euclidean distance from `p` to the surface of `box` (negative
// inside) and its gradient: towards the nearest surface point outside, the
// normal of the nearest face inside.
struct BoxDistance {
    double value = 0.0;
    Vec3 gradient{};
};
BoxDistance signed_distance(const Box& box, const Vec3& p);

// Each coordinate clamped into `box`, axes checked x, y, z in turn.
inline Vec3 clamp_into(const Vec3& p, const Box& box) {
    return {clamp_checked(p[0], box.lo[0], box.hi[0]), clamp_checked(p[1], box.lo[1], box.hi[1]),
            clamp_checked(p[2], box.lo[2], box.hi[2])};
}

}  // namespace quarvel
