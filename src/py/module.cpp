// The module _quarvel_rs: initialisation, the function table, and the five
// functions; py/boundary.hpp turns their C++ errors into interpreter exceptions.
#include <Python.h>

#include <atomic>
#include <string>

#include "core/heap.hpp"
#include "pipeline/mesh_field.hpp"
#include "eval/sampler.hpp"
#include "octree/build.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/bridge.hpp"
#include "py/monitor.hpp"
#include "py/python_error.hpp"
#include "py/results.hpp"

namespace quarvel::py {

namespace {

// ---------------------------------------------------------------- signatures

constexpr const char* kExtractParams[] = {"eval_fn",   "bbox_min",  "bbox_max",
                                          "min_depth", "max_depth", "angle_threshold_deg",
                                          "iso_value", "adaptive"};
constexpr const char* kUniformParams[] = {"eval_fn", "bbox_min", "bbox_max", "depth", "iso_value"};
constexpr const char* kAdaptiveParams[] = {"eval_fn",   "bbox_min",  "bbox_max",
                                           "min_depth", "max_depth", "iso_value"};
constexpr const char* kBatchParams[] = {"eval_fn", "points"};
constexpr const char* kFdParams[] = {"eval_fn", "points", "step"};

constexpr Signature kExtract{"extract_mesh", kExtractParams, 3};
constexpr Signature kUniform{"build_octree_uniform", kUniformParams, 4};
constexpr Signature kAdaptive{"build_octree_adaptive", kAdaptiveParams, 5};
constexpr Signature kBatch{"test_batch_eval", kBatchParams, 2};
constexpr Signature kFd{"test_fd_gradients", kFdParams, 2};

// ---------------------------------------------------------------- functions

PyRef extract_mesh_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kExtract, argv, nargs, kwnames);
    FieldAndBox fb = convert_field_and_box(kExtract, args);
    const std::uint32_t min_depth = convert_or(kExtract, args, 3, to_u32, std::uint32_t{3});
    const std::uint32_t max_depth = convert_or(kExtract, args, 4, to_u32, std::uint32_t{7});
    const double angle = convert_or(kExtract, args, 5, to_float, kDefaultAngleDeg);
    const double iso = convert_or(kExtract, args, 6, to_float, 0.0);
    const bool adaptive = convert_or(kExtract, args, 7, to_bool, false);
    check_depths("max_depth", min_depth, max_depth);

    EvalBridge field(fb.eval_fn.get());
    // Signals are checked between phases only, the lock held throughout.
    PyMonitor monitor({});
    const HeapKept kept(HeapKept::kBatchesMapped);
    const MeshRequest request = MeshRequest::engine({fb.bbox_min, fb.bbox_max}, static_cast<std::uint8_t>(min_depth),
                                                    static_cast<std::uint8_t>(max_depth), iso, angle, adaptive);
    TriangleMesh mesh = mesh_field(field, request, monitor).mesh;
    return mesh_arrays(std::move(mesh));
}

PyRef build_and_count(EvalBridge& field, const BuildParams& params) {
    const HeapKept kept(HeapKept::kBatchesMapped);
    PyMonitor monitor({});
    BuildResult built = build_octree(field, params, monitor);
    return octree_stats(statistics(built.tree), built.eval_count);
}

PyRef build_octree_uniform_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kUniform, argv, nargs, kwnames);
    FieldAndBox fb = convert_field_and_box(kUniform, args);
    const std::uint32_t depth = convert_arg(kUniform, 3, args[3], to_u32);
    const double iso = convert_or(kUniform, args, 4, to_float, 0.0);
    check_depths("depth", depth, depth);
    EvalBridge field(fb.eval_fn.get());
    const auto d = static_cast<std::uint8_t>(depth);
    return build_and_count(field, {fb.bbox_min, fb.bbox_max, d, d, iso, kDefaultAngleDeg, Finish::band});
}

PyRef build_octree_adaptive_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kAdaptive, argv, nargs, kwnames);
    FieldAndBox fb = convert_field_and_box(kAdaptive, args);
    const std::uint32_t min_depth = convert_arg(kAdaptive, 3, args[3], to_u32);
    const std::uint32_t max_depth = convert_arg(kAdaptive, 4, args[4], to_u32);
    const double iso = convert_or(kAdaptive, args, 5, to_float, 0.0);
    check_depths("max_depth", min_depth, max_depth);
    EvalBridge field(fb.eval_fn.get());
    return build_and_count(field, {fb.bbox_min, fb.bbox_max, static_cast<std::uint8_t>(min_depth),
                                   static_cast<std::uint8_t>(max_depth), iso, kDefaultAngleDeg, Finish::band});
}

