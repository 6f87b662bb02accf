"""Shapes in the plane, made solid by extrusion or revolution.

A :class:`Shape2D` is a signed distance in the xy plane: called with an
(N, 2) array of points it returns values (N,) and gradients (N, 2), negative
inside.  :meth:`Shape2D.extrude` and :meth:`Shape2D.revolve` turn it into a
3D :class:`~quarvel.Shape`.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike

from .._bounds import Bounds
from .base import Shape, Walk, fold, orient
from .node import (
    Combining,
    Node,
    box_distance,
    clip_to_bounds,
    finite,
    largest,
    offsets,
    positive,
    radial,
    rounded_box_distance,
)
from .program import INPUTS, Array, Coords, Num, Pair, Reg, Tape

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
        return translate2d(self, offset)

    def rotate(self, degrees: float) -> Shape2D:
        """This shape turned counter-clockwise by ``degrees`` about the origin."""
        return rotate2d(self, degrees)

    def scale(self, factor: ArrayLike) -> Shape2D:
        """This shape scaled about the origin by one factor or two (exact for one, else a bound)."""
        return scale2d(self, factor)

    def mirror(self, normal: ArrayLike = (1.0, 0.0), keep_original: bool = True) -> Shape2D:
        """This shape and its image across the line through the origin with ``normal``.

        Without ``keep_original`` the image alone.  Exact as for
        :func:`quarvel.mirror`: outside, and inside for a shape clear of the line.
        """
        return mirror2d(self, normal, keep_original)

    def offset(self, distance: float) -> Shape2D:
        """This shape grown by ``distance`` (shrunk when negative), corners rounding as it grows."""
        return offset2d(self, distance)

    def round(self, radius: float) -> Shape2D:
        """This shape with its convex corners rounded by ``radius``: shrunk by it, then grown back.

        Parts narrower than twice ``radius`` vanish.  A bound on the distance.
        """
        return round2d(self, radius)

    def shell(self, thickness: float) -> Shape2D:
        """An outline of ``thickness`` straddling this shape's boundary."""
        return shell2d(self, thickness)

    def __or__(self, other: object) -> Shape2D:
        return union2d(self, other) if isinstance(other, Shape2D) else NotImplemented

    def __and__(self, other: object) -> Shape2D:
        return intersection2d(self, other) if isinstance(other, Shape2D) else NotImplemented

    def __sub__(self, other: object) -> Shape2D:
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


# ---------------------------------------------------------------- moving and combining
#
# The 2D counterparts of the 3D transforms and Booleans, evaluated at (x, y)
# alone; the rules for exactness are those of the 3D operations (a rotation, a
# translation, a uniform scale and a mirror keep distances; Booleans are exact
# on the side the 3D ones are).


def _extent(lo: ArrayLike, hi: ArrayLike) -> Extent:
    (x0, y0), (x1, y1) = np.asarray(lo, dtype=np.float64).tolist(), np.asarray(hi, dtype=np.float64).tolist()
    return ((x0, y0), (x1, y1))


def _corners(extent: Extent) -> np.ndarray:
    (x0, y0), (x1, y1) = extent
    return np.array([(x0, y0), (x1, y0), (x0, y1), (x1, y1)])


def _as_box(extent: Extent) -> Bounds:
    """The extent as a flat box: clipping reads its x and y (the plane's points have no z)."""
    (x0, y0), (x1, y1) = extent
    return Bounds.of((x0, y0, 0.0), (x1, y1, 0.0))


def _require_2d(value: object) -> Shape2D:
    if not isinstance(value, Shape2D):
        raise TypeError(f"expected a 2D shape (got {type(value).__name__}); 3D shapes do not mix with 2D ones")
    return value


class _Node2D(Shape2D, Combining):
    """A 2D shape made from other 2D shapes."""


