// The module boundary: the one place where C++ errors become interpreter
// exceptions. Both extension modules wrap every function body in guarded().
#pragma once

#include <Python.h>

#include <cassert>

#include "py/pyref.hpp"

namespace quarvel::py {

// The name of the module whose function this thread is running
// ("_quarvel_rs" or "quarvel._engine", which share one extension file), for
// diagnostics; outside a module function, the package's.
const char* module_name();

namespace detail {
// Names the module of the function running on this thread, for as long as it runs.
class CurrentModule {
public:
    explicit CurrentModule(PyObject* module) noexcept;
    ~CurrentModule();
    CurrentModule(const CurrentModule&) = delete;
    CurrentModule& operator=(const CurrentModule&) = delete;

private:
    const char* outer_;
};
}  // namespace detail

// Runs a function body; every C++ error leaves here as an interpreter
// exception (a Fault as PanicException after a diagnostic on stderr,
// InvalidField as ValueError, std::bad_alloc as MemoryError). Returns a new
// reference or null.
template <class Body>
PyObject* guarded(Body&& body) noexcept;

// The C entry of a METH_FASTCALL | METH_KEYWORDS function whose body is Impl.
using FastImpl = PyRef (*)(PyObject* const*, Py_ssize_t, PyObject*);
template <FastImpl Impl>
PyCFunction as_cfunction();

// ---------------------------------------------------------------- details

namespace detail {
// The error in flight (rethrown inside) as the pending interpreter exception.
void raise_current_exception() noexcept;
}  // namespace detail

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    PyObject* result = nullptr;
    try {
        result = body().release();
    } catch (...) {
        detail::raise_current_exception();
    }
    // The interpreter's rule for every C function: an exception set exactly when
    // there is no result.
    assert((PyErr_Occurred() == nullptr) ^ (result == nullptr));
    return result;
}

template <FastImpl Impl>
PyObject* fast_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const detail::CurrentModule named(module);
    return guarded([&] { return Impl(args, nargs, kwnames); });
}

template <FastImpl Impl>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
        static_cast<PyCFunctionFastWithKeywords>(fast_entry<Impl>)));
}

}  // namespace quarvel::py
