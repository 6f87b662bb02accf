// Compiled shapes: a program built from a tape (checked) and its external
// functions, evaluated at points and over boxes with the interpreter lock
// released; an external function takes it back for its call.
#include <Python.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <memory>

#include "eval/program.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/engine/functions.hpp"
#include "py/engine/program.hpp"
#include "py/lock.hpp"
#include "py/monitor.hpp"
#include "py/numpy_api.hpp"

namespace quarvel::py {

namespace {

constexpr const char* kCapsuleName = "quarvel._engine.Program";

// `obj` as an aligned, C-contiguous array of `type` with `ndim` dimensions,
// converted only where NumPy casts safely; TypeError or ValueError otherwise.
PyRef array_of(PyObject* obj, int type, int ndim) {
    ensure_numpy();
    PyObject* array = PyArray_FromAny(obj, PyArray_DescrFromType(type), ndim, ndim, NPY_ARRAY_IN_ARRAY, nullptr);
    if (!array) throw_pending();
    return PyRef::steal(array);
}

PyArrayObject* as_array(const PyRef& ref) { return reinterpret_cast<PyArrayObject*>(ref.get()); }

PyRef new_array(int ndim, npy_intp rows) {
    npy_intp dims[2] = {rows, 3};
    return created(PyArray_SimpleNew(ndim, dims, NPY_FLOAT64));
}

// (N, 3) float64 points, read as N Vec3 in place.
std::span<const Vec3> rows_of(const PyRef& array, const char* what) {
    if (PyArray_DIM(as_array(array), 1) != 3)
        throw_new(PyExc_ValueError, std::string(what) + " must have shape (N, 3)");
    static_assert(sizeof(Vec3) == 3 * sizeof(double));
    return {static_cast<const Vec3*>(PyArray_DATA(as_array(array))),
            static_cast<std::size_t>(PyArray_DIM(as_array(array), 0))};
}

std::vector<Instr> instructions(PyObject* obj) {
    PyRef code = array_of(obj, NPY_INT64, 2);
    if (PyArray_DIM(as_array(code), 1) != 5)
        throw_new(PyExc_ValueError, "code must have shape (N, 5): opcode, a, b, c, immediate");
    const auto* raw = static_cast<const std::int64_t*>(PyArray_DATA(as_array(code)));
    std::vector<Instr> out(static_cast<std::size_t>(PyArray_DIM(as_array(code), 0)));
    constexpr std::int64_t kMax = std::numeric_limits<std::uint32_t>::max();
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::int64_t* row = raw + 5 * i;
        for (int k = 0; k < 5; ++k)
            if (row[k] < 0 || row[k] > kMax || (k == 0 && row[k] >= static_cast<int>(Op::count)))
                throw_new(PyExc_ValueError, "instruction " + std::to_string(i) + ": field " + std::to_string(k) +
                                                " out of range (" + std::to_string(row[k]) + ")");
        out[i] = {static_cast<Op>(row[0]), static_cast<std::uint32_t>(row[1]), static_cast<std::uint32_t>(row[2]),
                  static_cast<std::uint32_t>(row[3]), static_cast<std::uint32_t>(row[4])};
    }
    return out;
}

// The interpreter lock for a scope, whichever way this thread let it go.
class InterpreterLock {
public:
    InterpreterLock() : state_(PyGILState_Ensure()) {}
    ~InterpreterLock() { PyGILState_Release(state_); }
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;

private:
    PyGILState_STATE state_;
};

// A Python callable as a program's external function, called as
// fn(points (N, 3), gradients) -> (values (N,), gradients (N, 3) or None).
class PyExternal final : public External {
public:
    PyExternal(PyRef fn, std::size_t index) : fn_(std::move(fn)), index_(index) {}
    ~PyExternal() override {
        const InterpreterLock lock;
        fn_ = PyRef();
    }

