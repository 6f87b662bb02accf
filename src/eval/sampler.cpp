#include "eval/sampler.hpp"

#include <algorithm>

#include "core/fault.hpp"

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

std::vector<double> FieldSampler::values(std::span<const Vec3> points) {
    if (points.empty()) return {};
    std::vector<double> values = field_.eval_values(points);
    evaluations_ += points.size();
    return values;
}

BatchResult FieldSampler::given(std::span<const Vec3> points) {
    if (points.empty()) return {};
    BatchResult batch = field_.eval_batch(points);
    evaluations_ += points.size();
    return batch;
}

std::vector<Vec3> FieldSampler::differences(std::span<const Vec3> points) {
    std::vector<Vec3> gradients = fd_gradients(field_, points, fd_step_);
    evaluations_ += 6 * points.size();
    return gradients;
}

Sampled FieldSampler::sample(std::span<const Vec3> points, ShortValues short_values) {
    Sampled out;
    if (points.empty()) return out;
    BatchResult batch = field_.eval_batch(points);
    evaluations_ += points.size();
    out.values = std::move(batch.values);
    if (batch.gradients) {
        out.gradients = std::move(*batch.gradients);
        return out;
    }
    if (!estimate_) {
        out.absent = true;
        return out;
    }
    if (short_values == ShortValues::fault_before_estimate && out.values.size() < points.size())
        index_fault(out.values.size(), out.values.size());
    out.gradients = fd_gradients(field_, points, fd_step_);
    out.estimated = true;
    evaluations_ += 6 * points.size();
    return out;
}

}  // namespace quarvel
