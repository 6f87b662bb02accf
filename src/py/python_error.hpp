// How interpreter errors travel through the core: captured once as a C++
// exception carrying the exception object, restored unchanged at the module
// boundary.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>

#include "core/fault.hpp"
#include "py/pyref.hpp"

namespace quarvel::py {

// An interpreter exception in flight (the callable's, or an argument error).
class PythonError : public FieldError {
public:
    explicit PythonError(PyRef raised) : exception_(std::move(raised)) {}
    // Makes the exception the interpreter's pending one again.
    void restore() { PyErr_SetRaisedException(exception_.release()); }

private:
    PyRef exception_;
};

// Captures the pending exception and throws it. A PanicException coming back
// from the callable (a nested call that faulted) is resumed as our own fault.
[[noreturn]] void throw_pending(std::source_location where = std::source_location::current());

// Sets a new exception of `type` and throws it.
[[noreturn]] void throw_new(PyObject* type, const std::string& message);

// A failed object creation. A MemoryError travels on unchanged; any other
// pending exception is printed and cleared, and the call ends as the fault
// "Python API call failed".
[[noreturn]] void api_failure(std::source_location where = std::source_location::current());

// The new reference `obj`, or api_failure when creation failed.
inline PyRef created(PyObject* obj, std::source_location where = std::source_location::current()) {
    if (!obj) api_failure(where);
    return PyRef::steal(obj);
}

// The class of internal faults, quarvel_runtime.PanicException: created on
// first use by _quarvel_rs, whose module quarvel_runtime re-exports it.
PyObject* panic_exception_type();
// Makes `type` (that class, imported) the one this module raises, so that a
// fault of any module is caught and pickled as the same class. Kept for the
// life of the process; ignored once a class is set.
void adopt_panic_exception_type(PyObject* type);

// The qualified name of an object's type (for messages).
std::string type_qualname(PyObject* obj);

}  // namespace quarvel::py
