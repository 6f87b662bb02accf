#include "eval/evaluator.hpp"

namespace quarvel {

GradientRows rows_of(std::span<const Vec3> gradients) {
    return {reinterpret_cast<const char*>(gradients.data()), sizeof(Vec3), sizeof(double),
            gradients.size()};
}

void Evaluator::eval_batch_in_place(std::size_t n, const FillPoints& fill, const ReadBatch& read) {
    if (n == 0) return;
    std::vector<Vec3> points(n);
    fill(points);
    const BatchResult result = eval_batch(points);
    BatchView view{result.values, std::nullopt};
    if (result.gradients) view.gradients = rows_of(*result.gradients);
    read(view);
}

}  // namespace quarvel
