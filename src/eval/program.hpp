// A compiled shape: a flat tape of instructions over registers, evaluated
// without the interpreter at points (values, and gradients by forward-mode
// differentiation) and over boxes (bounds on the values there). A tape may
// call functions outside it (External) with whole batches of points.
//
// Registers 0, 1 and 2 hold the point's x, y and z; instruction i writes
// register 3 + i, reading only registers written before it. The program's
// value is the last instruction's register. A program is checked when it is
// built, so evaluating it can never read outside its registers or constants,
// whatever tape it was given.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/box.hpp"
#include "eval/dual.hpp"
#include "eval/evaluator.hpp"
#include "eval/interval.hpp"

namespace quarvel {

// Operands a, b, c are registers unless said otherwise; unused fields must be 0.
enum class Op : std::uint8_t {
    constant,    // constants[imm]
    add,         // a + b
    sub,         // a - b
    mul,         // a * b
    div,         // a / b
    neg,         // -a
    abs,         // |a|
    square,      // a * a
    sqrt,        // square root of a
    sin,         // sin a
    cos,         // cos a
    floor,       // largest whole number <= a
    detach,      // a's value, without its derivative
    min,         // a if a <= b else b; NaN if either is NaN
    max,         // a if a >= b else b; NaN if either is NaN
    atan2,       // the angle of the point (b, a), in [-pi, pi]
    less,        // 1 if a < b else 0
    select,      // b if a != 0 else c
    length2,     // |(a, b)|; imm: the operand whose derivative it takes where it is 0 (2: none)
    length3,     // |(a, b, c)|; imm likewise (3: none)
    smooth_min,  // polynomial smooth minimum of a and b with blend radius c
    polygon,     // signed distance to a polygon at (a, b); imm corners (at least 3) read from
                 // constants[c...]: x, y of each corner, then the outward unit normal of each
                 // edge (corner j to j + 1)
    call,        // externals[imm] at the point (a, b, c); a, b and c may not depend on any call
    count
};

// The opcode's name (as the tape builder spells it).
std::string_view op_name(Op op);

struct Instr {
    Op op = Op::constant;
    std::uint32_t a = 0, b = 0, c = 0;
    std::uint32_t imm = 0;
};

// A function outside the program, called by Op::call with a whole batch:
// `points` holds the call's operands at every point evaluated; it writes each
// one's value and, when `gradients` is not empty, its gradient (with respect
// to the operands). Called only on the thread that evaluates the program,
// never from the pool; what it throws reaches that caller unchanged.
class External {
public:
    virtual ~External() = default;
    virtual void eval(std::span<const Vec3> points, std::span<double> values, std::span<Vec3> gradients) = 0;
};

// A tape that breaks the rules above; the message names the instruction.
class ProgramError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class Program {
public:
    static constexpr std::size_t kMaxInstructions = std::size_t{1} << 22;
    static constexpr std::size_t kMaxConstants = std::size_t{1} << 22;

    // Checks the tape (throws ProgramError) and plans its evaluation.
    Program(std::vector<Instr> code, std::vector<double> constants,
            std::vector<std::shared_ptr<External>> externals = {});

    const std::vector<Instr>& code() const noexcept { return code_; }
    const std::vector<double>& constants() const noexcept { return constants_; }
    // Instructions run per point (those the result needs, constants aside), and
    // registers held at once per point (inputs and constants included).
    std::size_t steps() const noexcept { return steps_.size(); }
    std::size_t slots() const noexcept { return slots_; }
    // Whether the result calls an external function: its bounds are then unknown.
    bool calls() const noexcept { return !calls_.empty(); }

    // At N points: values[i] and gradients[i] at points[i] (spans of length N).
    // In parallel on the pool; the results do not depend on the thread count.
    // With calls, the tape runs twice: once to gather each call's points, then,
    // after each external function was called once with all of its points,
    // again reading their results.
    void eval(std::span<const Vec3> points, std::span<double> values, std::span<Vec3> gradients) const;
    // Values alone, a few times cheaper.
    void eval_values(std::span<const Vec3> points, std::span<double> values) const;
    // bounds[i] holds every value at the points of boxes[i] (see interval.hpp);
    // a call's are unknown.
    void eval_bounds(std::span<const Box> boxes, std::span<Interval> bounds) const;

    // Which operand of an arithmetic step or of min and max is a constant,
    // read from the step rather than from a slot.
    enum class Constant : std::uint8_t { none, a, b };

    // How instruction results are kept while evaluating: slot numbers.
    struct Step {
        Op op;
        std::uint32_t out, a, b, c;
        std::uint32_t imm;  // length fallback; polygon: index into polygons_; call: index into calls_
        Constant constant = Constant::none;
        double k = 0.0;  // the constant operand's value
    };

    // A call step's external function, and where its points sit among all of
    // that function's points, in batches of N: from rank * N.
    struct Call {
        std::uint32_t external;
        std::uint32_t rank;
    };
    // Each external function's points and results over one evaluation.
    struct CallData;

    // The steps the points of a box need: each min, max and select that its
    // operands' bounds over the box decide is replaced by the operand every
    // point takes, and what only the others read is dropped. Points in
    // batches run the steps of their neighbourhood's box, with the same
    // results bit for bit.
    struct Specialized {
        std::vector<Step> steps;
        std::uint32_t result = 0;  // its slot
        // Scratch, kept between boxes: per value (the fixed slots', then each
        // step's), what it stands for, whether it is needed, its last reader
        // and its slot; per step, its operands' values.
        std::vector<std::uint32_t> holder, alias, last, slot;
        std::vector<std::uint8_t> needed;
        std::vector<std::array<std::uint32_t, 3>> operands;
        std::vector<std::uint32_t> free_slots;
    };
    // Fills `out`; false when the bounds decide nothing.
    bool specialize(const Box& box, Specialized& out) const;

private:
    template <class T, class Input, class Output>
    void run_blocks(const std::vector<Step>& steps, std::size_t n, Input&& input, Output&& output,
                    CallData* calls) const;
    template <class T, class Input, class Output>
    void run_with_calls(std::size_t n, bool gradients, Input&& input, Output&& output) const;
    // Marks the step of `in` as reading a constant operand from itself.
    void take_constant_operand(Step& step, const Instr& in) const;

    std::vector<Instr> code_;
    std::vector<double> constants_;
    std::vector<Step> steps_;
    std::vector<PolygonEdges> polygons_;
    std::vector<std::shared_ptr<External>> externals_;
    std::vector<Call> calls_;           // one per call step
    std::vector<std::uint32_t> uses_;   // call steps per external function
    std::vector<Step> gathering_;       // the steps the calls' points need, and the calls
    std::vector<std::pair<std::uint32_t, double>> pinned_;  // constant slots and their values
    std::uint32_t result_ = 0;                              // the slot of the result
    std::size_t slots_ = 3;
    std::uint32_t fixed_ = 3;    // slots below hold the inputs and the constants
    std::size_t choices_ = 0;    // min, max and select steps
};

// A program as the core's field: every batch evaluated natively.
class ProgramField final : public Evaluator {
public:
    explicit ProgramField(const Program& program) : program_(program) {}
    BatchResult eval_batch(std::span<const Vec3> points) override;
    std::vector<double> eval_values(std::span<const Vec3> points) override;
    void eval_values_in_place(std::size_t n, const FillPoints& fill, const ReadValues& read) override {
        values_by_copy(n, fill, read);
    }
    bool eval_bounds(std::span<const Box> boxes, std::span<Interval> bounds) override;

private:
    const Program& program_;
};

}  // namespace quarvel
