"""Primitive signed-distance shapes with exact, vectorised gradients."""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import ArrayLike

from .._bounds import Bounds, vec3
from ..shapes.base import Array, Pair, Shape, box_distance, positive, radial, rounded_box_distance, sign, unit
from ..shapes.planar import _Revolve, polygon


class _Sphere(Shape):
    understatement = 1.0

    def __init__(self, radius: float, center: ArrayLike) -> None:
        self.radius = positive(radius, "radius")
        self.center = np.asarray(vec3(center, "center"))
        self.bounds = Bounds.of(self.center - self.radius, self.center + self.radius)

    def _eval(self, p: Array) -> Pair:
        d = p - self.center
        return np.linalg.norm(d, axis=1) - self.radius, unit(d, (0.0, 0.0, 1.0))

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

    def _eval(self, p: Array) -> Pair:
        return rounded_box_distance(p - self.center, self.half, self.radius)

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

    def _eval(self, p: Array) -> Pair:
        rho, around = radial(p)
        q = np.column_stack([rho - self.major, p[:, 2]])
        n = unit(q, (0.0, 1.0))
        grad = np.column_stack([n[:, :1] * around, n[:, 1]])
        return np.linalg.norm(q, axis=1) - self.minor, grad

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

    def _eval(self, p: Array) -> Pair:
        rho, around = radial(p)
        q = np.column_stack([rho - self.radius, np.abs(p[:, 2]) - self.height / 2.0])
        dist, dq = box_distance(q)
        grad = np.column_stack([dq[:, :1] * around, dq[:, 1] * sign(p[:, 2])])
        return dist, grad

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

    def _eval(self, p: Array) -> Pair:
        ab = self.b - self.a
        length2 = float(ab @ ab)
        t = (p - self.a) @ ab / length2 if length2 > 0.0 else np.zeros(len(p))
        nearest = self.a + np.clip(t, 0.0, 1.0)[:, None] * ab
        d = p - nearest
        return np.linalg.norm(d, axis=1) - self.radius, unit(d, (0.0, 0.0, 1.0))

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

    def _eval(self, p: Array) -> Pair:
        return p @ self.normal - self.level, np.broadcast_to(self.normal, p.shape).copy()

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

    def _eval(self, p: Array) -> Pair:
        k = 2.0 * math.pi / self.period
        s, c = np.sin(k * p), np.cos(k * p)
        sx, sy, sz = s.T
        cx, cy, cz = c.T
        # g/k has a gradient of length about 1 near its zero set.
        g = (sx * cy + sy * cz + sz * cx) / k
        grad = np.column_stack([cx * cy - sz * sx, cy * cz - sx * sy, cz * cx - sy * sz])
        if self.thickness is None:
            return g, grad
        side = sign(g)
        return np.abs(g) - self.thickness / 2.0, side[:, None] * grad

    def __repr__(self) -> str:
        return f"gyroid({self.period!r}, thickness={self.thickness!r})"


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


class _Ellipsoid(Shape):
    """Ellipsoid with semi-axes ``radii`` along x, y and z, centred on ``center``.

    With F = |p / radii| - 1 (convex, zero on the surface), the value is
    F / |grad F| outside, which convexity keeps below the distance and which
    matches it to first order at the surface, and F * min(radii) inside,
    below the distance because |grad F| <= 1 / min(radii).  Outside, the
    value is at least min(radii) * F (as |grad F| is at most 1 / min(radii)
    on the way out), and F at least a gap along axis i over radii[i]: the
    values understate gaps from the box by at most max(radii) / min(radii).
    """

    def __init__(self, radii: ArrayLike, center: ArrayLike) -> None:
        self.radii = np.asarray(vec3(radii, "radii"))
        if not np.all(self.radii > 0.0) or not np.all(np.isfinite(self.radii)):
            raise ValueError(f"ellipsoid radii must be positive numbers (got {tuple(self.radii.tolist())})")
        self.understatement = float(self.radii.max() / self.radii.min())
        self.center = np.asarray(vec3(center, "center"))
        self.bounds = Bounds.of(self.center - self.radii, self.center + self.radii)

    def _eval(self, p: Array) -> Pair:
        d = p - self.center
        k0 = np.linalg.norm(d / self.radii, axis=1)
        k1 = np.linalg.norm(d / self.radii**2, axis=1)
        outside = k0 > 1.0
        safe_k0 = np.where(k0 > 0.0, k0, 1.0)
        safe_k1 = np.where(k1 > 0.0, k1, 1.0)
        grad_k0 = d / self.radii**2 / safe_k0[:, None]
        grad_k1 = d / self.radii**4 / safe_k1[:, None]
        smallest = float(self.radii.min())
        outer = k0 * (k0 - 1.0) / safe_k1
        outer_grad = ((2.0 * k0 - 1.0)[:, None] * grad_k0 - outer[:, None] * grad_k1) / safe_k1[:, None]
        # At the centre any direction will do; take the shortest axis.
        inner_grad = np.where((k0 > 0.0)[:, None], smallest * grad_k0, np.eye(3)[int(self.radii.argmin())])
        values = np.where(outside, outer, smallest * (k0 - 1.0))
        return values, np.where(outside[:, None], outer_grad, inner_grad)

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
    """
    return _Ellipsoid(radii, center)


def cone(radius: float = 0.5, height: float = 1.0, top_radius: float = 0.0) -> Shape:
    """Cone along the z axis, centred on the origin like :func:`cylinder`.

    The base, a disc of ``radius``, lies at z = -height/2 and the apex at
    z = +height/2; a positive ``top_radius`` cuts the tip off flat, giving a
    frustum.  Exact distance.
    """
    return _Cone(radius, height, top_radius)
