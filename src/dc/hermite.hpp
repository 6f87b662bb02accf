// Hermite data: for every sign-changing edge of every surface cell, the point
// where the field crosses the iso value and the unit normal there. All edges
// advance together, so the field is called a fixed number of times (eight
// bisection rounds, one normal batch) however many edges there are.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dc/surface_cells.hpp"
#include "eval/sampler.hpp"

namespace quarvel {

// Rounds of the crossing search: the bracket ends 1/256 of the edge wide.
inline constexpr int BISECTION_ROUNDS = 8;

// One sign-changing edge of one surface cell. An edge shared by several cells
// appears once per cell and feeds only that cell's vertex.
struct EdgeCrossing {
    Vec3 p0{};                   // position of corner a (CUBE_EDGES)
    Vec3 p1{};                   // position of corner b
    bool a_below = false;        // corner a below the iso value: the sign the bracket starts from
    std::uint64_t cell = 0;      // index in the surface cell list
    std::uint8_t component = 0;  // group of the edge's inside corner in that cell
};

// Samples in crossing order; row i of each array belongs to crossing i.
struct HermiteSamples {
    std::vector<Vec3> points;          // N x 3 crossing points, world coordinates
    std::vector<Vec3> normals;         // N x 3 unit normals, (0, 0, 1) where the gradient vanished
    std::vector<std::uint64_t> slots;  // N vertex slots: slots.offset[cell] + component
};

// Sign-changing edges, cells in list order and edges 0..11 within a cell.
std::vector<EdgeCrossing> build_crossings(const SurfaceCells& surface);

// Eight batched bisection rounds per crossing; returns N crossing points.
std::vector<Vec3> locate_crossings(FieldSampler& sampler, std::span<const EdgeCrossing> crossings,
                                   double iso_value);

// g / |g| when |g| > 1e-12, else (0, 0, 1) (also for NaN).
Vec3 unit_normal(const Vec3& g);

// One batch on `points` (plus a finite-difference one when the field gives no
// gradients); its gradients, normalised.
std::vector<Vec3> estimate_normals(FieldSampler& sampler, std::span<const Vec3> points);

// The three steps above for the whole cell list. No field call when no edge crosses.
HermiteSamples hermite_samples(FieldSampler& sampler, const SurfaceCells& surface,
                               double iso_value);

}  // namespace quarvel
