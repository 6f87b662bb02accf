"""``quarvel.mesh``: from a field to a :class:`Mesh` in one call."""

from __future__ import annotations

import dataclasses
import inspect
import math
import os
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from concurrent.futures import Executor
from contextlib import nullcontext
from typing import Any, ParamSpec

import numpy as np

from .. import _core
from ..meshing.batching import Chunked
from ..meshing.options import Keep, MeshOptions
from .._bounds import Bounds
from ..shapes.program import CompileError, Program
from ..meshing.fields import Points, as_field
from ..meshes.mesh import Mesh, check_tolerance
from ..meshing.progress import ProgressBar, ProgressHook
from ..meshing.tiles import Joiner, MemorySink, PlySink, StlSink, TileTask, mesh_tiles, tile_cuts, tile_ranges
from ..io.files import replacing
from ..shapes.base import Shape

MAX_DEPTH_LIMIT = 31
# Vertex names pack 21 bits of cell coordinates per axis.
MAX_TILED_DEPTH = 21
# mesh_to_file's tiles, when not given: 2**8 finest cells across.
STREAMED_TILE_DEPTH = 8
DEFAULT_MAX_DEPTH = 7

# Cost per finest cell of the estimated surface (surface_estimate), measured
# at depths 8 and 9: 6 to 8 evaluations for shapes with interval bounds, about
# 14 for NumPy fields; about 2.4 kB of peak memory (a ball at depth 9).
EVALUATIONS_PER_CELL = 10
BYTES_PER_CELL = 2500
ADAPTIVE_DEPRECATED = (
    "adaptive=True is deprecated: it leaves shapes with sharp edges as they were; pass tolerance= "
    "(for example mesh.stats['cell_size']) for fewer triangles on any shape"
)
# Runs estimated above this many evaluations announce their cost first.
LONG_RUN_EVALUATIONS = 10_000_000
# Far beyond any array, and far from overflowing a 64-bit offset.
MAX_BATCH_SIZE = 1 << 62
# A clip's side within this fraction of a finest cell of a vertex holds a face
# of the mesh: the clip cut the surface there.
CUT_TOLERANCE = 0.1

BoundsLike = Bounds | Sequence[Sequence[float]]

BOUNDS_FORM = "pass bounds as (lo, hi), e.g. ((-1, -1, -1), (1, 1, 1)), or as six numbers (x0, y0, z0, x1, y1, z1)"


class NoSurfaceError(ValueError):
    """:func:`mesh` found no surface within the bounds (``allow_empty=True`` accepts an empty mesh)."""


@dataclasses.dataclass(frozen=True)
class MeshCall(MeshOptions):
    """The arguments of one :func:`mesh` call: the field, the bounds and the
    options.  Its constructor's parameters are :func:`mesh`'s, for readers and
    type checkers, and binding them checks the keywords a call gives."""

    field: Callable[[Points], Any]
    bounds: BoundsLike | None = None


_P = ParamSpec("_P")


def takes_parameters_of(call: Callable[_P, object]) -> Callable[[Callable[..., Mesh]], Callable[_P, Mesh]]:
    """Declares the decorated function's parameters to be those of ``call``:
    its signature for ``help``, ``inspect`` and Sphinx, and its type."""

    def declare(function: Callable[..., Mesh]) -> Callable[_P, Mesh]:
        signature = inspect.signature(call).replace(return_annotation=Mesh.__name__)
        setattr(function, "__signature__", signature)
        return function

    return declare


def bind_options(field: Callable[[Points], Any], bounds: BoundsLike | None, given: dict[str, Any]) -> MeshOptions:
    """The options of a :func:`mesh` call; for a keyword it does not take, the
    TypeError Python gives for a function of that name and signature."""
    try:
        call = MeshCall(field, bounds, **given)
    except TypeError as error:
        text = str(error)
        raise TypeError("mesh" + text[text.index("()") :]) from None
    return MeshOptions(**{f.name: getattr(call, f.name) for f in dataclasses.fields(MeshOptions)})


