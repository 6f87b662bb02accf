"""Shared fields and helpers for the _quarvel_rs test-suite.

Fields follow the callable contract of the module: they take one (N, 3)
float64 array and return ``(values, gradients_or_None)``.
"""

from __future__ import annotations

import types

import numpy as np
import pytest


def _sphere(radius=0.5, centre=(0.0, 0.0, 0.0), gradients=True):
    """Signed distance to a sphere; the gradient is 0 at the centre."""
    c = np.asarray(centre, dtype=np.float64)

    def field(p):
        d = p - c
        r = np.sqrt(np.einsum("ij,ij->i", d, d))
        values = r - radius
        if not gradients:
            return values, None
        safe = np.where(r > 0.0, r, 1.0)
        g = np.where(r[:, None] > 0.0, d / safe[:, None], 0.0)
        return values, np.ascontiguousarray(g)

    return field


def _plane(axis=0, offset=0.0, gradients=True):
    """f(p) = p[axis] - offset, gradient the unit vector of that axis."""

    def field(p):
        values = p[:, axis] - offset
        if not gradients:
            return values, None
        g = np.zeros((len(p), 3))
        g[:, axis] = 1.0
        return values, g

    return field


def _constant(value, gradients=True):
    """The same value everywhere, zero gradient."""

    def field(p):
        values = np.full(len(p), float(value))
        return values, (np.zeros((len(p), 3)) if gradients else None)

    return field


def _quadratic(gradients=True):
    """f(p) = x^2 + y^2 + z^2 with its exact gradient 2p."""

    def field(p):
        values = np.einsum("ij,ij->i", p, p)
        return values, (2.0 * p if gradients else None)

    return field


class Recorder:
    """Wraps a field and keeps a private copy of every query array it receives."""

    def __init__(self, field):
        self.field = field
        self.calls: list[np.ndarray] = []

    def __call__(self, points):
        self.calls.append(np.array(points, copy=True))
        return self.field(points)

    @property
    def sizes(self) -> list[int]:
        return [len(c) for c in self.calls]

    @property
    def total_points(self) -> int:
        return sum(self.sizes)


class FailOnCall:
    """Delegates to a field, but raises ``error`` on call number ``index`` (0-based)."""

    def __init__(self, field, index, error):
        self.field = field
        self.index = index
        self.error = error
        self.count = 0

    def __call__(self, points):
        n = self.count
        self.count += 1
        if n == self.index:
            raise self.error
        return self.field(points)


def lattice(origin, size, level):
    """Points of the regular lattice of a cube at one level, z outermost, x fastest."""
    n = 2**level
    h = size / n
    out = []
    for z in range(n + 1):
        for y in range(n + 1):
            for x in range(n + 1):
                out.append((origin[0] + x * h, origin[1] + y * h, origin[2] + z * h))
    return np.array(out, dtype=np.float64).reshape(-1, 3)


def fd_offsets(points, step):
    """The 6 central-difference offsets of each point, point-major (+x, -x, +y, -y, +z, -z)."""
    rows = []
    for p in np.asarray(points, dtype=np.float64):
        for axis in range(3):
            for sign in (1, -1):
                q = [float(p[0]), float(p[1]), float(p[2])]
                q[axis] = q[axis] + step if sign > 0 else q[axis] - step
                rows.append(q)
    return np.array(rows, dtype=np.float64).reshape(-1, 3)


FIELDS = types.SimpleNamespace(
    sphere=_sphere,
    plane=_plane,
    constant=_constant,
    quadratic=_quadratic,
    Recorder=Recorder,
    FailOnCall=FailOnCall,
    lattice=lattice,
    fd_offsets=fd_offsets,
)


@pytest.fixture
def fields():
    """Field factories and helpers: sphere, plane, constant, quadratic,
    Recorder, FailOnCall, lattice, fd_offsets."""
    return FIELDS


@pytest.fixture(scope="session")
def quarvel():
    """The extension module."""
    import _quarvel_rs

    return _quarvel_rs
