#include "py/results.hpp"

#include <cstring>
#include <memory>

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

// A (rows, columns) array of `type` over the buffer of `rows`, which the
// array then owns through a capsule set as its base: no copy, and no second
// buffer at the end of a call whose result is the largest thing it made. Rows
// of one 8-byte column make a 1-D array.
template <class Row>
PyRef adopt_rows(int type, std::vector<Row>&& rows) {
    static_assert(sizeof(Row) % 8 == 0);
    constexpr npy_intp columns = sizeof(Row) / 8;
    const int ndim = columns == 1 ? 1 : 2;
    npy_intp dims[2] = {static_cast<npy_intp>(rows.size()), columns};
    if (rows.empty()) return created(PyArray_SimpleNew(ndim, dims, type));
    using Buffer = std::vector<Row>;
    auto owned = std::make_unique<Buffer>(std::move(rows));
    constexpr PyCapsule_Destructor release = [](PyObject* capsule) {
        delete static_cast<Buffer*>(PyCapsule_GetPointer(capsule, nullptr));
    };
    PyRef base = created(PyCapsule_New(owned.get(), nullptr, release));
    Buffer* buffer = owned.release();  // the capsule's now
    PyArray_Descr* descr = PyArray_DescrFromType(type);
    if (!descr) api_failure();
    PyRef array = created(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, dims, nullptr, buffer->data(),
                                               NPY_ARRAY_CARRAY, nullptr));
    // Takes the capsule's reference even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0)
        api_failure();
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

PyRef points_array(std::vector<Vec3>&& points) {
    ensure_numpy();
    return adopt_rows(NPY_FLOAT64, std::move(points));
}

PyRef mesh_arrays(TriangleMesh&& mesh) {
    ensure_numpy();
    // Indices are below 2^63, so the u64 bit patterns read unchanged as int64.
    PyRef vertices = adopt_rows(NPY_FLOAT64, std::move(mesh.vertices));
    PyRef triangles = adopt_rows(NPY_INT64, std::move(mesh.triangles));
    return created(PyTuple_Pack(2, vertices.get(), triangles.get()));
}

PyRef key_arrays(std::vector<VertexKey>&& keys, std::vector<std::uint64_t>&& triangle_pieces) {
    ensure_numpy();
    PyRef names = adopt_rows(NPY_UINT64, std::move(keys));
    PyRef pieces = adopt_rows(NPY_UINT64, std::move(triangle_pieces));
    return created(PyTuple_Pack(2, names.get(), pieces.get()));
}

void set_item(PyObject* dict, const char* key, PyRef value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) api_failure();
}

PyRef count(std::uint64_t n) { return created(PyLong_FromUnsignedLongLong(n)); }

PyRef simplify_stats(const SimplifyStats& stats) {
    PyRef out = created(PyDict_New());
    set_item(out.get(), "triangles_before", count(stats.triangles_before));
    set_item(out.get(), "collapses", count(stats.collapses));
    set_item(out.get(), "rounds", count(stats.rounds));
    set_item(out.get(), "held_vertices", count(stats.held_vertices));
    set_item(out.get(), "gave_up", PyRef::borrow(stats.gave_up ? Py_True : Py_False));
    return out;
}

}  // namespace quarvel::py
