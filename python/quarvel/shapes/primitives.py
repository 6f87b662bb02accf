"""Primitive signed-distance shapes, each defined by the instructions it writes.

A primitive is one class: its parameters checked, its bounds and Lipschitz
factor, and its arithmetic in ``_emit`` (the core differentiates it for the
gradients).  Where a gradient is undefined (a centre, an axis), the
instructions choose it: see ``Tape.length``.
"""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import ArrayLike

from .._bounds import Bounds, vec3
from .base import Shape
from .node import box_distance, dot, offsets, positive, radial, rounded_box_distance
from .planar import _Revolve, polygon
from .program import Coords, Num, Reg, Tape


class _Sphere(Shape):
    understatement = 1.0

    def __init__(self, radius: float, center: ArrayLike) -> None:
        self.radius = positive(radius, "radius")
        self.center = np.asarray(vec3(center, "center"))
        self.bounds = Bounds.of(self.center - self.radius, self.center + self.radius)

    def _emit(self, t: Tape, p: Coords) -> Reg:
        # At the centre the gradient is +z.
        return t.sub(t.length(offsets(t, p, self.center), 2), self.radius)

    def __repr__(self) -> str:
        return f"sphere({self.radius!r}, center={tuple(self.center.tolist())})"


class _Box(Shape):
    """Box with half extents ``half`` and corners rounded by ``radius``."""

    understatement = 1.0

    def __init__(self, size: ArrayLike, radius: float, center: ArrayLike) -> None:
        self.half = np.asarray(vec3(size, "size")) / 2.0
        self.radius = float(radius)
        if not np.all(self.half > 0.0):
            raise ValueError(f"box size must be positive (got {tuple((2 * self.half).tolist())})")
        if not 0.0 <= self.radius <= float(self.half.min()):
            raise ValueError(f"rounding radius must lie in [0, half the smallest size] (got {radius})")
        self.center = np.asarray(vec3(center, "center"))
        self.bounds = Bounds.of(self.center - self.half, self.center + self.half)

    def _emit(self, t: Tape, p: Coords) -> Reg:
        return rounded_box_distance(t, offsets(t, p, self.center), self.half, self.radius)

    def __repr__(self) -> str:
        size = tuple((2 * self.half).tolist())
        return f"rounded_box({size}, {self.radius!r}, center={tuple(self.center.tolist())})"


class _Torus(Shape):
    """Torus around the z axis."""

    understatement = 1.0

    def __init__(self, major: float, minor: float) -> None:
        self.major = positive(major, "major radius")
        self.minor = positive(minor, "minor radius")
        if self.minor > self.major:
            raise ValueError(f"minor radius {minor} exceeds major radius {major}")
        reach = self.major + self.minor
        self.bounds = Bounds.of((-reach, -reach, -self.minor), (reach, reach, self.minor))

    def _emit(self, t: Tape, p: Coords) -> Reg:
        q = [t.sub(radial(t, p), self.major), p[2]]
        return t.sub(t.length(q, 1), self.minor)

    def __repr__(self) -> str:
        return f"torus({self.major!r}, {self.minor!r})"


class _Cylinder(Shape):
    """Capped cylinder along the z axis, centred on the origin."""

    understatement = 1.0

    def __init__(self, radius: float, height: float) -> None:
        self.radius = positive(radius, "radius")
        self.height = positive(height, "height")
        r, h = self.radius, self.height / 2.0
        self.bounds = Bounds.of((-r, -r, -h), (r, r, h))

    def _emit(self, t: Tape, p: Coords) -> Reg:
        q = [t.sub(radial(t, p), self.radius), t.sub(t.abs(p[2]), self.height / 2.0)]
        return box_distance(t, q)

    def __repr__(self) -> str:
        return f"cylinder({self.radius!r}, {self.height!r})"


