#include "py/results.hpp"

#include <cstring>

#include "py/numpy_api.hpp"
#include "py/python_error.hpp"

namespace quarvel::py {

namespace {

PyRef float_list(const double* values, std::size_t count) {
    PyRef list = created(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i)
        PyList_SET_ITEM(list.get(), i, created(PyFloat_FromDouble(values[i])).release());
    return list;
}

// A new C-contiguous (rows, 3) array of `type` holding a copy of `data`.
PyRef rows_of_three(int type, const void* data, std::size_t rows) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), 3};
    PyRef array = created(PyArray_SimpleNew(2, dims, type));
    if (rows > 0)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data,
                    rows * 3 * 8);
    return array;
}

}  // namespace

PyRef batch_eval_result(const BatchResult& batch) {
    PyRef values = float_list(batch.values.data(), batch.values.size());
    PyRef has_gradients = PyRef::borrow(batch.gradients ? Py_True : Py_False);
    PyRef count = created(PyLong_FromSize_t(batch.values.size()));
    return created(PyTuple_Pack(3, values.get(), has_gradients.get(), count.get()));
}

PyRef gradient_list(const std::vector<Vec3>& gradients) {
    PyRef list = created(PyList_New(static_cast<Py_ssize_t>(gradients.size())));
    for (std::size_t j = 0; j < gradients.size(); ++j)
        PyList_SET_ITEM(list.get(), j, float_list(gradients[j].data(), 3).release());
    return list;
}

PyRef octree_stats(const Statistics& s, std::uint64_t eval_count) {
    PyRef items[6] = {
        created(PyLong_FromUnsignedLongLong(s.leaf_count)),
        created(PyLong_FromUnsignedLongLong(s.internal_count)),
        created(PyLong_FromUnsignedLongLong(s.outside_count)),
        created(PyLong_FromUnsignedLongLong(s.inside_count)),
        created(PyLong_FromLong(s.max_leaf_depth)),
        created(PyLong_FromUnsignedLongLong(eval_count)),
    };
    return created(PyTuple_Pack(6, items[0].get(), items[1].get(), items[2].get(), items[3].get(),
                                items[4].get(), items[5].get()));
}

PyRef points_array(std::span<const Vec3> points) {
    ensure_numpy();
    return rows_of_three(NPY_FLOAT64, points.data(), points.size());
}

PyRef mesh_arrays(const TriangleMesh& mesh) {
    ensure_numpy();
    static_assert(sizeof(Vec3) == 3 * sizeof(double));
    static_assert(sizeof(mesh.triangles[0]) == 3 * sizeof(std::int64_t));
    // Indices are below 2^63, so the u64 bit patterns read unchanged as int64.
    PyRef vertices = rows_of_three(NPY_FLOAT64, mesh.vertices.data(), mesh.vertices.size());
    PyRef triangles = rows_of_three(NPY_INT64, mesh.triangles.data(), mesh.triangles.size());
    return created(PyTuple_Pack(2, vertices.get(), triangles.get()));
}

}  // namespace quarvel::py
