"""Type stubs for ``quarvel._engine``, the package's own module (private: use ``quarvel.mesh``)."""

from collections.abc import Callable, Sequence
from typing import Any, SupportsFloat

import numpy as np
from numpy.typing import NDArray

Point = Sequence[SupportsFloat]

def check_mesh(vertices: NDArray[np.float64], triangles: NDArray[np.int64]) -> dict[str, Any]:
    """Counts of degenerate triangles, boundary, non-manifold and misoriented edges and non-manifold vertices, and the (K, 2) crossing triangle pairs. Private: call Mesh.check."""

def extract(
    field: Callable[[NDArray[np.float64]], Any],
    lo: Point,
    hi: Point,
    min_depth: int = 3,
    max_depth: int = 7,
    iso: float = 0.0,
    angle: float = 30.0,
    adaptive: bool = False,
    keep_largest: bool = False,
    lipschitz: float | None = 1.0,
    clip: tuple[Point, Point] | None = None,
    progress: Callable[[str, int, int], object] | None = None,
    manifold: bool = True,
) -> tuple[NDArray[np.float64], NDArray[np.int64], NDArray[np.float64], dict[str, Any]]:
    """Mesh the surface field == iso within the box (lo, hi) with the package's pipeline.

    Returns (vertices, triangles, normals, stats). Private: quarvel.mesh documents the
    options and is the one caller.
    """

def thread_count() -> int:
    """Threads of the worker pool, the caller's included."""
