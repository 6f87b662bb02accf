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

void PointStore::add_bricks(std::span<const LatticePoint> points) {
    for (const LatticePoint& p : points) {
        if (find(p) != NONE) continue;
        const auto id = static_cast<std::uint32_t>(bricks_.size());
        if (id % kChunk == 0) {
            chunks_.push_back(std::make_unique<Brick[]>(kChunk));
            value_chunks_.push_back(std::make_unique_for_overwrite<double[]>(kChunk * kBrickPoints));
        }
        Brick* brick = &chunks_.back()[id % kChunk];
        brick->values = &value_chunks_.back()[id % kChunk * kBrickPoints];
        const std::uint32_t bx = p.x >> kBrickShift, by = p.y >> kBrickShift, bz = p.z >> kBrickShift;
        brick->origin = {bx << kBrickShift, by << kBrickShift, bz << kBrickShift};
        bricks_.push_back(brick);
        if (dense_)
            dense_index_[(std::uint64_t{bz} * side_ + by) * side_ + bx] = id;
        else
            sparse_index_.insert_or_assign(LatticePoint{bx, by, bz}, id);
    }
}

}  // namespace quarvel
