"""``quarvel.mesh``: from a field to a :class:`Mesh` in one call."""

from __future__ import annotations

import importlib
import math
import sys
import warnings
from collections.abc import Callable, Sequence
from concurrent.futures import Executor
from contextlib import nullcontext
from typing import Any, Literal

import numpy as np

from ._batching import Chunked
from ._bounds import Bounds
from ._field import Points, as_field
from ._mesh import Mesh
from ._progress import ProgressBar, ProgressHook

MAX_DEPTH_LIMIT = 31

BoundsLike = Bounds | Sequence[Sequence[float]]
Keep = Literal["all", "largest"]


def mesh(
    field: Callable[[Points], Any],
    bounds: BoundsLike | None = None,
    *,
    max_depth: int = 7,
    min_depth: int = 3,
    keep: Keep = "all",
    clip: bool | None = None,
    iso: float = 0.0,
    angle_threshold: float = 30.0,
    adaptive: bool = False,
    margin: float = 0.05,
    lipschitz: float | None = None,
    batch_size: int | None = None,
    executor: Executor | None = None,
    progress: bool | ProgressHook | None = None,
    manifold: bool = True,
) -> Mesh:
    """Extract the surface ``field == iso`` as a triangle mesh.

    ``field`` is a shape from this package or any callable taking an (N, 3)
    float64 array of points and returning values, or ``(values, gradients)``
    (see :func:`as_field`).  Fields are negative inside.  Gradients are
    optional but make meshing cheaper: the crossings of the surface with the
    cell edges are then found by Newton steps, each normal comes from the last
    step, and vertices settle on the surface in fewer evaluations.

    **Where.**  ``bounds`` is the box to search, as ``Bounds`` or ``(lo, hi)``;
    when omitted, the field's own ``bounds`` are used.  The box is grown by
    ``margin`` times its largest edge (and, for a field's own bounds, by a
    positive ``iso``) so that the surface does not touch its sides.  ``clip``
    cuts the solid with the given box, so that the mesh is the closed surface
    of the part inside it; by default (None) it clips when you pass
    ``bounds`` and the field's own bounds are unknown or reach outside them
    (a slab of a gyroid, a corner of a large shape), and never clips to a
    field's own bounds.

    **How fine.**  The octree is refined everywhere down to ``min_depth`` and
    near the surface down to ``max_depth``: each level halves the cell size,
    so the finest cells measure the box's largest edge divided by
    2**max_depth.  ``adaptive=True`` keeps cells coarse where the surface is
    flat and balances the tree instead of refining every surface cell.
    ``angle_threshold`` (degrees) is the normal angle that counts as curved
    or sharp.

    **No surface missed.**  A cell is accepted as empty or full only when its
    corner values prove it: for a field whose values change by at most
    ``lipschitz`` per unit of distance, the balls of radius |f - iso| /
    lipschitz around its corners, which hold no surface, must cover it.  Any
    other cell is refined, down to ``max_depth``.  So no surface hides in a
    coarser cell that the corner signs call empty or full: it is refined to
    ``max_depth``, where the finest lattice's sign changes find the surface
    (a small ball between the first samples, a thin plate, a cavity; only a
    feature smaller than a finest cell can slip between its corners).  ``lipschitz``
    defaults to the shape's own factor (1 for
    exact distances; see :attr:`Shape.lipschitz`), else 1.  A field that is
    not distance-like (infinite values, or values on the first lattice
    changing more than twice as fast as ``lipschitz`` allows, as for an
    occupancy field) is meshed by sign changes on the lattice it reaches, as
    marching cubes would; ``mesh.stats["guard"]`` says which happened.

    **What comes back.**  ``keep="all"`` keeps every connected piece (a
    hollow ball's inner wall, separate bodies); ``keep="largest"`` keeps the
    piece with the most triangles.  The mesh's ``normals`` are unit vectors
    from the field's gradients at the vertices, and every vertex is finite.
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

    **Calling the field.**  ``batch_size`` caps the points of one call (the
    batches are joined in order: the mesh does not change).  ``executor``, any
    :class:`concurrent.futures.Executor` (a process pool, a Dask or Ray
    client's executor), evaluates the chunks in parallel; without
    ``batch_size`` they hold 65,536 points.  The field must then pickle, for
    a process pool.  The interpreter lock is released while the C++ core
    works, so other Python threads keep running.

    **Progress and cost.**  ``progress`` is a callable taking ``(stage, done,
    total)`` for the stages ``sampling``, ``refining``, ``crossings``,
    ``vertices`` and ``faces`` (total 0 when not known ahead); True draws a
    bar on standard error, False shows nothing, and None (the default) draws
    the bar when standard error is a terminal.  ``mesh.stats`` holds the
    evaluations (in total and by stage), the field's batches and the seconds
    spent inside it, the module's own seconds, the peak number of octree
    cells, the guard's outcome, the number of pieces, and the options that
    shaped the mesh.
    """
    check_depths(min_depth, max_depth)
    if keep not in ("all", "largest"):
        raise ValueError(f"keep must be 'all' or 'largest' (got {keep!r})")
    check_batch_size(batch_size)
    box = search_box(field, bounds, iso, margin)
    cut = clip_box(field, bounds, clip)
    factor = lipschitz_factor(field, lipschitz)
    calls = Chunked(as_field(field), batch_size, executor)
    hook, bar = progress_hook(progress)
    # Imported late so that shapes, mesh files and previews work, and can be
    # tested, without the extension.
    engine: Any = importlib.import_module("quarvel._engine")
    with bar if bar is not None else nullcontext():
        vertices, triangles, normals, stats = engine.extract(
            calls, box.lo, box.hi, min_depth, max_depth, float(iso), float(angle_threshold),
            bool(adaptive), keep == "largest", factor, cut, hook, bool(manifold),
        )  # fmt: skip
    unrepaired = stats.get("repaired", {}).get("unrepaired_pairs", 0)
    if unrepaired:
        warnings.warn(f"{unrepaired} pairs of triangles still cross after repair", RuntimeWarning, stacklevel=2)
    stats.update(
        batches=calls.calls,
        module_seconds=max(stats["seconds"] - stats["field_seconds"], 0.0),
        lipschitz=factor,
        clipped=cut is not None,
        keep=keep,
        manifold=bool(manifold),
    )
    return Mesh(vertices, triangles, normals, stats)


