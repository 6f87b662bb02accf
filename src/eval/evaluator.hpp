// The field as the core sees it: a batch of points in, values and optional
// gradients out. The Python bridge implements it; tests implement it in C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/box.hpp"
#include "core/vec3.hpp"
#include "eval/interval.hpp"

namespace quarvel {

// What one batch returned. `values` and `gradients` have whatever length the
// field produced (not checked against the batch); readers use checked_at.
struct BatchResult {
    std::vector<double> values;                  // raw field values, iso level not subtracted
    std::optional<std::vector<Vec3>> gradients;  // absent when the field gave none
};

// Gradient rows as the field laid them out: row i, column j at byte offset
// i * row_step + j * col_step from `data` (any strides, negative ones too).
struct GradientRows {
    const char* data = nullptr;
    std::ptrdiff_t row_step = 0;
    std::ptrdiff_t col_step = 0;
    std::size_t rows = 0;

    Vec3 operator[](std::size_t i) const {
        Vec3 g;
        const char* row = data + static_cast<std::ptrdiff_t>(i) * row_step;
        for (int j = 0; j < 3; ++j) std::memcpy(&g[j], row + j * col_step, sizeof(double));
        return g;
    }
};

// Rows over gradients held as Vec3.
GradientRows rows_of(std::span<const Vec3> gradients);

// One batch's results where the field left them, valid only while the reader runs.
struct BatchView {
    std::span<const double> values;
    std::optional<GradientRows> gradients;  // absent when the field gave none
};

using FillPoints = std::function<void(std::span<Vec3>)>;
using ReadBatch = std::function<void(const BatchView&)>;
using ReadValues = std::function<void(std::span<const double>)>;

class Evaluator {
public:
    virtual ~Evaluator() = default;
    // `points`: N world positions. Exactly one field call when N > 0, none when N = 0.
    // Throws FieldError (field raised or broke its contract) or Fault.
    virtual BatchResult eval_batch(std::span<const Vec3> points) = 0;
    // The same call without copies: fill() writes the N points where the field
    // will read them, read() sees the results before they are released. Neither
    // is called when N = 0. By default through eval_batch.
    virtual void eval_batch_in_place(std::size_t n, const FillPoints& fill, const ReadBatch& read);
    // Values alone, for fields that save work without gradients; the same one
    // call otherwise.
    virtual std::vector<double> eval_values(std::span<const Vec3> points) {
        return eval_batch(points).values;
    }
    // The same in place, as eval_batch_in_place; by default through it. A field
    // that overrides eval_values overrides this with values_by_copy().
    virtual void eval_values_in_place(std::size_t n, const FillPoints& fill, const ReadValues& read);
    // Bounds on the values over each box (see interval.hpp), from fields that
    // can prove them (a compiled program); false, `bounds` untouched, otherwise.
    virtual bool eval_bounds(std::span<const Box> boxes, std::span<Interval> bounds) {
        (void)boxes, (void)bounds;
        return false;
    }

protected:
    // eval_values_in_place through eval_values, on points copied out of fill().
    void values_by_copy(std::size_t n, const FillPoints& fill, const ReadValues& read);
};

}  // namespace quarvel