class _Affine2D(_Node2D):
    """The shape at ``matrix`` (orthogonal, or a diagonal of scale factors) times p plus ``shift``.

    Values are the shape's at the inverse-mapped point times ``factor``
    (the smallest scale factor; 1 for a rotation or mirror).
    """

    def __init__(self, shape: Shape2D, matrix: np.ndarray, shift: ArrayLike, name: str, args: list[str]) -> None:
        self.shape, self.matrix = _require_2d(shape), matrix
        self.shift = np.asarray(vec2(shift, "offset"))
        self.name, self.args = name, args
        self.inverse = np.linalg.inv(matrix)
        smallest = float(np.min(np.linalg.svd(matrix, compute_uv=False)))
        # A turn or a mirror keeps lengths: no factor for its rounding to carry.
        self.factor = 1.0 if abs(smallest - 1.0) < 1e-12 else smallest
        self.lipschitz = self.shape.lipschitz
        # A gap from the new extent is at most this many times the gap in the shape's frame.
        widening = float(np.abs(matrix).sum(axis=1).max()) / self.factor
        u = self.shape.understatement
        self.understatement = None if u is None else u * widening
        moved = _corners(self.shape.extent) @ matrix.T + self.shift
        self.extent = _extent(moved.min(axis=0), moved.max(axis=0))

    def _emit(self, t: Tape, p: Coords) -> Walk:
        d = [t.sub(x, float(s)) for x, s in zip(p, self.shift)]
        q: list[Num] = []
        for row in self.inverse:
            terms = [t.mul(x, float(w)) for x, w in zip(d, row) if w != 0.0]
            q.append(terms[0] if len(terms) == 1 else t.add(terms[0], terms[1]))
        return t.mul(self.factor, (yield self.shape, q))

    def _repr_parts(self) -> tuple[str, list[object]]:
        return self.name, [self.shape, *self.args]


class _Mirror2D(_Node2D):
    """The shape and its image across the line p . n = 0 (folded when the shape lies on one side)."""

    def __init__(self, shape: Shape2D, normal: ArrayLike) -> None:
        self.shape = _require_2d(shape)
        n = np.asarray(vec2(normal, "mirror normal"))
        length = float(np.hypot(*n))
        if not length > 0.0 or not math.isfinite(length):
            raise ValueError(f"mirror normal must be a finite, non-zero vector (got {tuple(n.tolist())})")
        self.normal = n / length
        matrix = np.eye(2) - 2.0 * np.outer(self.normal, self.normal)
        self.lipschitz = self.shape.lipschitz
        widening = float(np.abs(matrix).sum(axis=1).max())
        u = self.shape.understatement
        self.understatement = None if u is None else u * widening
        corners = _corners(self.shape.extent)
        both = np.vstack([corners, corners @ matrix.T])
        self.extent = _extent(both.min(axis=0), both.max(axis=0))
        along = corners @ self.normal
        self.side = 1.0 if along.min() >= 0.0 else -1.0 if along.max() <= 0.0 else 0.0

    def _emit(self, t: Tape, p: Coords) -> Walk:
        n = self.normal * (self.side or 1.0)
        d: Num = t.add(t.mul(p[0], float(n[0])), t.mul(p[1], float(n[1])))
        if self.side:
            d = t.min(d, 0.0)  # the fold: only points on the far side move
        image = [t.sub(x, t.mul(d, 2.0 * float(w))) for x, w in zip(p, n)]
        value = yield self.shape, image
        if self.side:
            return value
        return t.min((yield self.shape, p), value)

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "mirror", [self.shape, repr(tuple(self.normal.tolist()))]


class _Extremum2D(_Node2D):
    """Union (minimum) or intersection (maximum) of 2D shapes."""

    def __init__(self, shapes: Sequence[Shape2D], take_max: bool) -> None:
        self.shapes = tuple(map(_require_2d, shapes))
        self.take_max = take_max
        self.lipschitz = max(s.lipschitz for s in self.shapes)
        self.understatement = largest([s.understatement for s in self.shapes])
        lo = np.array([s.extent[0] for s in self.shapes])
        hi = np.array([s.extent[1] for s in self.shapes])
        if take_max:
            self.extent = _extent(lo.max(axis=0), hi.min(axis=0))
            if not np.all(np.asarray(self.extent[0]) <= np.asarray(self.extent[1])):
                raise ValueError("the 2D shapes do not overlap: their intersection is empty")
        else:
            self.extent = _extent(lo.min(axis=0), hi.max(axis=0))

    def _emit(self, t: Tape, p: Coords) -> Walk:
        return (yield from fold(t, self.shapes, self.take_max, p))

    def _repr_parts(self) -> tuple[str, list[object]]:
        return ("intersection" if self.take_max else "union"), list(self.shapes)


