// extract(): the package pipeline's meshing call. The core runs with the
// pipeline's options and without the interpreter lock; the field, progress
// calls and signal checks take the lock back one at a time. Every stage
// checks for signals as it goes, so Ctrl-C ends the call within about a tenth
// of a second (and a field call).
#include <Python.h>

#include <charconv>
#include <chrono>
#include <optional>
#include <string>

#include "core/heap.hpp"
#include "core/parallel.hpp"
#include "pipeline/mesh_field.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/bridge.hpp"
#include "py/engine/functions.hpp"
#include "py/engine/program.hpp"
#include "py/monitor.hpp"
#include "py/results.hpp"

namespace quarvel::py {

namespace {

struct Request {
    FieldAndBox field;
    const Program* program = nullptr;  // when the field is one: evaluated in the core
    MeshRequest mesh;
    PyObject* progress = nullptr;
};

Box to_box(PyObject* obj) {
    const std::vector<Vec3> corners = to_point_list(obj);
    if (corners.size() != 2) throw_new(PyExc_ValueError, "expected (lo, hi), two points");
    return {corners[0], corners[1]};
}

// ((x, y, z), (x, y, z), halo): a tile's own finest cells [lo, hi) and its halo.
Tile to_tile(PyObject* obj) {
    auto items = [](PyObject* o, Py_ssize_t n) {
        PyRef seq = created(PySequence_Fast(o, "expected a sequence"));
        if (PySequence_Fast_GET_SIZE(seq.get()) != n)
            throw_new(PyExc_ValueError, n == 3 ? "expected three items" : "expected ((lo), (hi), halo)");
        return seq;
    };
    PyRef parts = items(obj, 3);
    Tile tile;
    for (int end = 0; end < 2; ++end) {
        PyRef corner = items(PySequence_Fast_GET_ITEM(parts.get(), end), 3);
        for (Py_ssize_t a = 0; a < 3; ++a)
            (end == 0 ? tile.lo : tile.hi)[a] = to_u32(PySequence_Fast_GET_ITEM(corner.get(), a));
    }
    tile.halo = to_u32(PySequence_Fast_GET_ITEM(parts.get(), 2));
    return tile;
}

std::uint8_t to_depth(PyObject* obj) {
    const std::uint32_t depth = to_u32(obj);
    check_depths("max_depth", 0, depth);
    return static_cast<std::uint8_t>(depth);
}

// A keyword read into a request member, by the member's type (the only
// small integers are the depths). No flag is in the list today; the next one
// needs no more than its row.
void read(PyObject* o, double& out) { out = to_float(o); }
[[maybe_unused]] void read(PyObject* o, bool& out) { out = to_bool(o); }
void read(PyObject* o, std::uint8_t& out) { out = to_depth(o); }

// A default as Python writes it, for the signature.
std::string shown(bool value) { return value ? "True" : "False"; }
std::string shown(std::uint8_t value) { return std::to_string(value); }
std::string shown(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    std::string out(text, end);
    // The shortest form that reads back, as repr gives it: 30.0, not 30.
    if (out.find_first_of(".en") == std::string::npos) out += ".0";
    return out;
}

// The options by the names quarvel.mesh gives them, each written into the
// request as it is read (an absent one keeps the package's preset), and shown
// with its preset in the signature.
struct Option {
    const char* name;
    void (*apply)(Request&, PyObject*);
    std::string (*preset)(const MeshRequest&);
};

// A member of QUARVEL_MESH_OPTIONS: read by its type, under its own name.
template <auto Member>
constexpr Option member(const char* name) {
    return {name, [](Request& r, PyObject* o) { read(o, r.mesh.*Member); },
            [](const MeshRequest& m) { return shown(m.*Member); }};
}

#define QUARVEL_MESH_ROW(type, name, value) member<&MeshRequest::name>(#name),
constexpr Option kOptions[] = {
    QUARVEL_MESH_OPTIONS(QUARVEL_MESH_ROW)
    // The options that set several members, or none of MeshRequest's.
    {"adaptive",
     [](Request& r, PyObject* o) {
         const bool adaptive = to_bool(o);
         r.mesh.sampler = adaptive ? Sampler::octree : Sampler::lattice;
         r.mesh.finish = adaptive ? Finish::balance : Finish::band;
     },
     [](const MeshRequest& m) { return shown(m.finish == Finish::balance); }},
    {"keep_largest", [](Request& r, PyObject* o) { r.mesh.dc.keep_largest = to_bool(o); },
     [](const MeshRequest& m) { return shown(m.dc.keep_largest); }},
    // None: no factor to trust, so no guard.
    {"lipschitz",
     [](Request& r, PyObject* o) {
         r.mesh.build.guard = o != Py_None;
         if (o != Py_None) r.mesh.build.lipschitz = to_float(o);
     },
     [](const MeshRequest& m) { return m.build.guard ? shown(m.build.lipschitz) : std::string("None"); }},
    {"clip", [](Request& r, PyObject* o) { if (o != Py_None) r.mesh.clip = to_box(o); },
     [](const MeshRequest&) { return std::string("None"); }},
    {"tile", [](Request& r, PyObject* o) { if (o != Py_None) r.mesh.tile = to_tile(o); },
     [](const MeshRequest&) { return std::string("None"); }},
    {"progress", [](Request& r, PyObject* o) { if (o != Py_None) r.progress = o; },
     [](const MeshRequest&) { return std::string("None"); }},
    {"intervals", [](Request& r, PyObject* o) { r.mesh.build.bounds = to_bool(o); },
     [](const MeshRequest& m) { return shown(m.build.bounds); }},
    {"manifold", [](Request& r, PyObject* o) { r.mesh.dc.manifold = to_bool(o); },
     [](const MeshRequest& m) { return shown(m.dc.manifold); }},
};
#undef QUARVEL_MESH_ROW

// The package's preset, from the members' own defaults.
MeshRequest preset(const Box& box) {
    const MeshRequest defaults;
    return MeshRequest::package(box, defaults.min_depth, defaults.max_depth, defaults.iso, false);
}

constexpr std::size_t kPositional = 3;  // field, lo, hi
constexpr auto kParams = [] {
    std::array<const char*, kPositional + std::size(kOptions)> names{"field", "lo", "hi"};
    for (std::size_t i = 0; i < std::size(kOptions); ++i) names[kPositional + i] = kOptions[i].name;
    return names;
}();
constexpr Signature kExtract{"extract", kParams, kPositional};

Request convert(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kExtract, argv, nargs, kwnames);
    Request r{convert_field_and_box(kExtract, args), program_if_any(args[0]), {}, nullptr};
    r.mesh = preset({r.field.bbox_min, r.field.bbox_max});
    for (std::size_t i = 0; i < std::size(kOptions); ++i)
        if (PyObject* given = args[kPositional + i])
            convert_arg(kExtract, kPositional + i, given, [&](PyObject* o) { kOptions[i].apply(r, o); return 0; });
    check_depths("max_depth", r.mesh.min_depth, r.mesh.max_depth);
    if (r.mesh.tile) {
        // The package checks these; a request it would never send is refused here too.
        const bool whole = r.mesh.sampler != Sampler::lattice || r.mesh.dc.keep_largest ||
                           r.mesh.min_piece_volume > 0.0 || r.mesh.tolerance > 0.0;
        if (whole) throw_new(PyExc_ValueError, "a tile keeps every piece, unsimplified, on the lattice sampler");
        if (r.mesh.max_depth > kKeyAxisBits) throw_new(PyExc_ValueError, "tiles serve max_depth up to 21");
        const std::uint64_t side = std::uint64_t{1} << r.mesh.max_depth;
        for (unsigned a = 0; a < 3; ++a)
            if (r.mesh.tile->lo[a] >= r.mesh.tile->hi[a] || r.mesh.tile->hi[a] > side)
                throw_new(PyExc_ValueError, "a tile's cells must lie within the lattice, lo < hi");
    }
    return r;
}

const char* guard_text(GuardOutcome outcome) {
    switch (outcome) {
        case GuardOutcome::off: return "off";
        case GuardOutcome::on: return "on";
        case GuardOutcome::infinite_values: return "off: infinite values";
        case GuardOutcome::too_steep: return "off: steeper than the Lipschitz factor allows";
        case GuardOutcome::bounds: return "on: interval bounds";
    }
    return "unknown";
}

struct Outcome {
    MeshResult result;
    double seconds = 0.0;
    std::uint64_t field_calls = 0;
    double field_seconds = 0.0;
    bool native = false;
    bool manifold = false;
};

PyRef stats_dict(const Outcome& o) {
    const SamplingStats& sampled = o.result.sampled;
    const ExtractionStats& extraction = o.result.extraction;
    PyRef stages = created(PyDict_New());
    set_item(stages.get(), "sampling", count(sampled.first_lattice_evaluations));
    set_item(stages.get(), "refining", count(sampled.evaluations - sampled.first_lattice_evaluations));
    set_item(stages.get(), "crossings", count(extraction.crossing_evaluations));
    set_item(stages.get(), "normals", count(extraction.normal_evaluations));
    set_item(stages.get(), "vertices", count(extraction.vertex_evaluations));
    const std::uint64_t total = sampled.evaluations + extraction.crossing_evaluations +
                                extraction.normal_evaluations + extraction.vertex_evaluations;
    PyRef stats = created(PyDict_New());
    set_item(stats.get(), "evaluations", count(total));
    set_item(stats.get(), "evaluations_by_stage", std::move(stages));
    set_item(stats.get(), "field_calls", count(o.field_calls));
    set_item(stats.get(), "field_seconds", created(PyFloat_FromDouble(o.field_seconds)));
    set_item(stats.get(), "seconds", created(PyFloat_FromDouble(o.seconds)));
    set_item(stats.get(), "cells", count(sampled.cells));
    set_item(stats.get(), "surface_cells", count(extraction.surface_cells));
    set_item(stats.get(), "pieces", count(extraction.pieces));
    if (o.result.pieces_dropped) set_item(stats.get(), "pieces_dropped", count(o.result.pieces_dropped));
    if (o.result.simplified) set_item(stats.get(), "simplified", simplify_stats(*o.result.simplified));
    set_item(stats.get(), "guard", created(PyUnicode_FromString(guard_text(sampled.guard))));
    set_item(stats.get(), "steepest", created(PyFloat_FromDouble(sampled.steepest)));
    set_item(stats.get(), "field_kind",
             created(PyUnicode_FromString(extraction.field_kind == FieldKind::occupancy ? "occupancy" : "distance")));
    set_item(stats.get(), "cells_bounded", count(sampled.cells_bounded));
    set_item(stats.get(), "cells_proven", count(sampled.cells_proven));
    set_item(stats.get(), "native", PyRef::borrow(o.native ? Py_True : Py_False));
    set_item(stats.get(), "threads", count(pool_thread_count()));
    if (o.manifold) {
        const RepairStats& repair = extraction.repair;
        PyRef repaired = created(PyDict_New());
        set_item(repaired.get(), "folds_fixed", count(repair.folds_fixed));
        set_item(repaired.get(), "vertices_split", count(repair.vertices_split));
        set_item(repaired.get(), "unrepaired_pairs", count(repair.unrepaired_pairs));
        set_item(repaired.get(), "rounds", count(repair.rounds));
        set_item(stats.get(), "repaired", std::move(repaired));
    }
    return stats;
}

// The core's work, without the interpreter lock. `signals`: whether this
// thread handles signals; elsewhere polling within the stages would only take
// the lock for nothing.
Outcome run(const Request& r, ReleasedLock& released, bool signals) {
    const auto start = std::chrono::steady_clock::now();
    PyMonitor monitor({&released, r.progress,
                       signals ? PyMonitor::kPipelineInterval : std::chrono::milliseconds::zero()});
    // A program is never called through the bridge.
    EvalBridge bridge(r.field.eval_fn.get(), BridgeOptions{&released});
    std::optional<ProgramField> program;
    if (r.program) program.emplace(*r.program);
    Evaluator& source = program ? static_cast<Evaluator&>(*program) : bridge;
    Outcome o;
    o.native = program.has_value();
    o.result = mesh_field(source, r.mesh, monitor);
    o.manifold = r.mesh.dc.manifold;
    o.field_calls = bridge.calls();
    o.field_seconds = bridge.field_seconds();
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return o;
}

PyRef extract_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const Request r = convert(argv, nargs, kwnames);
    const HeapKept kept(r.program ? HeapKept::kAllKept : HeapKept::kBatchesMapped);
    const bool signals = handles_signals();
    Outcome outcome;
    {
        ReleasedLock released;
        outcome = run(r, released, signals);
    }
    PyRef stats = stats_dict(outcome);
    // The mesh's measures but its closedness, which Mesh finds when asked.
    const MeshMeasures measured = outcome.result.measures.value_or(MeshMeasures{});
    PyRef measures = created(PyDict_New());
    set_item(measures.get(), "area", created(PyFloat_FromDouble(measured.area)));
    set_item(measures.get(), "volume", created(PyFloat_FromDouble(measured.volume)));
    set_item(measures.get(), "pieces", count(outcome.result.extraction.pieces));
    PyRef normals = points_array(std::move(outcome.result.mesh.normals));
    PyRef arrays = mesh_arrays(std::move(outcome.result.mesh));
    if (!r.mesh.tile)
        return created(PyTuple_Pack(5, PyTuple_GET_ITEM(arrays.get(), 0), PyTuple_GET_ITEM(arrays.get(), 1),
                                    normals.get(), stats.get(), measures.get()));
    PyRef named = key_arrays(std::move(outcome.result.keys), std::move(outcome.result.triangle_pieces));
    return created(PyTuple_Pack(7, PyTuple_GET_ITEM(arrays.get(), 0), PyTuple_GET_ITEM(arrays.get(), 1),
                                normals.get(), stats.get(), measures.get(), PyTuple_GET_ITEM(named.get(), 0),
                                PyTuple_GET_ITEM(named.get(), 1)));
}

