// Argument binding for METH_FASTCALL | METH_KEYWORDS functions, and the
// conversion kinds of the module's parameters. Every failure is thrown as a
// PythonError carrying the interpreter exception the caller will see.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "eval/evaluator.hpp"
#include "py/pyref.hpp"
#include "py/python_error.hpp"

namespace quarvel::py {

struct Signature {
    const char* name;                     // function name, for messages
    std::span<const char* const> params;  // all positional-or-keyword
    std::size_t required;                 // the first `required` have no default
};

// Borrowed argument per parameter, nullptr where absent.
struct BoundArgs {
    std::array<PyObject*, 24> slots{};
    PyObject* operator[](std::size_t i) const { return slots[i]; }
};

BoundArgs bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

// Converts argument `index` of `sig` with `convert`; a TypeError becomes
// "argument '{parameter}': {message}" keeping the original's cause.
template <class Convert>
auto convert_arg(const Signature& sig, std::size_t index, PyObject* obj, Convert&& convert)
    -> decltype(convert(obj));

Vec3 to_point_triple(PyObject* obj);
std::vector<Vec3> to_point_list(PyObject* obj);
double to_float(PyObject* obj);
std::uint32_t to_u32(PyObject* obj);
bool to_bool(PyObject* obj);

// Re-raises the pending exception, prefixing a TypeError with the parameter name.
[[noreturn]] void rethrow_for_parameter(const char* parameter);

// A parameter's converted value, or `fallback` when the argument is absent.
template <class Convert, class T>
T convert_or(const Signature& sig, const BoundArgs& args, std::size_t i, Convert convert,
             T fallback) {
    return args[i] ? convert_arg(sig, i, args[i], convert) : fallback;
}

// The lattice needs min_depth <= max_depth <= 31: ValueError otherwise, naming
// the deeper parameter `max_name`.
void check_depths(const char* max_name, std::uint32_t min_depth, std::uint32_t max_depth);

// The field (arguments 0) and the box (arguments 1 and 2) of a meshing call.
struct FieldAndBox {
    PyRef eval_fn;
    Vec3 bbox_min, bbox_max;
};
FieldAndBox convert_field_and_box(const Signature& sig, const BoundArgs& args);

template <class Convert>
auto convert_arg(const Signature& sig, std::size_t index, PyObject* obj, Convert&& convert)
    -> decltype(convert(obj)) {
    try {
        return convert(obj);
    } catch (PythonError& error) {
        error.restore();
        rethrow_for_parameter(sig.params[index]);
    }
}

}  // namespace quarvel::py
