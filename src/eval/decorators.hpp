// Fields made from fields: the pipeline's rules applied around any evaluator
// (the Python bridge, a C++ field, a compiled program), so that every stage
// sees them without knowing.
#pragma once

#include "core/box.hpp"
#include "eval/evaluator.hpp"

namespace quarvel {

// Forwards every call to `inner` (borrowed); the base of the decorators.
class ForwardingField : public Evaluator {
public:
    explicit ForwardingField(Evaluator& inner) : inner_(inner) {}
    BatchResult eval_batch(std::span<const Vec3> points) override { return inner_.eval_batch(points); }
    std::vector<double> eval_values(std::span<const Vec3> points) override { return inner_.eval_values(points); }
    void eval_values_in_place(std::size_t n, const FillPoints& fill, const ReadValues& read) override {
        inner_.eval_values_in_place(n, fill, read);
    }
    bool eval_bounds(std::span<const Box> boxes, std::span<Interval> bounds) override {
        return inner_.eval_bounds(boxes, bounds);
    }

protected:
    Evaluator& inner_;
};

// The field's solid cut by `box`: max(f - iso, signed distance to the box) + iso,
// with the gradient of whichever is larger. Its iso surface is the part of the
// field's inside the box, closed by the box's faces. Outside the box the
// field's value is not needed: a NaN there gives the box's distance.
// Gradients are given only when the field gives them. Bounds, when the field
// gives them, are the same maximum taken over intervals.
class ClippedField final : public ForwardingField {
public:
    ClippedField(Evaluator& inner, const Box& box, double iso_value)
        : ForwardingField(inner), box_(box), iso_(iso_value) {}
    BatchResult eval_batch(std::span<const Vec3> points) override;
    std::vector<double> eval_values(std::span<const Vec3> points) override;
    void eval_values_in_place(std::size_t n, const FillPoints& fill, const ReadValues& read) override {
        values_by_copy(n, fill, read);
    }
    bool eval_bounds(std::span<const Box> boxes, std::span<Interval> bounds) override;

private:
    // The clipped value at `p` of the field's `value` there; `gradient`, when
    // given, becomes the wall's where the wall wins.
    double clip(const Vec3& p, double value, Vec3* gradient) const;

    Box box_;
    double iso_;
};

// Refuses a batch in which the field returned NaN, with InvalidField naming
// how many points and one of them. Infinite values pass: they count as sides.
class NanRejectingField final : public ForwardingField {
public:
    using ForwardingField::ForwardingField;
    BatchResult eval_batch(std::span<const Vec3> points) override;
    std::vector<double> eval_values(std::span<const Vec3> points) override;
    void eval_values_in_place(std::size_t n, const FillPoints& fill, const ReadValues& read) override {
        values_by_copy(n, fill, read);
    }
};

}  // namespace quarvel
