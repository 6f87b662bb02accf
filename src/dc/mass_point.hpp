// Vertices of an occupancy-like field (dc/hermite.hpp FieldKind): its values say on
// which side a point lies and nothing about the slope, so each vertex goes to
// the mean of its slot's crossing points, which lie on the surface, and is
// never projected.
#pragma once

#include "dc/hermite.hpp"
#include "dc/surface_cells.hpp"
#include "dc/vertices.hpp"

namespace quarvel {

// Places every vertex of `vertices` (numbered by number_vertices) at the mean
// of its slot's crossing points, summed in crossing order; a slot without any
// takes its cell's middle. Fills the repair's means and boxes when sized for
// them. No vertex is sharp.
void place_mass_points(const SurfaceCells& surface, const Crossings& crossings, PlacedVertices& vertices);

}  // namespace quarvel
