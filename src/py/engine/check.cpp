// check_mesh(): the heavy part of Mesh.check, run without the interpreter lock.
#include <Python.h>

#include <cstring>

#include "dc/mesh_check.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/engine/functions.hpp"
#include "py/lock.hpp"
#include "py/numpy_api.hpp"
#include "py/results.hpp"

namespace quarvel::py {

namespace {

constexpr const char* kParams[] = {"vertices", "triangles"};
constexpr Signature kCheck{"check_mesh", kParams, 2};

// `obj` as a C-contiguous (rows, 3) array of `type`, copied out.
template <class Row>
std::vector<Row> rows_of_three(PyObject* obj, int type, const char* name) {
    PyRef array = PyRef::steal(PyArray_FROMANY(obj, type, 2, 2, NPY_ARRAY_IN_ARRAY));
    if (!array) throw_pending();
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_DIM(a, 1) != 3) throw_new(PyExc_ValueError, std::string(name) + " must have shape (n, 3)");
    std::vector<Row> rows(static_cast<std::size_t>(PyArray_DIM(a, 0)));
    static_assert(sizeof(Row) == 24);
    if (!rows.empty()) std::memcpy(rows.data(), PyArray_DATA(a), rows.size() * sizeof(Row));
    return rows;
}

PyRef check_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kCheck, argv, nargs, kwnames);
    ensure_numpy();
    const std::vector<Vec3> vertices = rows_of_three<Vec3>(args[0], NPY_FLOAT64, "vertices");
    const std::vector<Triangle> triangles = rows_of_three<Triangle>(args[1], NPY_INT64, "triangles");
    // Read as int64: a negative index shows up as a huge unsigned one.
    for (const Triangle& t : triangles)
        for (std::uint64_t v : t)
            if (v >= vertices.size())
                throw_new(PyExc_ValueError, "triangle indices must lie in [0, " +
                                                std::to_string(vertices.size()) + ")");
    MeshCheck found;
    {
        ReleasedLock released;
        found = check_mesh(vertices, triangles);
    }
    PyRef out = created(PyDict_New());
    set_item(out.get(), "degenerate_triangles", count(found.degenerate_triangles));
    set_item(out.get(), "boundary_edges", count(found.boundary_edges));
    set_item(out.get(), "nonmanifold_edges", count(found.nonmanifold_edges));
    set_item(out.get(), "misoriented_edges", count(found.misoriented_edges));
    set_item(out.get(), "nonmanifold_vertices", count(found.nonmanifold_vertices));
    npy_intp dims[2] = {static_cast<npy_intp>(found.intersecting.size()), 2};
    PyRef pairs = created(PyArray_SimpleNew(2, dims, NPY_INT64));
    if (!found.intersecting.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(pairs.get())), found.intersecting.data(),
                    found.intersecting.size() * sizeof(TrianglePair));
    set_item(out.get(), "intersecting", std::move(pairs));
    return out;
}

const EngineFunctions kCheckFunctions{
    {"check_mesh", as_cfunction<check_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "check_mesh(vertices, triangles)\n--\n\n"
     "Counts of degenerate triangles, boundary, non-manifold and misoriented edges and "
     "non-manifold vertices, and the (K, 2) crossing triangle pairs. Private: call Mesh.check."},
};

}  // namespace

}  // namespace quarvel::py
