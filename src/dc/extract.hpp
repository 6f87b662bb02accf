// Dual contouring over a finished octree: surface cells, vertex slots, Hermite
// data, QEF vertices projected onto the surface, quads split into triangles,
// and the largest connected piece (or every piece).
#pragma once

#include <cstdint>

#include "core/monitor.hpp"
#include "mesh/triangle_mesh.hpp"
#include "dc/hermite.hpp"
#include "dc/repair.hpp"
#include "dc/surface_cells.hpp"
#include "dc/vertex_keys.hpp"
#include "eval/evaluator.hpp"
#include "octree/octree.hpp"

namespace quarvel {

// What an extraction cost, stage by stage.
struct ExtractionStats {
    std::uint64_t surface_cells = 0;
    std::uint64_t crossing_evaluations = 0;  // finding where edges cross
    std::uint64_t normal_evaluations = 0;    // normals there, where the search gave none
    std::uint64_t vertex_evaluations = 0;    // projecting vertices onto the surface
    std::uint64_t pieces = 0;                // connected pieces of the mesh returned
    FieldKind field_kind = FieldKind::distance;  // how the crossings and vertices were found
    RepairStats repair;                      // with options.manifold
};

// `tree` is read only; `angle_threshold_deg` drives the sharp-feature test.
// `stats`, when given, receives the costs. `monitor` hears the stages'
// progress and may abandon the extraction (see core/monitor.hpp); it is the
// thread's active monitor meanwhile.
TriangleMesh extract_dual_contour(Evaluator& field, const Octree& tree, double angle_threshold_deg,
                                  const DcOptions& options = DcOptions::exact(),
                                  ExtractionStats* stats = nullptr, Monitor& monitor = Monitor::none());
// The same, dropping `tree` once its surface cells are collected: it is not
// read again, and the field batches that follow are the call's peak.
TriangleMesh extract_dual_contour(Evaluator& field, Octree&& tree, double angle_threshold_deg,
                                  const DcOptions& options = DcOptions::exact(),
                                  ExtractionStats* stats = nullptr, Monitor& monitor = Monitor::none());

// The same from surface cells made elsewhere (a lattice sampler's), with
// their corner values when the options' crossing search reads them. `keys`,
// when given, receives the vertices' names (dc/vertex_keys.hpp); the
// options must then keep every piece.
TriangleMesh extract_dual_contour(Evaluator& field, SurfaceCells&& surface, const DcParams& params,
                                  ExtractionStats* stats = nullptr, Monitor& monitor = Monitor::none(),
                                  std::vector<VertexKey>* keys = nullptr);

}  // namespace quarvel