class _Capsule(Shape):
    """All points within ``radius`` of the segment from ``a`` to ``b``."""

    understatement = 1.0

    def __init__(self, a: ArrayLike, b: ArrayLike, radius: float) -> None:
        self.a = np.asarray(vec3(a, "a"))
        self.b = np.asarray(vec3(b, "b"))
        self.radius = positive(radius, "radius")
        lo, hi = np.minimum(self.a, self.b), np.maximum(self.a, self.b)
        self.bounds = Bounds.of(lo - self.radius, hi + self.radius)

    def _emit(self, t: Tape, p: Coords) -> Reg:
        ab = self.b - self.a
        length2 = float(ab @ ab)
        nearest: list[Num] = [float(a) for a in self.a]
        if length2 > 0.0:
            along = t.div(dot(t, offsets(t, p, self.a), ab), length2)
            # The nearest point moves with p, but d stays normal to the segment:
            # the gradient is d / |d|, its derivative through the nearest point 0.
            along = t.detach(t.clip(along, 0.0, 1.0))
            nearest = [t.add(float(a), t.mul(along, float(e))) for a, e in zip(self.a, ab)]
        d = [t.sub(x, n) for x, n in zip(p, nearest)]
        return t.sub(t.length(d, 2), self.radius)

    def __repr__(self) -> str:
        return f"capsule({tuple(self.a.tolist())}, {tuple(self.b.tolist())}, {self.radius!r})"


class _Plane(Shape):
    """Half-space n.p <= offset; unbounded, meant for cutting other shapes."""

    understatement = 1.0

    def __init__(self, normal: ArrayLike, offset: float) -> None:
        n = np.asarray(vec3(normal, "normal"))
        length = float(np.linalg.norm(n))
        if length == 0.0:
            raise ValueError("plane normal must not be zero")
        self.normal, self.level = n / length, float(offset)
        self.bounds = Bounds.infinite()

    def _emit(self, t: Tape, p: Coords) -> Reg:
        return t.sub(dot(t, p, self.normal), self.level)

    def __repr__(self) -> str:
        return f"plane({tuple(self.normal.tolist())}, {self.level!r})"


class _Gyroid(Shape):
    """Gyroid solid or sheet; values approximate distance (not exact)."""

    # The gradient of g/k is longest, sqrt(3), where every sine vanishes (a
    # dense search over a period finds none longer); its values may overstate
    # the distance by about that much.
    lipschitz = math.sqrt(3.0)
    # Unbounded: no point lies outside its bounds.
    understatement = 1.0

    def __init__(self, period: float, thickness: float | None) -> None:
        self.period = positive(period, "period")
        self.thickness = None if thickness is None else positive(thickness, "thickness")
        self.bounds = Bounds.infinite()

    def _emit(self, t: Tape, p: Coords) -> Reg:
        k = 2.0 * math.pi / self.period
        kp = [t.mul(k, x) for x in p]
        (sx, sy, sz), (cx, cy, cz) = [t.sin(x) for x in kp], [t.cos(x) for x in kp]
        # g/k has a gradient of length about 1 near its zero set.
        g = t.div(t.add(t.add(t.mul(sx, cy), t.mul(sy, cz)), t.mul(sz, cx)), k)
        if self.thickness is None:
            return g
        return t.sub(t.abs(g), self.thickness / 2.0)

    def __repr__(self) -> str:
        return f"gyroid({self.period!r}, thickness={self.thickness!r})"


class _SchwarzP(Shape):
    """Schwarz P surface cos(kx) + cos(ky) + cos(kz) = 0, k = 2 pi / cell, as a solid or a sheet."""

    # g = (cos kx + cos ky + cos kz) / k has the gradient -(sin kx, sin ky, sin kz):
    # no longer than sqrt(3), which it reaches where every cosine is 0, on the surface.
    lipschitz = math.sqrt(3.0)
    # Unbounded: no point lies outside its bounds.
    understatement = 1.0

    def __init__(self, cell: float, thickness: float | None) -> None:
        self.cell = positive(cell, "cell")
        self.thickness = None if thickness is None else positive(thickness, "thickness")
        self.bounds = Bounds.infinite()

    def _emit(self, t: Tape, p: Coords) -> Reg:
        k = 2.0 * math.pi / self.cell
        cx, cy, cz = (t.cos(t.mul(k, x)) for x in p)
        g = t.div(t.add(t.add(cx, cy), cz), k)
        if self.thickness is None:
            return g
        return t.sub(t.abs(g), self.thickness / 2.0)

    def __repr__(self) -> str:
        return f"schwarz_p({self.cell!r}, thickness={self.thickness!r})"


