#include "eval/decorators.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

#include "core/fault.hpp"
#include "core/format.hpp"
#include "core/parallel.hpp"

namespace quarvel {

double ClippedField::clip(const Vec3& p, double value, Vec3* gradient) const {
    const BoxDistance wall = signed_distance(box_, p);
    const bool outside_unknown = std::isnan(value) && wall.value > 0.0;
    if (!(wall.value > value - iso_) && !outside_unknown) return value;
    if (gradient) *gradient = wall.gradient;
    return wall.value + iso_;
}

BatchResult ClippedField::eval_batch(std::span<const Vec3> points) {
    BatchResult batch = inner_.eval_batch(points);
    // A short result stays short: its readers report it.
    const std::size_t n = std::min(points.size(), batch.values.size());
    for (std::size_t i = 0; i < n; ++i) {
        Vec3* gradient = batch.gradients && i < batch.gradients->size() ? &(*batch.gradients)[i] : nullptr;
        batch.values[i] = clip(points[i], batch.values[i], gradient);
    }
    return batch;
}

std::vector<double> ClippedField::eval_values(std::span<const Vec3> points) {
    std::vector<double> values = inner_.eval_values(points);
    const std::size_t n = std::min(points.size(), values.size());
    for (std::size_t i = 0; i < n; ++i) values[i] = clip(points[i], values[i], nullptr);
    return values;
}

bool ClippedField::eval_bounds(std::span<const Box> boxes, std::span<Interval> bounds) {
    if (!inner_.eval_bounds(boxes, bounds)) return false;
    const Interval iso = Interval::point(iso_);
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        // The wall's distance changes by at most the distance moved: over the
        // box it lies within half a diagonal of its value at the centre.
        const Box& b = boxes[i];
        Vec3 centre, half;
        double scale = 0.0;
        for (int a = 0; a < 3; ++a) {
            centre[a] = 0.5 * (b.lo[a] + b.hi[a]);
            half[a] = 0.5 * (b.hi[a] - b.lo[a]);
            scale = std::max({scale, std::fabs(b.lo[a]), std::fabs(b.hi[a]), std::fabs(box_.lo[a]),
                              std::fabs(box_.hi[a])});
        }
        const double d = signed_distance(box_, centre).value, r = length(half);
        const Interval wall = ops::interval_detail::padded(d - r, d + r, scale, 8);
        // An unknown field value stays unknown: it may be NaN where the wall is far.
        bounds[i] = ops::add(ops::max(ops::sub(bounds[i], iso), wall), iso);
    }
    return true;
}

namespace {

// InvalidField naming how many of `values` are NaN and one of their points, if any are.
void reject_nan(std::span<const Vec3> points, std::span<const double> values) {
    const std::size_t n = std::min(points.size(), values.size());
    std::size_t count = 0, first = n;
    std::mutex tally;
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        std::size_t here = 0, at = n;
        for (std::size_t i = begin; i < end; ++i)
            if (std::isnan(values[i]) && here++ == 0) at = i;
        if (here == 0) return;
        std::lock_guard lock(tally);
        count += here;
        first = std::min(first, at);
    }, 1 << 14);
    if (count == 0) return;
    const Vec3& p = points[first];
    throw InvalidField("the field returned NaN at " + std::to_string(count) + " of " +
                       std::to_string(points.size()) + " points, for example at (" + format_f64(p[0]) +
                       ", " + format_f64(p[1]) + ", " + format_f64(p[2]) +
                       "); a field must give a number at every point of the box "
                       "(+inf or -inf where it is far outside or inside)");
}

}  // namespace

BatchResult NanRejectingField::eval_batch(std::span<const Vec3> points) {
    BatchResult batch = inner_.eval_batch(points);
    reject_nan(points, batch.values);
    return batch;
}

std::vector<double> NanRejectingField::eval_values(std::span<const Vec3> points) {
    std::vector<double> values = inner_.eval_values(points);
    reject_nan(points, values);
    return values;
}

}  // namespace quarvel