@takes_parameters_of(MeshCall)
def mesh(field: Callable[[Points], Any], bounds: BoundsLike | None = None, **given: Any) -> Mesh:
    """Extract the surface ``field == iso`` (a finite number) as a triangle mesh.

    ``field`` is a shape from this package or any callable taking an (N, 3)
    float64 array of points and returning values, or ``(values, gradients)``
    (see :func:`as_field`).  Fields are negative inside.  Gradients are
    optional but make meshing cheaper: the crossings of the surface with the
    cell edges are then found by Newton steps, each normal comes from the last
    step, and vertices settle on the surface in fewer evaluations.

    **Where.**  ``bounds`` is the box to search, as ``Bounds`` or ``(lo, hi)``;
    when omitted, the field's own ``bounds`` are used.  The box is grown by
    ``margin`` times its largest edge (and, for a field's own bounds, by a
    positive ``iso`` times the field's ``understatement``, see
    :attr:`Shape.understatement`, as the surface lies that much farther
    out) so that the surface does not touch its sides.  A box whose grown
    extent overflows the floating-point range is refused.  ``clip``
    cuts the solid with the given box, so that the mesh is the closed surface
    of the part inside it; by default (None) it clips when you pass
    ``bounds`` and the surface may reach outside them (the field's own
    bounds, grown as above, are unknown or reach outside: a slab of a gyroid,
    a corner of a large shape), and never clips to a field's own bounds.
    At a positive ``iso``, a field that does not state its understatement
    (a function, a shape of your own) is clipped halfway through the search
    box's margin, and a RuntimeWarning says so if that cut the surface.  An open mesh (``clip=False`` where the surface reaches
    the box's sides) always comes with a RuntimeWarning.

    **How fine.**  The octree is refined everywhere down to ``min_depth`` and
    near the surface down to ``max_depth`` (default 7): each level halves the
    cell size, so the finest cells measure the search box's largest edge
    (``bounds`` grown by ``margin``) divided by 2**max_depth.  Instead of
    ``max_depth`` you may give ``voxel_size``, the largest finest cell you
    accept: ``max_depth`` is then the smallest depth whose cells are no larger
    (at least ``min_depth``), and the search box is grown along its largest
    edge to ``voxel_size * 2**max_depth``, so that the finest cells are
    exactly ``voxel_size`` (finer only when ``min_depth`` asks for more);
    ``mesh.stats["cell_size"]`` holds it.
    ``angle_threshold`` (degrees) is the normal angle that counts as curved
    or sharp.

    ``adaptive=True`` stops refining cells whose corner normals agree within
    ``angle_threshold`` and balances the tree (neighbours at most one level
    apart) instead of taking every surface cell to ``max_depth``.  On smooth
    shapes that gives fewer triangles (a sphere or torus at depth 7: about a
    quarter).  But balancing also splits a surface cell whenever a
    neighbouring surface cell of its level is split, so on a shape with
    sharp edges (a box, CSG) the refinement that an edge needs spreads over
    the whole connected surface: the mesh comes out the same as without
    ``adaptive``, only slower.  It is deprecated (a DeprecationWarning):
    ``tolerance`` gives fewer triangles on every shape, sharp ones included.

    A run estimated at more than ten million evaluations first prints an
    estimate of its evaluations and memory on standard error (assuming a
    surface about as large as a ball filling the box), unless ``progress`` is
    False or a callable.

    **No surface missed.**  A cell is accepted as empty or full only when its
    corner values prove it: for a field whose values change by at most
    ``lipschitz`` per unit of distance, the balls of radius ``|f - iso|`` /
    lipschitz around its corners, which hold no surface, must cover it.  Any
    other cell is refined, down to ``max_depth``.  So no surface hides in a
    coarser cell that the corner signs call empty or full: it is refined to
    ``max_depth``, where the finest lattice's sign changes find the surface
    (a small ball between the first samples, a thin plate, a cavity; only a
    feature smaller than a finest cell can slip between its corners).  ``lipschitz``
    defaults to the shape's own factor (1 for
    exact distances; see :attr:`Shape.lipschitz`), else 1.  The guard never
    assumes less than the steepest slope it has measured between two samples:
    a field steeper than ``lipschitz`` is met with a factor of 1.25 times that
    slope (``mesh.stats["steepest"]`` is the factor used), and the cells
    cleared before are judged again.  A field that is not distance-like
    (infinite values, or slopes more than four times what ``lipschitz``
    allows, as for an occupancy field; with ``adaptive=True``, slopes on the
    first lattice above twice that) is meshed by sign changes on the lattice
    it reaches, as marching cubes would; ``mesh.stats["guard"]`` says which
    happened.

    **Fields that only tell sides.**  An occupancy field (-1 inside, +1
    outside, or 0 and 1 about ``iso=0.5``), a step, or values clipped to a
    band narrower than a cell has no slope at the surface to follow.  Such a
    field is recognised from the first trial of every edge's crossing search
    (when most land on a value as far from ``iso`` as the nearer corner's);
    its crossings are then bisected to a thousandth of a cell, each vertex
    goes to the mean of its cell's crossing points, and the normals come
    from the triangles around each vertex.  ``mesh.stats["field_kind"]`` is
    ``"occupancy"`` then, ``"distance"`` otherwise.  Vertices stay within a
    fraction of a cell of the surface (sharp edges are rounded off by up to
    about a third of a cell, as with marching cubes).

    **What comes back.**  ``keep="all"`` keeps every connected piece (a
    hollow ball's inner wall, separate bodies); ``keep="largest"`` keeps the
    piece with the most triangles.  The mesh's ``normals`` are unit vectors
    from the field's gradients at the vertices (from the faces, for an
    occupancy field), and every vertex is finite.
    A field that returns NaN at a point the meshing needs raises ValueError
    saying how many and where; +inf and -inf count as outside and inside.

    **Printable.**  With ``manifold=True`` (the default) the mesh is a closed,
    consistently oriented 2-manifold whose triangles do not pass through
    each other, as printing, simulation and mesh booleans need
    (:meth:`Mesh.check` verifies it).  Where a vertex placed on a sharp
    feature folds its triangles over their neighbours (at concave creases),
    it steps back toward the mean of its cell's crossing points and, if
    need be, toward the cell's middle; where separate sheets of surface meet
    at one vertex or edge, the vertex or edge is split.  Sharp corners and
    edges elsewhere stay where they are.  ``mesh.stats["repaired"]`` counts
    the vertices moved (``folds_fixed``) and added (``vertices_split``);
    should any crossing remain (``unrepaired_pairs``), a RuntimeWarning says
    so.  Below the resolution, the rule is: a feature thinner than about two
    finest cells (a plate, a wall, a gap between two bodies) may come out
    perforated, closed up or in pieces, but the result is still a closed
    manifold; raise ``max_depth`` to keep it.  ``manifold=False`` returns the
    faces as placed, slightly faster.

    **Honest results.**  When the mesh has no triangles, :class:`NoSurfaceError`
    (a ValueError) says so, with the range of values the field gave, unless
    ``allow_empty=True``; when a value came closer to ``iso`` than one cell
    allows, it says the surface may be thinner than the resolution.  A field that looks positive inside gives a
    UserWarning: a closed mesh with negative volume, or, clipped, a field
    below ``iso`` at every point sampled around the bounds (the mesh is then
    the box with the shape carved out).  A field that raises
    TypeError on its first call (a function of ``x, y, z``, or one working on
    single numbers like ``math.sqrt``) raises a TypeError saying what a field
    takes, chained to the original.

    **Native evaluation.**  A shape made of this package's primitives,
    operators and transforms is compiled (:meth:`Shape.compile`) and
    evaluated inside the C++ core, in parallel and without the interpreter
    or NumPy: the evaluation itself is ten to fifty times faster, and costly
    shapes gain most (``docs/benchmarks.md``).  ``native=None`` (the
    default) does so whenever the whole tree compiles and neither
    ``batch_size`` nor ``executor`` is given; ``native=False`` forces the
    NumPy path (the shape called on batches of points, as any field);
    ``native=True`` insists, raising :class:`quarvel.CompileError` when the
    shape does not compile.  A compiled shape also bounds its values over
    boxes, and with ``intervals=True`` (the default) these bounds, not
    ``lipschitz``, prove cells empty or full: "no surface missed" then holds
    exactly, with no assumption on the field's slope, and cells the bounds
    prove are not sampled further (``mesh.stats["cells_proven"]``).
    ``intervals=False`` proves cells by ``lipschitz`` as for any field.

    **Crumbs.**  ``min_piece_volume`` drops every connected piece that encloses
    less than this volume (in absolute value): the slivers a clip cuts from a
    lattice, say.  ``mesh.stats["pieces_dropped"]`` counts them when any were.

    **Fewer triangles.**  ``tolerance`` (model units, default 0: off) merges
    triangles while every plane of the mesh as made stays within that
    distance of the vertex it was merged into: flat faces and gently curved
    parts come out as large triangles, and corners and sharp edges stay where
    they were, since every vertex kept is one of the mesh as made.  The mesh
    stays a closed 2-manifold without crossing triangles (merges that would
    make any are refused), with the same pieces.  ``mesh.stats["simplified"]``
    gives the triangles before and the merges made.  A tolerance of a cell
    (``mesh.stats["cell_size"]``) or a few suits most parts.

    **Calling the field.**  ``batch_size`` (at most 2**62; 262,144 when not
    given) caps the points of one call (the batches are joined in order: the
    mesh does not change).
    ``executor``, any :class:`concurrent.futures.Executor` (a process pool, a
    Dask or Ray client's executor), evaluates the chunks in parallel; without
    ``batch_size`` they hold 65,536 points.  Each chunk is submitted on its
    own and its result, taken from its own future, is checked as the field's
    are.  The field must then pickle, for a process pool.  The interpreter
    lock is released while the C++ core works, so other Python threads keep
    running.

    **Tiles.**  ``tiles=K`` cuts the finest lattice into K x K x K tiles and
    meshes them one at a time, or on ``executor`` (any
    :class:`concurrent.futures.Executor`, or a Dask ``distributed.Client``,
    which reschedules the tile of a worker that dies), so that no process
    holds more than a tile's cells.  Each tile is meshed with a halo of
    cells around it and keeps the triangles it owns; vertices are joined by
    name (their cell and which of its vertices they are), never by distance,
    so the mesh is the one meshed without tiles: the same triangles, volume
    and pieces (``mesh.stats["seam_mismatches"]`` counts seam vertices two
    tiles placed apart, 0 when the halo held all that decides them).  A
    shape goes to the workers as itself and is compiled there; any other
    field must pickle.  An error in a tile names it (as a note, from
    Python 3.11).  ``keep="largest"``, ``min_piece_volume`` and
    ``tolerance`` need the whole mesh and are refused with tiles.
    :func:`mesh_to_file` streams the tiles to a file instead.

    **Progress and cost.**  ``progress`` is a callable taking ``(stage, done,
    total)`` for the stages ``sampling``, ``refining``, ``crossings``,
    ``vertices`` and ``faces`` (and ``tiles`` with tiles; total 0 when not known ahead); True draws a
    bar on standard error, False shows nothing, and None (the default) draws
    the bar when standard error is a terminal.  ``mesh.stats`` holds the
    evaluations (in total and by stage), the field's batches and the seconds
    spent inside it, the module's own seconds, the cells examined (with
    ``adaptive=True``, the peak number of octree cells), the guard's
    outcome, the number of pieces, and the options that shaped the mesh.
    ``max_evaluations`` (default 0: no limit) caps what a call may cost: it
    raises ValueError rather than evaluate the field more times than that,
    counted as ``mesh.stats["evaluations"]`` counts them, so that the same
    call fails or succeeds alike on every machine and for any number of
    threads, as a time limit would not.
    """
    made: Mesh = _mesh(field, bounds, given, None)
    return made