class _Difference2D(_Node2D):
    def __init__(self, a: Shape2D, b: Shape2D) -> None:
        self.a, self.b = _require_2d(a), _require_2d(b)
        self.lipschitz = max(self.a.lipschitz, self.b.lipschitz)
        self.understatement = self.a.understatement  # max(a, -b) >= a
        self.extent = self.a.extent

    def _emit(self, t: Tape, p: Coords) -> Walk:
        a = yield self.a, p
        b = yield self.b, p
        return t.max(a, t.neg(b))

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "difference", [self.a, self.b]


class _Offset2D(_Node2D):
    """|f - middle| - half (a band) or f - middle (an offset), cut off at the grown extent."""

    def __init__(self, shape: Shape2D, middle: float, half: float | None, name: str, arg: float) -> None:
        self.shape, self.middle, self.half = _require_2d(shape), middle, half
        self.name, self.arg = name, arg
        self.lipschitz = self.shape.lipschitz
        grow = middle + (half or 0.0)
        (x0, y0), (x1, y1) = self.shape.extent
        # Shrunk, what remains lies deeper than -grow, so that far inside the extent
        # (the values are never above the distance).
        g = grow
        self.extent = ((x0 - g, y0 - g), (x1 + g, y1 + g))
        if not (self.extent[0][0] < self.extent[1][0] and self.extent[0][1] < self.extent[1][1]):
            raise ValueError(f"{name} by {arg} leaves nothing of the shape's extent")
        self.reaches_out = grow > 0.0
        # Grown, the values are at least the distance of the extent; shrunk, above the shape's.
        self.understatement = 1.0 if self.reaches_out else self.shape.understatement

    def _emit(self, t: Tape, p: Coords) -> Walk:
        value = t.sub((yield self.shape, p), self.middle)
        if self.half is not None:
            value = t.sub(t.abs(value), self.half)
        return clip_to_bounds(t, value, p, _as_box(self.extent)) if self.reaches_out else value

    def _repr_parts(self) -> tuple[str, list[object]]:
        return self.name, [self.shape, repr(self.arg)]


def translate2d(shape: Shape2D, offset: ArrayLike) -> Shape2D:
    x, y = vec2(offset, "offset")
    return _Affine2D(shape, np.eye(2), (x, y), "translate", [repr((x, y))])


def rotate2d(shape: Shape2D, degrees: float) -> Shape2D:
    a = math.radians(finite(degrees, "angle"))
    matrix = np.array([[math.cos(a), -math.sin(a)], [math.sin(a), math.cos(a)]])
    return _Affine2D(shape, matrix, (0.0, 0.0), "rotate", [repr(float(degrees))])


def scale2d(shape: Shape2D, factor: ArrayLike) -> Shape2D:
    sx, sy = vec2(factor, "scale factor")
    if not (sx > 0.0 and sy > 0.0 and math.isfinite(sx) and math.isfinite(sy)):
        raise ValueError(f"scale factors must be positive (got {(sx, sy)})")
    return _Affine2D(shape, np.diag([sx, sy]), (0.0, 0.0), "scale", [repr((sx, sy))])


def mirror2d(shape: Shape2D, normal: ArrayLike, keep_original: bool) -> Shape2D:
    if keep_original:
        return _Mirror2D(shape, normal)
    n = np.asarray(vec2(normal, "mirror normal"))
    length = float(np.hypot(*n))
    if not length > 0.0 or not math.isfinite(length):
        raise ValueError(f"mirror normal must be a finite, non-zero vector (got {tuple(n.tolist())})")
    n = n / length
    matrix = np.eye(2) - 2.0 * np.outer(n, n)
    return _Affine2D(shape, matrix, (0.0, 0.0), "mirror", [repr(tuple(n.tolist())), "keep_original=False"])


def union2d(*shapes: Shape2D) -> Shape2D:
    return _Extremum2D(shapes, take_max=False)


def intersection2d(*shapes: Shape2D) -> Shape2D:
    return _Extremum2D(shapes, take_max=True)


def difference2d(a: Shape2D, b: Shape2D) -> Shape2D:
    return _Difference2D(a, b)


