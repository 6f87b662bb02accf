#include "eval/sampler.hpp"

#include <algorithm>

#include "core/fault.hpp"

namespace quarvel {

namespace {

FillPoints copy_of(std::span<const Vec3> points) {
    return [points](std::span<Vec3> out) { std::copy(points.begin(), points.end(), out.begin()); };
}

}  // namespace

std::vector<Vec3> fd_gradients(Evaluator& field, std::span<const Vec3> points, double step) {
    return fd_gradients(field, points.size(), copy_of(points), step);
}

std::vector<Vec3> fd_gradients(Evaluator& field, std::size_t n, const FillPoints& fill, double step) {
    std::vector<Vec3> gradients;
    if (n == 0) return gradients;
    std::vector<Vec3> points(n);
    fill(points);
    const auto offsets = [&](std::span<Vec3> out) {
        for (std::size_t j = 0; j < n; ++j) {
            for (int axis = 0; axis < 3; ++axis) {
                Vec3 plus = points[j], minus = points[j];
                plus[axis] = points[j][axis] + step;
                minus[axis] = points[j][axis] - step;
                out[6 * j + 2 * axis] = plus;
                out[6 * j + 2 * axis + 1] = minus;
            }
        }
    };
    field.eval_batch_in_place(6 * n, offsets, [&](const BatchView& batch) {
        const std::span<const double> v = batch.values;
        const double s = 0.5 / step;  // multiply, never divide by 2h: keeps results bit-exact
        gradients.reserve(n);
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t i = 6 * j;
            if (i + 5 >= v.size()) index_fault(v.size(), std::max(i, v.size()));
            gradients.push_back({(v[i] - v[i + 1]) * s, (v[i + 2] - v[i + 3]) * s,
                                 (v[i + 4] - v[i + 5]) * s});
        }
    });
    return gradients;
}

double SampleView::value(std::size_t i, std::source_location where) const {
    if (i >= values.size()) index_fault(values.size(), i, where);
    return values[i];
}

Vec3 SampleView::gradient(std::size_t i, std::source_location where) const {
    if (i >= gradients.rows) index_fault(gradients.rows, i, where);
    return gradients[i];
}

void FieldSampler::values(std::size_t n, const FillPoints& fill,
                          const std::function<void(std::span<const double>)>& read) {
    if (n == 0) return;
    field_.eval_batch_in_place(n, fill, [&](const BatchView& batch) { read(batch.values); });
    evaluations_ += n;
}

void FieldSampler::sample(std::size_t n, const FillPoints& fill,
                          const std::function<void(const SampleView&)>& read,
                          ShortValues short_values) {
    if (n == 0) return;
    // Kept only when gradients must be estimated: the reader sees them after
    // the field's own arrays are gone.
    std::vector<double> values;
    bool read_already = false;
    field_.eval_batch_in_place(n, fill, [&](const BatchView& batch) {
        if (batch.gradients || !estimate_) {
            read(SampleView{batch.values, batch.gradients.value_or(GradientRows{}), false,
                            !batch.gradients});
            read_already = true;
        } else {
            values.assign(batch.values.begin(), batch.values.end());
        }
    });
    evaluations_ += n;
    if (read_already) return;
    if (short_values == ShortValues::fault_before_estimate && values.size() < n)
        index_fault(values.size(), values.size());
    const std::vector<Vec3> gradients = fd_gradients(field_, n, fill, fd_step_);
    evaluations_ += 6 * n;
    read(SampleView{values, rows_of(gradients), true});
}

std::vector<double> FieldSampler::values(std::span<const Vec3> points) {
    std::vector<double> out;
    values(points.size(), copy_of(points),
           [&](std::span<const double> v) { out.assign(v.begin(), v.end()); });
    return out;
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
    sample(points.size(), copy_of(points), [&](const SampleView& view) {
        out.values.assign(view.values.begin(), view.values.end());
        out.gradients.reserve(view.gradients.rows);
        for (std::size_t i = 0; i < view.gradients.rows; ++i) out.gradients.push_back(view.gradients[i]);
        out.estimated = view.estimated;
        out.absent = view.absent;
    }, short_values);
    return out;
}

}  // namespace quarvel
