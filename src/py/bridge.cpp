#include "py/bridge.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "py/numpy_api.hpp"
#include "py/python_error.hpp"

namespace quarvel::py {

namespace {

// A new (n, 3) float64 array that owns its data, filled by `fill` without the lock.
PyRef query_array(std::size_t n, const FillPoints& fill, ReleasedLock* released) {
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
    if (!descr) api_failure();
    npy_intp dims[2] = {static_cast<npy_intp>(n), 3};
    PyRef array = created(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr, 0,
                                               nullptr));
    static_assert(sizeof(Vec3) == 3 * sizeof(double));
    Vec3* data = static_cast<Vec3*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    const LockFree free(released);
    fill({data, n});
    return array;
}

// r[index], by item access with an int key.
PyRef item(PyObject* result, long index) {
    PyRef key = created(PyLong_FromLong(index));
    PyObject* value = PyObject_GetItem(result, key.get());
    if (!value) throw_pending();
    return PyRef::steal(value);
}

// An ndarray (or subclass) of `ndim` dimensions whose dtype is equivalent to float64.
PyArrayObject* as_float64_array(PyObject* obj, int ndim) {
    bool ok = PyArray_Check(obj) &&
              PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == ndim;
    if (ok) {
        PyRef f64 = created(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64)));
        ok = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)),
                                reinterpret_cast<PyArray_Descr*>(f64.get()));
    }
    if (!ok)
        throw_new(PyExc_TypeError,
                  "'" + type_qualname(obj) + "' object cannot be converted to 'PyArray<T, D>'");
    return reinterpret_cast<PyArrayObject*>(obj);
}

// The values in place; they must be contiguous.
std::span<const double> values_of(PyArrayObject* values) {
    const int flags = PyArray_FLAGS(values);
    if (!(flags & NPY_ARRAY_C_CONTIGUOUS) && !(flags & NPY_ARRAY_F_CONTIGUOUS))
        throw_new(PyExc_TypeError, "The given array is not contiguous");
    return {static_cast<const double*>(PyArray_DATA(values)),
            static_cast<std::size_t>(PyArray_SIZE(values))};
}

// Rows of any stride, negative ones included; columns past the third are ignored.
GradientRows rows_of(PyArrayObject* grads) {
    const npy_intp rows = PyArray_DIM(grads, 0), cols = PyArray_DIM(grads, 1);
    if (rows > 0 && cols < 3) fault("ndarray: index out of bounds");
    return {static_cast<const char*>(PyArray_DATA(grads)), PyArray_STRIDE(grads, 0),
            PyArray_STRIDE(grads, 1), static_cast<std::size_t>(rows)};
}

}  // namespace

void EvalBridge::eval_batch_in_place(std::size_t n, const FillPoints& fill, const ReadBatch& read) {
    if (n == 0) return;
    const LockHeld held(options_.released);
    if (PyErr_CheckSignals() < 0) throw_pending();
    ensure_numpy();

    PyRef result;
    {
        PyRef args = created(PyTuple_Pack(1, query_array(n, fill, options_.released).get()));
        const auto start = std::chrono::steady_clock::now();
        result = PyRef::steal(PyObject_Call(eval_fn_, args.get(), nullptr));
        field_seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++calls_;
    }
    if (!result) throw_pending();

    // Both items are fetched before either is examined.
    PyRef values = item(result.get(), 0);
    PyRef gradients = item(result.get(), 1);

    BatchView view{values_of(as_float64_array(values.get(), 1)), std::nullopt};
    if (gradients.get() != Py_None) view.gradients = rows_of(as_float64_array(gradients.get(), 2));
    // Reading needs no interpreter: the arrays are checked and referenced.
    const LockFree free(options_.released);
    read(view);
}

BatchResult EvalBridge::eval_batch(std::span<const Vec3> points) {
    BatchResult out;
    const auto copy_points = [&](std::span<Vec3> query) {
        std::copy(points.begin(), points.end(), query.begin());
    };
    eval_batch_in_place(points.size(), copy_points, [&](const BatchView& view) {
        out.values.assign(view.values.begin(), view.values.end());
        if (!view.gradients) return;
        out.gradients.emplace();
        out.gradients->reserve(std::max(view.gradients->rows, points.size()));
        for (std::size_t i = 0; i < view.gradients->rows; ++i)
            out.gradients->push_back((*view.gradients)[i]);
    });
    return out;
}

}  // namespace quarvel::py
