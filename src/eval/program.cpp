#include "eval/program.hpp"

#include <algorithm>
#include <numeric>
#include <array>
#include <bit>
#include <cmath>
#include <string>

#include "core/fault.hpp"
#include "core/parallel.hpp"

namespace quarvel {

struct Program::CallData {
    const std::vector<Call>* calls;
    std::size_t n;    // points in the batch
    bool gathering;   // the first run: write the calls' points; the second reads their results
    // Per external function, its calls' points one after another, and its results.
    std::vector<std::vector<Vec3>> points;
    std::vector<std::vector<double>> values;
    std::vector<std::vector<Vec3>> gradients;  // empty when not wanted
};

namespace {

// ---------------------------------------------------------------- the opcodes

// Each opcode's name and how many of the operands a, b, c are registers, in
// that order; one row per opcode, in the enum's order (checked below).
struct OpShape {
    Op op;
    std::string_view name;
    std::uint8_t registers;
};

constexpr std::array<OpShape, static_cast<std::size_t>(Op::count)> kOps{{
    {Op::constant, "constant", 0},
    {Op::add, "add", 2},
    {Op::sub, "sub", 2},
    {Op::mul, "mul", 2},
    {Op::div, "div", 2},
    {Op::neg, "neg", 1},
    {Op::abs, "abs", 1},
    {Op::square, "square", 1},
    {Op::sqrt, "sqrt", 1},
    {Op::sin, "sin", 1},
    {Op::cos, "cos", 1},
    {Op::floor, "floor", 1},
    {Op::detach, "detach", 1},
    {Op::min, "min", 2},
    {Op::max, "max", 2},
    {Op::atan2, "atan2", 2},
    {Op::less, "less", 2},
    {Op::select, "select", 3},
    {Op::length2, "length2", 2},
    {Op::length3, "length3", 3},
    {Op::smooth_min, "smooth_min", 3},
    {Op::polygon, "polygon", 2},  // c is the first constant, not a register
    {Op::call, "call", 3},
}};

constexpr bool rows_in_enum_order() {
    for (std::size_t i = 0; i < kOps.size(); ++i)
        if (kOps[i].op != static_cast<Op>(i) || kOps[i].name.empty()) return false;
    return true;
}
static_assert(rows_in_enum_order(), "kOps must list every opcode once, in the enum's order");

const OpShape& shape_of(Op op) { return kOps[static_cast<std::size_t>(op)]; }

// The registers an instruction reads: the first `count` of a, b, c.
struct Reads {
    std::array<std::uint32_t, 3> regs;
    std::size_t count;
};
Reads reads(const Instr& in) { return {{in.a, in.b, in.c}, shape_of(in.op).registers}; }

// ---------------------------------------------------------------- checking

class Checker {
public:
    Checker(const std::vector<Instr>& code, const std::vector<double>& constants, std::size_t externals)
        : code_(code), constants_(constants), externals_(externals) {}

    void check() const {
        if (code_.empty()) throw ProgramError("a program needs at least one instruction");
        if (code_.size() > Program::kMaxInstructions)
            throw ProgramError("a program may have at most " + std::to_string(Program::kMaxInstructions) +
                               " instructions (got " + std::to_string(code_.size()) + ")");
        if (constants_.size() > Program::kMaxConstants)
            throw ProgramError("a program may have at most " + std::to_string(Program::kMaxConstants) +
                               " constants (got " + std::to_string(constants_.size()) + ")");
        // Whether each register depends on a call: a call's points may not, so
        // that every call's points are known before any call is made.
        std::vector<bool> from_call(3 + code_.size(), false);
        for (std::size_t i = 0; i < code_.size(); ++i) {
            check_instruction(i);
            const Reads r = reads(code_[i]);
            bool depends = false;
            for (std::size_t k = 0; k < r.count; ++k) depends = depends || from_call[r.regs[k]];
            if (code_[i].op == Op::call && depends)
                fail(i, "its point depends on the result of a call, which must depend on the point alone");
            from_call[3 + i] = depends || code_[i].op == Op::call;
        }
    }

private:
    [[noreturn]] void fail(std::size_t i, const std::string& what) const {
        std::string name = "opcode " + std::to_string(static_cast<unsigned>(code_[i].op));
        if (code_[i].op < Op::count) name = std::string(shape_of(code_[i].op).name);
        throw ProgramError("instruction " + std::to_string(i) + " (" + name + "): " + what);
    }

