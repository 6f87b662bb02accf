// The values sampled on the finest lattice, kept sparse outside and dense
// inside: the cube's lattice points are cut into bricks of 8x8x8 points, each
// point owned by the one brick that holds it with its lower faces inclusive,
// and a brick is made the first time one of its points is claimed. A point's
// value is then a few array reads: the brick's number from the index, the value
// from the brick.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/flat_map.hpp"

namespace quarvel {

// A point of the finest lattice, lattice units (0 .. 2^max_depth on each axis).
struct LatticePoint {
    std::uint32_t x = 0, y = 0, z = 0;
    bool operator==(const LatticePoint&) const = default;
    std::uint64_t hash_input() const noexcept {
        return (std::uint64_t{x} | (std::uint64_t{y} << 32)) ^ (std::uint64_t{z} * 0x9E3779B97F4A7C15ULL);
    }
};

inline constexpr unsigned kBrickShift = 3;
inline constexpr std::uint32_t kBrickSide = 1u << kBrickShift;  // points per brick edge
inline constexpr std::uint32_t kBrickPoints = kBrickSide * kBrickSide * kBrickSide;
inline constexpr unsigned kBrickWords = kBrickPoints / 64;

// A point's place within its brick, x fastest.
constexpr unsigned brick_slot(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    constexpr std::uint32_t m = kBrickSide - 1;
    return (x & m) | (y & m) << kBrickShift | (z & m) << (2 * kBrickShift);
}

struct Brick {
    // Points claimed for sampling: sampled, or in the batch being formed.
    // Set from many threads at once (atomically).
    std::array<std::uint64_t, kBrickWords> claimed{};
    std::array<std::uint64_t, kBrickWords> sampled{};
    // Finest cells whose minimum corner is the point: judged, or queued to be.
    std::array<std::uint64_t, kBrickWords> judged{};
    LatticePoint origin;           // the brick's first point
    std::uint8_t fresh_claims = 0;  // claimed points not yet sampled (set atomically)
    // kBrickPoints values, meaningful where sampled, else never read. Kept
    // apart from the bits above, so that a page of them is first touched
    // when a sample is stored there, on the pool, or never.
    double* values = nullptr;

    static bool test(const std::array<std::uint64_t, kBrickWords>& bits, unsigned slot) {
        return (bits[slot >> 6] >> (slot & 63)) & 1u;
    }
    // Sets the bit, atomically: whether it was clear. Any number of threads
    // may set bits of one brick at once.
    static bool set(std::array<std::uint64_t, kBrickWords>& bits, unsigned slot) {
        const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
        std::atomic_ref<std::uint64_t> word(bits[slot >> 6]);
        return !(word.load(std::memory_order_relaxed) & bit) && !(word.fetch_or(bit, std::memory_order_relaxed) & bit);
    }
};

class PointStore {
public:
    static constexpr std::uint32_t NONE = ~std::uint32_t{0};

    explicit PointStore(unsigned max_depth);

    // The number of the brick holding `p`, or NONE. Safe from many threads
    // while no brick is added.
    std::uint32_t find(const LatticePoint& p) const noexcept {
        const std::uint32_t bx = p.x >> kBrickShift, by = p.y >> kBrickShift, bz = p.z >> kBrickShift;
        if (dense_) return dense_index_[(std::uint64_t{bz} * side_ + by) * side_ + bx];
        const std::uint32_t* id = sparse_index_.find(LatticePoint{bx, by, bz});
        return id ? *id : NONE;
    }
    // Makes the bricks holding `points` that do not exist yet, numbered in
    // the order the points first need them. One call at a time.
    void add_bricks(std::span<const LatticePoint> points);

    // The brick holding `p`, which must exist.
    Brick& brick_at(const LatticePoint& p) noexcept { return *bricks_[find(p)]; }
    Brick& brick(std::uint32_t id) noexcept { return *bricks_[id]; }
    const Brick& brick(std::uint32_t id) const noexcept { return *bricks_[id]; }
    // The value at a point claimed and sampled.
    double value(const LatticePoint& p) const noexcept {
        return bricks_[find(p)]->values[brick_slot(p.x, p.y, p.z)];
    }

    std::size_t brick_count() const noexcept { return bricks_.size(); }

private:
    std::uint32_t side_ = 0;  // bricks per axis
    bool dense_ = false;      // an index entry per brick place, or a hash table for deep lattices
    std::vector<std::uint32_t> dense_index_;
    FlatMap<LatticePoint, std::uint32_t> sparse_index_;
    // Bricks are made in chunks: a few large blocks, handed back whole when
    // the store goes, serve the stages after sampling again.
    static constexpr std::size_t kChunk = 64;
    std::vector<std::unique_ptr<Brick[]>> chunks_;
    std::vector<std::unique_ptr<double[]>> value_chunks_;
    std::vector<Brick*> bricks_;
};

}  // namespace quarvel
