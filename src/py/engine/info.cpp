// What the engine runs on: the size of its worker pool.
#include <Python.h>

#include "core/parallel.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/engine/functions.hpp"

namespace quarvel::py {

namespace {

constexpr Signature kThreadCount{"thread_count", {}, 0};

PyRef thread_count_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    bind_arguments(kThreadCount, argv, nargs, kwnames);
    return created(PyLong_FromSize_t(pool_thread_count()));
}

const EngineFunctions kInfoFunctions{
    {"thread_count", as_cfunction<thread_count_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "thread_count()\n--\n\nThreads of the worker pool, the caller's included."},
};

}  // namespace

}  // namespace quarvel::py
