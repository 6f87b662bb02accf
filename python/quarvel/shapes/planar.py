"""Shapes in the plane, made solid by extrusion or revolution.

A :class:`Shape2D` is a signed distance in the xy plane: called with an
(N, 2) array of points it returns values (N,) and gradients (N, 2), negative
inside.  :meth:`Shape2D.extrude` and :meth:`Shape2D.revolve` turn it into a
3D :class:`~quarvel.Shape`.
"""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import ArrayLike

from .._bounds import Bounds
from .base import Shape, Walk, orient
from .node import Node, box_distance, finite, offsets, positive, radial, rounded_box_distance
from .program import INPUTS, Array, Coords, Pair, Reg, Tape

Vec2 = tuple[float, float]
Extent = tuple[Vec2, Vec2]

# The simplicity check works on blocks of (edges x edges) of about this many entries.
_BLOCK_ENTRIES = 1 << 20


def vec2(value: ArrayLike, name: str) -> Vec2:
    """Return ``value`` as a tuple of two floats; a scalar is repeated."""
    arr = np.asarray(value, dtype=np.float64)
    if arr.ndim == 0:
        arr = np.repeat(arr, 2)
    if arr.shape != (2,):
        raise ValueError(f"{name} must be a number or two numbers (got shape {arr.shape})")
    return (float(arr[0]), float(arr[1]))


class Shape2D(Node):
    """A signed distance field in the xy plane with an exact gradient.

    ``extent`` is ``((xmin, ymin), (xmax, ymax))``, a rectangle outside of
    which the values are positive.
    """

    extent: Extent

    understatement: float | None = None
    """As :attr:`quarvel.Shape.understatement`, for gaps from ``extent``: 1 for
    exact distances (circles, rectangles, polygons), None when unknown."""

    lipschitz: float = 1.0
    """As :attr:`quarvel.Shape.lipschitz`: 1 for every 2D shape of this library."""

    _inputs = INPUTS[:2]

    def __call__(self, points: ArrayLike) -> Pair:
        """Values and gradients at the (N, 2) ``points``, shapes (N,) and (N, 2)."""
        arr = np.asarray(points, dtype=np.float64)
        if arr.ndim == 1:
            arr = arr.reshape(1, -1)
        if arr.ndim != 2 or arr.shape[1] != 2:
            raise ValueError(
                f"a 2D shape takes points of shape (N, 2) (got {arr.shape}); "
                "extrude or revolve it to get a 3D shape"
            )
        # Its program reads x and y alone.
        values, gradients = self._program()(np.column_stack([arr, np.zeros(len(arr))]))
        return values, np.ascontiguousarray(gradients[:, :2])

    def translate(self, offset: ArrayLike) -> Shape2D:
        """This shape moved by ``offset`` (two numbers)."""
        from .planar_ops import translate2d

        return translate2d(self, offset)

    def rotate(self, degrees: float) -> Shape2D:
        """This shape turned counter-clockwise by ``degrees`` about the origin."""
        from .planar_ops import rotate2d

        return rotate2d(self, degrees)

    def scale(self, factor: ArrayLike) -> Shape2D:
        """This shape scaled about the origin by one factor or two (exact for one, else a bound)."""
        from .planar_ops import scale2d

        return scale2d(self, factor)

    def mirror(self, normal: ArrayLike = (1.0, 0.0), keep_original: bool = True) -> Shape2D:
        """This shape and its image across the line through the origin with ``normal``.

        Without ``keep_original`` the image alone.  Exact as for
        :func:`quarvel.mirror`: outside, and inside for a shape clear of the line.
        """
        from .planar_ops import mirror2d

        return mirror2d(self, normal, keep_original)

    def offset(self, distance: float) -> Shape2D:
        """This shape grown by ``distance`` (shrunk when negative), corners rounding as it grows."""
        from .planar_ops import offset2d

        return offset2d(self, distance)

    def round(self, radius: float) -> Shape2D:
        """This shape with its convex corners rounded by ``radius``: shrunk by it, then grown back.

        Parts narrower than twice ``radius`` vanish.  A bound on the distance.
        """
        from .planar_ops import round2d

        return round2d(self, radius)

    def shell(self, thickness: float) -> Shape2D:
        """An outline of ``thickness`` straddling this shape's boundary."""
        from .planar_ops import shell2d

        return shell2d(self, thickness)

    def __or__(self, other: object) -> Shape2D:
        from .planar_ops import union2d

        return union2d(self, other) if isinstance(other, Shape2D) else NotImplemented

    def __and__(self, other: object) -> Shape2D:
        from .planar_ops import intersection2d

        return intersection2d(self, other) if isinstance(other, Shape2D) else NotImplemented

    def __sub__(self, other: object) -> Shape2D:
        from .planar_ops import difference2d

        return difference2d(self, other) if isinstance(other, Shape2D) else NotImplemented

    def extrude(self, height: float, *, centered: bool = True, axis: ArrayLike = (0.0, 0.0, 1.0)) -> Shape:
        """A solid of ``height`` whose cross-section is this shape.

        The plane's x and y are space's x and y; the solid spans
        z = -height/2 to height/2 when ``centered`` (like :func:`cylinder`),
        else z = 0 to height.  ``axis`` turns the solid (see :func:`orient`)
        so that the extrusion runs along it.  Exact distance when this
        shape's is exact, which holds for circles, rectangles and polygons.
        """
        h = positive(height, "height")
        return _along(_Extrude(self, h, 0.0 if centered else h / 2.0), axis)

    def revolve(self, offset: float = 0.0, *, axis: ArrayLike = (0.0, 0.0, 1.0)) -> Shape:
        """The solid swept by turning this shape about an axis.

        The plane's x becomes the distance from the z axis minus
        ``offset`` and its y becomes z, so ``circle(0.25).revolve(1.0)`` is
        a torus.  Only the part at x >= -offset is swept.  ``axis`` turns the
        solid so that its axis of revolution runs along it.  Exact distance
        when the swept part is all of the shape, or the shape is mirror
        symmetric about x = -offset; otherwise a bound on it, since edges
        beyond the axis still count.
        """
        return _along(_Revolve(self, finite(offset, "offset")), axis)


