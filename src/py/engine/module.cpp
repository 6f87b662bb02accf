// The module quarvel._engine, the package's own front door to the core: its
// initialisation and function table. The functions live in the feature files
// beside this one (see functions.hpp); their errors become interpreter
// exceptions through py/boundary.hpp, as in _quarvel_rs.
#include <Python.h>

#include <algorithm>
#include <cstring>

#include "py/boundary.hpp"
#include "py/engine/functions.hpp"
#include "py/python_error.hpp"

namespace quarvel::py {

namespace {

// Outlives static initialisation order: the registry is made on first use.
std::vector<PyMethodDef>& registry() {
    static std::vector<PyMethodDef> functions;
    return functions;
}

// Internal faults raise the one PanicException class of both modules, so
// that callers catch, and pickle, a single class.
int adopt_panic_class() {
    PyRef runtime = PyRef::steal(PyImport_ImportModule("quarvel_runtime"));
    if (!runtime) return -1;
    PyRef panic = PyRef::steal(PyObject_GetAttrString(runtime.get(), "PanicException"));
    if (!panic) return -1;
    adopt_panic_exception_type(panic.get());
    return 0;
}

int exec_module(PyObject* module) {
    if (adopt_panic_class() < 0) return -1;
    // The table must outlive the module: the function objects point into it.
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> t = engine_functions();
        t.push_back({nullptr, nullptr, 0, nullptr});
        return t;
    }();
    return PyModule_AddFunctions(module, table.data());
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The worker pool and the numpy table are per process. (The slot came in
    // 3.12; older interpreters have no way to say so.)
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT,
                            "quarvel._engine",
                            "The quarvel package's meshing pipeline (private: call quarvel.mesh).",
                            0,
                            nullptr,
                            g_slots,
                            nullptr,
                            nullptr,
                            nullptr};

}  // namespace

EngineFunctions::EngineFunctions(std::initializer_list<PyMethodDef> functions) {
    registry().insert(registry().end(), functions.begin(), functions.end());
}

std::vector<PyMethodDef> engine_functions() {
    std::vector<PyMethodDef> sorted = registry();
    std::sort(sorted.begin(), sorted.end(), [](const PyMethodDef& a, const PyMethodDef& b) {
        return std::strcmp(a.ml_name, b.ml_name) < 0;
    });
    return sorted;
}

}  // namespace quarvel::py

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&quarvel::py::g_module_def); }
