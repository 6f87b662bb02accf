"""Type stubs for the ``_quarvel_rs`` extension module."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import NDArray

__all__: list[str]

# The field contract: called with one (N, 3) float64 array of points, it
# returns (values, gradients) where values is a contiguous one-dimensional
# float64 array and gradients is None or an (N, 3) float64 array.
EvalFn: TypeAlias = Callable[[NDArray[np.float64]], Any]

# A point: any sequence of exactly three numbers (list, tuple, ndarray).
PointTriple: TypeAlias = Sequence[SupportsFloat] | NDArray[Any]

# (leaf_count, internal_count, outside_count, inside_count, max_leaf_depth, eval_count)
OctreeStats: TypeAlias = tuple[int, int, int, int, int, int]

class PanicException(BaseException):
    """An internal fault of the module; derives from BaseException like SystemExit."""

def extract_mesh(
    eval_fn: EvalFn,
    bbox_min: PointTriple,
    bbox_max: PointTriple,
    min_depth: SupportsIndex = 3,
    max_depth: SupportsIndex = 7,
    angle_threshold_deg: SupportsFloat | SupportsIndex = 30.0,
    iso_value: SupportsFloat | SupportsIndex = 0.0,
    adaptive: bool | np.bool_ = False,
) -> tuple[NDArray[np.float64], NDArray[np.int64]]:
    """Isosurface extraction entry point.

    Builds an adaptive octree, runs Dual Contouring, and returns a triangle mesh.
    """

def build_octree_uniform(
    eval_fn: EvalFn,
    bbox_min: PointTriple,
    bbox_max: PointTriple,
    depth: SupportsIndex,
    iso_value: SupportsFloat | SupportsIndex = 0.0,
) -> OctreeStats:
    """Build a uniform octree and return statistics."""

def build_octree_adaptive(
    eval_fn: EvalFn,
    bbox_min: PointTriple,
    bbox_max: PointTriple,
    min_depth: SupportsIndex,
    max_depth: SupportsIndex,
    iso_value: SupportsFloat | SupportsIndex = 0.0,
) -> OctreeStats:
    """Build an adaptive octree and return statistics."""

def test_batch_eval(eval_fn: EvalFn, points: Iterable[PointTriple]) -> tuple[list[float], bool, int]:
    """Test function to verify the batch evaluation bridge works."""

def test_fd_gradients(
    eval_fn: EvalFn,
    points: Iterable[PointTriple],
    step: SupportsFloat | SupportsIndex = 1e-5,
) -> list[list[float]]:
    """Test function for finite-difference gradient estimation."""
