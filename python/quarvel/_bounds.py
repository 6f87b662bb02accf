"""Axis-aligned boxes: the extent of a shape and of a mesh."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import NamedTuple

import numpy as np
from numpy.typing import ArrayLike

Vec3 = tuple[float, float, float]


def vec3(value: ArrayLike, name: str = "value") -> Vec3:
    """Return ``value`` as a tuple of three floats; a scalar is repeated."""
    arr = np.asarray(value, dtype=np.float64)
    if arr.ndim == 0:
        arr = np.repeat(arr, 3)
    if arr.shape != (3,):
        raise ValueError(f"{name} must be a number or three numbers (got shape {arr.shape})")
    return (float(arr[0]), float(arr[1]), float(arr[2]))


class Bounds(NamedTuple):
    """An axis-aligned box given by its minimum and maximum corners."""

    lo: Vec3
    hi: Vec3

    @classmethod
    def of(cls, lo: ArrayLike, hi: ArrayLike) -> Bounds:
        """Build a box from two corners given as any three-number sequences."""
        return cls(vec3(lo, "lower corner"), vec3(hi, "upper corner"))

    @classmethod
    def infinite(cls) -> Bounds:
        """The whole space, the extent of an unbounded field such as a plane."""
        inf = math.inf
        return cls((-inf, -inf, -inf), (inf, inf, inf))

    @classmethod
    def around(cls, points: Iterable[Vec3]) -> Bounds:
        """The smallest box holding all ``points``."""
        arr = np.asarray(list(points), dtype=np.float64).reshape(-1, 3)
        return cls.of(arr.min(axis=0), arr.max(axis=0))

    @property
    def size(self) -> Vec3:
        """Edge lengths along x, y and z."""
        return vec3(np.subtract(self.hi, self.lo))

    @property
    def center(self) -> Vec3:
        """The box's centre point."""
        return vec3((np.add(self.lo, self.hi)) / 2.0)

    @property
    def is_finite(self) -> bool:
        """True when every coordinate of both corners is finite."""
        return bool(np.all(np.isfinite(self.lo)) and np.all(np.isfinite(self.hi)))

    @property
    def is_empty(self) -> bool:
        """True when the box holds no point (some maximum below its minimum)."""
        return bool(np.any(np.less(self.hi, self.lo)))

    def union(self, other: Bounds) -> Bounds:
        """The smallest box holding both boxes."""
        return Bounds.of(np.minimum(self.lo, other.lo), np.maximum(self.hi, other.hi))

    def intersection(self, other: Bounds) -> Bounds:
        """The common part of both boxes (possibly empty)."""
        return Bounds.of(np.maximum(self.lo, other.lo), np.minimum(self.hi, other.hi))

    def padded(self, margin: float) -> Bounds:
        """The box grown by ``margin`` on every side."""
        return Bounds.of(np.subtract(self.lo, margin), np.add(self.hi, margin))

    def translated(self, offset: ArrayLike) -> Bounds:
        """The box moved by ``offset``."""
        return Bounds.of(np.add(self.lo, offset), np.add(self.hi, offset))

    def corners(self) -> list[Vec3]:
        """The eight corners, in binary order (bit 0 selects x, bit 1 y, bit 2 z)."""
        pick = [(self.lo, self.hi)[(i >> axis) & 1] for i in range(8) for axis in range(3)]
        return [(pick[3 * i][0], pick[3 * i + 1][1], pick[3 * i + 2][2]) for i in range(8)]

    def __str__(self) -> str:
        def fmt(v: Vec3) -> str:
            return "(" + ", ".join(f"{c:.4g}" for c in v) + ")"

        return f"{fmt(self.lo)} to {fmt(self.hi)}"