def check_depths(min_depth: int, max_depth: int) -> None:
    """Raise ValueError unless 0 <= min_depth <= max_depth <= 31 (shared with the command line)."""
    for name, value in (("min_depth", min_depth), ("max_depth", max_depth)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
            raise ValueError(f"{name} must be a non-negative integer (got {value!r})")
    if max_depth > MAX_DEPTH_LIMIT:
        raise ValueError(f"max_depth must be at most {MAX_DEPTH_LIMIT} (got {max_depth})")
    if min_depth > max_depth:
        raise ValueError(f"min_depth must not exceed max_depth (got {min_depth} > {max_depth})")


def check_batch_size(batch_size: int | None) -> None:
    """Raise ValueError unless ``batch_size`` is None or a positive integer."""
    if batch_size is None:
        return
    if isinstance(batch_size, bool) or not isinstance(batch_size, (int, np.integer)) or batch_size < 1:
        raise ValueError(f"batch_size must be a positive integer (got {batch_size!r})")


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
        # The iso level of a distance field lies iso further out.
        box = box.padded(max(float(iso), 0.0))
    if not box.is_finite:
        raise ValueError(f"cannot mesh within unbounded extent {box}: pass finite bounds=(lo, hi)")
    if box.is_empty or max(box.size) <= 0.0:
        raise ValueError(f"the bounds {box} enclose no volume")
    return box.padded(margin * max(box.size))


def clip_box(field: object, bounds: BoundsLike | None, clip: bool | None) -> Bounds | None:
    """The box ``mesh`` cuts the solid with, or None (see ``clip`` in :func:`mesh`)."""
    if clip is False:
        return None
    own = getattr(field, "bounds", None)
    if bounds is None:
        # Explicitly asked: the field's own bounds (which mesh() has checked).
        return as_bounds(own) if clip and own is not None else None
    box = as_bounds(bounds)
    if clip:
        return box
    if own is None:
        return box
    inner = as_bounds(own)
    inside = all(b_lo <= lo and hi <= b_hi for lo, hi, b_lo, b_hi in zip(inner.lo, inner.hi, box.lo, box.hi))
    return None if inside else box


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
    """``value`` as :class:`Bounds`: one already, or a pair of corners."""
    return value if isinstance(value, Bounds) else Bounds.of(*value)
