// The Python side of the evaluator: one call of the caller's callable per
// batch, on an (N, 3) float64 array, its results copied into owned arrays.
// Runs on the interpreter thread; with the lock held throughout, or, given the
// call's ReleasedLock, taking the lock for each field call, and copying points
// and results without it. Pending signal handlers run before each call.
#pragma once

#include <Python.h>

#include <cstdint>

#include "eval/evaluator.hpp"
#include "py/lock.hpp"

namespace quarvel::py {

struct BridgeOptions {
    ReleasedLock* released = nullptr;  // the call's released lock, when it runs without it
};

class EvalBridge final : public Evaluator {
public:
    explicit EvalBridge(PyObject* eval_fn, BridgeOptions options = {})  // eval_fn borrowed for the call
        : eval_fn_(eval_fn), options_(options) {}
    BatchResult eval_batch(std::span<const Vec3> points) override;
    void eval_batch_in_place(std::size_t n, const FillPoints& fill, const ReadBatch& read) override;

    std::uint64_t calls() const noexcept { return calls_; }  // of the callable
    double field_seconds() const noexcept { return field_seconds_; }  // inside it

private:
    PyObject* eval_fn_;
    BridgeOptions options_;
    std::uint64_t calls_ = 0;
    double field_seconds_ = 0.0;
};

}  // namespace quarvel::py