// The docstring, whose first line is the signature the interpreter shows:
// every option with the preset it keeps when absent.
const std::string kExtractDoc = [] {
    const MeshRequest defaults = preset({});
    std::string doc = "extract(field, lo, hi";
    for (const Option& option : kOptions) doc += std::string(", ") + option.name + "=" + option.preset(defaults);
    return doc +
           ")\n--\n\n"
           "Mesh the surface field == iso within the box (lo, hi) with the package's pipeline.\n"
           "A program (quarvel._engine.program) as the field is evaluated in the core; with intervals,\n"
           "its bounds over cells prove them empty or full instead of the Lipschitz factor.\n"
           "manifold repairs folds and pinches, so the mesh is a closed 2-manifold without crossings.\n\n"
           "tile ((lo), (hi), halo) meshes the finest cells [lo, hi) with halo cells around them and keeps\n"
           "the triangles it owns; it also returns the vertices' names (N, 2) and the triangles' pieces.\n\n"
           "Returns (vertices, triangles, normals, stats, measures). Private: quarvel.mesh documents the "
           "options and is the one caller.";
}();

const EngineFunctions kMeshFunctions{
    {"extract", as_cfunction<extract_impl>(), METH_FASTCALL | METH_KEYWORDS, kExtractDoc.c_str()},
};

}  // namespace

}  // namespace quarvel::py
