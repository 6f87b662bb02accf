#include "eval/sampler.hpp"

#include <algorithm>
#include <cmath>

#include "core/fault.hpp"
#include "core/parallel.hpp"

namespace quarvel {

namespace {

FillPoints copy_of(std::span<const Vec3> points) {
    return [points](std::span<Vec3> out) { std::copy(points.begin(), points.end(), out.begin()); };
}

}  // namespace

std::vector<Vec3> fd_gradients(Evaluator& field, std::span<const Vec3> points, double step) {
    return fd_gradients(field, points.size(), copy_of(points), step);
}

namespace {

// One batch of the 6N offset points of fd_gradients(); read() sees their
// values, all 6N of them.
void fd_stencils(Evaluator& field, std::size_t n, const FillPoints& fill, double step,
                 const std::function<void(std::span<const double>)>& read) {
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
        // The first stencil past the end is read at index v.size().
        if (v.size() < 6 * n) index_fault(v.size(), v.size());
        read(v);
    });
}

// The central difference of the stencil at v[6j .. 6j + 5].
Vec3 central_difference(std::span<const double> v, std::size_t j, double step) {
    const double s = 0.5 / step;  // multiply, never divide by 2h: keeps results bit-exact
    const std::size_t i = 6 * j;
    return {(v[i] - v[i + 1]) * s, (v[i + 2] - v[i + 3]) * s, (v[i + 4] - v[i + 5]) * s};
}

// Whether the stencil at v[6j .. 6j + 5], of gradient g, around a point of
// value `centre` sees one smooth face: g finite and not zero, and per axis
// (forward - backward difference) * step at most `tolerance` * step * |g|.
// That share is about step times the curvature on a smooth surface, but the
// jump of the gradient where the stencil crosses a crease.
bool sees_one_face(std::span<const double> v, std::size_t j, double centre, const Vec3& g,
                   double step, double tolerance) {
    const double bound = tolerance * step * length_without_overflow(g);
    if (!is_finite(g) || !(bound > 0)) return false;
    for (int a = 0; a < 3; ++a) {
        const double bend = (v[6 * j + 2 * a] - centre) - (centre - v[6 * j + 2 * a + 1]);
        if (!(std::fabs(bend) <= bound)) return false;
    }
    return true;
}

}  // namespace

std::vector<Vec3> fd_gradients(Evaluator& field, std::size_t n, const FillPoints& fill, double step) {
    std::vector<Vec3> gradients;
    if (n == 0) return gradients;
    fd_stencils(field, n, fill, step, [&](std::span<const double> v) {
        gradients.reserve(n);
        for (std::size_t j = 0; j < n; ++j) gradients.push_back(central_difference(v, j, step));
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
    field_.eval_values_in_place(n, fill, read);
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

CheckedDifferences FieldSampler::differences(std::span<const Vec3> points,
                                             std::span<const double> centre_values,
                                             double tolerance, int refinements) {
    CheckedDifferences out;
    const std::size_t n = points.size();
    if (n == 0) return out;
    if (centre_values.size() != n) fault("a centre value per point is needed");
    out.gradients.resize(n);
    out.straddles.resize(n);
    std::vector<std::size_t> open(n);  // the points of this round, in order
    for (std::size_t j = 0; j < n; ++j) open[j] = j;
    double step = fd_step_;
    for (int round = 0;; ++round) {
        const auto stencil_points = [&](std::span<Vec3> at) {
            for (std::size_t k = 0; k < open.size(); ++k) at[k] = points[open[k]];
        };
        fd_stencils(field_, open.size(), stencil_points, step, [&](std::span<const double> v) {
            parallel_for(open.size(), [&](std::size_t begin, std::size_t end) {
                for (std::size_t k = begin; k < end; ++k) {
                    const std::size_t j = open[k];
                    const Vec3 g = central_difference(v, k, step);
                    // Without a finite value at the point there is nothing to check.
                    const bool straddles = std::isfinite(centre_values[j]) &&
                                           !sees_one_face(v, k, centre_values[j], g, step, tolerance);
                    // A smaller stencil that still straddles (a point on the
                    // crease, a step field, or rounding noise grown by the
                    // smaller step) is no better: the first gradient stays.
                    if (round > 0 && straddles) continue;
                    out.gradients[j] = g;
                    out.straddles[j] = straddles;
                }
            });
        });
        evaluations_ += 6 * open.size();
        std::erase_if(open, [&](std::size_t j) { return !out.straddles[j]; });
        if (open.empty() || round == refinements) break;
        step = 0.1 * step;
    }
    return out;
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