PyRef test_batch_eval_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kBatch, argv, nargs, kwnames);
    PyRef eval_fn = PyRef::borrow(args[0]);
    const std::vector<Vec3> points = convert_arg(kBatch, 1, args[1], to_point_list);
    EvalBridge field(eval_fn.get());
    return batch_eval_result(field.eval_batch(points));
}

PyRef test_fd_gradients_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kFd, argv, nargs, kwnames);
    PyRef eval_fn = PyRef::borrow(args[0]);
    const std::vector<Vec3> points = convert_arg(kFd, 1, args[1], to_point_list);
    const double step = convert_or(kFd, args, 2, to_float, 1e-5);
    EvalBridge field(eval_fn.get());
    return gradient_list(fd_gradients(field, points, step));
}

// ---------------------------------------------------------------- the module

PyMethodDef g_functions[] = {
    {"extract_mesh", as_cfunction<extract_mesh_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "extract_mesh(eval_fn, bbox_min, bbox_max, min_depth=3, max_depth=7, "
     "angle_threshold_deg=30.0, iso_value=0.0, adaptive=False)\n--\n\n"
     "Isosurface extraction entry point.\n\n"
     "Builds an adaptive octree, runs Dual Contouring, and returns a triangle mesh."},
    {"build_octree_uniform", as_cfunction<build_octree_uniform_impl>(),
     METH_FASTCALL | METH_KEYWORDS,
     "build_octree_uniform(eval_fn, bbox_min, bbox_max, depth, iso_value=0.0)\n--\n\n"
     "Build a uniform octree and return statistics."},
    {"build_octree_adaptive", as_cfunction<build_octree_adaptive_impl>(),
     METH_FASTCALL | METH_KEYWORDS,
     "build_octree_adaptive(eval_fn, bbox_min, bbox_max, min_depth, max_depth, "
     "iso_value=0.0)\n--\n\n"
     "Build an adaptive octree and return statistics."},
    {"test_batch_eval", as_cfunction<test_batch_eval_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "test_batch_eval(eval_fn, points)\n--\n\n"
     "Test function to verify the batch evaluation bridge works."},
    {"test_fd_gradients", as_cfunction<test_fd_gradients_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "test_fd_gradients(eval_fn, points, step=1e-5)\n--\n\n"
     "Test function for finite-difference gradient estimation."},
};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "_quarvel_rs", "", 0, nullptr,
                            nullptr,              nullptr,       nullptr, nullptr};

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // set once, kept for the life of the process

// A new reference, or the pending error thrown as it stands (import errors are
// raised as they are, not as internal faults).
PyRef must(PyObject* obj) {
    if (!obj) throw_pending();
    return PyRef::steal(obj);
}

void append_to_all(PyObject* module, PyObject* name) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = must(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
    }
    if (PyList_Append(all.get(), name) < 0) throw_pending();
}

void populate(PyObject* module) {
    PyRef module_name = must(PyModule_GetNameObject(module));
    for (PyMethodDef& def : g_functions) {
        PyRef function = must(PyCMethod_New(&def, module, module_name.get(), nullptr));
        PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) throw_pending();
        append_to_all(module, name.get());
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw_pending();
    }
    // Reachable by name so callers can catch it; not part of __all__.
    if (PyModule_AddObjectRef(module, "PanicException", panic_exception_type()) < 0)
        throw_pending();
}

PyObject* init_module() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError,
                        "_quarvel_rs does not yet support subinterpreters: modules built on its "
                        "binding layer can only be imported once per process; see "
                        "https://github.com/quarvel/quarvel/issues/1");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    return guarded([] {
        PyRef module = must(PyModule_Create2(&g_module_def, 1013));
        populate(module.get());
        g_module = Py_NewRef(module.get());
        return module;
    });
}

}  // namespace

}  // namespace quarvel::py

PyMODINIT_FUNC PyInit__quarvel_rs(void) { return quarvel::py::init_module(); }
