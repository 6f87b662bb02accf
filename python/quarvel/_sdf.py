"""Signed-distance shapes: the base class, Boolean combinations and transforms.

A :class:`Shape` is a field in the engine's contract: called with an (N, 3)
float64 array it returns ``(values, gradients)``, both computed analytically.
Values are negative inside and positive outside.  Every shape carries
``bounds``, a box outside of which its values are positive.
"""

from __future__ import annotations

import math
from abc import ABC, abstractmethod
from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._bounds import Bounds, vec3

Array = NDArray[np.float64]
Pair = tuple[Array, Array]


def as_points(points: ArrayLike) -> Array:
    """Return ``points`` as an (N, 3) float64 array (one point may be given flat)."""
    arr = np.asarray(points, dtype=np.float64)
    if arr.ndim == 1:
        arr = arr.reshape(1, -1)
    if arr.ndim != 2 or arr.shape[1] != 3:
        raise ValueError(f"points must have shape (N, 3) (got {arr.shape})")
    return arr


def unit(v: Array, fallback: Sequence[float]) -> Array:
    """Rows of ``v`` scaled to length 1; zero rows become ``fallback``."""
    norm = np.linalg.norm(v, axis=1, keepdims=True)
    safe = np.where(norm > 0.0, norm, 1.0)
    return np.where(norm > 0.0, v / safe, np.asarray(fallback, dtype=np.float64))


class Shape(ABC):
    """A signed distance field with an exact gradient and known bounds.

    Shapes compose with ``a | b`` (union), ``a & b`` (intersection) and
    ``a - b`` (difference), and move with :meth:`translate`, :meth:`scale`
    and :meth:`rotate`.  A shape is directly a field for
    :func:`quarvel.mesh`.
    """

    bounds: Bounds

    def __call__(self, points: ArrayLike) -> Pair:
        """Values and gradients at ``points``, shapes (N,) and (N, 3)."""
        values, gradients = self._eval(as_points(points))
        return np.ascontiguousarray(values), gradients

    @abstractmethod
    def _eval(self, p: Array) -> Pair:
        """Distance (N,) and gradient (N, 3) at the (N, 3) points ``p``."""

    def __or__(self, other: Shape) -> Shape:
        return union(self, other)

    def __and__(self, other: Shape) -> Shape:
        return intersection(self, other)

    def __sub__(self, other: Shape) -> Shape:
        return difference(self, other)

    def translate(self, offset: ArrayLike) -> Shape:
        """This shape moved by ``offset`` (three numbers)."""
        return translate(self, offset)

    def scale(self, factor: ArrayLike) -> Shape:
        """This shape scaled about the origin by one factor or three."""
        return scale(self, factor)

    def rotate(self, degrees: float, axis: ArrayLike = (0.0, 0.0, 1.0)) -> Shape:
        """This shape turned by ``degrees`` about ``axis`` through the origin."""
        return rotate(self, degrees, axis)


# ---------------------------------------------------------------- Booleans


class _Extremum(Shape):
    """Pointwise minimum (union) or maximum (intersection) of several shapes."""

    def __init__(self, shapes: Sequence[Shape], take_max: bool) -> None:
        if not shapes:
            raise ValueError("at least one shape is needed")
        self.shapes = tuple(shapes)
        self.take_max = take_max
        boxes = [s.bounds for s in self.shapes]
        combine = Bounds.intersection if take_max else Bounds.union
        self.bounds = boxes[0]
        for box in boxes[1:]:
            self.bounds = combine(self.bounds, box)

    def _eval(self, p: Array) -> Pair:
        pairs = [s._eval(p) for s in self.shapes]
        values = np.stack([v for v, _ in pairs])
        pick = values.argmax(axis=0) if self.take_max else values.argmin(axis=0)
        rows = np.arange(len(p))
        gradients = np.stack([g for _, g in pairs])[pick, rows]
        return values[pick, rows], gradients

    def __repr__(self) -> str:
        name = "intersection" if self.take_max else "union"
        return f"{name}({', '.join(map(repr, self.shapes))})"


class _Difference(Shape):
    """``a`` with ``b`` cut away: max(a, -b)."""

    def __init__(self, a: Shape, b: Shape) -> None:
        self.a, self.b = a, b
        self.bounds = a.bounds

    def _eval(self, p: Array) -> Pair:
        va, ga = self.a._eval(p)
        vb, gb = self.b._eval(p)
        keep_a = va >= -vb
        return np.where(keep_a, va, -vb), np.where(keep_a[:, None], ga, -gb)

    def __repr__(self) -> str:
        return f"difference({self.a!r}, {self.b!r})"