    void check_instruction(std::size_t i) const {
        const Instr& in = code_[i];
        if (in.op >= Op::count) fail(i, "unknown opcode");
        const std::array<std::uint32_t, 3> operands{in.a, in.b, in.c};
        const std::size_t registers = shape_of(in.op).registers;
        const std::size_t defined = 3 + i;  // inputs, then one register per earlier instruction
        for (std::size_t k = 0; k < 3; ++k) {
            const std::string field(1, static_cast<char>('a' + k));
            if (k < registers && operands[k] >= defined)
                fail(i, "operand " + field + " reads register " + std::to_string(operands[k]) +
                            ", which is not written before it");
            if (k >= registers && operands[k] != 0 && !(in.op == Op::polygon && k == 2))
                fail(i, "operand " + field + " is unused and must be 0");
        }
        check_immediate(i);
    }

    void check_immediate(std::size_t i) const {
        const Instr& in = code_[i];
        switch (in.op) {
            case Op::constant:
                if (in.imm >= constants_.size())
                    fail(i, "constant " + std::to_string(in.imm) + " out of range (" +
                                std::to_string(constants_.size()) + " constants)");
                return;
            case Op::length2:
            case Op::length3:
                if (in.imm > shape_of(in.op).registers) fail(i, "fallback operand out of range");
                return;
            case Op::call:
                if (in.imm >= externals_)
                    fail(i, "external function " + std::to_string(in.imm) + " out of range (" +
                                std::to_string(externals_) + " given)");
                return;
            case Op::polygon: {
                if (in.imm < 3) fail(i, "a polygon needs at least 3 corners");
                const std::uint64_t end = std::uint64_t{in.c} + 4 * std::uint64_t{in.imm};
                if (end > constants_.size())
                    fail(i, "polygon data runs past the constants (" + std::to_string(end) + " > " +
                                std::to_string(constants_.size()) + ")");
                // A NaN corner or normal would lose its edges in every comparison:
                // values and bounds that leave part of the polygon out.
                for (std::size_t k = in.c; k < end; ++k)
                    if (!std::isfinite(constants_[k]))
                        fail(i, "polygon data holds a non-finite number (constant " + std::to_string(k) + ")");
                return;
            }
            default:
                if (in.imm != 0) fail(i, "immediate is unused and must be 0");
        }
    }

    const std::vector<Instr>& code_;
    const std::vector<double>& constants_;
    std::size_t externals_;
};

// Which instructions the result depends on: only those are run.
std::vector<bool> needed_by_result(const std::vector<Instr>& code) {
    std::vector<bool> needed(code.size(), false);
    needed.back() = true;
    for (std::size_t i = code.size(); i-- > 0;) {
        if (!needed[i]) continue;
        const Reads r = reads(code[i]);
        for (std::size_t k = 0; k < r.count; ++k)
            if (r.regs[k] >= 3) needed[r.regs[k] - 3] = true;
    }
    return needed;
}

// Which needed instructions the calls' points depend on, the calls included:
// the steps of the first run, which gathers those points.
std::vector<bool> needed_by_calls(const std::vector<Instr>& code, const std::vector<bool>& needed) {
    std::vector<bool> gather(code.size(), false);
    for (std::size_t i = code.size(); i-- > 0;) {
        if (!needed[i] || !(gather[i] || code[i].op == Op::call)) continue;
        gather[i] = true;
        const Reads r = reads(code[i]);
        for (std::size_t k = 0; k < r.count; ++k)
            if (r.regs[k] >= 3) gather[r.regs[k] - 3] = true;
    }
    return gather;
}

// The last needed instruction reading each register: its slot is free after that.
std::vector<std::size_t> last_reads(const std::vector<Instr>& code, const std::vector<bool>& needed) {
    std::vector<std::size_t> last(3 + code.size(), 0);
    for (std::size_t i = 0; i < code.size(); ++i) {
        if (!needed[i]) continue;
        const Reads r = reads(code[i]);
        for (std::size_t k = 0; k < r.count; ++k) last[r.regs[k]] = i;
    }
    return last;
}

// ---------------------------------------------------------------- frames

// One slot's lanes, read and written lane by lane.
template <class T>
struct SlotView {
    T* v;
    T get(std::size_t i) const { return v[i]; }
    void put(std::size_t i, const T& x) const { v[i] = x; }
};

// Dual numbers component by component, so that a step's loop over lanes reads
// and writes contiguous doubles.
template <>
struct SlotView<Dual> {
    double *v, *dx, *dy, *dz;
    Dual get(std::size_t i) const { return {v[i], dx[i], dy[i], dz[i]}; }
    void put(std::size_t i, const Dual& x) const {
        v[i] = x.v;
        dx[i] = x.dx;
        dy[i] = x.dy;
        dz[i] = x.dz;
    }
};

// The registers of one block of lanes (points or boxes), slot by slot.
template <class T>
class Frame {
public:
    static constexpr std::size_t kWidth = std::is_same_v<T, Dual> ? 4 : 1;  // stored values per lane
    using Stored = std::conditional_t<std::is_same_v<T, Dual>, double, T>;