    void eval(std::span<const Vec3> points, std::span<double> values, std::span<Vec3> gradients) override {
        const InterpreterLock lock;
        // As for any field call: Ctrl-C ends the evaluation before the next one.
        if (PyErr_CheckSignals() < 0) throw_pending();
        ensure_numpy();
        PyRef query = new_array(2, static_cast<npy_intp>(points.size()));
        std::memcpy(PyArray_DATA(as_array(query)), points.data(), points.size() * sizeof(Vec3));
        PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(fn_.get(), query.get(),
                                                                 gradients.empty() ? Py_False : Py_True, nullptr));
        if (!result) throw_pending();
        if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2)
            fail("returned " + type_qualname(result.get()) + ", not a pair (values, gradients)");
        PyRef v = array_of(PyTuple_GET_ITEM(result.get(), 0), NPY_FLOAT64, 1);
        if (static_cast<std::size_t>(PyArray_DIM(as_array(v), 0)) != points.size())
            fail("returned " + std::to_string(PyArray_DIM(as_array(v), 0)) + " values for " +
                 std::to_string(points.size()) + " points");
        std::memcpy(values.data(), PyArray_DATA(as_array(v)), values.size() * sizeof(double));
        if (gradients.empty()) return;
        PyObject* raw = PyTuple_GET_ITEM(result.get(), 1);
        if (raw == Py_None) fail("returned no gradients where they were asked for");
        PyRef g = array_of(raw, NPY_FLOAT64, 2);
        if (static_cast<std::size_t>(PyArray_DIM(as_array(g), 0)) != points.size() || PyArray_DIM(as_array(g), 1) != 3)
            fail("returned gradients of shape (" + std::to_string(PyArray_DIM(as_array(g), 0)) + ", " +
                 std::to_string(PyArray_DIM(as_array(g), 1)) + ") for " + std::to_string(points.size()) + " points");
        std::memcpy(gradients.data(), PyArray_DATA(as_array(g)), gradients.size() * sizeof(Vec3));
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw_new(PyExc_ValueError, "external function " + std::to_string(index_) + " " + what);
    }

    PyRef fn_;
    std::size_t index_;
};

std::vector<std::shared_ptr<External>> externals_of(PyObject* obj) {
    std::vector<std::shared_ptr<External>> out;
    if (!obj) return out;
    PyRef items = PyRef::steal(PySequence_Fast(obj, "externals must be a sequence of callables"));
    if (!items) throw_pending();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* fn = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyCallable_Check(fn))
            throw_new(PyExc_TypeError, "externals[" + std::to_string(i) + "] is not callable (got '" +
                                           type_qualname(fn) + "')");
        out.push_back(std::make_shared<PyExternal>(PyRef::borrow(fn), static_cast<std::size_t>(i)));
    }
    return out;
}

void drop_program(PyObject* capsule) {
    delete static_cast<Program*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// Evaluation without the lock, watched by a monitor of its own: Ctrl-C ends it
// (on the thread that handles signals), and a call made from inside another
// call's field (a shape evaluated as a field) leaves that call's monitor,
// whose lock it does not hold, alone.
template <class Run>
void without_lock(Run&& run) {
    const bool signals = handles_signals();
    ReleasedLock unlocked;
    PyMonitor monitor({&unlocked, nullptr, signals ? PyMonitor::kPipelineInterval : std::chrono::milliseconds::zero()});
    const Monitor::Active active(&monitor);
    run();
}

const Program& program_of(PyObject* obj) {
    const Program* program = program_if_any(obj);
    if (!program)
        throw_new(PyExc_TypeError, "expected a program made by quarvel._engine.program (got '" +
                                       type_qualname(obj) + "')");
    return *program;
}

}  // namespace

const Program* program_if_any(PyObject* obj) {
    if (!PyCapsule_IsValid(obj, kCapsuleName)) return nullptr;
    return static_cast<const Program*>(PyCapsule_GetPointer(obj, kCapsuleName));
}

namespace {

// ---------------------------------------------------------------- functions

constexpr Signature kOpcodes{"opcodes", {}, 0};

PyRef opcodes_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    bind_arguments(kOpcodes, argv, nargs, kwnames);
    const auto count = static_cast<std::size_t>(Op::count);
    PyRef names = created(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = op_name(static_cast<Op>(i));
        PyTuple_SET_ITEM(names.get(), i,
                         created(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())))
                             .release());
    }
    return names;
}

constexpr const char* kProgramParams[] = {"code", "constants", "externals"};
constexpr Signature kProgram{"program", kProgramParams, 2};

PyRef program_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kProgram, argv, nargs, kwnames);
    std::vector<Instr> code = instructions(args[0]);
    PyRef constants = array_of(args[1], NPY_FLOAT64, 1);
    const auto* first = static_cast<const double*>(PyArray_DATA(as_array(constants)));
    std::vector<double> values(first, first + PyArray_DIM(as_array(constants), 0));
    std::vector<std::shared_ptr<External>> externals = externals_of(args[2]);
    std::unique_ptr<Program> program;
    try {
        program = std::make_unique<Program>(std::move(code), std::move(values), std::move(externals));
    } catch (const ProgramError& e) {
        throw_new(PyExc_ValueError, e.what());
    }
    PyRef capsule = created(PyCapsule_New(program.get(), kCapsuleName, drop_program));
    program.release();  // the capsule owns it now
    return capsule;
}

