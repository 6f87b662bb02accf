"""``quarvel.mesh``: from a field to a :class:`Mesh` in one call."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from contextlib import nullcontext
from typing import Any

import numpy as np

from ._bounds import Bounds
from ._field import Field, Points, as_field
from ._mesh import Mesh
from ._progress import Progress

MAX_DEPTH_LIMIT = 31

BoundsLike = Bounds | Sequence[Sequence[float]]


def mesh(
    field: Callable[[Points], Any],
    bounds: BoundsLike | None = None,
    *,
    max_depth: int = 7,
    min_depth: int = 3,
    adaptive: bool = False,
    iso: float = 0.0,
    angle_threshold: float = 30.0,
    margin: float = 0.05,
    progress: bool = False,
) -> Mesh:
    """Extract the surface ``field == iso`` as a triangle mesh.

    ``field`` is a shape from this package or any callable taking an (N, 3)
    float64 array of points and returning values, or ``(values, gradients)``
    (see :func:`as_field`).  Fields are negative inside.

    ``bounds`` is the box to search, as ``Bounds`` or ``(lo, hi)``; when
    omitted, the field's own ``bounds`` are used.  The box is grown by
    ``margin`` times its largest edge (and, for a field's own bounds, by a
    positive ``iso``) so that the surface does not touch its sides.

    The octree is refined everywhere down to ``min_depth`` and near the
    surface down to ``max_depth``: each level halves the cell size, so the
    finest cells measure the box's largest edge divided by 2**max_depth.
    ``adaptive=True`` keeps cells coarse where the surface is flat, for
    fewer triangles.  ``angle_threshold`` (degrees) is the normal angle that
    counts as curved or sharp.  ``progress=True`` shows a status line on
    standard error.
    """
    check_depths(min_depth, max_depth)
    box = search_box(field, bounds, iso, margin)
    contract_field = as_field(field)
    reporter = Progress(contract_field) if progress else None
    eval_fn: Field = reporter if reporter is not None else contract_field
    # Imported late so that shapes, mesh files and previews work, and can be
    # tested, without the extension.
    import _quarvel_rs

    with reporter if reporter is not None else nullcontext():
        vertices, triangles = _quarvel_rs.extract_mesh(
            eval_fn, box.lo, box.hi, min_depth, max_depth, float(angle_threshold), float(iso), bool(adaptive)
        )
    return Mesh(vertices, triangles)


def check_depths(min_depth: int, max_depth: int) -> None:
    """Raise ValueError unless 0 <= min_depth <= max_depth <= 31 (shared with the command line)."""
    for name, value in (("min_depth", min_depth), ("max_depth", max_depth)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
            raise ValueError(f"{name} must be a non-negative integer (got {value!r})")
    if max_depth > MAX_DEPTH_LIMIT:
        raise ValueError(f"max_depth must be at most {MAX_DEPTH_LIMIT} (got {max_depth})")
    if min_depth > max_depth:
        raise ValueError(f"min_depth must not exceed max_depth (got {min_depth} > {max_depth})")


def search_box(field: object, bounds: BoundsLike | None, iso: float, margin: float) -> Bounds:
    """The box ``mesh`` searches: ``bounds`` or the field's own, grown by ``margin``.

    Shared with the command line, which checks bounds before any work."""
    if bounds is not None:
        box = bounds if isinstance(bounds, Bounds) else Bounds.of(*bounds)
    else:
        own = getattr(field, "bounds", None)
        if own is None:
            raise ValueError("this field has no bounds of its own: pass bounds=(lo, hi)")
        box = own if isinstance(own, Bounds) else Bounds.of(*own)
        # The iso level of a distance field lies iso further out.
        box = box.padded(max(float(iso), 0.0))
    if not box.is_finite:
        raise ValueError(f"cannot mesh within unbounded extent {box}: pass finite bounds=(lo, hi)")
    if box.is_empty or max(box.size) <= 0.0:
        raise ValueError(f"the bounds {box} enclose no volume")
    return box.padded(margin * max(box.size))