def _along(shape: Shape, axis: ArrayLike) -> Shape:
    """``shape`` with its z axis turned to ``axis``; untouched when that is z."""
    a = np.asarray(axis, dtype=np.float64)
    if a.shape == (3,) and a[0] == 0.0 and a[1] == 0.0 and a[2] > 0.0:
        return shape
    return orient(shape, axis)


# ---------------------------------------------------------------- primitives


class _Circle(Shape2D):
    understatement = 1.0

    def __init__(self, radius: float, center: ArrayLike) -> None:
        self.radius = positive(radius, "radius")
        self.center = np.asarray(vec2(center, "center"))
        cx, cy = self.center.tolist()
        self.extent = ((cx - self.radius, cy - self.radius), (cx + self.radius, cy + self.radius))

    def _emit(self, t: Tape, q: Coords) -> Reg:
        # At the centre the gradient is +x.
        return t.sub(t.length(offsets(t, q, self.center), 0), self.radius)

    def __repr__(self) -> str:
        return f"circle({self.radius!r}, center={tuple(self.center.tolist())})"


class _Rectangle(Shape2D):
    """Rectangle with half extents ``half`` and corners rounded by ``radius``."""

    understatement = 1.0

    def __init__(self, size: ArrayLike, radius: float, center: ArrayLike) -> None:
        self.half = np.asarray(vec2(size, "size")) / 2.0
        if not np.all(self.half > 0.0) or not np.all(np.isfinite(self.half)):
            raise ValueError(f"rectangle size must be positive (got {tuple((2 * self.half).tolist())})")
        self.radius = float(radius)
        if not 0.0 <= self.radius <= float(self.half.min()):
            raise ValueError(f"rounding radius must lie in [0, half the smaller size] (got {radius})")
        self.center = np.asarray(vec2(center, "center"))
        lo, hi = self.center - self.half, self.center + self.half
        self.extent = ((float(lo[0]), float(lo[1])), (float(hi[0]), float(hi[1])))

    def _emit(self, t: Tape, q: Coords) -> Reg:
        return rounded_box_distance(t, offsets(t, q, self.center), self.half, self.radius)

    def __repr__(self) -> str:
        size = tuple((2 * self.half).tolist())
        return f"rectangle({size}, radius={self.radius!r}, center={tuple(self.center.tolist())})"