    Frame(std::size_t slots, std::size_t lanes) : lanes_(lanes), data_(slots * kWidth * lanes) {}
    SlotView<T> view(std::uint32_t slot) {
        Stored* base = data_.data() + slot * kWidth * lanes_;
        if constexpr (std::is_same_v<T, Dual>) return {base, base + lanes_, base + 2 * lanes_, base + 3 * lanes_};
        else return {base};
    }

private:
    std::size_t lanes_;
    std::vector<Stored> data_;
};

template <class T>
T constant_of(double v) {
    if constexpr (std::is_same_v<T, Interval>) return Interval::point(v);
    else if constexpr (std::is_same_v<T, Dual>) return Dual{v, 0.0, 0.0, 0.0};
    else return v;
}

// A frame's registers should stay in the fastest caches: this many bytes.
constexpr std::size_t kFrameBytes = 64 * 1024;
constexpr std::size_t kMaxLanes = 64;

std::size_t lanes_for(std::size_t slots, std::size_t bytes_per_value) {
    const std::size_t fit = kFrameBytes / (slots * bytes_per_value);
    return std::clamp<std::size_t>(std::bit_floor(std::max<std::size_t>(fit, 1)), 1, kMaxLanes);
}

// ---------------------------------------------------------------- running

// A step's output slot never holds one of its operands (see the planning), so
// the lanes are independent: no loop-carried dependence, whatever the pointers.
template <class T, class F>
void map1(Frame<T>& f, const Program::Step& s, std::size_t n, F fn) {
    const SlotView<T> out = f.view(s.out), a = f.view(s.a);
#pragma GCC ivdep
    for (std::size_t i = 0; i < n; ++i) out.put(i, fn(a.get(i)));
}
template <class T, class F>
void map2(Frame<T>& f, const Program::Step& s, std::size_t n, F fn) {
    const SlotView<T> out = f.view(s.out), a = f.view(s.a), b = f.view(s.b);
#pragma GCC ivdep
    for (std::size_t i = 0; i < n; ++i) out.put(i, fn(a.get(i), b.get(i)));
}
template <class T, class F>
void map3(Frame<T>& f, const Program::Step& s, std::size_t n, F fn) {
    const SlotView<T> out = f.view(s.out), a = f.view(s.a), b = f.view(s.b), c = f.view(s.c);
#pragma GCC ivdep
    for (std::size_t i = 0; i < n; ++i) out.put(i, fn(a.get(i), b.get(i), c.get(i)));
}

// A constant operand as the step's kernel takes it: a plain number for points,
// a point interval for boxes.
template <class T>
auto constant_operand(double k) {
    if constexpr (std::is_same_v<T, Interval>) return Interval::point(k);
    else return k;
}

// A two-operand step, one of whose operands may be a constant (see Step).
template <class T, class F>
void binary(Frame<T>& f, const Program::Step& s, std::size_t n, F fn) {
    if (s.constant == Program::Constant::none) return map2(f, s, n, fn);
    const auto k = constant_operand<T>(s.k);
    const SlotView<T> out = f.view(s.out);
    if (s.constant == Program::Constant::b) {
        const SlotView<T> a = f.view(s.a);
#pragma GCC ivdep
        for (std::size_t i = 0; i < n; ++i) out.put(i, fn(a.get(i), k));
    } else {
        const SlotView<T> b = f.view(s.b);
#pragma GCC ivdep
        for (std::size_t i = 0; i < n; ++i) out.put(i, fn(k, b.get(i)));
    }
}

// sin or cos at points: the vectorised kernel for every lane, then the
// library's function where an operand lies beyond its reach (rare), so that
// each point's value depends on that point alone.
template <class T, class Near, class Exact>
void periodic(Frame<T>& f, const Program::Step& s, std::size_t n, Near near, Exact exact) {
    if constexpr (std::is_same_v<T, Interval>) {
        map1(f, s, n, exact);
    } else {
        map1(f, s, n, near);
        const SlotView<T> out = f.view(s.out), a = f.view(s.a);
        for (std::size_t i = 0; i < n; ++i) {
            const T x = a.get(i);
            double v;
            if constexpr (std::is_same_v<T, Dual>) v = x.v;
            else v = x;
            if (!(std::fabs(v) <= ops::kNearReach)) out.put(i, exact(x));
        }
    }
}

double plain(double x) { return x; }
double plain(const Dual& x) { return x.v; }

// A call at the lanes begin to begin + n of the batch: the first run writes
// its points, the second reads its values (and carries the gradients through
// its operands by the chain rule). Over boxes it is unknown.
template <class T>
void call_step(Frame<T>& f, const Program::Step& s, std::size_t n, Program::CallData* data, std::size_t begin) {
    const SlotView<T> out = f.view(s.out);
    if constexpr (std::is_same_v<T, Interval>) {
        for (std::size_t i = 0; i < n; ++i) out.put(i, Interval::unknown());
    } else {
        if (!data) fault("a call ran without its points and results");
        const Program::Call& call = (*data->calls)[s.imm];
        const std::size_t at = call.rank * data->n + begin;
        const SlotView<T> a = f.view(s.a), b = f.view(s.b), c = f.view(s.c);
        if (data->gathering) {
            // Nothing the points depend on reads the call's result: it is left unwritten.
            Vec3* points = data->points[call.external].data() + at;
            for (std::size_t i = 0; i < n; ++i) points[i] = {plain(a.get(i)), plain(b.get(i)), plain(c.get(i))};
            return;
        }
        const double* values = data->values[call.external].data() + at;
        if constexpr (std::is_same_v<T, Dual>) {
            const Vec3* g = data->gradients[call.external].data() + at;
            for (std::size_t i = 0; i < n; ++i) {
                const Dual x = a.get(i), y = b.get(i), z = c.get(i);
                out.put(i, Dual{values[i], g[i][0] * x.dx + g[i][1] * y.dx + g[i][2] * z.dx,
                                g[i][0] * x.dy + g[i][1] * y.dy + g[i][2] * z.dy,
                                g[i][0] * x.dz + g[i][1] * y.dz + g[i][2] * z.dz});
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) out.put(i, values[i]);
        }
    }
}

// Runs the steps over the first n lanes of the frame, lanes begin to begin + n
// of the batch (for calls, whose points and results `calls` holds).
template <class T>
void run_steps(std::span<const Program::Step> steps, const std::vector<PolygonEdges>& polygons,
               Frame<T>& f, std::size_t n, Program::CallData* calls, std::size_t begin) {
    using V = const T&;
    for (const Program::Step& s : steps) {
        switch (s.op) {
            case Op::add: binary(f, s, n, [](const auto& a, const auto& b) { return ops::add(a, b); }); break;
            case Op::sub: binary(f, s, n, [](const auto& a, const auto& b) { return ops::sub(a, b); }); break;
            case Op::mul: binary(f, s, n, [](const auto& a, const auto& b) { return ops::mul(a, b); }); break;
            case Op::div: binary(f, s, n, [](const auto& a, const auto& b) { return ops::div(a, b); }); break;
            case Op::neg: map1(f, s, n, [](V a) { return ops::neg(a); }); break;
            case Op::abs: map1(f, s, n, [](V a) { return ops::abs(a); }); break;
            case Op::square: map1(f, s, n, [](V a) { return ops::square(a); }); break;
            case Op::sqrt: map1(f, s, n, [](V a) { return ops::sqrt(a); }); break;
            case Op::sin:
                periodic(f, s, n, [](const auto& a) { return ops::sin_near(a); }, [](V a) { return ops::sin(a); });
                break;
            case Op::cos:
                periodic(f, s, n, [](const auto& a) { return ops::cos_near(a); }, [](V a) { return ops::cos(a); });
                break;
            case Op::floor: map1(f, s, n, [](V a) { return ops::floor(a); }); break;
            case Op::detach: map1(f, s, n, [](V a) { return ops::detach(a); }); break;
            case Op::min: binary(f, s, n, [](const auto& a, const auto& b) { return ops::min(a, b); }); break;
            case Op::max: binary(f, s, n, [](const auto& a, const auto& b) { return ops::max(a, b); }); break;
            case Op::atan2: map2(f, s, n, [](V a, V b) { return ops::atan2(a, b); }); break;
            case Op::less: map2(f, s, n, [](V a, V b) { return ops::less(a, b); }); break;
            case Op::select: map3(f, s, n, [](V c, V a, V b) { return ops::select(c, a, b); }); break;
            case Op::length2:
                map2(f, s, n, [k = s.imm](V a, V b) { return ops::length2(a, b, k); });
                break;
            case Op::length3:
                map3(f, s, n, [k = s.imm](V a, V b, V c) { return ops::length3(a, b, c, k); });
                break;
            case Op::smooth_min: map3(f, s, n, [](V a, V b, V k) { return ops::smooth_min(a, b, k); }); break;
            case Op::polygon: {
                const PolygonEdges& p = polygons[s.imm];
                map2(f, s, n, [&p](V x, V y) { return ops::polygon(p, x, y); });
                break;
            }
            case Op::call: call_step(f, s, n, calls, begin); break;
            case Op::constant:
            case Op::count: fault("a planned step has no kernel");
        }
    }
}

}  // namespace

std::string_view op_name(Op op) {
    if (op >= Op::count) fault("no such opcode");
    return shape_of(op).name;
}

// ---------------------------------------------------------------- planning

Program::Program(std::vector<Instr> code, std::vector<double> constants,
                 std::vector<std::shared_ptr<External>> externals)
    : code_(std::move(code)), constants_(std::move(constants)), externals_(std::move(externals)) {
    for (const auto& external : externals_)
        if (!external) fault("an external function is missing");
    Checker(code_, constants_, externals_.size()).check();
    const std::size_t n = code_.size();
    const std::vector<bool> needed = needed_by_result(code_);
    const std::vector<bool> gather = needed_by_calls(code_, needed);
    uses_.assign(externals_.size(), 0);
    const std::vector<std::size_t> last_read = last_reads(code_, needed);

    // Slots 0 to 2 hold the inputs and the constants follow, all kept for the
    // whole run (constants are written once per frame); the others are reused.
    std::vector<std::uint32_t> slot(3 + n, 0);
    for (std::uint32_t r = 0; r < 3; ++r) slot[r] = r;
    std::uint32_t next = 3;
    for (std::size_t i = 0; i < n; ++i) {
        if (!needed[i] || code_[i].op != Op::constant) continue;
        slot[3 + i] = next;
        pinned_.emplace_back(next++, constants_[code_[i].imm]);
    }
    fixed_ = next;
    std::vector<std::uint32_t> free_slots;
    for (std::size_t i = 0; i < n; ++i) {
        const Instr& in = code_[i];
        if (!needed[i] || in.op == Op::constant) continue;
        std::uint32_t out = next;
        if (free_slots.empty()) {
            ++next;
        } else {
            out = free_slots.back();
            free_slots.pop_back();
        }
        const Reads r = reads(in);
        steps_.push_back({in.op, out, slot[in.a], slot[in.b], r.count > 2 ? slot[in.c] : 0, in.imm});
        take_constant_operand(steps_.back(), in);
        if (in.op == Op::polygon) {
            steps_.back().imm = static_cast<std::uint32_t>(polygons_.size());
            polygons_.push_back(prepare_polygon(constants_.data() + in.c, in.imm));
        }
        if (in.op == Op::call) {
            steps_.back().imm = static_cast<std::uint32_t>(calls_.size());
            calls_.push_back({in.imm, uses_[in.imm]++});
        }
        if (gather[i]) gathering_.push_back(steps_.back());
        slot[3 + i] = out;
        // Freed once the result has its slot, so that no step writes over its operands.
        for (std::size_t k = 0; k < r.count; ++k) {
            const std::uint32_t reg = r.regs[k];
            const bool kept = reg < 3 || code_[reg - 3].op == Op::constant;
            const bool repeated = std::find(r.regs.begin(), r.regs.begin() + k, reg) != r.regs.begin() + k;
            if (!kept && !repeated && last_read[reg] == i) free_slots.push_back(slot[reg]);
        }
    }
    slots_ = next;
    result_ = slot[3 + n - 1];
    for (const Step& step : steps_) choices_ += step.op == Op::min || step.op == Op::max || step.op == Op::select;
}

void Program::take_constant_operand(Step& step, const Instr& in) const {
    const bool arithmetic = in.op == Op::add || in.op == Op::sub || in.op == Op::mul || in.op == Op::div ||
                            in.op == Op::min || in.op == Op::max;
    auto constant = [&](std::uint32_t reg) { return reg >= 3 && code_[reg - 3].op == Op::constant; };
    if (!arithmetic || constant(in.a) == constant(in.b)) return;
    step.constant = constant(in.a) ? Constant::a : Constant::b;
    step.k = constants_[code_[(constant(in.a) ? in.a : in.b) - 3].imm];
}

// ---------------------------------------------------------------- evaluation

bool Program::specialize(const Box& box, Specialized& out) const {
    // The steps' bounds over the box, one at a time, deciding each choice
    // before it runs: a side whose bounds lie wholly below (min) or above
    // (max) the other's, or a condition bounded away from zero (select), is
    // the one every point takes. Known bounds exclude NaN, so the points'
    // own comparisons go the same way.
    Frame<Interval> frame(slots_, 1);
    for (const auto& [s, v] : pinned_) frame.view(s).put(0, Interval::point(v));
    for (std::uint32_t axis = 0; axis < 3; ++axis) frame.view(axis).put(0, Interval{box.lo[axis], box.hi[axis]});
    const std::size_t n = steps_.size(), values = fixed_ + n;
    out.holder.resize(slots_);
    std::iota(out.holder.begin(), out.holder.begin() + fixed_, 0u);
    out.alias.resize(values);
    std::iota(out.alias.begin(), out.alias.end(), 0u);
    out.operands.resize(n);
    bool decided = false;
    for (std::size_t k = 0; k < n; ++k) {
        const Step& s = steps_[k];
        const std::size_t count = shape_of(s.op).registers;
        const std::uint32_t regs[3] = {s.a, s.b, s.c};
        for (std::size_t j = 0; j < 3; ++j) out.operands[k][j] = j < count ? out.alias[out.holder[regs[j]]] : 0;
        const std::uint32_t self = static_cast<std::uint32_t>(fixed_ + k);
        if (s.op == Op::min || s.op == Op::max || s.op == Op::select) {
            // Select's condition is its first operand.
            const Interval a = frame.view(s.a).get(0), b = frame.view(s.b).get(0);
            int take = -1;  // the operand every point takes, if any
            if (s.op == Op::select) {
                if (!a.is_unknown() && (a.lo > 0.0 || a.hi < 0.0)) take = 1;
                else if (!a.is_unknown() && a.lo == 0.0 && a.hi == 0.0) take = 2;
            } else if (!a.is_unknown() && !b.is_unknown()) {
                if (s.op == Op::min) take = a.hi <= b.lo ? 0 : a.lo > b.hi ? 1 : -1;
                else take = a.lo >= b.hi ? 0 : a.hi < b.lo ? 1 : -1;
            }
            if (take >= 0) {
                out.alias[self] = out.operands[k][take];
                decided = true;
            }
        }
        run_steps(std::span(&s, 1), polygons_, frame, 1, nullptr, 0);
        out.holder[s.out] = self;
    }
    if (!decided) return false;
    // What the result needs, from the last step back: a step stays when its
    // value is needed and no choice stands for it.
    out.needed.assign(values, 0);
    const std::uint32_t result = out.alias[out.holder[result_]];
    out.needed[result] = 1;
    const auto kept = [&](std::size_t k) {
        const std::uint32_t self = static_cast<std::uint32_t>(fixed_ + k);
        return out.needed[self] && out.alias[self] == self;
    };
    for (std::size_t k = n; k-- > 0;)
        if (kept(k))
            for (std::size_t j = 0; j < shape_of(steps_[k].op).registers; ++j) out.needed[out.operands[k][j]] = 1;
    // Slots as the planning gives them: a result never takes one of its operands' slots.
    out.last.assign(values, 0);
    for (std::size_t k = 0; k < n; ++k)
        if (kept(k))
            for (std::size_t j = 0; j < shape_of(steps_[k].op).registers; ++j)
                out.last[out.operands[k][j]] = static_cast<std::uint32_t>(k);
    out.slot.resize(values);
    std::iota(out.slot.begin(), out.slot.begin() + fixed_, 0u);
    out.steps.clear();
    out.free_slots.clear();
    std::uint32_t next = fixed_;
    for (std::size_t k = 0; k < n; ++k) {
        if (!kept(k)) continue;
        Step step = steps_[k];
        const std::size_t count = shape_of(step.op).registers;
        std::uint32_t* regs[3] = {&step.a, &step.b, &step.c};
        for (std::size_t j = 0; j < count; ++j) *regs[j] = out.slot[out.operands[k][j]];
        if (out.free_slots.empty()) {
            step.out = next++;
        } else {
            step.out = out.free_slots.back();
            out.free_slots.pop_back();
        }
        out.slot[fixed_ + k] = step.out;
        out.steps.push_back(step);
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint32_t v = out.operands[k][j];
            const bool repeated = std::find(out.operands[k].begin(), out.operands[k].begin() + j, v) !=
                                  out.operands[k].begin() + j;
            if (v >= fixed_ && !repeated && out.last[v] == k) out.free_slots.push_back(out.slot[v]);
        }
    }
    if (next > slots_) return false;  // the full plan's frame holds it only within its slots
    out.result = out.slot[result];
    return true;
}

