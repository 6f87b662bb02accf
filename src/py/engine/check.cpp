// check_mesh(): the heavy part of Mesh.check, run without the interpreter lock
// and stopped by Ctrl-C; measure_mesh(), check_topology() and
// mesh_components(): Mesh.area and Mesh.volume, Mesh.is_watertight and
// Mesh.components.
#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "mesh/pieces.hpp"
#include "mesh/check.hpp"
#include "mesh/measure.hpp"
#include "mesh/simplify.hpp"
#include "mesh/summary.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/engine/functions.hpp"
#include "py/lock.hpp"
#include "py/numpy_api.hpp"
#include "py/results.hpp"

namespace quarvel::py {

namespace {

constexpr const char* kParams[] = {"vertices", "triangles"};
constexpr const char* kCheckParams[] = {"vertices", "triangles", "max_pairs"};
constexpr Signature kCheck{"check_mesh", kCheckParams, 2};
constexpr Signature kMeasure{"measure_mesh", kParams, 2};
constexpr Signature kTopology{"check_topology", kParams, 2};
constexpr Signature kComponents{"mesh_components", kParams, 2};
constexpr Signature kSummary{"summarize_mesh", kParams, 2};
constexpr const char* kSimplifyParams[] = {"vertices", "triangles", "tolerance"};
constexpr Signature kSimplify{"simplify_mesh", kSimplifyParams, 3};

// `obj` as a C-contiguous (rows, 3) array of `type`: the caller's own array
// when it already is one, else a converted copy, kept alive with the view.
template <class Row>
struct RowsOfThree {
    PyRef array;
    std::span<const Row> rows;
};

template <class Row>
RowsOfThree<Row> rows_of_three(PyObject* obj, int type, const char* name) {
    PyRef array = PyRef::steal(PyArray_FROMANY(obj, type, 2, 2, NPY_ARRAY_IN_ARRAY));
    if (!array) throw_pending();
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_DIM(a, 1) != 3) throw_new(PyExc_ValueError, std::string(name) + " must have shape (n, 3)");
    static_assert(sizeof(Row) == 24);
    const std::span<const Row> rows(static_cast<const Row*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_DIM(a, 0)));
    return {std::move(array), rows};
}

// The mesh's rows, with every index checked. Read as int64, a negative index
// shows up as a huge unsigned one.
struct MeshRows {
    RowsOfThree<Vec3> vertices;
    RowsOfThree<Triangle> triangles;
};

MeshRows mesh_rows(const BoundArgs& args) {
    ensure_numpy();
    MeshRows mesh{rows_of_three<Vec3>(args[0], NPY_FLOAT64, "vertices"),
                  rows_of_three<Triangle>(args[1], NPY_INT64, "triangles")};
    const std::size_t n = mesh.vertices.rows.size();
    for (const Triangle& t : mesh.triangles.rows)
        for (std::uint64_t v : t)
            if (v >= n) throw_new(PyExc_ValueError, "triangle indices must lie in [0, " + std::to_string(n) + ")");
    return mesh;
}

PyRef counts(const MeshCheck& found) {
    PyRef out = created(PyDict_New());
    set_item(out.get(), "degenerate_triangles", count(found.degenerate_triangles));
    set_item(out.get(), "boundary_edges", count(found.boundary_edges));
    set_item(out.get(), "nonmanifold_edges", count(found.nonmanifold_edges));
    set_item(out.get(), "misoriented_edges", count(found.misoriented_edges));
    set_item(out.get(), "nonmanifold_vertices", count(found.nonmanifold_vertices));
    return out;
}

// How often the calling thread looks for signals while the check runs.
constexpr auto kSignalInterval = std::chrono::milliseconds(20);

