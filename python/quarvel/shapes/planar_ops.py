"""Moving and combining shapes in the plane: the 2D counterparts of the 3D transforms and Booleans.

Each is a node of the plane's tree, evaluated at (x, y) alone; the rules
for exactness are those of the 3D operations (a rotation, a translation, a
uniform scale and a mirror keep distances; Booleans are exact on the side
the 3D ones are).
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike

from .._bounds import Bounds
from .node import Combining, clip_to_bounds, finite, largest, positive
from .planar import Extent, Shape2D, vec2
from .program import Coords, Num, Tape
from .base import Walk


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
        combine = t.max if self.take_max else t.min
        result = yield self.shapes[0], p
        for shape in self.shapes[1:]:
            result = combine(result, (yield shape, p))
        return result

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
    from .planar import _Circle, _Polygon, _Rectangle, polygon, rectangle

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