def mesh_to_file(field: Callable[[Points], Any], path: str | os.PathLike[str], bounds: BoundsLike | None = None,
                 **given: Any) -> dict[str, Any]:  # fmt: skip
    """Mesh as :func:`mesh` does, in tiles, writing each tile's triangles to
    ``path`` (a binary ``.ply`` or ``.stl``) as it is joined: the whole mesh
    is never held, only the vertices near the faces of tiles not yet joined.
    ``tiles`` defaults to as many per axis as give tiles of 256 finest cells
    across.  The file is written beside ``path`` and renamed over it when
    complete.  Returns the stats :attr:`Mesh.stats` would hold, with the
    joined mesh's ``vertices``, ``triangles``, ``area``, ``volume`` and
    ``pieces``."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if suffix not in (".ply", ".stl"):
        raise ValueError(f"mesh_to_file streams binary .ply or .stl files (got {os.fspath(path)!r})")
    stats: dict[str, Any] = _mesh(field, bounds, given, os.fspath(path))
    return stats


def _mesh(field: Callable[[Points], Any], bounds: BoundsLike | None, given: dict[str, Any],
          path: str | None) -> Any:  # fmt: skip
    """:func:`mesh`, or with ``path`` :func:`mesh_to_file`."""
    options = bind_options(field, bounds, given)
    check_margin(options.margin)
    iso = check_iso(options.iso)
    check_tolerance(options.tolerance)
    if options.adaptive:
        warnings.warn(ADAPTIVE_DEPRECATED, DeprecationWarning, stacklevel=3)
    min_depth, _ = check_depths(options.min_depth, MAX_DEPTH_LIMIT)
    max_depth = options.max_depth
    if max_depth is not None:
        _, max_depth = check_depths(0, max_depth)
    box = search_box(field, bounds, iso, options.margin)
    max_depth = finest_depth(box, max_depth, options.voxel_size, min_depth)
    if options.voxel_size is not None:
        box = voxel_box(box, options.voxel_size, max_depth)
    check_depths(min_depth, max_depth)
    keep = options.keep
    if keep not in ("all", "largest"):
        raise ValueError(f"keep must be 'all' or 'largest' (got {keep!r})")
    batch_size = check_batch_size(options.batch_size)
    options = dataclasses.replace(options, min_depth=min_depth, iso=iso, batch_size=batch_size)
    level = level_box(field, iso)
    cut = clip_box(field, bounds, options.clip, iso, options.margin)
    factor = lipschitz_factor(field, options.lipschitz)
    tiles = options.tiles
    if path is not None and tiles is None:
        tiles = max(1, 2 ** (max_depth - STREAMED_TILE_DEPTH))
    if tiles is not None:
        check_tiles(tiles, options, keep, max_depth)
        if path is not None:
            return mesh_to_stream(field, path, box, options, tiles, max_depth, factor, cut)
    # With tiles the executor meshes them: each tile evaluates its shape in place.
    program = native_program(field, options.native, batch_size, None if tiles else options.executor)
    calls = None if program is not None else Chunked(as_field(field), batch_size, options.executor, cut)
    progress = options.progress
    hook, bar = progress_hook(progress)
    if progress is not False and not callable(progress):
        announce_long_run(max_depth, max(box.size), surface_estimate(box, level))
    with bar if bar is not None else nullcontext():
        if tiles is not None:
            sink = MemorySink()
            stats, measures, _ = mesh_in_tiles(field, box, options, tiles, max_depth, factor, cut,
                                                program is not None, sink, hook)  # fmt: skip
            vertices, triangles, normals = sink.arrays()
        else:
            vertices, triangles, normals, stats, measures = _core.extract(
                calls if program is None else program.native, box.lo, box.hi, options, max_depth=max_depth,
                lipschitz=factor, keep_largest=keep == "largest", clip=cut, progress=hook,
            )  # fmt: skip
    unrepaired = stats.get("repaired", {}).get("unrepaired_pairs", 0)
    if unrepaired:
        warnings.warn(f"{unrepaired} pairs of triangles still cross after repair", RuntimeWarning, stacklevel=3)
    stats.update(
        batches=stats.get("batches", 0) if tiles is not None else 0 if calls is None else calls.calls,
        module_seconds=max(stats["seconds"] - stats["field_seconds"], 0.0),
        lipschitz=factor,
        clipped=cut is not None,
        keep=keep,
        manifold=bool(options.manifold),
        max_depth=max_depth,
        cell_size=max(box.size) / 2**max_depth,
    )
    result = Mesh._measured(vertices, triangles, normals, stats, measures)
    if not len(result.triangles) and not options.allow_empty:
        low, high, spacing = value_range(box, calls, program, max_depth)
        raise NoSurfaceError(no_surface_message(box, iso, low, high, spacing * factor, max_depth))
    warning = open_or_cut_warning(result, box, cut, iso, reaches_out(level, bounds, cut, options.clip))
    if warning:
        warnings.warn(warning, RuntimeWarning, stacklevel=3)
    warning = inside_out_warning(result, cut, iso, calls)
    if warning:
        warnings.warn(warning, UserWarning, stacklevel=3)
    return result


def check_tiles(tiles: object, options: MeshOptions, keep: str, max_depth: int) -> None:
    """ValueError for a tile count, or an option, that meshing in tiles cannot take."""
    if isinstance(tiles, bool) or not isinstance(tiles, (int, np.integer)) or not 1 <= tiles <= 1 << 20:
        raise ValueError(f"tiles must be a whole number of tiles per axis, 1 or more (got {tiles!r})")
    needs_whole = [name for name, on in (("keep='largest'", keep == "largest"), ("tolerance", options.tolerance > 0),
                                         ("min_piece_volume", options.min_piece_volume > 0),
                                         ("adaptive", options.adaptive)) if on]  # fmt: skip
    if needs_whole:
        raise ValueError(f"{', '.join(needs_whole)} needs the whole mesh at once: mesh without tiles")
    if max_depth > MAX_TILED_DEPTH:
        raise ValueError(f"tiles serve max_depth up to {MAX_TILED_DEPTH} (got {max_depth})")


def tile_tasks(field: object, box: Bounds, options: MeshOptions, tiles: int, max_depth: int, factor: float | None,
               cut: Bounds | None, native: bool) -> list[TileTask]:  # fmt: skip
    # What each tile needs of the options; the executor and progress stay here.
    alone = dataclasses.replace(options, executor=None, progress=None)
    return [
        TileTask(i, field, native, box, alone, max_depth, factor, cut, lo, hi)
        for i, (lo, hi) in enumerate(tile_ranges(max_depth, int(tiles)))
    ]


def mesh_in_tiles(field: object, box: Bounds, options: MeshOptions, tiles: int, max_depth: int,
                  factor: float | None, cut: Bounds | None, native: bool, sink: Any,
                  progress: ProgressHook | None) -> tuple[dict[str, Any], dict[str, Any], Joiner]:  # fmt: skip
    """Meshes the tiles into ``sink``: the joined mesh's stats and measures, and the join."""
    started = time.perf_counter()
    tasks = tile_tasks(field, box, options, tiles, max_depth, factor, cut, native)
    joiner = Joiner(sink, box.center, tile_cuts(max_depth, int(tiles)))
    stats = mesh_tiles(tasks, joiner, options.executor, progress)
    pieces = joiner.joined_pieces()
    stats.update(tiles=len(tasks), seam_mismatches=joiner.mismatched, pieces=pieces,
                 seconds=time.perf_counter() - started)  # fmt: skip
    stats.setdefault("native", native)
    return stats, {"area": joiner.area, "volume": joiner.volume, "pieces": pieces}, joiner


