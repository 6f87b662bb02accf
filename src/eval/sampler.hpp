// The field as every stage asks it: values alone, or values with gradients
// (the field's own, else central differences), with the evaluations counted.
#pragma once

#include <cstdint>
#include <functional>
#include <source_location>
#include <span>
#include <vector>

#include "eval/evaluator.hpp"

namespace quarvel {

// Central-difference gradients of N points from one batch of 6N offset points
// (+x, -x, +y, -y, +z, -z per point). `step` is used as given, even 0 or NaN.
std::vector<Vec3> fd_gradients(Evaluator& field, std::span<const Vec3> points, double step);
// The same for the N points fill() writes.
std::vector<Vec3> fd_gradients(Evaluator& field, std::size_t n, const FillPoints& fill, double step);

// Central-difference gradients of N points, and per point whether its stencil
// straddles a crease (see FieldSampler::differences).
struct CheckedDifferences {
    std::vector<Vec3> gradients;
    std::vector<std::uint8_t> straddles;
};

// Values and gradients of one batch. Both have the length the field gave
// (readers use checked_at); estimated gradients always number N.
struct Sampled {
    std::vector<double> values;
    std::vector<Vec3> gradients;
    bool estimated = false;  // central differences: the field gave no gradients
    bool absent = false;     // none at all: the field gave none, and none were to be estimated
};

// The same seen in place, valid while the reader runs. value() and gradient()
// fault like checked_at past what the field returned.
struct SampleView {
    std::span<const double> values;
    GradientRows gradients;
    bool estimated = false;
    bool absent = false;  // as in Sampled (then `gradients` has no rows)

    double value(std::size_t i, std::source_location where = std::source_location::current()) const;
    Vec3 gradient(std::size_t i, std::source_location where = std::source_location::current()) const;
};

// When a value array shorter than the batch faults if gradients must be
// estimated: before the finite-difference batch, or when the caller reads it.
enum class ShortValues { fault_before_estimate, fault_on_read };

// The field of one driver (a build, an extraction), its finite-difference step
// and the evaluations made so far: N per batch of N points, 6N more per
// finite-difference batch. No field call for no points.
class FieldSampler {
public:
    // `fd_step`: world units. Without `estimate`, sample() leaves the
    // gradients of a field that gives none absent instead of estimating them.
    FieldSampler(Evaluator& field, double fd_step, bool estimate = true)
        : field_(field), fd_step_(fd_step), estimate_(estimate) {}

    // Raw values from one batch.
    std::vector<double> values(std::span<const Vec3> points);
    // One batch as the field gave it: values, and gradients only when the
    // field gave them (nothing is estimated).
    BatchResult given(std::span<const Vec3> points);
    // Central-difference gradients of `points` alone: one batch of 6N.
    std::vector<Vec3> differences(std::span<const Vec3> points);
    // The same, also flagging a point whose forward and backward differences
    // on some axis (from its value `centre_values[i]`; a point without a
    // finite one is never flagged) differ by more than `tolerance` times the
    // gradient's length, or whose gradient is zero or not finite: a gradient
    // that jumps within the stencil, so a blend of two faces. A flagged point
    // is differenced again with a step ten times smaller, up to `refinements`
    // times (6 evaluations each), and takes the first gradient whose stencil
    // does not straddle; one that always does keeps its first gradient, flagged.
    CheckedDifferences differences(std::span<const Vec3> points, std::span<const double> centre_values,
                                   double tolerance, int refinements);
    // Values and gradients: one batch, plus the finite-difference batch on the
    // same points when the field gives no gradients (unless told not to estimate).
    Sampled sample(std::span<const Vec3> points,
                   ShortValues short_values = ShortValues::fault_on_read);

    // The same two without copies: fill() writes the N points into the query
    // (a second time to offset them when gradients are estimated), and read()
    // sees the results where the field left them.
    void values(std::size_t n, const FillPoints& fill,
                const std::function<void(std::span<const double>)>& read);
    void sample(std::size_t n, const FillPoints& fill,
                const std::function<void(const SampleView&)>& read,
                ShortValues short_values = ShortValues::fault_on_read);

    double fd_step() const noexcept { return fd_step_; }
    std::uint64_t evaluations() const noexcept { return evaluations_; }

private:
    Evaluator& field_;
    double fd_step_;
    bool estimate_;
    std::uint64_t evaluations_ = 0;
};

}  // namespace quarvel
