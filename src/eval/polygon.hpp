// The signed distance to a polygon (Op::polygon): its edges prepared once,
// with what finds the nearest edge and the edges a ray crosses without
// visiting every edge; the same values as visiting them all, bit for bit.
#pragma once

#include <cstdint>
#include <vector>

namespace quarvel {

struct PolygonEdges {
    // Per edge j, from corner j to corner j + 1 (wrapping): its start, its vector,
    // its squared length, the y of its end (start + vector, as the ray test
    // sums them), the x-per-y slope (1 for a horizontal edge, never used) and
    // its outward unit normal.
    std::vector<double> ax, ay, ex, ey, len2, end_y, slope, nx, ny;
    double reach = 0.0;  // the largest |coordinate| of a corner, for rounding margins

    // For polygons of many edges (else empty, and every edge is visited):
    // the edges a ray along y = c may cross, by band between consecutive
    // ends' y: for band_y[k] <= c < band_y[k + 1], band_edge[band_start[k]]
    // to band_edge[band_start[k + 1]].
    std::vector<double> band_y;
    std::vector<std::uint32_t> band_start, band_edge;
    // A tree of the edges' boxes for the nearest edge: node k covers
    // [box[4k], box[4k + 1]] x [box[4k + 2], box[4k + 3]]; a leaf's edges are
    // leaf_edge[first[k]] to leaf_edge[first[k] + count[k]], an inner node's
    // children first[k] and first[k] + 1 (count 0).
    std::vector<double> box;
    std::vector<std::uint32_t> first, count, leaf_edge;
};

// corners: x, y of each of n corners, then the outward unit normal of each
// edge (corner j to j + 1).
PolygonEdges prepare_polygon(const double* corners, std::size_t n);

// Signed distance to the polygon at (x, y) and its gradient: distance to the
// nearest edge (the first of equals), negative inside by the even-odd rule.
// Nearest to an edge's inside, the gradient is its outward normal on either
// side: the direction to the edge says the same, but near the edge it is lost
// in rounding (and on it, undefined). Nearest to a corner, it is the direction
// from the corner, which is exact.
struct PolygonSample {
    double v, gx, gy;
};
PolygonSample polygon_sample(const PolygonEdges& p, double x, double y);

}  // namespace quarvel
