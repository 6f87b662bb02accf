// The Python side of the evaluator: one call of the caller's callable per
// batch, on an (N, 3) float64 array, its results copied into owned arrays.
// Runs on the interpreter thread; with the lock held throughout, or, given the
// call's ReleasedLock, taking the lock for each field call, progress call and
// signal check, and copying points and results without it.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

#include "eval/evaluator.hpp"
#include "py/lock.hpp"

namespace quarvel::py {

struct BridgeOptions {
    ReleasedLock* released = nullptr;  // the call's released lock, when it runs without it
    PyObject* progress = nullptr;      // borrowed: called (stage, done, total), or null
};

class EvalBridge final : public Evaluator {
public:
    explicit EvalBridge(PyObject* eval_fn, BridgeOptions options = {})  // eval_fn borrowed for the call
        : eval_fn_(eval_fn), options_(options) {}
    BatchResult eval_batch(std::span<const Vec3> points) override;
    void eval_batch_in_place(std::size_t n, const FillPoints& fill, const ReadBatch& read) override;
    // Runs pending signal handlers; a KeyboardInterrupt ends the call.
    void poll() override;
    // Calls the progress callable with the stage's name, at a stage's start and
    // end and at most every 0.1 s between, after running pending signal handlers.
    void report(Stage stage, std::uint64_t done, std::uint64_t total) override;

    std::uint64_t calls() const noexcept { return calls_; }  // of the callable
    double field_seconds() const noexcept { return field_seconds_; }  // inside it

private:
    void check_signals();  // the lock held

    PyObject* eval_fn_;
    BridgeOptions options_;
    std::uint64_t calls_ = 0;
    double field_seconds_ = 0.0;
    int last_stage_ = -1;
    std::chrono::steady_clock::time_point last_report_{};
};

// The name a progress report gives `stage`: "sampling", "refining", ...
const char* stage_name(Stage stage);

}  // namespace quarvel::py