// Points specialized together: blocks of this many consecutive points, which
// the core lists near one another (a brick's lattice, its cells' vertices).
constexpr std::size_t kSpecializedPoints = 256;

template <class T, class Input, class Output>
void Program::run_blocks(const std::vector<Step>& steps, std::size_t n, Input&& input, Output&& output,
                         CallData* calls) const {
    const std::size_t lanes = lanes_for(slots_, sizeof(T));
    const std::size_t blocks = (n + lanes - 1) / lanes;
    // Points take a program specialized to their box where it has choices to
    // make; boxes and calls run it whole. Either gives the same bits.
    const bool specializing = !std::is_same_v<T, Interval> && calls == nullptr && &steps == &steps_ && choices_ > 0;
    const std::size_t group = std::max<std::size_t>(1, kSpecializedPoints / lanes);
    parallel_for(
        (blocks + group - 1) / group,
        [&](std::size_t first, std::size_t last) {
            Frame<T> frame(slots_, lanes);
            for (const auto& [s, v] : pinned_)
                for (std::size_t i = 0; i < lanes; ++i) frame.view(s).put(i, constant_of<T>(v));
            Specialized special;
            for (std::size_t g = first; g < last; ++g) {
                const std::size_t from = g * group * lanes, to = std::min(n, (g + 1) * group * lanes);
                std::span<const Step> run = steps;
                std::uint32_t result = result_;
                if constexpr (!std::is_same_v<T, Interval>) {
                    // Only finite points: bounds say nothing of a NaN one.
                    Box box{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
                    bool finite = specializing;
                    for (std::size_t i = from; finite && i < to; ++i)
                        for (std::uint32_t axis = 0; axis < 3; ++axis) {
                            const double x = plain(input(i, axis));
                            finite = finite && std::isfinite(x);
                            box.lo[axis] = std::min(box.lo[axis], x);
                            box.hi[axis] = std::max(box.hi[axis], x);
                        }
                    if (finite && specialize(box, special)) {
                        run = special.steps;
                        result = special.result;
                    }
                }
                for (std::size_t begin = from; begin < to; begin += lanes) {
                    const std::size_t count = std::min(lanes, to - begin);
                    for (std::uint32_t axis = 0; axis < 3; ++axis)
                        for (std::size_t i = 0; i < count; ++i) frame.view(axis).put(i, input(begin + i, axis));
                    run_steps(run, polygons_, frame, count, calls, begin);
                    const SlotView<T> values = frame.view(result);
                    for (std::size_t i = 0; i < count; ++i) output(begin + i, values.get(i));
                }
            }
        },
        1);
}

template <class T, class Input, class Output>
void Program::run_with_calls(std::size_t n, bool gradients, Input&& input, Output&& output) const {
    if (calls_.empty()) return run_blocks<T>(steps_, n, input, output, nullptr);
    if (n == 0) return;
    CallData data{&calls_, n, true, {}, {}, {}};
    data.points.resize(externals_.size());
    data.values.resize(externals_.size());
    data.gradients.resize(externals_.size());
    for (std::size_t e = 0; e < externals_.size(); ++e) data.points[e].resize(uses_[e] * n);
    run_blocks<T>(gathering_, n, input, [](std::size_t, const T&) {}, &data);
    // Each function once, with all of its points, on this thread.
    for (std::size_t e = 0; e < externals_.size(); ++e) {
        if (uses_[e] == 0) continue;
        data.values[e].resize(uses_[e] * n);
        if (gradients) data.gradients[e].resize(uses_[e] * n);
        externals_[e]->eval(data.points[e], data.values[e], data.gradients[e]);
        std::vector<Vec3>().swap(data.points[e]);
    }
    data.gathering = false;
    run_blocks<T>(steps_, n, input, output, &data);
}

void Program::eval(std::span<const Vec3> points, std::span<double> values, std::span<Vec3> gradients) const {
    if (values.size() != points.size() || gradients.size() != points.size())
        fault("result arrays must have one entry per point");
    run_with_calls<Dual>(
        points.size(), true,
        [&](std::size_t i, std::uint32_t axis) {
            Dual d{points[i][axis], 0.0, 0.0, 0.0};
            (axis == 0 ? d.dx : axis == 1 ? d.dy : d.dz) = 1.0;
            return d;
        },
        [&](std::size_t i, const Dual& r) {
            values[i] = r.v;
            gradients[i] = {r.dx, r.dy, r.dz};
        });
}

void Program::eval_values(std::span<const Vec3> points, std::span<double> values) const {
    if (values.size() != points.size()) fault("result arrays must have one entry per point");
    run_with_calls<double>(
        points.size(), false, [&](std::size_t i, std::uint32_t axis) { return points[i][axis]; },
        [&](std::size_t i, double r) { values[i] = r; });
}

void Program::eval_bounds(std::span<const Box> boxes, std::span<Interval> bounds) const {
    if (bounds.size() != boxes.size()) fault("result arrays must have one entry per box");
    run_blocks<Interval>(
        steps_, boxes.size(),
        [&](std::size_t i, std::uint32_t axis) { return Interval{boxes[i].lo[axis], boxes[i].hi[axis]}; },
        [&](std::size_t i, const Interval& r) { bounds[i] = r; }, nullptr);
}

BatchResult ProgramField::eval_batch(std::span<const Vec3> points) {
    BatchResult r;
    r.values.resize(points.size());
    r.gradients.emplace(points.size());
    program_.eval(points, r.values, *r.gradients);
    return r;
}

std::vector<double> ProgramField::eval_values(std::span<const Vec3> points) {
    std::vector<double> values(points.size());
    program_.eval_values(points, values);
    return values;
}

bool ProgramField::eval_bounds(std::span<const Box> boxes, std::span<Interval> bounds) {
    // A call's values are whatever its function says: nothing bounds them.
    if (program_.calls()) return false;
    program_.eval_bounds(boxes, bounds);
    return true;
}

}  // namespace quarvel
