// C++ fields for core tests: closures over points, with or without gradients,
// that record every batch they receive.
#pragma once

#include <cmath>
#include <functional>
#include <optional>
#include <vector>

#include "eval/evaluator.hpp"

namespace testing {

using quarvel::BatchResult;
using quarvel::Vec3;

class LambdaField : public quarvel::Evaluator {
public:
    using ValueFn = std::function<double(const Vec3&)>;
    using GradFn = std::function<Vec3(const Vec3&)>;

    LambdaField(ValueFn value, std::optional<GradFn> grad = std::nullopt)
        : value_(std::move(value)), grad_(std::move(grad)) {}

    BatchResult eval_batch(std::span<const Vec3> points) override {
        batches.emplace_back(points.begin(), points.end());
        BatchResult r;
        r.values.reserve(points.size());
        for (const Vec3& p : points) r.values.push_back(value_(p));
        if (grad_) {
            r.gradients.emplace();
            for (const Vec3& p : points) r.gradients->push_back((*grad_)(p));
        }
        return r;
    }

    std::size_t points_received() const {
        std::size_t n = 0;
        for (const auto& b : batches) n += b.size();
        return n;
    }

    std::vector<std::vector<Vec3>> batches;

private:
    ValueFn value_;
    std::optional<GradFn> grad_;
};

inline double norm(const Vec3& p) { return std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]); }

// |p - c| - r, with its exact gradient when `with_gradients`.
inline LambdaField sphere(double r, Vec3 c = {0, 0, 0}, bool with_gradients = true) {
    auto value = [=](const Vec3& p) {
        return norm({p[0] - c[0], p[1] - c[1], p[2] - c[2]}) - r;
    };
    if (!with_gradients) return LambdaField(value);
    return LambdaField(value, [=](const Vec3& p) {
        Vec3 d{p[0] - c[0], p[1] - c[1], p[2] - c[2]};
        double n = norm(d);
        if (n == 0) return Vec3{0, 0, 0};
        return Vec3{d[0] / n, d[1] / n, d[2] / n};
    });
}

}  // namespace testing