class _SmoothUnion(Shape):
    """Polynomial smooth minimum of two shapes with blend radius ``k``."""

    def __init__(self, a: Shape, b: Shape, k: float) -> None:
        if not k > 0.0:
            raise ValueError(f"blend radius must be positive (got {k})")
        self.a, self.b, self.k = a, b, float(k)
        # The blend lowers the minimum by at most k/4, so the zero set may
        # leave the union's box by that much.
        self.bounds = a.bounds.union(b.bounds).padded(self.k / 4.0)

    def _eval(self, p: Array) -> Pair:
        va, ga = self.a._eval(p)
        vb, gb = self.b._eval(p)
        h = np.clip(0.5 + 0.5 * (vb - va) / self.k, 0.0, 1.0)
        values = h * va + (1.0 - h) * vb - self.k * h * (1.0 - h)
        # Inside the blend the h-terms cancel: d/da = h and d/db = 1 - h.
        return values, h[:, None] * ga + (1.0 - h)[:, None] * gb

    def __repr__(self) -> str:
        return f"smooth_union({self.a!r}, {self.b!r}, k={self.k!r})"


def union(*shapes: Shape) -> Shape:
    """Everything inside any of ``shapes`` (pointwise minimum)."""
    return _Extremum(shapes, take_max=False)


def intersection(*shapes: Shape) -> Shape:
    """Everything inside all of ``shapes`` (pointwise maximum)."""
    return _Extremum(shapes, take_max=True)


def difference(a: Shape, b: Shape) -> Shape:
    """``a`` with ``b`` removed."""
    return _Difference(a, b)


def smooth_union(a: Shape, b: Shape, k: float = 0.25) -> Shape:
    """Union of ``a`` and ``b`` with a fillet of about ``k`` where they meet."""
    return _SmoothUnion(a, b, k)


# ---------------------------------------------------------------- transforms


class _Translate(Shape):
    def __init__(self, shape: Shape, offset: ArrayLike) -> None:
        self.shape = shape
        self.offset = np.asarray(vec3(offset, "offset"))
        self.bounds = shape.bounds.translated(self.offset)

    def _eval(self, p: Array) -> Pair:
        return self.shape._eval(p - self.offset)

    def __repr__(self) -> str:
        return f"translate({self.shape!r}, {tuple(self.offset.tolist())})"


class _Scale(Shape):
    """f(p / s) times the smallest factor: exact for a uniform factor."""

    def __init__(self, shape: Shape, factor: ArrayLike) -> None:
        self.shape = shape
        self.factor = np.asarray(vec3(factor, "scale factor"))
        if not np.all(self.factor > 0.0):
            raise ValueError(f"scale factors must be positive (got {tuple(self.factor.tolist())})")
        self.bounds = Bounds.of(shape.bounds.lo * self.factor, shape.bounds.hi * self.factor)

    def _eval(self, p: Array) -> Pair:
        s_min = float(self.factor.min())
        values, gradients = self.shape._eval(p / self.factor)
        return s_min * values, gradients * (s_min / self.factor)

    def __repr__(self) -> str:
        return f"scale({self.shape!r}, {tuple(self.factor.tolist())})"


class _Rotate(Shape):
    """f(R^T p) with gradient R g: a rotation keeps distances."""

    def __init__(self, shape: Shape, matrix: Array) -> None:
        self.shape, self.matrix = shape, matrix
        box = shape.bounds
        if box.is_finite:
            turned = np.asarray(box.corners()) @ matrix.T
            self.bounds = Bounds.of(turned.min(axis=0), turned.max(axis=0))
        else:
            self.bounds = Bounds.infinite()

    def _eval(self, p: Array) -> Pair:
        values, gradients = self.shape._eval(p @ self.matrix)
        return values, gradients @ self.matrix.T

    def __repr__(self) -> str:
        return f"rotate({self.shape!r}, matrix={self.matrix.round(6).tolist()})"


def rotation_matrix(degrees: float, axis: ArrayLike) -> Array:
    """The 3x3 matrix turning by ``degrees`` (right-handed) about ``axis``."""
    a = np.asarray(vec3(axis, "axis"))
    length = float(np.linalg.norm(a))
    if length == 0.0:
        raise ValueError("rotation axis must not be zero")
    x, y, z = a / length
    t = math.radians(degrees)
    c, s = math.cos(t), math.sin(t)
    k = np.array([[0.0, -z, y], [z, 0.0, -x], [-y, x, 0.0]])
    matrix: Array = np.eye(3) + s * k + (1.0 - c) * (k @ k)
    return matrix


def translate(shape: Shape, offset: ArrayLike) -> Shape:
    """``shape`` moved by ``offset``."""
    return _Translate(shape, offset)


def scale(shape: Shape, factor: ArrayLike) -> Shape:
    """``shape`` scaled about the origin by a positive factor (one or per axis).

    A uniform factor keeps the field an exact distance; per-axis factors give
    a field whose zero set is exact and whose values are a lower bound.
    """
    return _Scale(shape, factor)


def rotate(shape: Shape, degrees: float, axis: ArrayLike = (0.0, 0.0, 1.0)) -> Shape:
    """``shape`` turned by ``degrees`` about ``axis`` through the origin."""
    return _Rotate(shape, rotation_matrix(degrees, axis))
