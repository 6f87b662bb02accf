// Crossing searches repeated while a few triangles move within known boxes,
// as a repair's trials do: the pairs that could ever meet are found once, so
// each search costs its focus, not the whole mesh.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/box.hpp"
#include "mesh/check.hpp"
#include "mesh/crossing_tests.hpp"

namespace quarvel {

class MovingCrossings {
public:
    // `moving` (increasing) are the only triangles that may change, by their
    // corners or their vertices' places, and triangle moving[i] stays within
    // bound[i]; every other triangle stays as it is now.
    MovingCrossings(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                    std::span<const std::uint64_t> moving, std::span<const Box> bound);

    // intersecting_pairs(vertices, triangles, focus), where `focus` flags
    // moving triangles only. A moving triangle out of its bound faults.
    std::vector<TrianglePair> crossing(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                                       std::span<const std::uint8_t> focus) const;

    // The moving triangles, in increasing order.
    std::span<const std::uint64_t> triangles() const { return moving_; }

private:
    std::vector<std::uint64_t> moving_;
    std::vector<detail::Aabb> bound_;
    // Partners of moving_[i]: partner_[start_[i]] to partner_[start_[i + 1]],
    // each with its box where it stays put (else an empty box).
    std::vector<std::uint64_t> start_, partner_;
    std::vector<detail::Aabb> partner_box_;
    // False where the coordinates are so large or small that the search
    // scales them: crossing() then defers to the whole search.
    bool unscaled_ = true;
};

}  // namespace quarvel
