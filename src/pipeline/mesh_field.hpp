// One meshing call for every front door: a request with named fields goes
// in, the mesh and what making it cost come out. The engine's fixed rules and
// the package's pipeline are two presets of the same request, so the stages
// are glued together here and nowhere else.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/box.hpp"
#include "core/monitor.hpp"
#include "dc/extract.hpp"
#include "dc/surface_cells.hpp"
#include "eval/evaluator.hpp"
#include "mesh/measure.hpp"
#include "mesh/simplify.hpp"
#include "mesh/triangle_mesh.hpp"
#include "octree/build.hpp"
#include "octree/guard.hpp"

namespace quarvel {

// Where the surface cells come from: the octree built cell by cell, or the
// lattice sampler's sparse bricks (every surface cell at max_depth).
enum class Sampler : std::uint8_t { octree, lattice };

// The request's options that quarvel.mesh sends under their own names, each
// written once here as (type, name, default): they are MeshRequest's members
// below and the keywords of quarvel._engine.extract (py/engine/mesh.cpp), read
// by type. A new option of that kind is a row here and the code that reads it.
#define QUARVEL_MESH_OPTIONS(X)                                                                           \
    X(std::uint8_t, min_depth, 3) /* callers guarantee min_depth <= max_depth <= 31 */                    \
    X(std::uint8_t, max_depth, 7)                                                                         \
    X(double, iso, 0.0)                                                                                   \
    X(double, angle_threshold, kDefaultAngleDeg) /* degrees: the normal angle that counts as sharp */     \
    X(double, min_piece_volume, 0.0) /* pieces enclosing less (in absolute value) are dropped */          \
    X(double, tolerance, 0.0) /* > 0: edges collapsed while the surface stays this close (mesh/simplify.hpp) */ \
    X(double, max_evaluations, 0.0) /* > 0: the field evaluated at most this many times, or InvalidField */

// A tile of the finest lattice: cells [lo, hi) per axis are its own. It is
// meshed with `halo` cells more on every side, so that what lies near its
// faces is decided as it is without tiles, and keeps the triangles it owns
// (those whose vertices' cells have their least coordinates in it) with the
// vertices they use, named (dc/vertex_keys.hpp) for the join.
struct Tile {
    std::array<std::uint32_t, 3> lo{};
    std::array<std::uint32_t, 3> hi{};
    std::uint32_t halo = 0;
};

struct MeshRequest {
    Box box{};  // the box to search; meshed as the cube around it
#define QUARVEL_MESH_MEMBER(type, name, value) type name = value;
    QUARVEL_MESH_OPTIONS(QUARVEL_MESH_MEMBER)
#undef QUARVEL_MESH_MEMBER
    Sampler sampler = Sampler::octree;
    Finish finish = Finish::band;  // the octree's: every surface cell at max_depth, or balanced levels
    BuildOptions build = BuildOptions::exact();
    DcOptions dc = DcOptions::exact();
    std::optional<Box> clip;        // cut the solid with this box, closing it there
    bool reject_nan = false;        // a NaN value is the field's error, not a sign
    bool measure = false;           // area, volume, pieces and closedness of the result
    // Only with the lattice sampler, every piece kept, no piece dropped and
    // no simplification: each needs the whole mesh.
    std::optional<Tile> tile;

    // _quarvel_rs's rules: exact bisection, the largest piece, no guard.
    static MeshRequest engine(const Box& box, std::uint8_t min_depth, std::uint8_t max_depth, double iso,
                              double angle_threshold, bool adaptive);
    // The package's pipeline: the lattice sampler (the balanced octree when
    // adaptive), the guard, every piece by default, the repair, the measures.
    static MeshRequest package(const Box& box, std::uint8_t min_depth, std::uint8_t max_depth, double iso,
                               bool adaptive);
};

// What sampling cost and found, from either sampler.
struct SamplingStats {
    std::uint64_t first_lattice_evaluations = 0;
    std::uint64_t evaluations = 0;  // the first lattice's included
    GuardOutcome guard = GuardOutcome::off;
    double steepest = 0.0;
    std::uint64_t cells = 0;  // cells examined (the octree's: its peak number of cells)
    std::uint64_t cells_bounded = 0;
    std::uint64_t cells_proven = 0;
};

struct MeshResult {
    TriangleMesh mesh;
    SamplingStats sampled;
    ExtractionStats extraction;
    std::uint64_t pieces_dropped = 0;           // by min_piece_volume
    std::optional<SimplifyStats> simplified;    // when a tolerance was given
    std::optional<MeshMeasures> measures;  // area and volume, when asked for (pieces: extraction.pieces)
    // With a tile: per vertex its name, per triangle its piece within the tile.
    std::vector<VertexKey> keys;
    std::vector<std::uint64_t> triangle_pieces;
};

// `monitor` hears every stage's progress and may abandon the call (see
// core/monitor.hpp).
MeshResult mesh_field(Evaluator& field, const MeshRequest& request, Monitor& monitor = Monitor::none());

}  // namespace quarvel
