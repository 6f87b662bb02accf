"""Patterns of copies: mirror images, and rows and rings of copies.

Each evaluates its shape once per copy that can be nearest to the point
(the domain is folded onto those copies), not once per copy, so a ring of a
hundred bolts costs about what two cost.  Every copy's value is raised to the
distance of its own box, as in :func:`quarvel.repeat`: no point of a copy is
nearer than its box, so this keeps a bound a bound and the values positive
outside the pattern's bounds.
"""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import ArrayLike

from .._bounds import Bounds, vec3
from .base import Shape, Walk, _Node, _Rotate, _Translate, _require_shape
from .node import clip_to_bounds, dot, finite
from .program import Coords, Num, Reg, Tape

AXES = {"x": (1.0, 0.0, 0.0), "y": (0.0, 1.0, 0.0), "z": (0.0, 0.0, 1.0)}


def _unit(vector: ArrayLike, name: str) -> np.ndarray:
    v = np.asarray(vec3(AXES.get(vector, vector) if isinstance(vector, str) else vector, name))
    length = float(np.linalg.norm(v))
    if not length > 0.0 or not math.isfinite(length):
        raise ValueError(f"{name} must be a finite, non-zero vector (got {tuple(v.tolist())})")
    return v / length


def _count(count: object) -> int:
    if isinstance(count, bool) or not isinstance(count, (int, np.integer)) or count < 1:
        raise ValueError(f"count must be a whole number of at least 1 (got {count!r})")
    return int(count)


def _support(box: Bounds, direction: np.ndarray) -> tuple[float, float]:
    """The least and greatest p . direction over the box (zero weights skip infinite sides)."""
    lo = hi = 0.0
    for l, h, w in zip(box.lo, box.hi, direction.tolist()):
        if w != 0.0:
            lo, hi = lo + min(l * w, h * w), hi + max(l * w, h * w)
    return lo, hi


def _reflected(box: Bounds, matrix: np.ndarray) -> Bounds:
    """The box around ``box`` mapped by an orthogonal ``matrix``."""
    if box.is_finite:
        turned = np.asarray(box.corners()) @ matrix.T
        return Bounds.of(turned.min(axis=0), turned.max(axis=0))
    axis = np.flatnonzero(np.abs(np.diag(matrix)) == 1.0)
    if len(axis) == 3:  # a flip along one axis: infinite sides stay put or swap
        lo, hi = np.array(box.lo), np.array(box.hi)
        flip = np.diag(matrix) < 0.0
        return Bounds.of(np.where(flip, -hi, lo), np.where(flip, -lo, hi))
    return Bounds.infinite()


class _Mirror(_Node):
    """The shape reflected across the plane p . n = 0, alone or with the original.

    With the original, a shape lying on one side of the plane is folded:
    the point is reflected onto that side, one evaluation: exact outside
    where the shape's values are, and inside too unless the shape touches
    the plane (there it merges with its image).  A shape crossing the plane gives the minimum of both,
    the union.
    """

    def __init__(self, shape: Shape, normal: ArrayLike, keep: bool) -> None:
        self.shape, self.keep = _require_shape(shape), bool(keep)
        self.normal = _unit(normal, "mirror normal")
        matrix = np.eye(3) - 2.0 * np.outer(self.normal, self.normal)
        self.lipschitz = self.shape.lipschitz
        # As for a rotation: a gap from the box around the mirrored box is at most
        # this many times the gap in the shape's frame.
        widening = float(np.abs(matrix).sum(axis=1).max())
        u = self.shape.understatement
        self.understatement = None if u is None else u * widening
        box = self.shape.bounds
        image = _reflected(box, matrix)
        self.bounds = image.union(box) if self.keep else image
        low, high = _support(box, self.normal)
        # +1: the shape lies where p . n >= 0, -1: where <= 0, 0: on both sides.
        self.side = 0.0 if not self.keep else 1.0 if low >= 0.0 else -1.0 if high <= 0.0 else 0.0

    def _emit(self, t: Tape, p: Coords) -> Walk:
        n = self.normal * (self.side or 1.0)
        d = dot(t, p, n)
        if self.side:
            d = t.min(d, 0.0)  # the fold: only points on the far side move
        image = [t.sub(x, t.mul(d, 2.0 * float(w))) for x, w in zip(p, n)]
        value = yield self.shape, image
        if not self.keep or self.side:
            return value
        return t.min((yield self.shape, p), value)

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "mirror", [self.shape, repr(tuple(self.normal.tolist())), f"keep_original={self.keep}"]


