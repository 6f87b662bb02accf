// The function table of quarvel._engine, gathered from its feature files.
// Each feature file (one .cpp in this folder) adds its functions with one
// object at namespace scope, and no file lists another's:
//
//     const EngineFunctions kMeshFunctions{
//         {"extract", as_cfunction<extract_impl>(), METH_FASTCALL | METH_KEYWORDS, doc},
//     };
//
// The module adds every registered function when it is created, by name order.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <vector>

#include "mesh/summary.hpp"
#include "py/pyref.hpp"

namespace quarvel::py {

class EngineFunctions {
public:
    // Registers `functions` (run during the module library's static
    // initialisation, before the module is created).
    EngineFunctions(std::initializer_list<PyMethodDef> functions);
};

// A mesh's summary as the dict the package reads: area, volume, pieces, closed.
PyRef summary_dict(const MeshSummary& summary);

// Every registered function, sorted by name.
std::vector<PyMethodDef> engine_functions();

}  // namespace quarvel::py
