#include "octree/corner_cache.hpp"

#include <new>

#include "core/fault.hpp"

namespace quarvel {

void CornerCache::reserve(std::size_t expected) {
    values_.reserve(expected);
    if (keep_gradients_) {
        gradients_.reserve(expected);
        has_gradient_.reserve(expected);
    }
}

std::optional<CornerSample> CornerCache::find(const CornerKey& key) const {
    const std::uint32_t i = index_of(key);
    if (i == NONE) return std::nullopt;
    CornerSample sample{values_[i], std::nullopt};
    if (const Vec3* g = gradient(i)) sample.gradient = *g;
    return sample;
}

void CornerCache::start_with_lattice(std::uint32_t side, unsigned shift) {
    if (!empty()) fault("a first lattice must come first");
    if (static_cast<double>(side) * side * side >= NONE) throw std::bad_alloc();
    lattice_side_ = side;
    lattice_shift_ = shift;
    lattice_mask_ = static_cast<std::uint32_t>((std::uint64_t{1} << shift) - 1);
}

std::uint32_t CornerCache::find_or_claim(const CornerKey& key) {
    const auto fresh = static_cast<std::uint32_t>(values_.size());
    const std::uint32_t on_lattice = lattice_index(key);
    if (on_lattice != NONE) {
        if (on_lattice < fresh) return on_lattice;
        if (on_lattice > fresh) fault("first lattice claimed out of order");
        return NONE;
    }
    const CornerKey brick = brick_of(key);
    if (last_brick_index_ == NONE || !(brick == last_brick_)) {
        const auto next = static_cast<std::uint32_t>(slots_.size());
        last_brick_index_ = bricks_.find_or_insert(brick, next);
        last_brick_ = brick;
        if (last_brick_index_ == next) slots_.emplace_back().fill(NONE);
    }
    std::uint32_t& slot = slots_[last_brick_index_][slot_in_brick(key)];
    if (slot != NONE) return slot;
    slot = fresh;
    return NONE;
}

void CornerCache::push_sample(double value, const Vec3* gradient) {
    values_.push_back(value);
    if (!keep_gradients_) return;
    gradients_.push_back(gradient ? *gradient : Vec3{});
    has_gradient_.push_back(gradient != nullptr);
}

void CornerCache::insert_or_assign(const CornerKey& key, const CornerSample& sample) {
    const Vec3* g = sample.gradient ? &*sample.gradient : nullptr;
    const std::uint32_t present = find_or_claim(key);
    if (present == NONE)
        push_sample(sample.value, g);
    else
        fill(present, sample.value, g);
}

std::uint32_t CornerCache::claim(const CornerKey& key) {
    if (find_or_claim(key) != NONE) return NONE;
    push_sample(0.0, nullptr);
    return static_cast<std::uint32_t>(values_.size() - 1);
}

void CornerCache::fill(std::uint32_t index, double value, const Vec3* gradient) {
    values_[index] = value;
    if (!keep_gradients_) return;
    gradients_[index] = gradient ? *gradient : Vec3{};
    has_gradient_[index] = gradient != nullptr;
}

void CornerCache::withdraw(std::uint32_t first, std::span<const CornerKey> keys) {
    for (const CornerKey& key : keys) {
        if (lattice_index(key) != NONE) continue;  // unclaimed by shrinking the samples
        const std::uint32_t* brick = bricks_.find(brick_of(key));
        if (brick) slots_[*brick][slot_in_brick(key)] = NONE;
    }
    values_.resize(first);
    if (keep_gradients_) {
        gradients_.resize(first);
        has_gradient_.resize(first);
    }
}

void CornerCache::forget_gradients() {
    keep_gradients_ = false;
    std::vector<Vec3>().swap(gradients_);
    std::vector<std::uint8_t>().swap(has_gradient_);
}

}  // namespace quarvel
