// The Python side of the evaluator: one call of the caller's callable per
// batch, on an (N, 3) float64 array, its results copied into owned arrays.
// Must run on the interpreter thread with the interpreter lock held.
#pragma once

#include <Python.h>

#include "eval/evaluator.hpp"

namespace quarvel::py {

class EvalBridge final : public Evaluator {
public:
    explicit EvalBridge(PyObject* eval_fn) : eval_fn_(eval_fn) {}  // borrowed for the call
    BatchResult eval_batch(std::span<const Vec3> points) override;
    void eval_batch_in_place(std::size_t n, const FillPoints& fill, const ReadBatch& read) override;
    // Runs pending signal handlers; a KeyboardInterrupt ends the call.
    void poll() override;

private:
    PyObject* eval_fn_;
};

}  // namespace quarvel::py