class _Polygon(Shape2D):
    """Simple polygon: distance to the nearest edge, inside by the even-odd rule."""

    understatement = 1.0

    def __init__(self, points: ArrayLike) -> None:
        v = np.asarray(points, dtype=np.float64)
        if v.ndim != 2 or v.shape[1] != 2:
            raise ValueError(f"polygon corners must have shape (N, 2) (got {v.shape})")
        bad = np.flatnonzero(~np.all(np.isfinite(v), axis=1))
        if len(bad):
            raise ValueError(f"polygon corners must be finite numbers (corner {bad[0]} is {tuple(v[bad[0]].tolist())})")
        # Repeated corners, such as a closing copy of the first, add nothing.
        v = v[np.any(v != np.roll(v, 1, axis=0), axis=1)]
        if len(v) < 3:
            raise ValueError("a polygon needs at least three distinct corners")
        with np.errstate(over="ignore", invalid="ignore"):
            edges = np.roll(v, -1, axis=0) - v
            lengths = np.linalg.norm(edges, axis=1)[:, None]
            area = 0.5 * float(np.sum(v[:, 0] * edges[:, 1] - v[:, 1] * edges[:, 0]))
        if not (np.all(np.isfinite(lengths)) and math.isfinite(area)):
            raise ValueError("polygon corners too large: its edge lengths or area overflow")
        _check_simple(v, edges)
        if area == 0.0:
            raise ValueError("the polygon encloses no area")
        self.vertices = v
        lo, hi = v.min(axis=0), v.max(axis=0)
        self.extent = ((float(lo[0]), float(lo[1])), (float(hi[0]), float(hi[1])))
        # Outward unit normals: right of each edge for counter-clockwise corners.
        turn = 1.0 if area > 0.0 else -1.0
        self.normals = turn * np.column_stack([edges[:, 1], -edges[:, 0]]) / lengths

    def _emit(self, t: Tape, q: Coords) -> Reg:
        # Nearest to an edge's inside, the gradient is its outward normal on
        # either side; nearest to a corner, the direction from the corner.
        return t.polygon(q[0], q[1], self.vertices, self.normals)

    def __repr__(self) -> str:
        return f"polygon({self.vertices.round(6).tolist()})"


