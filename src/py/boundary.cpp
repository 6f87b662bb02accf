#include "py/boundary.hpp"

#include <cstdio>
#include <new>
#include <string>

#include "core/fault.hpp"
#include "py/python_error.hpp"

namespace quarvel::py {

namespace {

thread_local const char* t_module_name = nullptr;

void report_fault(const Fault& f) {
    const std::source_location& at = f.where();
    std::fprintf(stderr, "%s: internal fault at %s:%u:%u (%s): %s\n", module_name(), at.file_name(),
                 static_cast<unsigned>(at.line()), static_cast<unsigned>(at.column()),
                 at.function_name(), f.message().c_str());
    std::fflush(stderr);
}

void raise_panic(const std::string& message) {
    PyObject* type = nullptr;
    try {
        type = panic_exception_type();
    } catch (const Fault&) {
        type = PyExc_SystemError;  // the class could not be created (its error was printed)
    } catch (PythonError& error) {
        error.restore();  // no memory left to create the class: the MemoryError it is
        return;
    }
    PyErr_SetString(type, message.c_str());
}

}  // namespace

const char* module_name() { return t_module_name ? t_module_name : "quarvel._engine"; }

namespace detail {

CurrentModule::CurrentModule(PyObject* module) noexcept : outer_(t_module_name) {
    PyModuleDef* def = module && PyModule_Check(module) ? PyModule_GetDef(module) : nullptr;
    t_module_name = def ? def->m_name : t_module_name;
}

CurrentModule::~CurrentModule() { t_module_name = outer_; }

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (PythonError& error) {
        error.restore();
    } catch (const InvalidField& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const Fault& f) {
        report_fault(f);
        raise_panic(f.message());
    } catch (const std::bad_alloc&) {
        const std::string message =
            std::string(module_name()) + " could not allocate memory (the batch or octree is too large)";
        PyErr_SetString(PyExc_MemoryError, message.c_str());
    } catch (const std::exception& e) {
        report_fault(Fault(e.what()));
        raise_panic(e.what());
    } catch (...) {
        report_fault(Fault("unknown internal fault"));
        raise_panic("unknown internal fault");
    }
}

}  // namespace detail

}  // namespace quarvel::py
