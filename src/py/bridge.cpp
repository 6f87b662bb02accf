#include "py/bridge.hpp"

#include <cstring>

#include "py/numpy_api.hpp"
#include "py/python_error.hpp"

namespace quarvel::py {

namespace {

PyRef query_array(std::span<const Vec3> points) {
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
    if (!descr) api_failure();
    npy_intp dims[2] = {static_cast<npy_intp>(points.size()), 3};
    PyRef array = created(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr, 0,
                                               nullptr));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), points.data(),
                points.size() * sizeof(Vec3));
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

std::vector<double> copy_values(PyArrayObject* values) {
    const int flags = PyArray_FLAGS(values);
    if (!(flags & NPY_ARRAY_C_CONTIGUOUS) && !(flags & NPY_ARRAY_F_CONTIGUOUS))
        throw_new(PyExc_TypeError, "The given array is not contiguous");
    std::vector<double> out(static_cast<std::size_t>(PyArray_SIZE(values)));
    if (!out.empty()) std::memcpy(out.data(), PyArray_DATA(values), out.size() * sizeof(double));
    return out;
}

// Rows of any stride, negative ones included; columns past the third are ignored.
std::vector<Vec3> copy_gradients(PyArrayObject* grads, std::size_t expected) {
    const npy_intp rows = PyArray_DIM(grads, 0), cols = PyArray_DIM(grads, 1);
    const npy_intp row_step = PyArray_STRIDE(grads, 0), col_step = PyArray_STRIDE(grads, 1);
    const char* base = static_cast<const char*>(PyArray_DATA(grads));
    std::vector<Vec3> out;
    out.reserve(expected);
    for (npy_intp i = 0; i < rows; ++i) {
        if (cols < 3) fault("ndarray: index out of bounds");
        Vec3 g;
        for (int j = 0; j < 3; ++j)
            std::memcpy(&g[j], base + i * row_step + j * col_step, sizeof(double));
        out.push_back(g);
    }
    return out;
}

}  // namespace

void EvalBridge::poll() {
    if (PyErr_CheckSignals() < 0) throw_pending();
}

BatchResult EvalBridge::eval_batch(std::span<const Vec3> points) {
    BatchResult out;
    if (points.empty()) return out;
    poll();
    ensure_numpy();

    PyRef result;
    {
        PyRef args = created(PyTuple_Pack(1, query_array(points).get()));
        result = PyRef::steal(PyObject_Call(eval_fn_, args.get(), nullptr));
    }
    if (!result) throw_pending();

    // Both items are fetched before either is examined.
    PyRef values = item(result.get(), 0);
    PyRef gradients = item(result.get(), 1);

    out.values = copy_values(as_float64_array(values.get(), 1));
    if (gradients.get() != Py_None)
        out.gradients = copy_gradients(as_float64_array(gradients.get(), 2), points.size());
    return out;
}

}  // namespace quarvel::py
