// The corner samples of one build, by lattice key.
//
// A build's first batch is a whole regular lattice, claimed first and in
// order, so its keys need no index: a key's place in that order is its sample
// index. Every later key is found through bricks of 4x4x4 lattice points: a
// small hash table finds a brick, and the brick holds the sample index of each
// of its 64 points. A cell's corners and its children's lattice fall in one or
// two bricks, so the lookups of one cell touch a few cache lines instead of
// one per key in a table as large as the cache. Samples sit densely in
// key-claim order (values, and gradients while they are still read).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/flat_map.hpp"
#include "core/vec3.hpp"
#include "octree/keys.hpp"

namespace quarvel {

struct CornerSample {
    double value = 0.0;
    std::optional<Vec3> gradient;
};

class CornerCache {
public:
    static constexpr std::uint32_t NONE = ~std::uint32_t{0};

    CornerCache() = default;
    explicit CornerCache(std::size_t expected) { reserve(expected); }
    void reserve(std::size_t expected);
    // Declares the first keys to come, on an empty cache: the side^3 points
    // at stride 2^shift from the origin, claimed in z, y, x order (x fastest).
    void start_with_lattice(std::uint32_t side, unsigned shift);

    std::size_t size() const noexcept { return values_.size(); }
    bool empty() const noexcept { return values_.empty(); }
    bool contains(const CornerKey& key) const noexcept { return index_of(key) != NONE; }

    // The sample index of `key`, or NONE.
    std::uint32_t index_of(const CornerKey& key) const noexcept {
        const std::uint32_t on_lattice = lattice_index(key);
        if (on_lattice != NONE) return on_lattice < values_.size() ? on_lattice : NONE;
        const std::uint32_t* brick = bricks_.find(brick_of(key));
        return brick ? slots_[*brick][slot_in_brick(key)] : NONE;
    }
    double value(std::uint32_t index) const { return values_[index]; }
    // The gradient of a sample, or null when it has none or gradients are no longer kept.
    const Vec3* gradient(std::uint32_t index) const {
        return keep_gradients_ && has_gradient_[index] ? &gradients_[index] : nullptr;
    }
    std::optional<CornerSample> find(const CornerKey& key) const;

    // Inserts, or replaces the sample of a key already present.
    void insert_or_assign(const CornerKey& key, const CornerSample& sample);
    // Claims a slot for a key to be sampled later: its index when the key is
    // new (filled through fill()), else NONE. One lookup both tests
    // membership and reserves the place. Slots are numbered in claim order,
    // after every earlier sample.
    std::uint32_t claim(const CornerKey& key);
    void fill(std::uint32_t index, double value, const Vec3* gradient);
    // Takes back the newest claims: `keys` claimed slots first, first + 1, ...
    // up to the last sample. The cache is then as it was before them.
    void withdraw(std::uint32_t first, std::span<const CornerKey> keys);

    // Gradients are read only while levels are refined; afterwards they are
    // dropped and new samples keep none.
    void forget_gradients();

    // index_of for keys near each other (a cell's corners, its child lattice):
    // remembers the last brick it found. One per thread; the cache must not
    // change while it is used.
    class Nearby {
    public:
        explicit Nearby(const CornerCache& cache) : cache_(cache) {}
        std::uint32_t index_of(const CornerKey& key) noexcept {
            const std::uint32_t on_lattice = cache_.lattice_index(key);
            if (on_lattice != NONE) return on_lattice < cache_.values_.size() ? on_lattice : NONE;
            const CornerKey brick = brick_of(key);
            if (!(brick == brick_) || !known_) {
                const std::uint32_t* found = cache_.bricks_.find(brick);
                slots_ = found ? &cache_.slots_[*found] : nullptr;
                brick_ = brick;
                known_ = true;
            }
            return slots_ ? (*slots_)[slot_in_brick(key)] : NONE;
        }

    private:
        const CornerCache& cache_;
        CornerKey brick_{};
        bool known_ = false;
        const std::array<std::uint32_t, 64>* slots_ = nullptr;
    };

private:
    using Brick = std::array<std::uint32_t, 64>;

    static CornerKey brick_of(const CornerKey& k) noexcept { return {k.x >> 2, k.y >> 2, k.z >> 2}; }
    static unsigned slot_in_brick(const CornerKey& k) noexcept {
        return (k.x & 3u) | (k.y & 3u) << 2 | (k.z & 3u) << 4;
    }
    // The place of `key` in the first lattice's claim order, or NONE off it.
    std::uint32_t lattice_index(const CornerKey& k) const noexcept {
        if (lattice_side_ == 0 || ((k.x | k.y | k.z) & lattice_mask_)) return NONE;
        const std::uint64_t x = k.x >> lattice_shift_, y = k.y >> lattice_shift_,
                            z = k.z >> lattice_shift_, side = lattice_side_;
        if (x >= side || y >= side || z >= side) return NONE;
        return static_cast<std::uint32_t>((z * side + y) * side + x);
    }
    // The sample index of `key`, or NONE after claiming the next one for it.
    std::uint32_t find_or_claim(const CornerKey& key);
    void push_sample(double value, const Vec3* gradient);

    FlatMap<CornerKey, std::uint32_t> bricks_;  // brick coordinates -> index into slots_
    std::vector<Brick> slots_;                  // per point of a brick: sample index or NONE
    std::vector<double> values_;
    std::vector<Vec3> gradients_;               // parallel to values_ while kept
    std::vector<std::uint8_t> has_gradient_;
    bool keep_gradients_ = true;
    std::uint32_t lattice_side_ = 0;  // 0: no first lattice
    unsigned lattice_shift_ = 0;
    std::uint32_t lattice_mask_ = 0;  // 2^shift - 1
    // The brick of the last insertion: claims come in runs of nearby keys.
    CornerKey last_brick_{};
    std::uint32_t last_brick_index_ = NONE;
};

}  // namespace quarvel