class _LinearArray(_Node):
    """``count`` copies at 0, v, 2v, ...: the copies nearest the point along v.

    With t the point's position along v in spacings from the shape's middle
    and ``reach`` the shape's half length along v in spacings, the nearest
    copy lies among those with indices in [t - 1/2 - reach, t + 1/2 + reach),
    clamped to the copies there are: a nearest point of a copy beyond them
    lies more than half a spacing farther along v than the point, and moved
    back by v it comes nearer.
    """

    def __init__(self, shape: Shape, count: int, spacing: ArrayLike) -> None:
        self.shape, self.count = _require_shape(shape), _count(count)
        self.step = np.asarray(vec3(spacing, "spacing"))
        length = float(np.linalg.norm(self.step))
        if not length > 0.0 or not math.isfinite(length):
            raise ValueError(f"spacing must be a finite, non-zero vector (got {tuple(self.step.tolist())})")
        self.length = length
        self.direction = self.step / length
        low, high = _support(self.shape.bounds, self.direction)
        if not (math.isfinite(low) and math.isfinite(high)):
            raise ValueError("linear_array needs a shape bounded along the spacing")
        self.middle = (low + high) / 2.0
        self.reach = (high - low) / 2.0 / length
        window = math.ceil(1.0 + 2.0 * self.reach)
        self.whole = window >= self.count
        self.window = self.count if self.whole else window
        self.lipschitz = self.shape.lipschitz
        self.understatement = 1.0  # each copy's value is at least its box's distance
        box = self.shape.bounds
        self.bounds = box.union(box.translated(self.step * (self.count - 1)))

    def _emit(self, t: Tape, p: Coords) -> Walk:
        start: Num = 0.0
        if not self.whole:
            along = t.div(t.sub(dot(t, p, self.direction), self.middle), self.length)
            start = t.neg(t.floor(t.neg(t.sub(along, 0.5 + self.reach))))  # ceil
        best: Reg | None = None
        for offset in range(self.window):
            index = float(offset) if self.whole else t.clip(t.add(start, float(offset)), 0.0, self.count - 1.0)
            q = [t.sub(x, t.mul(index, float(s))) for x, s in zip(p, self.step)]
            value = clip_to_bounds(t, (yield self.shape, q), tuple(q), self.shape.bounds)
            best = value if best is None else t.min(best, value)
        assert best is not None
        return best

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "linear_array", [self.shape, repr(self.count), repr(tuple(self.step.tolist()))]


class _CircularArray(_Node):
    """``count`` copies turned by multiples of 360 / count degrees about the z axis.

    The nearest point of the nearest copy lies within half a step's angle
    of the point (turned by a step towards it, a point farther round comes
    nearer), so with ``reach`` the shape's angular half width in steps, the
    copies with indices in [t - 1/2 - reach, t + 1/2 + reach) around the
    point's angle t (in steps from the shape's middle) are the ones to
    evaluate.  A shape around the axis spans every angle: all copies count.
    """

    def __init__(self, shape: Shape, count: int) -> None:
        self.shape, self.count = _require_shape(shape), _count(count)
        box = self.shape.bounds
        (x0, y0, z0), (x1, y1, z1) = box.lo, box.hi
        if not all(math.isfinite(c) for c in (x0, y0, x1, y1)):
            raise ValueError("circular_array needs a shape bounded in the plane across its axis")
        self.step = 2.0 * math.pi / self.count
        corners = np.array([(x, y) for x in (x0, x1) for y in (y0, y1)])
        self.middle, self.reach = 0.0, math.inf
        if not (x0 <= 0.0 <= x1 and y0 <= 0.0 <= y1):
            self.middle = math.atan2((y0 + y1) / 2.0, (x0 + x1) / 2.0)
            turns = np.arctan2(corners[:, 1], corners[:, 0]) - self.middle
            turns = (turns + math.pi) % (2.0 * math.pi) - math.pi
            self.reach = float(np.abs(turns).max()) / self.step
        window = math.ceil(1.0 + 2.0 * self.reach) if math.isfinite(self.reach) else self.count
        self.whole = window >= self.count
        self.window = self.count if self.whole else window
        self.lipschitz = self.shape.lipschitz
        self.understatement = 1.0  # each copy's value is at least its box's distance
        angles = np.arange(self.count) * self.step
        c, s = np.cos(angles)[:, None], np.sin(angles)[:, None]
        xs, ys = c * corners[:, 0] - s * corners[:, 1], s * corners[:, 0] + c * corners[:, 1]
        self.bounds = Bounds.of((xs.min(), ys.min(), z0), (xs.max(), ys.max(), z1))

    def _emit(self, t: Tape, p: Coords) -> Walk:
        x, y, z = p
        start: Num = 0.0
        if not self.whole:
            around = t.div(t.sub(t.atan2(y, x), self.middle), self.step)
            start = t.neg(t.floor(t.neg(t.sub(around, 0.5 + self.reach))))  # ceil
        best: Reg | None = None
        for offset in range(self.window):
            if self.whole:
                c, s = math.cos(offset * self.step), math.sin(offset * self.step)
                cos: Num = c
                sin: Num = s
            else:
                angle = t.mul(t.add(start, float(offset)), self.step)
                cos, sin = t.cos(angle), t.sin(angle)
            # Turned back by the copy's angle.
            q = [t.add(t.mul(cos, x), t.mul(sin, y)), t.sub(t.mul(cos, y), t.mul(sin, x)), z]
            value = clip_to_bounds(t, (yield self.shape, q), tuple(q), self.shape.bounds)
            best = value if best is None else t.min(best, value)
        assert best is not None
        return best

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "circular_array", [self.shape, repr(self.count)]