def sphere(radius: float = 1.0, center: ArrayLike = (0.0, 0.0, 0.0)) -> Shape:
    """Ball of ``radius`` around ``center``."""
    return _Sphere(radius, center)


def box(size: ArrayLike = 1.0, center: ArrayLike = (0.0, 0.0, 0.0)) -> Shape:
    """Axis-aligned box with edge lengths ``size`` (one number or three)."""
    return _Box(size, 0.0, center)


def rounded_box(size: ArrayLike = 1.0, radius: float = 0.1, center: ArrayLike = (0.0, 0.0, 0.0)) -> Shape:
    """Box of outer edge lengths ``size`` whose edges are rounded by ``radius``."""
    return _Box(size, radius, center)


def torus(major: float = 1.0, minor: float = 0.25) -> Shape:
    """Ring around the z axis: tube of radius ``minor`` at distance ``major``."""
    return _Torus(major, minor)


def cylinder(radius: float = 0.5, height: float = 1.0) -> Shape:
    """Closed cylinder along the z axis, centred on the origin."""
    return _Cylinder(radius, height)


def capsule(a: ArrayLike = (0.0, 0.0, -0.5), b: ArrayLike = (0.0, 0.0, 0.5), radius: float = 0.25) -> Shape:
    """Points within ``radius`` of the segment from ``a`` to ``b``."""
    return _Capsule(a, b, radius)


def plane(normal: ArrayLike = (0.0, 0.0, 1.0), offset: float = 0.0) -> Shape:
    """Half-space below the plane n.p = offset (``normal`` points outside).

    Unbounded: intersect it with a bounded shape to cut that shape.
    """
    return _Plane(normal, offset)


def gyroid(period: float = 1.0, thickness: float | None = 0.1) -> Shape:
    """Triply periodic gyroid, unbounded: intersect it with a bounded shape.

    With ``thickness`` a sheet of about that width around the gyroid surface;
    with ``thickness=None`` the solid on one side of the surface.  The values
    are a smooth approximation of distance with an exact gradient; they may
    overstate it by up to sqrt(3) (its :attr:`~Shape.lipschitz`).
    """
    return _Gyroid(period, thickness)


def schwarz_p(cell: float = 1.0, thickness: float | None = 0.1) -> Shape:
    """Triply periodic Schwarz P lattice of period ``cell``, unbounded: intersect it with a bounded shape.

    With ``thickness`` a sheet of about that width around the surface
    cos(2 pi x / cell) + cos(2 pi y / cell) + cos(2 pi z / cell) = 0; with
    ``thickness=None`` the solid where that sum is negative.  Like
    :func:`gyroid`, the values are that sum scaled to distance-like units, with
    an exact gradient; they may overstate the distance by up to sqrt(3) (its
    :attr:`~Shape.lipschitz`).
    """
    return _SchwarzP(cell, thickness)


