// NumPy's C API for the translation units that create or read arrays. The
// table is looked up once per process, on first use.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL quarvel_ARRAY_API
#ifndef QUARVEL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quarvel::py {

// Makes the NumPy table available; faults with "Failed to access NumPy array
// API capsule: ..." when NumPy cannot be imported.
void ensure_numpy();

}  // namespace quarvel::py