def mesh_to_stream(field: object, path: str, box: Bounds, options: MeshOptions, tiles: int, max_depth: int,
                   factor: float | None, cut: Bounds | None) -> dict[str, Any]:  # fmt: skip
    """mesh_to_file's work once the options are resolved."""
    program = native_program(field, options.native, options.batch_size, None)
    hook, bar = progress_hook(options.progress)
    with bar if bar is not None else nullcontext(), replacing(path) as out:
        if path.lower().endswith(".ply"):
            sink: PlySink | StlSink = PlySink(out, normals=True, directory=os.path.dirname(os.path.abspath(path)))
        else:
            sink = StlSink(out)
        stats, measures, joiner = mesh_in_tiles(field, box, options, tiles, max_depth, factor, cut,
                                                program is not None, sink, hook)  # fmt: skip
        if not joiner.triangles and not options.allow_empty:
            raise NoSurfaceError(f"no surface found in {box} at max_depth {max_depth}: nothing was written")
        sink.close()
    stats.update(measures, vertices=joiner.count, triangles=joiner.triangles, max_depth=max_depth,
                 cell_size=max(box.size) / 2**max_depth, clipped=cut is not None, lipschitz=factor)  # fmt: skip
    return stats


def voxel_box(box: Bounds, voxel_size: float, depth: int) -> Bounds:
    """``box`` grown about its centre along its largest edge to exactly
    ``voxel_size * 2**depth``, so that the finest cells are ``voxel_size``;
    as it was when that would shrink it (``min_depth`` asked for finer cells)."""
    edge = voxel_size * 2.0**depth  # a power of two times voxel_size: cells come out exact
    size = np.asarray(box.size, dtype=float)
    # The depth was the first whose cells are no larger than voxel_size, so
    # the box grows by less than twice, unless min_depth forced finer cells.
    if not size.max() < edge < 2.0 * size.max():
        return box
    axis = int(np.argmax(size))
    lo, hi = np.asarray(box.lo, dtype=float), np.asarray(box.hi, dtype=float)
    centre = (lo[axis] + hi[axis]) * 0.5
    lo[axis], hi[axis] = centre - edge * 0.5, centre + edge * 0.5
    return Bounds.of(lo, hi)