// check_mesh on a thread of its own, while the calling thread, without the
// lock, runs pending signal handlers every kSignalInterval: an exception
// from one (KeyboardInterrupt) stops the check at its next look at `stop`
// and is raised here. The worker threads cannot run handlers: CPython runs
// them on the main thread only.
MeshCheck check_stopping_on_signals(const std::vector<Vec3>& vertices, const std::vector<Triangle>& triangles,
                                    CrossingSearch search) {
    std::atomic<bool> stop{false};
    search.stop = &stop;
    MeshCheck found;
    std::exception_ptr error;
    bool done = false, interrupted = false;
    std::mutex mutex;
    std::condition_variable finished;
    {
        ReleasedLock released;
        std::thread worker;
        try {
            worker = std::thread([&] {
                try {
                    found = check_mesh(vertices, triangles, search);
                } catch (...) {
                    error = std::current_exception();
                }
                const std::lock_guard lock(mutex);
                done = true;
                finished.notify_one();
            });
        } catch (const std::system_error&) {
            return check_mesh(vertices, triangles, search);  // no thread to spare: unstoppable, as before
        }
        std::unique_lock lock(mutex);
        while (!finished.wait_for(lock, kSignalInterval, [&] { return done; })) {
            if (interrupted) continue;
            lock.unlock();
            {
                const LockHeld held(&released);
                interrupted = PyErr_CheckSignals() < 0;
            }
            if (interrupted) stop = true;
            lock.lock();
        }
        lock.unlock();
        worker.join();
    }
    if (interrupted) throw_pending();
    if (error) std::rethrow_exception(error);
    return found;
}

// None or absent: every pair listed.
std::uint64_t listed_pairs(const BoundArgs& args) {
    if (!args[2] || args[2] == Py_None) return UINT64_MAX;
    const unsigned long long n = PyLong_AsUnsignedLongLong(args[2]);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_for_parameter("max_pairs");
    return n;
}

PyRef check_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kCheck, argv, nargs, kwnames);
    const MeshRows mesh = mesh_rows(args);
    const CrossingSearch search{.listed = listed_pairs(args), .bounded = true};
    // Copied: the check runs without the lock, while other threads may change the arrays.
    const std::vector<Vec3> vertices(mesh.vertices.rows.begin(), mesh.vertices.rows.end());
    const std::vector<Triangle> triangles(mesh.triangles.rows.begin(), mesh.triangles.rows.end());
    const MeshCheck found = check_stopping_on_signals(vertices, triangles, search);
    PyRef out = counts(found);
    set_item(out.get(), "nonfinite_vertices", count(found.nonfinite_vertices));
    npy_intp dims[2] = {static_cast<npy_intp>(found.intersecting.size()), 2};
    PyRef pairs = created(PyArray_SimpleNew(2, dims, NPY_INT64));
    if (!found.intersecting.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(pairs.get())), found.intersecting.data(),
                    found.intersecting.size() * sizeof(TrianglePair));
    set_item(out.get(), "intersecting", std::move(pairs));
    set_item(out.get(), "intersecting_count", count(found.intersecting_count));
    set_item(out.get(), "intersecting_complete", PyRef::borrow(found.intersecting_complete ? Py_True : Py_False));
    return out;
}

// In place and with the lock held: milliseconds, and no copy of the mesh.
PyRef measure_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const MeshRows mesh = mesh_rows(bind_arguments(kMeasure, argv, nargs, kwnames));
    const MeshMeasures m = measure_mesh(mesh.vertices.rows, mesh.triangles.rows);
    return created(Py_BuildValue("(dd)", m.area, m.volume));
}

// The next two in place and with the lock held, as measure_mesh: a fraction of a second.
PyRef topology_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const MeshRows mesh = mesh_rows(bind_arguments(kTopology, argv, nargs, kwnames));
    return counts(check_topology(mesh.triangles.rows, mesh.vertices.rows.size()));
}

