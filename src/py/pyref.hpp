// Owned references to interpreter objects. Ownership is stated where a
// reference enters: PyRef::steal for a new reference, PyRef::borrow to take one.
#pragma once

#include <Python.h>

#include <cassert>
#include <utility>

#include "py/compat.hpp"

namespace quarvel::py {

class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    static PyRef borrow(PyObject* obj) noexcept {
        assert_gil();
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyRef(const PyRef& other) noexcept : obj_(other.obj_) {
        assert_gil();
        Py_XINCREF(obj_);
    }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~PyRef() {
        if (obj_) {
            assert_gil();
            Py_DECREF(obj_);
        }
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    static void assert_gil() noexcept { assert(PyGILState_Check()); }

    PyObject* obj_ = nullptr;
};

}  // namespace quarvel::py
