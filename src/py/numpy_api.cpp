#define QUARVEL_NUMPY_API_OWNER
#include "py/numpy_api.hpp"

#include <string>

#include "py/python_error.hpp"

namespace quarvel::py {

void ensure_numpy() {
    if (PyArray_ImportNumPyAPI() == 0) return;
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    std::string reason = "unknown error";
    if (exc) {
        PyRef text = PyRef::steal(PyObject_Str(exc.get()));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8) reason = type_qualname(exc.get()) + ": " + utf8;
        PyErr_Clear();
    }
    fault("Failed to access NumPy array API capsule: " + reason);
}

}  // namespace quarvel::py
