// The triangle mesh an extraction returns.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/vec3.hpp"

namespace quarvel {

struct TriangleMesh {
    std::vector<Vec3> vertices;                           // world coordinates
    std::vector<std::array<std::uint64_t, 3>> triangles;  // 0-based, counter-clockwise seen from outside
    std::vector<Vec3> normals;  // per vertex, unit, when the extraction was asked for them; else empty
};

}  // namespace quarvel
