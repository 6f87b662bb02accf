#include "sample/point_store.hpp"

namespace quarvel {

namespace {

// An index entry per brick place up to this many places (16 MiB): depth 10
// and below. Deeper lattices find their bricks through a hash table.
constexpr std::uint64_t kDensePlaces = std::uint64_t{1} << 22;

}  // namespace

PointStore::PointStore(unsigned max_depth) {
    // Points 0 .. 2^max_depth per axis: the last one opens a brick of its own.
    side_ = static_cast<std::uint32_t>((std::uint64_t{1} << max_depth >> kBrickShift) + 1);
    const std::uint64_t places = std::uint64_t{side_} * side_ * side_;
    dense_ = places <= kDensePlaces;
    if (dense_) dense_index_.assign(places, NONE);
}

std::uint32_t PointStore::find_or_add(const LatticePoint& p) {
    const std::uint32_t found = find(p);
    if (found != NONE) return found;
    const auto id = static_cast<std::uint32_t>(bricks_.size());
    if (bricks_.size() % kChunk == 0) chunks_.push_back(std::make_unique<Brick[]>(kChunk));
    bricks_.push_back(&chunks_.back()[bricks_.size() % kChunk]);
    const std::uint32_t bx = p.x >> kBrickShift, by = p.y >> kBrickShift, bz = p.z >> kBrickShift;
    bricks_.back()->origin = {bx << kBrickShift, by << kBrickShift, bz << kBrickShift};
    if (dense_)
        dense_index_[(std::uint64_t{bz} * side_ + by) * side_ + bx] = id;
    else
        sparse_index_.insert_or_assign(LatticePoint{bx, by, bz}, id);
    return id;
}

}  // namespace quarvel
