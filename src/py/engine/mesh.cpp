// extract(): the package pipeline's meshing call. The core runs with the
// pipeline's options and without the interpreter lock; the field, progress
// calls and signal checks take the lock back one at a time. Every stage
// checks for signals as it goes, so Ctrl-C ends the call within about a tenth
// of a second (and a field call).
#include <Python.h>

#include <chrono>
#include <optional>

#include "core/heap.hpp"
#include "core/parallel.hpp"
#include "dc/extract.hpp"
#include "eval/decorators.hpp"
#include "octree/build.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/bridge.hpp"
#include "py/engine/functions.hpp"
#include "py/engine/program.hpp"
#include "py/monitor.hpp"
#include "py/results.hpp"
#include "sample/lattice_sampler.hpp"

namespace quarvel::py {

namespace {

constexpr const char* kParams[] = {"field",      "lo",           "hi",        "min_depth",
                                   "max_depth",  "iso",          "angle",     "adaptive",
                                   "keep_largest", "lipschitz",  "clip",      "progress",
                                   "bounds",     "manifold"};
constexpr Signature kExtract{"extract", kParams, 3};

struct Request {
    FieldAndBox field;
    const Program* program = nullptr;  // when the field is one: evaluated in the core
    BuildParams build;
    DcOptions dc;
    std::optional<Box> clip;  // the box to cut the solid with
    PyObject* progress = nullptr;
};

Box to_box(PyObject* obj) {
    const std::vector<Vec3> corners = to_point_list(obj);
    if (corners.size() != 2) throw_new(PyExc_ValueError, "expected (lo, hi), two points");
    return {corners[0], corners[1]};
}

Request convert(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    const BoundArgs args = bind_arguments(kExtract, argv, nargs, kwnames);
    Request r{convert_field_and_box(kExtract, args), program_if_any(args[0]), {}, {}, {}, nullptr};
    const std::uint32_t min_depth = convert_or(kExtract, args, 3, to_u32, std::uint32_t{3});
    const std::uint32_t max_depth = convert_or(kExtract, args, 4, to_u32, std::uint32_t{7});
    check_depths("max_depth", min_depth, max_depth);
    BuildParams& b = r.build;
    b.bbox_min = r.field.bbox_min;
    b.bbox_max = r.field.bbox_max;
    b.min_depth = static_cast<std::uint8_t>(min_depth);
    b.max_depth = static_cast<std::uint8_t>(max_depth);
    b.iso_value = convert_or(kExtract, args, 5, to_float, 0.0);
    b.angle_threshold_deg = convert_or(kExtract, args, 6, to_float, 30.0);
    b.finish = convert_or(kExtract, args, 7, to_bool, false) ? Finish::balance : Finish::band;
    r.dc = DcOptions::pipeline(convert_or(kExtract, args, 8, to_bool, false),
                               convert_or(kExtract, args, 13, to_bool, true));
    const bool guard = !args[9] || args[9] != Py_None;
    const double lipschitz = guard && args[9] ? convert_arg(kExtract, 9, args[9], to_float) : 1.0;
    b.options = BuildOptions::pipeline(guard, lipschitz, convert_or(kExtract, args, 12, to_bool, true));
    if (args[10] && args[10] != Py_None) r.clip = convert_arg(kExtract, 10, args[10], to_box);
    if (args[11] && args[11] != Py_None) r.progress = args[11];
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

const char* guard_text(SampleGuard guard) {
    switch (guard) {
        case SampleGuard::off: return guard_text(GuardOutcome::off);
        case SampleGuard::on: return guard_text(GuardOutcome::on);
        case SampleGuard::infinite_values: return guard_text(GuardOutcome::infinite_values);
        case SampleGuard::too_steep: return guard_text(GuardOutcome::too_steep);
        case SampleGuard::bounds: return guard_text(GuardOutcome::bounds);
    }
    return "unknown";
}

// What sampling cost and found, from either sampler.
struct Sampling {
    std::uint64_t first_lattice_evaluations = 0;
    std::uint64_t evaluations = 0;
    const char* guard = "off";
    double steepest = 0.0;
    std::uint64_t cells = 0;
    std::uint64_t cells_bounded = 0;
    std::uint64_t cells_proven = 0;
};

struct Outcome {
    TriangleMesh mesh;
    Sampling sampled;
    ExtractionStats extraction;
    double seconds = 0.0;
    std::uint64_t field_calls = 0;
    double field_seconds = 0.0;
    bool native = false;
    bool manifold = false;
};

PyRef stats_dict(const Outcome& o) {
    PyRef stages = created(PyDict_New());
    const Sampling& sampled = o.sampled;
    set_item(stages.get(), "sampling", count(sampled.first_lattice_evaluations));
    set_item(stages.get(), "refining", count(sampled.evaluations - sampled.first_lattice_evaluations));
    set_item(stages.get(), "crossings", count(o.extraction.crossing_evaluations));
    set_item(stages.get(), "normals", count(o.extraction.normal_evaluations));
    set_item(stages.get(), "vertices", count(o.extraction.vertex_evaluations));
    const std::uint64_t total = sampled.evaluations + o.extraction.crossing_evaluations +
                                o.extraction.normal_evaluations + o.extraction.vertex_evaluations;
    PyRef stats = created(PyDict_New());
    set_item(stats.get(), "evaluations", count(total));
    set_item(stats.get(), "evaluations_by_stage", std::move(stages));
    set_item(stats.get(), "field_calls", count(o.field_calls));
    set_item(stats.get(), "field_seconds", created(PyFloat_FromDouble(o.field_seconds)));
    set_item(stats.get(), "seconds", created(PyFloat_FromDouble(o.seconds)));
    set_item(stats.get(), "cells", count(sampled.cells));
    set_item(stats.get(), "surface_cells", count(o.extraction.surface_cells));
    set_item(stats.get(), "pieces", count(o.extraction.pieces));
    set_item(stats.get(), "guard", created(PyUnicode_FromString(sampled.guard)));
    set_item(stats.get(), "steepest", created(PyFloat_FromDouble(sampled.steepest)));
    set_item(stats.get(), "cells_bounded", count(sampled.cells_bounded));
    set_item(stats.get(), "cells_proven", count(sampled.cells_proven));
    set_item(stats.get(), "native", PyRef::borrow(o.native ? Py_True : Py_False));
    set_item(stats.get(), "threads", count(pool_thread_count()));
    if (o.manifold) {
        const RepairStats& repair = o.extraction.repair;
        PyRef repaired = created(PyDict_New());
        set_item(repaired.get(), "folds_fixed", count(repair.folds_fixed));
        set_item(repaired.get(), "vertices_split", count(repair.vertices_split));
        set_item(repaired.get(), "unrepaired_pairs", count(repair.unrepaired_pairs));
        set_item(repaired.get(), "rounds", count(repair.rounds));
        set_item(stats.get(), "repaired", std::move(repaired));
    }
    return stats;
}

// The adaptive mesh: the octree's levels, balanced.
TriangleMesh mesh_by_octree(Evaluator& field, const Request& r, Sampling& sampled, ExtractionStats& stats,
                            Monitor& monitor) {
    BuildResult built = build_octree(field, r.build, monitor);
    // The tree only grows: its final size is its peak.
    sampled = {built.first_lattice_evaluations, built.eval_count, guard_text(built.guard), built.steepest,
               1 + 8 * static_cast<std::uint64_t>(built.tree.children.size()), built.cells_bounded,
               built.cells_proven};
    // The tree (with its corner samples) goes once its surface cells are collected.
    return extract_dual_contour(field, std::move(built.tree), r.build.angle_threshold_deg, r.dc, &stats, monitor);
}

// Every surface cell at max_depth: the lattice sampler's cells.
TriangleMesh mesh_by_lattice(Evaluator& field, const Request& r, Sampling& sampled, ExtractionStats& stats,
                             Monitor& monitor) {
    const BuildParams& b = r.build;
    const Domain cube = cube_around(b.bbox_min, b.bbox_max);
    const SampleParams params{cube.origin, cube.size, b.min_depth, b.max_depth, b.iso_value,
                              b.options.guard, b.options.lipschitz, b.options.bounds};
    SampleResult found = sample_lattice(field, params, monitor);
    sampled = {found.first_lattice_evaluations, found.evaluations, guard_text(found.guard), found.steepest,
               found.cells_judged, found.cells_bounded, found.cells_proven};
    return extract_dual_contour(field, surface_from_samples(std::move(found.cells), std::move(found.values), cube.origin, cube.size, b.max_depth),
                                DcParams::of(b.iso_value, cube.size, b.max_depth, b.angle_threshold_deg, r.dc),
                                &stats, monitor);
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
    std::optional<ClippedField> clipped;
    if (r.clip) clipped.emplace(source, *r.clip, r.build.iso_value);
    NanRejectingField field(clipped ? static_cast<Evaluator&>(*clipped) : source);
    Outcome o;
    o.native = program.has_value();
    o.mesh = r.build.finish == Finish::band ? mesh_by_lattice(field, r, o.sampled, o.extraction, monitor)
                                            : mesh_by_octree(field, r, o.sampled, o.extraction, monitor);
    o.manifold = r.dc.manifold;
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
    PyRef normals = points_array(std::move(outcome.mesh.normals));
    PyRef arrays = mesh_arrays(std::move(outcome.mesh));
    PyRef stats = stats_dict(outcome);
    return created(PyTuple_Pack(4, PyTuple_GET_ITEM(arrays.get(), 0), PyTuple_GET_ITEM(arrays.get(), 1),
                                normals.get(), stats.get()));
}

const EngineFunctions kMeshFunctions{
    {"extract", as_cfunction<extract_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "extract(field, lo, hi, min_depth=3, max_depth=7, iso=0.0, angle=30.0, adaptive=False, "
     "keep_largest=False, lipschitz=1.0, clip=None, progress=None, bounds=True, manifold=True)\n--\n\n"
     "Mesh the surface field == iso within the box (lo, hi) with the package's pipeline.\n"
     "A program (quarvel._engine.program) as the field is evaluated in the core; with bounds,\n"
     "its bounds over cells prove them empty or full instead of the Lipschitz factor.\n"
     "manifold repairs folds and pinches, so the mesh is a closed 2-manifold without crossings.\n\n"
     "Returns (vertices, triangles, normals, stats). Private: quarvel.mesh documents the "
     "options and is the one caller."},
};

}  // namespace

}  // namespace quarvel::py
