#include "py/bridge.hpp"

#include <cstring>

#include "py/numpy_api.hpp"
#include "py/python_error.hpp"

namespace quarvel::py {

namespace {

// A new (N, 3) float64 array holding `points`, filled without the lock.
PyRef query_array(std::span<const Vec3> points, ReleasedLock* released) {
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
    if (!descr) api_failure();
    npy_intp dims[2] = {static_cast<npy_intp>(points.size()), 3};
    PyRef array = created(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr, 0,
                                               nullptr));
    void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
    const LockFree free(released);
    std::memcpy(data, points.data(), points.size() * sizeof(Vec3));
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

PyArrayObject* contiguous(PyArrayObject* values) {
    const int flags = PyArray_FLAGS(values);
    if (!(flags & NPY_ARRAY_C_CONTIGUOUS) && !(flags & NPY_ARRAY_F_CONTIGUOUS))
        throw_new(PyExc_TypeError, "The given array is not contiguous");
    return values;
}

// Copying needs no interpreter: the arrays are checked and referenced.
std::vector<double> copy_values(PyArrayObject* values) {
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

const char* stage_name(Stage stage) {
    switch (stage) {
        case Stage::sampling: return "sampling";
        case Stage::refining: return "refining";
        case Stage::crossings: return "crossings";
        case Stage::vertices: return "vertices";
        case Stage::faces: return "faces";
    }
    return "unknown";
}

void EvalBridge::check_signals() {
    if (PyErr_CheckSignals() < 0) throw_pending();
}

void EvalBridge::poll() {
    const LockHeld held(options_.released);
    check_signals();
}

void EvalBridge::report(Stage stage, std::uint64_t done, std::uint64_t total) {
    if (!options_.progress) return;
    // Often enough for a live display, rarely enough to cost nothing.
    constexpr auto kInterval = std::chrono::milliseconds(100);
    const auto now = std::chrono::steady_clock::now();
    const bool new_stage = static_cast<int>(stage) != last_stage_;
    if (!new_stage && done != total && now - last_report_ < kInterval) return;
    last_stage_ = static_cast<int>(stage);
    last_report_ = now;
    const LockHeld held(options_.released);
    check_signals();
    PyRef result = PyRef::steal(PyObject_CallFunction(options_.progress, "sKK", stage_name(stage),
                                                      static_cast<unsigned long long>(done),
                                                      static_cast<unsigned long long>(total)));
    if (!result) throw_pending();
}

BatchResult EvalBridge::eval_batch(std::span<const Vec3> points) {
    BatchResult out;
    if (points.empty()) return out;
    const LockHeld held(options_.released);
    check_signals();
    ensure_numpy();

    PyRef result;
    {
        PyRef args = created(PyTuple_Pack(1, query_array(points, options_.released).get()));
        const auto start = std::chrono::steady_clock::now();
        result = PyRef::steal(PyObject_Call(eval_fn_, args.get(), nullptr));
        field_seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++calls_;
    }
    if (!result) throw_pending();

    // Both items are fetched before either is examined.
    PyRef values = item(result.get(), 0);
    PyRef gradients = item(result.get(), 1);

    PyArrayObject* value_array = contiguous(as_float64_array(values.get(), 1));
    PyArrayObject* gradient_array =
        gradients.get() == Py_None ? nullptr : as_float64_array(gradients.get(), 2);
    const LockFree free(options_.released);
    out.values = copy_values(value_array);
    if (gradient_array) out.gradients = copy_gradients(gradient_array, points.size());
    return out;
}

}  // namespace quarvel::py