def _frame(axis: np.ndarray) -> np.ndarray:
    """A right-handed frame (columns) whose third axis is ``axis`` and whose first
    is the world axis least along it, made perpendicular."""
    first = np.eye(3)[int(np.argmin(np.abs(axis)))]
    first = first - axis * float(first @ axis)
    first /= np.linalg.norm(first)
    return np.column_stack([first, np.cross(axis, first), axis])


def mirror(shape: Shape, normal: ArrayLike = (1.0, 0.0, 0.0), keep_original: bool = True) -> Shape:
    """``shape`` reflected across the plane through the origin with ``normal``.

    With ``keep_original`` (the default) the result is the union of the
    shape and its mirror image; otherwise the image alone.  ``normal`` is a
    vector or ``"x"``, ``"y"`` or ``"z"``.  The values are exact where the
    shape's are when only the image is kept, and otherwise outside (those of
    the union); inside too for a shape clear of the plane.  A shape on one
    side of the plane is folded across it, one evaluation; a shape crossing
    it costs two.
    """
    return _Mirror(shape, normal, keep_original)


def linear_array(shape: Shape, count: int, spacing: ArrayLike) -> Shape:
    """``count`` copies of ``shape`` in a row, at 0, ``spacing``, 2 ``spacing``, ...

    ``spacing`` is a vector (three numbers) in any direction, or one number
    for a row along x.  The values are those of the union of the copies,
    exact outside where the shape's are (copies may overlap); each point
    evaluates the copies that can be nearest, about two when copies do not
    overlap.  The shape must be bounded along the spacing.
    """
    step = np.asarray(spacing, dtype=np.float64)
    return _LinearArray(shape, count, (float(step), 0.0, 0.0) if step.ndim == 0 else step)


def circular_array(shape: Shape, count: int, axis: ArrayLike | str = "z", radius: float = 0.0) -> Shape:
    """``count`` copies of ``shape`` spaced evenly round ``axis`` through the origin.

    ``axis`` is ``"x"``, ``"y"``, ``"z"`` or a vector; copy k is turned by
    ``360 * k / count`` degrees about it (right-handed).  ``radius`` first
    moves the shape out from the axis: along x for the y and z axes, along y
    for the x axis (in general along the world axis least along ``axis``,
    made perpendicular).  The values are those of the union of the copies,
    exact outside where the shape's are; each point evaluates the copies
    that can be nearest, about two for a shape off the axis that fits in its
    share of the turn.  The shape must be bounded across the axis.
    """
    unit = _unit(axis, "axis")
    frame = _frame(unit)
    straight = bool(np.array_equal(frame, np.eye(3)))
    local = _require_shape(shape) if straight else _Rotate(_require_shape(shape), frame.T)
    radius = finite(radius, "radius")
    if radius != 0.0:
        local = _Translate(local, (radius, 0.0, 0.0))
    ring: Shape = _CircularArray(local, count)
    return ring if straight else _Rotate(ring, frame)
