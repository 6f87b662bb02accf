#include "core/box.hpp"

#include <cmath>

#include "core/fault.hpp"
#include "core/format.hpp"

namespace quarvel {

void check_bounds(double lo, double hi) {
    if (lo <= hi) return;
    fault("min > max, or either was NaN. min = " + format_f64(lo) + ", max = " + format_f64(hi));
}

BoxDistance signed_distance(const Box& box, const Vec3& p) {
    Vec3 q, side;  // per axis: distance outside the slab (negative inside), and which wall
    for (int a = 0; a < 3; ++a) {
        const double below = box.lo[a] - p[a], above = p[a] - box.hi[a];
        q[a] = above >= below ? above : below;
        side[a] = above >= below ? 1.0 : -1.0;
    }
    const Vec3 out{std::fmax(q[0], 0.0), std::fmax(q[1], 0.0), std::fmax(q[2], 0.0)};
    const double outside = length(out);
    BoxDistance d;
    if (outside > 0.0) {
        d.value = outside;
        for (int a = 0; a < 3; ++a) d.gradient[a] = out[a] / outside * side[a];
        return d;
    }
    int nearest = 0;
    for (int a = 1; a < 3; ++a)
        if (q[a] > q[nearest]) nearest = a;
    d.value = q[nearest];
    d.gradient[nearest] = side[nearest];
    return d;
}

}  // namespace quarvel
