// The few interpreter APIs this code uses that came after Python 3.10, with
// fallbacks built from the older calls, so that one source builds for every
// supported version. On 3.12 and later the interpreter's own functions are used.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000

// The type's __name__ and __qualname__, as new references.
inline PyObject* PyType_GetName(PyTypeObject* type) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
}

inline PyObject* PyType_GetQualName(PyTypeObject* type) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
}

#endif

#if PY_VERSION_HEX < 0x030C0000

// The pending exception as one object (its type and traceback travel with it),
// the error indicator cleared; null when none is pending.
inline PyObject* PyErr_GetRaisedException() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Makes ``exc`` (a stolen reference, may be null) the pending exception.
inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}

// Prints ``exc`` (borrowed) with its traceback to sys.stderr.
inline void PyErr_DisplayException(PyObject* exc) {
    PyObject* traceback = PyException_GetTraceback(exc);
    PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, traceback);
    Py_XDECREF(traceback);
}

#endif

#if PY_VERSION_HEX < 0x030D0000
// Public since 3.13 under this name; the same type before it.
using PyCFunctionFastWithKeywords = _PyCFunctionFastWithKeywords;
#endif