def check_margin(margin: float) -> None:
    """Raise ValueError unless ``margin`` is a finite number >= 0."""
    if isinstance(margin, bool) or not isinstance(margin, (int, float, np.number)) or not 0.0 <= margin < math.inf:
        raise ValueError(
            f"margin must be a finite number >= 0, a fraction of the box's largest edge (got {margin!r})"
        )


def finest_depth(box: Bounds, max_depth: int | None, voxel_size: float | None, min_depth: int) -> int:
    """``max_depth``, or the smallest depth (>= ``min_depth``) whose cells in ``box`` are at most ``voxel_size``."""
    if voxel_size is None:
        return DEFAULT_MAX_DEPTH if max_depth is None else max_depth
    if max_depth is not None:
        raise ValueError("give max_depth or voxel_size, not both")
    if isinstance(voxel_size, bool) or not isinstance(voxel_size, (int, float, np.number)) or not (
        0.0 < voxel_size < math.inf
    ):
        raise ValueError(f"voxel_size must be a positive number (got {voxel_size!r})")
    edge = max(box.size)
    depth = min_depth
    while depth <= MAX_DEPTH_LIMIT and edge / 2**depth > voxel_size:
        depth += 1
    if depth > MAX_DEPTH_LIMIT:
        finest = edge / 2**MAX_DEPTH_LIMIT
        raise ValueError(f"voxel_size {voxel_size:g} is finer than the finest cell reachable in this box ({finest:.3g})")
    return depth