constexpr const char* kEvalParams[] = {"program", "points", "gradients"};
constexpr Signature kEval{"program_eval", kEvalParams, 2};

PyRef program_eval_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kEval, argv, nargs, kwnames);
    const Program& program = program_of(args[0]);
    PyRef points_array = array_of(args[1], NPY_FLOAT64, 2);
    const std::span<const Vec3> points = rows_of(points_array, "points");
    const bool with_gradients = args[2] ? to_bool(args[2]) : true;
    const auto n = static_cast<npy_intp>(points.size());
    PyRef values = new_array(1, n);
    std::span<double> value_span{static_cast<double*>(PyArray_DATA(as_array(values))), points.size()};
    PyRef gradients = with_gradients ? new_array(2, n) : PyRef::borrow(Py_None);
    without_lock([&] {
        if (with_gradients)
            program.eval(points, value_span, {static_cast<Vec3*>(PyArray_DATA(as_array(gradients))), points.size()});
        else
            program.eval_values(points, value_span);
    });
    return created(PyTuple_Pack(2, values.get(), gradients.get()));
}

constexpr const char* kBoundsParams[] = {"program", "lo", "hi"};
constexpr Signature kBounds{"program_bounds", kBoundsParams, 3};

PyRef program_bounds_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kBounds, argv, nargs, kwnames);
    const Program& program = program_of(args[0]);
    PyRef lo_array = array_of(args[1], NPY_FLOAT64, 2), hi_array = array_of(args[2], NPY_FLOAT64, 2);
    const std::span<const Vec3> lo = rows_of(lo_array, "lo"), hi = rows_of(hi_array, "hi");
    if (lo.size() != hi.size()) throw_new(PyExc_ValueError, "lo and hi must have the same shape");
    std::vector<Box> boxes(lo.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        // The interval arithmetic assumes lo <= hi: an inverted box gets bounds
        // that hold no value at all.
        for (int a = 0; a < 3; ++a)
            if (lo[i][a] > hi[i][a])
                throw_new(PyExc_ValueError, "box " + std::to_string(i) + " is inverted: lo[" + std::to_string(i) +
                                                "] exceeds hi[" + std::to_string(i) + "] along axis " +
                                                std::to_string(a));
        boxes[i] = {lo[i], hi[i]};
    }
    std::vector<Interval> bounds(boxes.size());
    without_lock([&] { program.eval_bounds(boxes, bounds); });
    const auto n = static_cast<npy_intp>(boxes.size());
    PyRef lower = new_array(1, n), upper = new_array(1, n);
    auto* l = static_cast<double*>(PyArray_DATA(as_array(lower)));
    auto* u = static_cast<double*>(PyArray_DATA(as_array(upper)));
    for (std::size_t i = 0; i < bounds.size(); ++i) l[i] = bounds[i].lo, u[i] = bounds[i].hi;
    return created(PyTuple_Pack(2, lower.get(), upper.get()));
}

const EngineFunctions kProgramFunctions{
    {"opcodes", as_cfunction<opcodes_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "opcodes()\n--\n\nThe names of the program opcodes, in the order of their numbers."},
    {"program", as_cfunction<program_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "program(code, constants, externals=())\n--\n\n"
     "A program from its tape: code (N, 5) integers (opcode, a, b, c, immediate), constants\n"
     "float64, and the callables that its calls name, each called as fn(points (N, 3), gradients)\n"
     "and returning (values (N,), gradients (N, 3) or None). Checked when built: ValueError names\n"
     "the first instruction that breaks a rule."},
    {"program_eval", as_cfunction<program_eval_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "program_eval(program, points, gradients=True)\n--\n\n"
     "(values (N,), gradients (N, 3) or None) of the program at (N, 3) points; each external\n"
     "function is called once, on this thread, with all of its points."},
    {"program_bounds", as_cfunction<program_bounds_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "program_bounds(program, lo, hi)\n--\n\n"
     "(lower (N,), upper (N,)): bounds on the program's values over the boxes lo[i] to hi[i];\n"
     "NaN where some point may give NaN. ValueError for a box with lo above hi on some axis."},
};

}  // namespace

}  // namespace quarvel::py