def offset2d(shape: Shape2D, distance: float) -> Shape2D:
    d = finite(distance, "offset distance")
    return _Offset2D(shape, d, None, "offset", d)


# Arcs are written as chords, each turning by at most this many degrees: they
# lie inside the arc by at most r (1 - cos 1.5 degrees), 3.4e-4 r.
ARC_STEP = 3.0


def round2d(shape: Shape2D, radius: float) -> Shape2D:
    """``shape`` with every convex corner replaced by an arc of ``radius`` touching both edges.

    That is the shape shrunk by ``radius`` and grown back (concave corners
    stay sharp), made geometrically: an offset of the values alone would
    give back the shape, since the shrunk shape's values beyond its own
    corners are no distances.  Polygons and rectangles are rounded, circles
    have no corners, and moved, turned, mirrored or uniformly scaled copies
    of them are rounded before moving.
    """
    r = positive(radius, "rounding radius")
    if isinstance(shape, _Circle):
        if r > shape.radius:
            raise ValueError(f"rounding radius {r} exceeds the circle's, {shape.radius}: nothing would remain")
        return shape
    if isinstance(shape, _Rectangle):
        if r > float(shape.half.min()):
            raise ValueError(f"rounding radius {r} exceeds half the rectangle's smaller side")
        return rectangle(tuple(2.0 * shape.half), tuple(shape.center), max(r, shape.radius))
    if isinstance(shape, _Polygon):
        return polygon(_rounded_corners(shape.vertices, r))
    if isinstance(shape, _Affine2D) and abs(shape.factor - float(np.abs(np.linalg.svd(shape.matrix)[1]).max())) < 1e-12:
        inner = round2d(shape.shape, r / shape.factor)
        return _Affine2D(inner, shape.matrix, shape.shift, shape.name, shape.args)
    raise TypeError(
        f"round works on circles, rectangles and polygons and moved copies of them (got {shape!r}); "
        "round the parts before combining them"
    )


def _rounded_corners(v: np.ndarray, r: float) -> np.ndarray:
    """The corners of polygon ``v`` with each convex corner cut by an arc of radius ``r``."""
    n = len(v)
    edges = np.roll(v, -1, axis=0) - v
    area = float(np.sum(v[:, 0] * edges[:, 1] - v[:, 1] * edges[:, 0]))
    lengths = np.linalg.norm(edges, axis=1)
    out, back = edges / lengths[:, None], -np.roll(edges, 1, axis=0) / np.roll(lengths, 1)[:, None]
    turn = back[:, 0] * out[:, 1] - back[:, 1] * out[:, 0]  # negative at convex corners of a ccw polygon
    convex = turn * math.copysign(1.0, area) < 0.0
    # The angle inside each corner, and how far from it the arc touches the edges.
    inside = np.arccos(np.clip(np.einsum("ij,ij->i", out, back), -1.0, 1.0))
    reach = np.where(convex, r / np.tan(inside / 2.0), 0.0)
    used = reach + np.roll(reach, -1)  # along edge i: from corner i and corner i + 1
    if np.any(used > lengths * (1.0 + 1e-9)):
        raise ValueError(f"rounding radius {r} is too large for the polygon: arcs would overlap along an edge")
    points: list[np.ndarray] = []
    for i in range(n):
        if not convex[i]:
            points.append(v[i])
            continue
        start, end = v[i] + back[i] * reach[i], v[i] + out[i] * reach[i]
        bisector = back[i] + out[i]
        centre = v[i] + bisector / np.linalg.norm(bisector) * (r / math.sin(inside[i] / 2.0))
        a0 = math.atan2(*(start - centre)[::-1])
        sweep = math.pi - inside[i]
        steps = max(1, math.ceil(math.degrees(sweep) / ARC_STEP))
        direction = math.copysign(1.0, area)
        for k in range(steps + 1):
            a = a0 + direction * sweep * k / steps
            points.append(centre + r * np.array([math.cos(a), math.sin(a)]))
        points[-1] = end
    return np.array(points)


def shell2d(shape: Shape2D, thickness: float) -> Shape2D:
    t = positive(thickness, "shell thickness")
    return _Offset2D(shape, 0.0, t / 2.0, "shell", t)