def estimate_cost(max_depth: int, edge: float, area: float) -> tuple[int, int]:
    """Evaluations and bytes of peak memory for a surface of ``area`` in a
    cube of ``edge`` cut ``max_depth`` times: one finest cell per cell area."""
    cells = area / (edge / 2.0**max_depth) ** 2
    return round(EVALUATIONS_PER_CELL * cells), round(BYTES_PER_CELL * cells)


def surface_estimate(box: Bounds, level: Bounds | None) -> float:
    """About how large the surface is: 3/4 of the area of the box that holds it
    (a ball has pi/6 of its box's, a thin plate all of it), the search box
    cut to the field's own bounds when it has them."""
    lo, hi = np.asarray(box.lo, dtype=float), np.asarray(box.hi, dtype=float)
    if level is not None:
        lo, hi = np.maximum(lo, level.lo), np.minimum(hi, level.hi)
        if np.any(hi <= lo):
            lo, hi = np.asarray(box.lo, dtype=float), np.asarray(box.hi, dtype=float)
    a, b, c = hi - lo
    return 0.75 * 2.0 * float(a * b + b * c + c * a)


def announce_long_run(max_depth: int, edge: float, area: float) -> None:
    """Print the estimated cost of a long run on standard error."""
    evaluations, memory = estimate_cost(max_depth, edge, area)
    if evaluations < LONG_RUN_EVALUATIONS:
        return
    print(
        f"quarvel: depth {max_depth} (finest cell {edge / 2**max_depth:.3g}): expect about "
        f"{evaluations / 1e6:,.0f} million field evaluations and {memory / 1e9:,.1f} GB of memory "
        "for a surface filling its bounds as solids do; a lattice has more (progress=False silences this)",
        file=sys.stderr,
        flush=True,
    )


def inside_out_warning(result: Mesh, cut: Bounds | None, iso: float, calls: Chunked | None) -> str | None:
    """What to say when the mesh looks turned inside out, or None."""
    advice = "quarvel expects negative values inside (negate the field)"
    if result.volume < 0.0 and result.is_watertight:
        volume = f"{result.volume:.6g}"
        return f"the mesh is closed but its volume is negative ({volume}): the field looks positive inside; {advice}"
    # Clipped, such a field gives the box with the shape carved out: a
    # positive volume, but the field is inside all around the box.
    if cut is not None and calls is not None and calls.points_outside and calls.high_outside < iso:
        return (
            f"the field is below iso={iso:g} at every point sampled around the bounds {cut}, so the mesh is "
            "the box itself with the shape carved out: the field looks positive inside (or the bounds lie "
            f"inside the shape); {advice}"
        )
    return None


# The finest lattice a compiled shape is sampled on to explain a failure:
# 2**6 + 1 points along each axis, 275k points.
RANGE_DEPTH = 6


def value_range(
    box: Bounds, calls: Chunked | None, program: Program | None, max_depth: int
) -> tuple[float, float, float]:
    """The least and greatest value the field gave, NaN ignored, and the
    spacing of the finest lattice they were read on.  A compiled shape runs
    in the core, which keeps no range: it is sampled here on a lattice of the
    box instead (only on failure)."""
    finest = max(box.size) / 2**max_depth
    if calls is not None or program is None:
        return (math.inf, -math.inf, finest) if calls is None else (calls.low, calls.high, finest)
    depth = min(max_depth, RANGE_DEPTH)
    axes = [np.linspace(lo, hi, 2**depth + 1) for lo, hi in zip(box.lo, box.hi, strict=True)]
    values = program.values(np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, 3))
    return float(np.fmin.reduce(values)), float(np.fmax.reduce(values)), max(box.size) / 2**depth


def no_surface_message(box: Bounds, iso: float, low: float, high: float, reach: float, max_depth: int) -> str:
    """Why ``mesh`` found nothing, from the values the field gave.  ``reach``:
    how far the values may change across one cell of the lattice they were
    read on; a value closer to ``iso`` than that may belong to a surface too
    thin for the cells, not to a field that misses the bounds."""
    if low > iso:
        seen = f"the field is above iso={iso:g} at every point sampled (least value {low:.6g})"
        gap = low - iso
    elif high < iso:
        seen = f"the field is below iso={iso:g} at every point sampled (greatest value {high:.6g})"
        gap = iso - high
    else:
        seen = f"the field's values range from {low:.6g} to {high:.6g}"
        gap = math.inf
    if gap < reach:
        return (
            f"no surface found within the bounds {box}: {seen}, closer to iso than one cell of the "
            f"lattice ({reach:.3g}), so the surface may be thinner than the resolution. Raise max_depth "
            f"(it was {max_depth}) or pass a smaller voxel_size; "
            "pass allow_empty=True to accept an empty mesh"
        )
    return (
        f"no surface found within the bounds {box}: {seen}. Check that the bounds enclose the shape, "
        "that the field is negative inside and positive outside, and iso; "
        "pass allow_empty=True to accept an empty mesh"
    )