def _check_simple(v: Array, edges: Array) -> None:
    """Refuse a polygon whose edges cross, touch, or fold back on each other."""
    n = len(v)
    following = np.roll(edges, -1, axis=0)
    cross = edges[:, 0] * following[:, 1] - edges[:, 1] * following[:, 0]
    if np.any((cross == 0.0) & (np.einsum("ik,ik->i", edges, following) < 0.0)):
        raise ValueError("the polygon is not simple: an edge folds back along the next")
    ends = np.roll(v, -1, axis=0)
    index = np.arange(n)
    block = max(1, _BLOCK_ENTRIES // n)
    for start in range(0, n, block):
        i = index[start : start + block, None]
        meet = _segments_meet(v[i], ends[i], v[None, :], ends[None, :])
        # Neighbouring edges share a corner by construction.
        apart = (index[None, :] > i + 1) & ~((i == 0) & (index[None, :] == n - 1))
        if np.any(meet & apart):
            raise ValueError("the polygon is not simple: two of its edges cross or touch")


def _segments_meet(p1: Array, p2: Array, p3: Array, p4: Array) -> Array:
    """Whether closed segments p1-p2 and p3-p4 share a point (broadcast, last axis xy)."""

    def turn(a: Array, b: Array, c: Array) -> Array:
        u, v = b - a, c - a
        return np.asarray(u[..., 0] * v[..., 1] - u[..., 1] * v[..., 0])

    def within(a: Array, b: Array, c: Array) -> Array:
        return np.asarray(np.all((np.minimum(a, b) <= c) & (c <= np.maximum(a, b)), axis=-1))

    d1, d2 = turn(p3, p4, p1), turn(p3, p4, p2)
    d3, d4 = turn(p1, p2, p3), turn(p1, p2, p4)
    proper = (np.sign(d1) * np.sign(d2) < 0) & (np.sign(d3) * np.sign(d4) < 0)
    touch = (
        ((d1 == 0) & within(p3, p4, p1))
        | ((d2 == 0) & within(p3, p4, p2))
        | ((d3 == 0) & within(p1, p2, p3))
        | ((d4 == 0) & within(p1, p2, p4))
    )
    return np.asarray(proper | touch)


# ---------------------------------------------------------------- solids


class _Extrude(Shape):
    """A 2D shape stretched along z over ``height`` about the plane z = ``middle``."""

    def __init__(self, profile: Shape2D, height: float, middle: float) -> None:
        self.profile, self.height, self.middle = profile, height, middle
        self.lipschitz = profile.lipschitz
        # Outside, the box distance of (profile, z) is at least the larger of the two.
        self.understatement = profile.understatement
        (x0, y0), (x1, y1) = profile.extent
        h = height / 2.0
        self.bounds = Bounds.of((x0, y0, middle - h), (x1, y1, middle + h))

    def _emit(self, t: Tape, p: Coords) -> Walk:
        d2 = yield self.profile, p[:2]
        dz = t.sub(p[2], self.middle)
        return box_distance(t, [d2, t.sub(t.abs(dz), self.height / 2.0)])

    def __repr__(self) -> str:
        return f"extrude({self.profile!r}, {self.height!r}, middle={self.middle!r})"


class _Revolve(Shape):
    """A 2D shape turned about the z axis: f(rho - offset, z)."""

    def __init__(self, profile: Shape2D, offset: float) -> None:
        self.profile, self.radius_offset = profile, offset
        self.lipschitz = profile.lipschitz
        # Beyond the box's sides, rho - offset lies beyond the profile's as far.
        self.understatement = profile.understatement
        (_, y0), (x1, y1) = profile.extent
        reach = x1 + offset
        if not reach > 0.0:
            raise ValueError(f"nothing to revolve: the shape lies at x <= {-offset}, beyond the axis")
        self.bounds = Bounds.of((-reach, -reach, y0), (reach, reach, y1))

    def _emit(self, t: Tape, p: Coords) -> Walk:
        return (yield self.profile, [t.sub(radial(t, p), self.radius_offset), p[2]])

    def __repr__(self) -> str:
        return f"revolve({self.profile!r}, offset={self.radius_offset!r})"


def circle(radius: float = 0.5, center: ArrayLike = (0.0, 0.0)) -> Shape2D:
    """Disc of ``radius`` around ``center`` in the plane; exact distance."""
    return _Circle(radius, center)


def rectangle(size: ArrayLike = 1.0, center: ArrayLike = (0.0, 0.0), radius: float = 0.0) -> Shape2D:
    """Axis-aligned rectangle of edge lengths ``size`` (one number or two).

    ``radius`` rounds its corners.  Exact distance.
    """
    return _Rectangle(size, radius, center)


def polygon(points: ArrayLike) -> Shape2D:
    """The simple polygon with corners ``points`` ((N, 2), either orientation).

    The edges may not cross or touch each other; a closing copy of the
    first corner is allowed.  Exact signed distance, computed from every
    edge, so the cost grows with the number of corners.
    """
    return _Polygon(points)
