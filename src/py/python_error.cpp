#include "py/python_error.hpp"

#include <cstdio>

#include "py/boundary.hpp"

namespace quarvel::py {

namespace {

constexpr const char* kPanicDoc =
    "The exception raised when _quarvel_rs meets an internal fault.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it "
    "will typically propagate all the way through the stack and cause the Python "
    "interpreter to exit.";

// The message a PanicException was raised with (its first argument when a str).
std::string panic_message(PyObject* exc) {
    PyRef args = PyRef::steal(PyObject_GetAttrString(exc, "args"));
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0) {
        PyObject* first = PyTuple_GET_ITEM(args.get(), 0);
        if (PyUnicode_Check(first)) {
            if (const char* text = PyUnicode_AsUTF8(first)) return text;
        }
    }
    PyErr_Clear();
    PyRef text = PyRef::steal(PyObject_Str(exc));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) PyErr_Clear();
    return utf8 ? utf8 : "unknown internal fault";
}

PyObject* g_panic_type = nullptr;  // lives for the process, like the module

}  // namespace

void adopt_panic_exception_type(PyObject* type) {
    if (!g_panic_type) g_panic_type = Py_NewRef(type);
}

PyObject* panic_exception_type() {
    if (!g_panic_type) {
        g_panic_type = PyErr_NewExceptionWithDoc("quarvel_runtime.PanicException", kPanicDoc,
                                                 PyExc_BaseException, nullptr);
        if (!g_panic_type) api_failure();
    }
    return g_panic_type;
}

void throw_pending(std::source_location where) {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exc = PyRef::steal(PyErr_GetRaisedException());
    }
    // Only a class that exists can have been raised: looking it up never creates it.
    if (g_panic_type && PyErr_GivenExceptionMatches(exc.get(), g_panic_type)) {
        std::fprintf(stderr,
                     "%s: a PanicException was raised by the field callable; "
                     "resuming it as an internal fault\n",
                     module_name());
        std::fflush(stderr);
        PyErr_DisplayException(exc.get());
        throw Fault(panic_message(exc.get()), where);
    }
    throw PythonError(std::move(exc));
}

void throw_new(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw_pending();
}

void api_failure(std::source_location where) {
    // Running out of memory is the caller's condition, not a fault of ours.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_pending(where);
    if (PyErr_Occurred()) PyErr_Print();
    throw Fault("Python API call failed", where);
}

std::string type_qualname(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    return text;
}

}  // namespace quarvel::py
