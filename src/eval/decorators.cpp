#include "eval/decorators.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/fault.hpp"
#include "core/format.hpp"

namespace quarvel {

BatchResult ClippedField::eval_batch(std::span<const Vec3> points) {
    BatchResult batch = inner_.eval_batch(points);
    // A short result stays short: its readers report it.
    const std::size_t n = std::min(points.size(), batch.values.size());
    for (std::size_t i = 0; i < n; ++i) {
        const BoxDistance wall = signed_distance(box_, points[i]);
        double& value = batch.values[i];
        const bool outside_unknown = std::isnan(value) && wall.value > 0.0;
        if (!(wall.value > value - iso_) && !outside_unknown) continue;
        value = wall.value + iso_;
        if (batch.gradients && i < batch.gradients->size()) (*batch.gradients)[i] = wall.gradient;
    }
    return batch;
}

BatchResult NanRejectingField::eval_batch(std::span<const Vec3> points) {
    BatchResult batch = inner_.eval_batch(points);
    const std::size_t n = std::min(points.size(), batch.values.size());
    std::size_t count = 0, first = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isnan(batch.values[i]) && count++ == 0) first = i;
    if (count == 0) return batch;
    const Vec3& p = points[first];
    throw InvalidField("the field returned NaN at " + std::to_string(count) + " of " +
                       std::to_string(points.size()) + " points, for example at (" + format_f64(p[0]) +
                       ", " + format_f64(p[1]) + ", " + format_f64(p[2]) +
                       "); a field must give a number at every point of the box "
                       "(+inf or -inf where it is far outside or inside)");
}

}  // namespace quarvel