def native_program(
    field: object, native: bool | None, batch_size: int | None, executor: Executor | None
) -> Program | None:
    """The program ``mesh`` evaluates in the core, or None for the NumPy path (see ``native``)."""
    if native is False:
        return None
    check_native(native, batch_size, executor)
    if batch_size is not None or executor is not None:
        return None
    if isinstance(field, Program):
        return field
    if not isinstance(field, Shape):
        if native:
            raise CompileError(
                f"native=True needs a shape of this package (got {type(field).__name__}); "
                "other fields are evaluated through NumPy"
            )
        return None
    try:
        return field.compile()
    except CompileError:
        if native:
            raise
        return None


def check_native(native: bool | None, batch_size: int | None, executor: object) -> None:
    """Raise ValueError when ``native=True`` meets options of the NumPy path (shared with the command line)."""
    if native is True and (batch_size is not None or executor is not None):
        raise ValueError("batch_size and executor (--batch-size, --workers) apply to the NumPy path, not native=True")


def check_iso(iso: float) -> float:
    """``iso`` as a float; ValueError unless it is a finite number."""
    if isinstance(iso, bool) or not isinstance(iso, (int, float, np.integer, np.floating)) or not math.isfinite(iso):
        raise ValueError(f"iso must be a finite number, the field's value on the surface (got {iso!r})")
    return float(iso)


