#include "py/monitor.hpp"

#include "py/python_error.hpp"

namespace quarvel::py {

namespace {

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw_pending();
}

}  // namespace

bool handles_signals() {
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    if (!threading) throw_pending();
    PyRef main = PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) throw_pending();
    PyRef ident = PyRef::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) throw_pending();
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw_pending();
    return main_ident == PyThread_get_thread_ident();
}

PyMonitor::PyMonitor(MonitorOptions options) : Monitor(options.interval), options_(options) {}

const char* stage_name(Stage stage) {
    switch (stage) {
        case Stage::sampling: return "sampling";
        case Stage::refining: return "refining";
        case Stage::crossings: return "crossings";
        case Stage::vertices: return "vertices";
        case Stage::faces: return "faces";
    }
    return "unknown";
}

void PyMonitor::on_poll() {
    const LockHeld held(options_.released);
    check_signals();
}

void PyMonitor::on_report(Stage stage, std::uint64_t done, std::uint64_t total) {
    if (!options_.progress) return;
    // Often enough for a live display, rarely enough to cost nothing.
    constexpr auto kInterval = std::chrono::milliseconds(100);
    const auto now = std::chrono::steady_clock::now();
    const bool new_stage = static_cast<int>(stage) != last_stage_;
    if (!new_stage && done != total && now - last_report_ < kInterval) return;
    last_stage_ = static_cast<int>(stage);
    last_report_ = now;
    const LockHeld held(options_.released);
    check_signals();
    PyRef result = PyRef::steal(PyObject_CallFunction(options_.progress, "sKK", stage_name(stage),
                                                      static_cast<unsigned long long>(done),
                                                      static_cast<unsigned long long>(total)));
    if (!result) throw_pending();
}

}  // namespace quarvel::py
