// A triangle mesh: what an extraction returns, and what the mesh tools of
// this folder (checks, measures, pieces) take from anywhere.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/vec3.hpp"

namespace quarvel {

using Triangle = std::array<std::uint64_t, 3>;  // 0-based vertex indices

struct TriangleMesh {
    std::vector<Vec3> vertices;      // world coordinates
    std::vector<Triangle> triangles;  // counter-clockwise seen from outside
    std::vector<Vec3> normals;  // per vertex, unit, when the extraction was asked for them; else empty
};

}  // namespace quarvel
