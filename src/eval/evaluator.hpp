// The field as the core sees it: a batch of points in, values and optional
// gradients out. The Python bridge implements it; tests implement it in C++.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/box.hpp"
#include "core/vec3.hpp"
#include "eval/interval.hpp"

namespace quarvel {

// The named stages of a meshing call, as progress reports name them.
enum class Stage : std::uint8_t { sampling, refining, crossings, vertices, faces };

// What one batch returned. `values` and `gradients` have whatever length the
// field produced (not checked against the batch); readers use checked_at.
struct BatchResult {
    std::vector<double> values;                  // raw field values, iso level not subtracted
    std::optional<std::vector<Vec3>> gradients;  // absent when the field gave none
};

class Evaluator {
public:
    virtual ~Evaluator() = default;
    // `points`: N world positions. Exactly one field call when N > 0, none when N = 0.
    // Throws FieldError (field raised or broke its contract) or Fault.
    virtual BatchResult eval_batch(std::span<const Vec3> points) = 0;
    // Values alone, for fields that save work without gradients; the same one
    // call otherwise.
    virtual std::vector<double> eval_values(std::span<const Vec3> points) {
        return eval_batch(points).values;
    }
    // Bounds on the values over each box (see interval.hpp), from fields that
    // can prove them (a compiled program); false, `bounds` untouched, otherwise.
    virtual bool eval_bounds(std::span<const Box> boxes, std::span<Interval> bounds) {
        (void)boxes, (void)bounds;
        return false;
    }
    // Called between the phases of long work; throws to abandon it (for the
    // Python field: a pending signal such as Ctrl-C). Never called by workers.
    virtual void poll() {}
    // Progress within `stage`: `done` of `total` units (total 0: not known
    // ahead). Called on the calling thread between steps of work, at least at
    // the start and end of a stage; may throw to abandon the work, as poll().
    virtual void report(Stage /*stage*/, std::uint64_t /*done*/, std::uint64_t /*total*/) {}
};

}  // namespace quarvel
