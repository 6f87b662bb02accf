// What a mesh's one-line summary reads, in one pass over the core: area,
// volume, closedness and pieces.
#pragma once

#include <cstdint>
#include <span>

#include "core/monitor.hpp"
#include "core/vec3.hpp"
#include "mesh/triangle_mesh.hpp"

namespace quarvel {

struct MeshSummary {
    double area = 0.0;
    double volume = 0.0;
    std::uint64_t pieces = 0;
    bool closed = false;  // every edge in two triangles running through it oppositely, none degenerate
};

// Indices must lie in range (they fault otherwise).
MeshSummary summarize_mesh(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                           Monitor& monitor = Monitor::none());

}  // namespace quarvel