PyRef components_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const MeshRows mesh = mesh_rows(bind_arguments(kComponents, argv, nargs, kwnames));
    const std::vector<std::uint64_t> labels = piece_labels(mesh.triangles.rows, mesh.vertices.rows.size());
    npy_intp n = static_cast<npy_intp>(labels.size());
    PyRef out = created(PyArray_SimpleNew(1, &n, NPY_INT64));
    if (!labels.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), labels.data(),
                    labels.size() * sizeof(std::uint64_t));
    return out;
}

// With the lock held, as measure_mesh: every figure of Mesh.summary in one call.
PyRef summary_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const MeshRows mesh = mesh_rows(bind_arguments(kSummary, argv, nargs, kwnames));
    return summary_dict(summarize_mesh(mesh.vertices.rows, mesh.triangles.rows));
}

// Copied, then without the lock: seconds on millions of triangles.
PyRef simplify_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kSimplify, argv, nargs, kwnames);
    const MeshRows rows = mesh_rows(args);
    const double tolerance = PyFloat_AsDouble(args[2]);
    if (tolerance == -1.0 && PyErr_Occurred()) rethrow_for_parameter("tolerance");
    if (!(tolerance >= 0.0 && tolerance < HUGE_VAL))
        throw_new(PyExc_ValueError, "tolerance must be a finite distance >= 0");
    TriangleMesh mesh;
    mesh.vertices.assign(rows.vertices.rows.begin(), rows.vertices.rows.end());
    mesh.triangles.assign(rows.triangles.rows.begin(), rows.triangles.rows.end());
    SimplifyStats stats;
    {
        const ReleasedLock released;
        stats = simplify_mesh(mesh, tolerance);
    }
    PyRef arrays = mesh_arrays(std::move(mesh));
    PyRef found = simplify_stats(stats);
    return created(PyTuple_Pack(3, PyTuple_GET_ITEM(arrays.get(), 0), PyTuple_GET_ITEM(arrays.get(), 1), found.get()));
}

const EngineFunctions kCheckFunctions{
    {"check_mesh", as_cfunction<check_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "check_mesh(vertices, triangles, max_pairs=None)\n--\n\n"
     "Counts of degenerate triangles, boundary, non-manifold and misoriented edges, non-manifold "
     "and non-finite vertices, the first max_pairs (K, 2) crossing triangle pairs, their count and "
     "whether it is complete. Private: call Mesh.check."},
    {"measure_mesh", as_cfunction<measure_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "measure_mesh(vertices, triangles)\n--\n\n"
     "(area, volume) of the mesh. Private: read Mesh.area and Mesh.volume."},
    {"check_topology", as_cfunction<topology_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "check_topology(vertices, triangles)\n--\n\n"
     "check_mesh's counts without the crossing pairs. Private: read Mesh.is_watertight."},
    {"summarize_mesh", as_cfunction<summary_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "summarize_mesh(vertices, triangles)\n--\n\n"
     "{'area', 'volume', 'pieces', 'closed'} of the mesh in one call. Private: read Mesh.summary."},
    {"simplify_mesh", as_cfunction<simplify_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "simplify_mesh(vertices, triangles, tolerance)\n--\n\n"
     "(vertices, triangles, stats): the mesh with edges collapsed while it stays within tolerance of "
     "the planes it replaces. Private: call Mesh.simplify."},
    {"mesh_components", as_cfunction<components_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "mesh_components(vertices, triangles)\n--\n\n"
     "Per triangle, its connected piece, numbered in order of first triangle. Private: call Mesh.components."},
};

}  // namespace

PyRef summary_dict(const MeshSummary& m) {
    PyRef summary = created(PyDict_New());
    set_item(summary.get(), "area", created(PyFloat_FromDouble(m.area)));
    set_item(summary.get(), "volume", created(PyFloat_FromDouble(m.volume)));
    set_item(summary.get(), "pieces", count(m.pieces));
    set_item(summary.get(), "closed", PyRef::borrow(m.closed ? Py_True : Py_False));
    return summary;
}

}  // namespace quarvel::py
