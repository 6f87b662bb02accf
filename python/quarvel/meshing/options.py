"""The options of :func:`quarvel.mesh`, declared once.

:class:`MeshOptions` holds them by the names :func:`quarvel.mesh` takes; the
command line builds its flags from the fields' metadata, and the options the
core reads as they are go to it by the same names.  :func:`quarvel.mesh`
takes its keywords from here too, so adding an option means a field here and
the code that reads it; one the core reads is also a row of the core's list
of options (``QUARVEL_MESH_OPTIONS``), from which the core's request and
its keywords come.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable
from concurrent.futures import Executor
from numbers import Real
from typing import Any, Literal

from .progress import ProgressHook

Keep = Literal["all", "largest"]


def non_negative(name: str, value: Any) -> None:
    """Raise ValueError unless option ``name``'s ``value`` is a finite number >= 0."""
    if isinstance(value, bool) or not isinstance(value, Real) or not 0.0 <= float(value) < math.inf:
        raise ValueError(f"{name} must be a finite number >= 0 (got {value!r})")


def _option(
    default: Any,
    help: str | None = None,
    *,
    type: Any = None,
    metavar: str | None = None,
    flag: str | None = None,
    choices: tuple[str, ...] | None = None,
    group: str | None = None,
    core: bool = False,
    check: Callable[[str, Any], None] | None = None,
) -> Any:
    """A field with its command-line flag (none without ``help``); ``core``
    marks an option the core reads unchanged, under its own name, and
    ``check(name, value)`` raises ValueError for a value it does not take."""
    cli = None if help is None else {"help": help, "type": type, "metavar": metavar, "flag": flag,
                                      "choices": choices, "group": group}
    return dataclasses.field(default=default, metadata={"cli": cli, "core": core, "check": check})


@dataclasses.dataclass(frozen=True, kw_only=True)
class MeshOptions:
    """Every keyword option of :func:`quarvel.mesh`, with its default; see
    there for what each does.  Made by keywords, as :func:`quarvel.mesh` takes them."""

    max_depth: int | None = _option(
        None, "finest octree level near the surface (default 7, at most 31)", type=int, metavar="N",
        group="resolution",
    )
    voxel_size: float | None = _option(
        None, "largest finest cell to accept, instead of --max-depth (the depth is the smallest that gives it)",
        type=float, metavar="H", group="resolution",
    )
    min_depth: int = _option(3, "level to which the whole box is refined (default 3)", type=int, metavar="N",
                             core=True)
    keep: Keep = _option("all", "keep every connected piece (default) or only the largest",
                         choices=("all", "largest"))
    clip: bool | None = _option(
        None, "cut the solid with --bounds, closing it there (default: when the shape reaches outside them)"
    )
    iso: float = _option(0.0, "mesh the surface field == V (default 0)", type=float, metavar="V", core=True)
    angle_threshold: float = _option(
        30.0, "normal angle treated as a sharp feature (default 30)", type=float, metavar="DEG", flag="--angle",
        core=True,
    )
    adaptive: bool = _option(
        False, "deprecated (use --tolerance): coarser cells where the surface curves gently and balance the "
        "tree: fewer triangles on smooth shapes, the same mesh (slower) on shapes with sharp edges", core=True,
    )
    margin: float = _option(0.05, "grow the search box by this share of its largest edge (default 0.05)",
                            type=float, metavar="M")
    lipschitz: float | None = _option(
        None, "most the field's values change per unit of distance, to prove cells empty "
        "(default: the shape's own factor, else 1)", type=float, metavar="L",
    )
    batch_size: int | None = _option(None, "call the field with at most N points at a time", type=int,
                                     metavar="N")
    executor: Executor | None = _option(None)
    tiles: int | None = _option(
        None, "mesh the box in K x K x K tiles, one at a time (or on the executor), joined exactly at their "
        "seams: peak memory follows the tile, not the model", type=int, metavar="K",
    )
    progress: bool | ProgressHook | None = _option(
        None, "show progress on stderr: a bar on a terminal, one line per stage elsewhere (default: when stderr "
        "is a terminal); --no-progress also silences the cost estimate of a long run",
    )
    manifold: bool = _option(True, "repair folds and pinches so the mesh is printable (default: on)", core=True)
    allow_empty: bool = _option(False, "write an empty mesh instead of failing when no surface is found")
    native: bool | None = _option(
        None, "evaluate the shape compiled, in the core; --no-native forces the NumPy path "
        "(default: compiled when the whole shape compiles and neither --batch-size nor --workers is given)",
    )
    intervals: bool = _option(
        True, "prove cells empty or full by a compiled shape's interval bounds (default) instead of by "
        "--lipschitz", core=True,
    )
    min_piece_volume: float = _option(
        0.0, "drop connected pieces enclosing less than this volume, such as crumbs a clip leaves (default 0)",
        type=float, metavar="V", core=True, check=non_negative,
    )
    tolerance: float = _option(
        0.0, "merge triangles while the surface stays within this distance (model units) of the one "
        "meshed: flat and gently curved parts get large triangles, sharp edges stay (default 0: off)",
        type=float, metavar="T", core=True,
    )
    max_evaluations: float = _option(
        0.0, "fail rather than evaluate the field more than N times, as mesh.stats['evaluations'] counts them "
        "(default 0: no limit)", type=float, metavar="N", core=True, check=non_negative,
    )

    def __post_init__(self) -> None:
        for f in dataclasses.fields(self):
            check = f.metadata.get("check")
            if check is not None:
                check(f.name, getattr(self, f.name))

    def core_options(self) -> dict[str, Any]:
        """The options the core reads unchanged, by name."""
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(MeshOptions) if f.metadata["core"]}
