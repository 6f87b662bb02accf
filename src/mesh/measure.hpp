// Area and enclosed volume of a triangle mesh, in the core: a few
// milliseconds where whole-mesh NumPy temporaries of a few million
// triangles cost a second in fresh pages.
#pragma once

#include <span>

#include "core/vec3.hpp"
#include "mesh/triangle_mesh.hpp"

namespace quarvel {

struct MeshMeasures {
    double area = 0.0;
    double volume = 0.0;  // by the divergence theorem: negative for an inverted mesh, exact when closed
};

// Measured from the centre of the vertices' box (small summands, so accurate
// far from the origin) and scaled by a power of two to the box's size (no
// overflow near the ends of the double range: a result too large for a
// double is infinite), summed in fixed blocks combined in order with
// compensation: the same result for any thread count. Indices must lie in
// range (they fault otherwise).
MeshMeasures measure_mesh(std::span<const Vec3> vertices, std::span<const Triangle> triangles);

}  // namespace quarvel