class _Ellipsoid(Shape):
    """Ellipsoid with semi-axes ``radii`` along x, y and z, centred on ``center``.

    With F = |p / radii| - 1 (convex, zero on the surface), the value is
    F / |grad F| outside, which convexity keeps below the distance and which
    matches it to first order at the surface, and F * min(radii) inside,
    below the distance because |grad F| <= 1 / min(radii).  Outside, the
    value is at least min(radii) * F (as |grad F| is at most 1 / min(radii)
    on the way out), and F at least a gap along axis i over radii[i]: the
    values understate gaps from the box by at most max(radii) / min(radii).

    With k0 = |d / radii| and k1 = |d / radii^2| (d = p - center), the outer
    value k0 (k0 - 1) / k1 has the gradient v_i (A - B / radii[i]^2) for
    v = d / radii^2 (|v| = k1), A = (2 k0 - 1) / (k0 k1) and
    B = (k0^2 - k0) / k1^3.  As min(radii) <= k0 / k1 <= max(radii), its length
    is at most max(2 - 1/q^2, q^2 - 2) for q = max(radii) / min(radii); the
    inner value's is at most 1.  That is the declared factor: 1 for a sphere,
    a safe bound, several times the steepest slope, for a flattened one.
    """

    def __init__(self, radii: ArrayLike, center: ArrayLike) -> None:
        self.radii = np.asarray(vec3(radii, "radii"))
        if not np.all(self.radii > 0.0) or not np.all(np.isfinite(self.radii)):
            raise ValueError(f"ellipsoid radii must be positive numbers (got {tuple(self.radii.tolist())})")
        q = float(self.radii.max() / self.radii.min())
        self.understatement = q
        self.lipschitz = max(1.0, 2.0 - 1.0 / q**2, q**2 - 2.0)
        self.center = np.asarray(vec3(center, "center"))
        self.bounds = Bounds.of(self.center - self.radii, self.center + self.radii)

    def _emit(self, t: Tape, p: Coords) -> Reg:
        d = offsets(t, p, self.center)
        radii = [float(r) for r in self.radii]
        # At the centre the gradient falls back to the shortest axis.
        k0 = t.length([t.div(x, r) for x, r in zip(d, radii)], int(self.radii.argmin()))
        k1 = t.length([t.div(x, r * r) for x, r in zip(d, radii)], None)
        safe_k1 = t.select(t.less(0.0, k1), k1, 1.0)
        outer = t.div(t.mul(k0, t.sub(k0, 1.0)), safe_k1)
        inner = t.mul(float(self.radii.min()), t.sub(k0, 1.0))
        return t.select(t.less(1.0, k0), outer, inner)

    def __repr__(self) -> str:
        return f"ellipsoid({tuple(self.radii.tolist())}, center={tuple(self.center.tolist())})"


class _Cone(_Revolve):
    """A cone or frustum along z: its profile, a symmetric trapezoid, revolved."""

    def __init__(self, radius: float, height: float, top_radius: float) -> None:
        self.radius = positive(radius, "radius")
        self.height = positive(height, "height")
        self.top_radius = float(top_radius)
        if not 0.0 <= self.top_radius < math.inf:
            raise ValueError(f"top radius must be a non-negative number (got {top_radius})")
        r, t, h = self.radius, self.top_radius, self.height / 2.0
        # Mirrored about the axis, the profile's 2D distance is the 3D distance.
        super().__init__(polygon([(-r, -h), (r, -h), (t, h), (-t, h)]), 0.0)

    def __repr__(self) -> str:
        return f"cone({self.radius!r}, {self.height!r}, top_radius={self.top_radius!r})"


def ellipsoid(radii: ArrayLike = (1.0, 0.6, 0.4), center: ArrayLike = (0.0, 0.0, 0.0)) -> Shape:
    """Ellipsoid with semi-axes ``radii`` (three numbers) around ``center``.

    The values are a bound on the distance (no closed form exists): close
    to the distance near the surface outside, and the level function scaled
    by the shortest radius inside.  Equal radii give a sphere's exact
    distance.  Unlike most bounds here the field is not 1-Lipschitz outside:
    far from a strongly flattened ellipsoid its gradient grows longer than 1.
    Its :attr:`~Shape.lipschitz` is a safe bound, max(1, 2 - 1/q^2, q^2 - 2)
    for the ratio q of the longest radius to the shortest (exact for a sphere,
    several times the steepest slope of a flattened ellipsoid).
    """
    return _Ellipsoid(radii, center)


def cone(radius: float = 0.5, height: float = 1.0, top_radius: float = 0.0) -> Shape:
    """Cone along the z axis, centred on the origin like :func:`cylinder`.

    The base, a disc of ``radius``, lies at z = -height/2 and the apex at
    z = +height/2; a positive ``top_radius`` cuts the tip off flat, giving a
    frustum.  Exact distance.
    """
    return _Cone(radius, height, top_radius)
