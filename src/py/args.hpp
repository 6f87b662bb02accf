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
    std::array<PyObject*, 8> slots{};
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
