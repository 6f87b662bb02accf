"""Type stubs for ``quarvel._engine``, the package's own module (private: use ``quarvel.mesh``)."""

from collections.abc import Callable, Sequence
from typing import Any, SupportsFloat, TypedDict, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

Point = Sequence[SupportsFloat]
External = Callable[[NDArray[np.float64], bool], tuple[NDArray[np.float64], NDArray[np.float64] | None]]

def check_mesh(
    vertices: NDArray[np.float64], triangles: NDArray[np.int64], max_pairs: int | None = None
) -> dict[str, Any]:
    """Counts of degenerate triangles, boundary, non-manifold and misoriented edges, non-manifold and non-finite vertices, the first max_pairs (K, 2) crossing triangle pairs, their count and whether it is complete. Private: call Mesh.check."""

def measure_mesh(vertices: NDArray[np.float64], triangles: NDArray[np.int64]) -> tuple[float, float]:
    """(area, volume) of the mesh. Private: read Mesh.area and Mesh.volume."""

def check_topology(vertices: NDArray[np.float64], triangles: NDArray[np.int64]) -> dict[str, int]:
    """check_mesh's counts without the crossing pairs. Private: read Mesh.is_watertight."""

def mesh_components(vertices: NDArray[np.float64], triangles: NDArray[np.int64]) -> NDArray[np.int64]:
    """Per triangle, its connected piece, numbered in order of first triangle. Private: call Mesh.components."""

class Summary(TypedDict):
    area: float
    volume: float
    pieces: int
    closed: bool

def simplify_mesh(
    vertices: NDArray[np.float64], triangles: NDArray[np.int64], tolerance: float
) -> tuple[NDArray[np.float64], NDArray[np.int64], dict[str, Any]]:
    """(vertices, triangles, stats): the mesh with edges collapsed while it stays within tolerance of the planes it replaces. Private: call Mesh.simplify."""

def summarize_mesh(vertices: NDArray[np.float64], triangles: NDArray[np.int64]) -> Summary:
    """{'area', 'volume', 'pieces', 'closed'} of the mesh in one call. Private: read Mesh.summary."""

Mesh = tuple[NDArray[np.float64], NDArray[np.int64], NDArray[np.float64], dict[str, Any], dict[str, Any]]
TileCells = tuple[tuple[int, int, int], tuple[int, int, int], int]

@overload
def extract(
    field: Callable[[NDArray[np.float64]], Any] | object,
    lo: Point,
    hi: Point,
    *,
    max_depth: int = 7,
    keep_largest: bool = False,
    lipschitz: float | None = 1.0,
    clip: tuple[Point, Point] | None = None,
    tile: TileCells,
    progress: Callable[[str, int, int], object] | None = None,
    **options: float,
) -> tuple[NDArray[np.float64], NDArray[np.int64], NDArray[np.float64], dict[str, Any], dict[str, Any],
           NDArray[np.uint64], NDArray[np.uint64]]: ...

@overload
def extract(
    field: Callable[[NDArray[np.float64]], Any] | object,
    lo: Point,
    hi: Point,
    *,
    max_depth: int = 7,
    keep_largest: bool = False,
    lipschitz: float | None = 1.0,
    clip: tuple[Point, Point] | None = None,
    tile: None = None,
    progress: Callable[[str, int, int], object] | None = None,
    **options: float,
) -> Mesh:
    """Mesh the surface field == iso within the box (lo, hi) with the package's pipeline.

    ``options``: the options of quarvel.MeshOptions that the core reads as they are, by name
    (min_depth, iso, angle_threshold, ...); the runtime signature lists them with their defaults.

    A program (from ``program``) as the field is evaluated in the core; with ``intervals``,
    its bounds over cells prove them empty or full instead of the Lipschitz factor.

    ``tile`` ((lo), (hi), halo) meshes the finest cells [lo, hi) with ``halo`` cells around them
    and keeps the triangles it owns; the vertices' names (N, 2) and the triangles' pieces follow.

    Returns (vertices, triangles, normals, stats, measures): the mesh's area, volume and pieces. Private: quarvel.mesh documents the
    options and quarvel._core.extract is the one caller.
    """

def thread_count() -> int:
    """Threads of the worker pool, the caller's included."""

def opcodes() -> tuple[str, ...]:
    """The names of the program opcodes, in the order of their numbers."""

def program(code: ArrayLike, constants: ArrayLike, externals: Sequence[External] = ()) -> object:
    """A program from its tape: code (N, 5) integers, constants float64, and the callables its calls
    name (fn(points, gradients) -> (values, gradients or None)); ValueError when malformed."""

def program_eval(
    program: object, points: ArrayLike, gradients: bool = True
) -> tuple[NDArray[np.float64], NDArray[np.float64] | None]:
    """(values (N,), gradients (N, 3) or None) of the program at (N, 3) points."""

def program_bounds(
    program: object, lo: ArrayLike, hi: ArrayLike
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Bounds (lower, upper) on the program's values over the boxes lo[i] to hi[i]; NaN when unknown."""