def check_depths(min_depth: int, max_depth: int) -> tuple[int, int]:
    """Both depths as Python ints; ValueError unless 0 <= min_depth <= max_depth <= 31
    (shared with the command line)."""
    for name, value in (("min_depth", min_depth), ("max_depth", max_depth)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
            raise ValueError(f"{name} must be a non-negative integer (got {value!r})")
    # NumPy integers wrap around in the arithmetic on depths (2**depth): plain ints do not.
    min_depth, max_depth = int(min_depth), int(max_depth)
    if max_depth > MAX_DEPTH_LIMIT:
        raise ValueError(f"max_depth must be at most {MAX_DEPTH_LIMIT} (got {max_depth})")
    if min_depth > max_depth:
        raise ValueError(f"min_depth must not exceed max_depth (got {min_depth} > {max_depth})")
    return min_depth, max_depth


def check_batch_size(batch_size: int | None) -> int | None:
    """``batch_size`` as a Python int, or None; ValueError unless it is a whole number
    from 1 to 2**62 (shared with the command line)."""
    if batch_size is None:
        return None
    if (
        isinstance(batch_size, bool)
        or not isinstance(batch_size, (int, np.integer))
        or not 1 <= int(batch_size) <= MAX_BATCH_SIZE
    ):
        raise ValueError(f"batch_size must be a positive integer, at most 2**62 (got {batch_size!r})")
    # A NumPy integer would wrap around in the chunks' offsets.
    return int(batch_size)


def search_box(field: object, bounds: BoundsLike | None, iso: float, margin: float) -> Bounds:
    """The box ``mesh`` searches: ``bounds`` or the field's own, grown by ``margin``.

    Shared with the command line, which checks bounds before any work."""
    if bounds is not None:
        box = as_bounds(bounds)
    else:
        own = getattr(field, "bounds", None)
        if own is None:
            raise ValueError("this field has no bounds of its own: pass bounds=(lo, hi)")
        box = as_bounds(own)
        # The iso level of a distance field lies iso further out, and farther
        # where the values understate the distance.
        box = box.padded(max(float(iso), 0.0) * (understatement(field) or 1.0))
    if np.isnan(box).any():
        raise ValueError(f"the bounds {box} hold NaN: {BOUNDS_FORM}")
    if not box.is_finite:
        raise ValueError(f"cannot mesh within unbounded extent {box}: pass finite bounds=(lo, hi)")
    with np.errstate(over="ignore", invalid="ignore"):
        if box.is_empty or min(box.size) <= 0.0:
            raise ValueError(f"the bounds {box} enclose no volume (each hi must exceed its lo)")
        grown = box.padded(margin * max(box.size))
        # The octree's cube about the box's centre must be finite too, or its
        # points would be.
        edge = max(grown.size)
        cube = Bounds.of(np.subtract(grown.center, edge / 2.0), np.add(grown.center, edge / 2.0))
        if not (grown.is_finite and cube.is_finite and math.isfinite(edge)):
            raise ValueError(
                f"the bounds {box}, grown by the margin to a cube, reach beyond the range of "
                "floating-point numbers: pass smaller bounds"
            )
    return grown


def understatement(field: object) -> float | None:
    """How far the field's values may understate the distance outside its bounds
    (see :attr:`Shape.understatement`), or None when it does not say."""
    value = getattr(field, "understatement", None)
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 1.0 <= value < math.inf:
        return None
    return float(value)


def level_box(field: object, iso: float) -> Bounds | None:
    """A box holding every point where the field is at most ``iso``: its own bounds,
    grown for a positive ``iso`` when its understatement is known; else None."""
    own = getattr(field, "bounds", None)
    if own is None:
        return None
    box = as_bounds(own)
    if iso <= 0.0:
        return box
    factor = understatement(field)
    return None if factor is None else box.padded(iso * factor)


def holds(outer: Bounds, inner: Bounds) -> bool:
    """Whether box ``inner`` lies within box ``outer``."""
    return all(o_lo <= lo and hi <= o_hi for lo, hi, o_lo, o_hi in zip(inner.lo, inner.hi, outer.lo, outer.hi))


def clip_box(
    field: object, bounds: BoundsLike | None, clip: bool | None, iso: float = 0.0, margin: float = 0.0
) -> Bounds | None:
    """The box ``mesh`` cuts the solid with, or None (see ``clip`` in :func:`mesh`)."""
    if clip is False:
        return None
    own = getattr(field, "bounds", None)
    if bounds is None:
        if clip:
            # Explicitly asked: the field's own bounds (which mesh() has checked).
            return as_bounds(own) if own is not None else None
        if own is None or level_box(field, iso) is not None:
            return None
        # The surface at a positive iso may reach past the box searched: cut it
        # halfway through the margin, so that it comes out closed.
        reach = as_bounds(own).padded(iso)
        return reach.padded(margin / 2.0 * max(reach.size))
    box = as_bounds(bounds)
    if clip:
        return box
    level = level_box(field, iso)
    return None if level is not None and holds(box, level) else box


def reaches_out(level: Bounds | None, bounds: BoundsLike | None, cut: Bounds | None, clip: bool | None) -> bool:
    """Whether the surface may reach the sides of the box searched and, unclipped,
    come out open, or the cut is one the caller did not ask for."""
    if cut is not None:
        return bounds is None and clip is None
    if bounds is None:
        return level is None
    return level is None or not holds(as_bounds(bounds), level)


def open_or_cut_warning(result: Mesh, box: Bounds, cut: Bounds | None, iso: float, reaching: bool) -> str | None:
    """What to say when the surface met the sides of the box searched, or None.

    Unclipped, the mesh is then open.  Cut by the box ``mesh`` chose for a
    positive iso, it is closed, but flat where the surface went on."""
    if not reaching or not len(result.triangles):
        return None
    vertices = result.vertices
    if cut is None:
        # An edge is open only where the surface leaves the lattice's cube, so
        # only a vertex within a cell or so of it can be on one: without any,
        # the whole-mesh topology count (5% of a depth-9 call) is not needed.
        inside = np.minimum(vertices - box.lo, np.subtract(box.hi, vertices)).min(axis=1)
        if not np.any(inside <= 2.0 * result.stats["cell_size"]):
            return None
        edges = result._topology_counts()["boundary_edges"]
        if not edges:
            return None
        return (
            f"the mesh is open ({edges} boundary edges): the surface field == {iso:g} reaches the sides of "
            f"the box searched, {box}; pass bounds that hold it, or clip=None to close it there"
        )
    nearest_side = np.minimum(vertices - cut.lo, np.subtract(cut.hi, vertices)).min(axis=1)
    if not np.any(nearest_side <= CUT_TOLERANCE * result.stats["cell_size"]):
        return None
    return (
        f"the surface field == {iso:g} reaches past the field's bounds grown by iso, where its values may "
        f"understate the distance: the mesh is cut flat at {cut}; pass bounds that hold the surface, or "
        "give the field an `understatement` factor (see Shape.understatement)"
    )


def lipschitz_factor(field: object, lipschitz: float | None) -> float:
    """The factor the guard assumes: ``lipschitz``, else the shape's own, else 1."""
    if lipschitz is None:
        lipschitz = getattr(field, "lipschitz", None)
        if not isinstance(lipschitz, (int, float)):
            lipschitz = 1.0
    value = float(lipschitz)
    if not (value > 0.0 and math.isfinite(value)):
        raise ValueError(f"lipschitz must be a positive number (got {lipschitz!r})")
    return value


def progress_hook(progress: bool | ProgressHook | None) -> tuple[ProgressHook | None, ProgressBar | None]:
    """The callable the core reports to, and the bar to finish afterwards, if any."""
    if progress is None:
        progress = sys.stderr.isatty()
    if progress is True:
        bar = ProgressBar()
        return bar, bar
    if progress is False:
        return None, None
    if not callable(progress):
        raise TypeError(f"progress must be a bool or a callable (got {type(progress).__name__})")
    return progress, None


def as_bounds(value: Any) -> Bounds:
    """``value`` as :class:`Bounds`: one already, a pair of corners, or six numbers."""
    if isinstance(value, Bounds):
        return value
    try:
        # Unpacked first, so that an error of the caller's own sequence type
        # reaches the caller as it was raised.
        arr = np.asarray([*value], dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"cannot read bounds {value!r}: {BOUNDS_FORM}") from error
    if arr.shape == (6,):
        return Bounds.of(arr[:3], arr[3:])
    if len(arr.shape) == 0 or arr.shape[0] != 2 or arr.shape[1:] not in ((), (3,)):
        raise ValueError(f"bounds of shape {arr.shape}: {BOUNDS_FORM}")
    return Bounds.of(arr[0], arr[1])
