#include <algorithm>

#include "core/fault.hpp"
#include "eval/evaluator.hpp"

namespace quarvel {

namespace {

std::vector<Vec3> offset_batch(std::span<const Vec3> points, double h) {
    std::vector<Vec3> offsets;
    offsets.reserve(points.size() * 6);
    for (const Vec3& p : points) {
        for (int axis = 0; axis < 3; ++axis) {
            Vec3 plus = p, minus = p;
            plus[axis] = p[axis] + h;
            minus[axis] = p[axis] - h;
            offsets.push_back(plus);
            offsets.push_back(minus);
        }
    }
    return offsets;
}

}  // namespace

std::vector<Vec3> fd_gradients(Evaluator& field, std::span<const Vec3> points, double step) {
    std::vector<Vec3> gradients;
    if (points.empty()) return gradients;
    BatchResult batch = field.eval_batch(offset_batch(points, step));
    const std::vector<double>& v = batch.values;
    const double s = 0.5 / step;  // multiply, never divide by 2h: keeps results bit-exact
    gradients.reserve(points.size());
    for (std::size_t j = 0; j < points.size(); ++j) {
        const std::size_t i = 6 * j;
        if (i + 5 >= v.size()) index_fault(v.size(), std::max(i, v.size()));
        gradients.push_back({(v[i] - v[i + 1]) * s, (v[i + 2] - v[i + 3]) * s,
                             (v[i + 4] - v[i + 5]) * s});
    }
    return gradients;
}

SampledBatch sample_with_gradients(Evaluator& field, std::span<const Vec3> points,
                                   double fd_step) {
    SampledBatch out;
    if (points.empty()) return out;
    BatchResult batch = field.eval_batch(points);
    out.values = std::move(batch.values);
    out.evaluations = points.size();
    if (batch.gradients) {
        out.gradients = std::move(*batch.gradients);
    } else {
        out.gradients = fd_gradients(field, points, fd_step);
        out.estimated = true;
        out.evaluations += 6 * points.size();
    }
    return out;
}

}  // namespace quarvel
