// Programs as quarvel._engine hands them out: capsules around a checked Program.
#pragma once

#include <Python.h>

#include "eval/program.hpp"

namespace quarvel::py {

// The program `obj` holds, when it is one made by quarvel._engine.program;
// null otherwise. Borrowed: it lives as long as `obj`.
const Program* program_if_any(PyObject* obj);

}  // namespace quarvel::py
