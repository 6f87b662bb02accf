#include "eval/evaluator.hpp"

#include <memory>

namespace quarvel {

GradientRows rows_of(std::span<const Vec3> gradients) {
    return {reinterpret_cast<const char*>(gradients.data()), sizeof(Vec3), sizeof(double),
            gradients.size()};
}

namespace {

// Room for n points, left uninitialised: fill() writes every one (on the
// pool, where a stage fills in parallel), so their pages are first touched
// there instead of zeroed on the calling thread.
struct PointBuffer {
    explicit PointBuffer(std::size_t n) : data(std::make_unique_for_overwrite<Vec3[]>(n)), size(n) {}
    std::span<Vec3> view() { return {data.get(), size}; }
    std::unique_ptr<Vec3[]> data;
    std::size_t size;
};

}  // namespace

void Evaluator::eval_batch_in_place(std::size_t n, const FillPoints& fill, const ReadBatch& read) {
    if (n == 0) return;
    PointBuffer buffer(n);
    const std::span<Vec3> points = buffer.view();
    fill(points);
    const BatchResult result = eval_batch(points);
    BatchView view{result.values, std::nullopt};
    if (result.gradients) view.gradients = rows_of(*result.gradients);
    read(view);
}

void Evaluator::eval_values_in_place(std::size_t n, const FillPoints& fill, const ReadValues& read) {
    eval_batch_in_place(n, fill, [&](const BatchView& batch) { read(batch.values); });
}

void Evaluator::values_by_copy(std::size_t n, const FillPoints& fill, const ReadValues& read) {
    if (n == 0) return;
    PointBuffer buffer(n);
    const std::span<Vec3> points = buffer.view();
    fill(points);
    read(eval_values(points));
}

}  // namespace quarvel
