"""Signed-distance shapes: the base class, Boolean combinations, transforms and deformations.

A :class:`Shape` is a field in the engine's contract: called with an (N, 3)
float64 array it returns ``(values, gradients)``, both computed analytically.
Values are negative inside and positive outside.  Every shape carries
``bounds``, a box outside of which its values are positive.

Shapes are trees of small nodes whose numbers and children are plain
attributes.  Each node writes its arithmetic once, as the instructions of a
program (its ``_emit`` method: min, max, abs, sqrt, sin, cos, atan2, floor
and comparisons), which the core runs for values, gradients and bounds
over boxes; there is no other definition of a shape's values.  Only
:meth:`Shape.from_function` holds an arbitrary callable, which the program
calls with whole batches.

Where a docstring calls values *a bound on the distance*, they have the right
sign and never exceed the true distance to the surface in magnitude, but may
fall short of it.  Such fields are also 1-Lipschitz (no gradient longer than
1) unless their docstring says otherwise.

Every shape states, as :attr:`Shape.lipschitz`, how far its values may
overstate the distance: :func:`quarvel.mesh` relies on it to prove cells
empty, so that no piece of surface is missed.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Callable, Generator, Sequence
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._bounds import Bounds, vec3
from .node import (
    Combining,
    Node,
    box_distance,
    clip_to_bounds,
    dot,
    finite,
    largest,
    offsets,
    positive,
    radial,
)
from .program import Array, Callback, CompileError, Coords, Emission, Num, Pair, Program, Reg, Request, Tape

BoundsLike = Bounds | Sequence[ArrayLike]
Walk = Generator[Request, Reg, Reg]


class Shape(Node):
    """A signed distance field with an exact gradient and known bounds.

    Values are negative inside and positive outside.  Shapes compose with
    ``a | b`` (union), ``a & b`` (intersection) and ``a - b`` (difference);
    the other operand may also be a field function that has a ``bounds``
    attribute (see :meth:`from_function`).  They move with :meth:`translate`,
    :meth:`scale`, :meth:`rotate` and :meth:`orient`, deform with
    :meth:`twist`, :meth:`bend` and :meth:`repeat`, and change thickness with
    :meth:`offset` and :meth:`shell`.  A shape is directly a field for
    :func:`quarvel.mesh`.

    A shape has one definition: the program its nodes write (see
    :meth:`compile`).  Called on points, through :func:`quarvel.mesh`
    natively or as a field on batches (``native=False``, ``batch_size``,
    ``executor``), it runs that program, so its values are the same on
    every path.  A subclass of your own defines ``bounds`` and its arithmetic
    in ``_eval(p)``: (N, 3) points in, ``(values, gradients)`` out, called
    back by the program with whole batches.
    """

    bounds: Bounds

    lipschitz: float = 1.0
    """How far the values may overstate the distance to the surface: ``|f(x)|`` is
    at most ``lipschitz`` times the distance from x to the surface, and the
    values change by at most that much per unit of distance near the shape.
    1 for exact distances and for the bounds of this library; combinations
    take the largest factor of their parts.  :func:`quarvel.mesh` proves
    cells empty with it."""

    understatement: float | None = None
    """How far the values may understate the distance outside ``bounds``: at a
    point outside, the value is at least the point's distance from the box
    along its farthest axis divided by this factor.  So where the value is
    at most t > 0 lies within ``bounds`` grown by ``understatement * t``,
    and :func:`quarvel.mesh` grows its search box by that for a positive
    ``iso``.  1 for exact distances and most bounds of this library; a
    stretching scale or an ellipsoid raise it by their ratio of lengths.
    None when unknown (a shape of your own, a function), and
    :func:`quarvel.mesh` then clips at a positive ``iso`` instead, warning
    when that cuts the surface."""

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        # A class bringing its own NumPy arithmetic is defined by it, even below
        # a node of this library.
        if "_eval" in vars(cls) and "_emit" not in vars(cls):
            cls._emit = Shape._emit  # type: ignore[method-assign]

    def __call__(self, points: ArrayLike) -> Pair:
        """Values and gradients at ``points``, shapes (N,) and (N, 3), from the shape's program."""
        return self._program()(points)

    def _emit(self, t: Tape, p: Coords) -> Emission:
        """A shape of the user's: its ``_eval`` called back with the batch's points."""
        arithmetic = getattr(self, "_eval", None)
        if arithmetic is None:
            raise CompileError(f"a {type(self).__name__} node has neither _emit nor _eval")
        return t.call(self, lambda: Callback(arithmetic, getattr(self, "step", _default_step(self.bounds))), p)

    @staticmethod
    def from_function(
        function: Callable[[Array], Any],
        bounds: BoundsLike,
        *,
        step: float | None = None,
        lipschitz: float = 1.0,
    ) -> Shape:
        """A shape from any field function, to combine and transform like the others.

        ``function`` takes an (N, 3) float64 array and returns the values, or
        ``(values, gradients)`` (see :func:`quarvel.as_field`); negative
        inside.  ``bounds`` is ``(lo, hi)`` or a :class:`Bounds` outside of
        which the values must be positive (infinite sides are allowed).

        When the function gives no gradients they come from central
        differences with ``step``, by default a millionth of the largest
        finite edge of ``bounds`` (1e-6 when it has none): near the best
        step for float64 arithmetic, where truncation and rounding errors
        balance.  Fields computed in float32 or with noise want a larger step,
        say a thousandth of the size.  The values are whatever the function
        says: a distance, a bound on one, or neither; ``lipschitz`` says how
        far they may overstate the distance (see :attr:`lipschitz`).
        """
        return _FunctionShape(function, bounds, step, lipschitz)

    def compile(self) -> Program:
        """This shape as a :class:`quarvel.Program`, evaluated natively by the core.

        The program is the shape's definition, made once and kept (shapes
        are immutable): calling the shape calls it.  It also bounds the
        values over boxes, except where a Python function counts (a shape
        from :meth:`from_function` or with an ``_eval`` of its own, which the
        program calls back).  Raises :class:`quarvel.CompileError` for a
        node with no arithmetic at all, or a tree of more than 2**22
        instructions.
        """
        return self._program()

    def __or__(self, other: object) -> Shape:
        shape = _operand(other)
        return NotImplemented if shape is None else union(self, shape)

    def __ror__(self, other: object) -> Shape:
        shape = _operand(other)
        return NotImplemented if shape is None else union(shape, self)

    def __and__(self, other: object) -> Shape:
        shape = _operand(other)
        return NotImplemented if shape is None else intersection(self, shape)

    def __rand__(self, other: object) -> Shape:
        shape = _operand(other)
        return NotImplemented if shape is None else intersection(shape, self)

    def __sub__(self, other: object) -> Shape:
        shape = _operand(other)
        return NotImplemented if shape is None else difference(self, shape)

    def __rsub__(self, other: object) -> Shape:
        shape = _operand(other)
        return NotImplemented if shape is None else difference(shape, self)

    def translate(self, offset: ArrayLike) -> Shape:
        """This shape moved by ``offset`` (three numbers)."""
        return translate(self, offset)

    def scale(self, factor: ArrayLike) -> Shape:
        """This shape scaled about the origin by one factor or three."""
        return scale(self, factor)

    def rotate(self, degrees: float, axis: ArrayLike = (0.0, 0.0, 1.0)) -> Shape:
        """This shape turned by ``degrees`` about ``axis`` through the origin."""
        return rotate(self, degrees, axis)

    def orient(self, direction: ArrayLike) -> Shape:
        """This shape turned so that its z axis points along ``direction``."""
        return orient(self, direction)

    def offset(self, distance: float) -> Shape:
        """This shape grown by ``distance`` (shrunk when negative); see :func:`offset`."""
        return offset(self, distance)

    def shell(self, thickness: float, side: ShellSide = "center") -> Shape:
        """A hollow wall of ``thickness`` along this shape's surface; see :func:`shell`."""
        return shell(self, thickness, side)

    def twist(self, degrees_per_unit: float) -> Shape:
        """This shape twisted about the z axis; see :func:`quarvel.twist`."""
        return twist(self, degrees_per_unit)

    def bend(self, degrees_per_unit: float) -> Shape:
        """This shape's x axis bent into an arc; see :func:`quarvel.bend`."""
        return bend(self, degrees_per_unit)

    def repeat(self, spacing: ArrayLike, count: ArrayLike | None = None) -> Shape:
        """Copies of this shape on a grid; see :func:`quarvel.repeat`."""
        return repeat(self, spacing, count)

    def mirror(self, normal: ArrayLike | str = (1.0, 0.0, 0.0), keep_original: bool = True) -> Shape:
        """This shape and its mirror image across a plane; see :func:`quarvel.mirror`."""
        return mirror(self, normal, keep_original)

    def linear_array(self, count: int, spacing: ArrayLike) -> Shape:
        """``count`` copies of this shape in a row; see :func:`quarvel.linear_array`."""
        return linear_array(self, count, spacing)

    def circular_array(self, count: int, axis: ArrayLike | str = "z", radius: float = 0.0) -> Shape:
        """``count`` copies of this shape round an axis; see :func:`quarvel.circular_array`."""
        return circular_array(self, count, axis, radius)


def _require_shape(value: object) -> Shape:
    """``value`` as a shape, wrapping a field function that has bounds."""
    shape = _operand(value)
    if shape is None:
        raise TypeError(f"expected a Shape or a field function (got {type(value).__name__})")
    return shape


def _operand(other: object) -> Shape | None:
    """The other side of ``|``, ``&`` or ``-`` as a shape; None when it is no field."""
    if isinstance(other, Shape):
        return other
    if isinstance(other, Node):  # a node that is no 3D shape: a 2D one
        raise TypeError("a 2D shape cannot be combined with a 3D one: extrude or revolve it first")
    if not callable(other):
        return None
    bounds = getattr(other, "bounds", None)
    if bounds is None:
        name = getattr(other, "__name__", type(other).__name__)
        call = name if name.isidentifier() else "f"
        raise TypeError(
            f"cannot combine a Shape with {name!r}, which has no bounds: "
            f"wrap it with Shape.from_function({call}, bounds)"
        )
    return _FunctionShape(other, bounds, None, 1.0)


def bounds_of(bounds: BoundsLike) -> Bounds:
    """``bounds`` as a non-empty :class:`Bounds` without NaN; sides may be infinite."""
    arr = np.asarray(bounds, dtype=np.float64)
    if arr.shape != (2, 3):
        raise ValueError(f"bounds must be (lo, hi), each three numbers (got shape {arr.shape})")
    box = Bounds.of(arr[0], arr[1])
    if np.isnan(arr).any() or box.is_empty:
        raise ValueError(f"bounds must be ordered numbers, lo <= hi (got {box})")
    return box


def _default_step(bounds: Bounds) -> float:
    """A millionth of the largest finite edge of ``bounds`` (1e-6 when it has none)."""
    edges = [e for e in bounds.size if math.isfinite(e) and e > 0.0]
    return 1e-6 * max(edges, default=1.0)


# ---------------------------------------------------------------- nodes with children


class _Node(Shape, Combining):
    """A shape made from other shapes: its emitter asks for its children's values."""


# ---------------------------------------------------------------- functions


class _FunctionShape(Shape):
    """A Python field function with its bounds; the one node holding a callable."""

    def __init__(
        self, function: Callable[[Array], Any], bounds: BoundsLike, step: float | None, lipschitz: float
    ) -> None:
        self.bounds = bounds_of(bounds)
        self.lipschitz = positive(lipschitz, "lipschitz")
        self.step = positive(_default_step(self.bounds) if step is None else step, "step")
        self.callback = Callback(function, self.step)

    def _emit(self, t: Tape, p: Coords) -> Reg:
        return t.call(self, lambda: self.callback, p)

    def __repr__(self) -> str:
        return f"Shape.from_function({self.callback!r}, {tuple(self.bounds)})"


# ---------------------------------------------------------------- Booleans


def fold(t: Tape, shapes: Sequence[Node], take_max: bool, p: Coords) -> Walk:
    """The max (or min) of the shapes' values at ``p``: intersections and unions, 3D or 2D."""
    combine = t.max if take_max else t.min
    result = yield shapes[0], p
    for shape in shapes[1:]:
        result = combine(result, (yield shape, p))
    return result


class _Extremum(_Node):
    """Pointwise minimum (union) or maximum (intersection) of several shapes."""

    def __init__(self, shapes: Sequence[Shape], take_max: bool) -> None:
        if not shapes:
            raise ValueError("at least one shape is needed")
        self.shapes = tuple(map(_require_shape, shapes))
        self.take_max = take_max
        self.lipschitz = max(s.lipschitz for s in self.shapes)
        # Outside, the box of a union is as far as the nearest part's, and that of an
        # intersection, axis by axis, as far as the farthest part's.
        self.understatement = largest([s.understatement for s in self.shapes])
        boxes = [s.bounds for s in self.shapes]
        combine = Bounds.intersection if take_max else Bounds.union
        self.bounds = boxes[0]
        for box in boxes[1:]:
            self.bounds = combine(self.bounds, box)

    def _emit(self, t: Tape, p: Coords) -> Walk:
        return (yield from fold(t, self.shapes, self.take_max, p))

    def _repr_parts(self) -> tuple[str, list[object]]:
        return ("intersection" if self.take_max else "union"), list(self.shapes)


class _Difference(_Node):
    """``a`` with ``b`` cut away: max(a, -b)."""

    def __init__(self, a: Shape, b: Shape) -> None:
        self.a, self.b = _require_shape(a), _require_shape(b)
        self.bounds = self.a.bounds
        self.lipschitz = max(self.a.lipschitz, self.b.lipschitz)
        self.understatement = self.a.understatement  # max(a, -b) >= a

    def _emit(self, t: Tape, p: Coords) -> Walk:
        a = yield self.a, p
        b = yield self.b, p
        return t.max(a, t.neg(b))

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "difference", [self.a, self.b]


SmoothKind = Literal["union", "intersection", "difference"]


class _Smooth(_Node):
    """Polynomial smooth minimum (union) or maximum of two shapes, blend radius ``k``.

    Intersection is -smin(-a, -b) and difference -smin(-a, b), so one
    kernel serves all three; ``kind`` names the operation.
    """

    def __init__(self, a: Shape, b: Shape, k: float, kind: SmoothKind) -> None:
        if not k > 0.0 or not math.isfinite(k):
            raise ValueError(f"blend radius must be positive (got {k})")
        a, b = _require_shape(a), _require_shape(b)
        self.a, self.b, self.k, self.kind = a, b, float(k), kind
        # The blend's gradient is a weighted mean of its parts'.
        self.lipschitz = max(a.lipschitz, b.lipschitz)
        if kind == "union":
            # The blend lowers the minimum by at most k/4; values are clipped
            # to this box, since a child whose values are only a bound could
            # otherwise turn negative beyond it.
            self.bounds = a.bounds.union(b.bounds).padded(self.k / 4.0)
            self.understatement = 1.0  # at least the distance of that box
        elif kind == "intersection":
            # At least max(a, b), as at least the plain operations give (likewise below).
            self.bounds = a.bounds.intersection(b.bounds)
            self.understatement = largest([a.understatement, b.understatement])
        else:
            self.bounds = a.bounds
            self.understatement = a.understatement

    def _emit(self, t: Tape, p: Coords) -> Walk:
        a = yield self.a, p
        b = yield self.b, p
        if self.kind == "union":
            return clip_to_bounds(t, t.smooth_min(a, b, self.k), p, self.bounds)
        # -smin(-a, -b) and -smin(-a, b).
        sb = t.neg(b) if self.kind == "intersection" else b
        return t.neg(t.smooth_min(t.neg(a), sb, self.k))

    def _repr_parts(self) -> tuple[str, list[object]]:
        return f"smooth_{self.kind}", [self.a, self.b, f"k={self.k!r}"]


def union(*shapes: Shape) -> Shape:
    """Everything inside any of ``shapes`` (pointwise minimum).

    Exact distances stay exact outside; inside, the values are a bound.
    """
    return _Extremum(shapes, take_max=False)


def intersection(*shapes: Shape) -> Shape:
    """Everything inside all of ``shapes`` (pointwise maximum).

    Exact distances stay exact inside; outside, the values are a bound.
    """
    return _Extremum(shapes, take_max=True)


def difference(a: Shape, b: Shape) -> Shape:
    """``a`` with ``b`` removed: max(a, -b), a bound on the distance."""
    return _Difference(a, b)


def smooth_union(a: Shape, b: Shape, k: float = 0.25) -> Shape:
    """Union of ``a`` and ``b`` with a fillet of about ``k`` where they meet.

    The polynomial smooth minimum: it equals the union where the two
    values differ by ``k`` or more, and lies at most ``k/4`` below it.  The
    values are a bound on the distance.  Where a child's values are only a
    bound themselves, the blend could reach past the union's box grown by
    ``k/4``; it is cut off there, so that the bounds hold.
    """
    return _Smooth(a, b, k, "union")


def smooth_intersection(a: Shape, b: Shape, k: float = 0.25) -> Shape:
    """Intersection of ``a`` and ``b`` with the edge where they meet rounded by about ``k``.

    At most ``k/4`` above the plain intersection; a bound on the distance.
    """
    return _Smooth(a, b, k, "intersection")


def smooth_difference(a: Shape, b: Shape, k: float = 0.25) -> Shape:
    """``a`` with ``b`` removed, the cut's rim rounded by about ``k``.

    At most ``k/4`` above the plain difference; a bound on the distance.
    """
    return _Smooth(a, b, k, "difference")


# ---------------------------------------------------------------- thickness


class _Offset(_Node):
    def __init__(self, shape: Shape, distance: float) -> None:
        self.shape = shape
        self.distance = finite(distance, "offset distance")
        self.lipschitz = shape.lipschitz
        self.bounds = shape.bounds.padded(max(self.distance, 0.0))
        # Grown, the values are at least the distance of the box; shrunk, above the shape's.
        self.understatement = 1.0 if self.distance > 0.0 else shape.understatement

    def _emit(self, t: Tape, p: Coords) -> Walk:
        value = t.sub((yield self.shape, p), self.distance)
        # Growing lowers the values: keep them positive outside the grown box.
        return clip_to_bounds(t, value, p, self.bounds) if self.distance > 0.0 else value

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "offset", [self.shape, repr(self.distance)]


ShellSide = Literal["center", "inside", "outside"]
_SHELL_MIDDLE: dict[str, float] = {"center": 0.0, "inside": -0.5, "outside": 0.5}


class _Shell(_Node):
    """|f - middle| - thickness/2: a wall whose middle is the level ``middle``."""

    def __init__(self, shape: Shape, thickness: float, side: ShellSide) -> None:
        if side not in _SHELL_MIDDLE:
            raise ValueError(f"shell side must be one of {', '.join(_SHELL_MIDDLE)} (got {side!r})")
        self.shape, self.side = shape, side
        self.thickness = positive(thickness, "shell thickness")
        self.lipschitz = shape.lipschitz
        self.middle = _SHELL_MIDDLE[side] * self.thickness
        self.bounds = shape.bounds.padded(self.middle + self.thickness / 2.0)
        # Reaching out, the values are at least the distance of the box; a wall
        # inside the surface lies deeper in than its box is shrunk.
        self.understatement = 1.0 if self.middle + self.thickness / 2.0 > 0.0 else shape.understatement

    def _emit(self, t: Tape, p: Coords) -> Walk:
        d = t.sub((yield self.shape, p), self.middle)
        value = t.sub(t.abs(d), self.thickness / 2.0)
        # A wall reaching outside the surface lowers the values there.
        reaches_out = self.middle + self.thickness / 2.0 > 0.0
        return clip_to_bounds(t, value, p, self.bounds) if reaches_out else value

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "shell", [self.shape, repr(self.thickness), repr(self.side)]


def offset(shape: Shape, distance: float) -> Shape:
    """``shape`` grown by ``distance`` on every side (shrunk when negative): f - distance.

    Growing keeps an exact distance exact outside the grown shape and
    shrinking keeps it exact inside; elsewhere the values are a bound.
    Edges and corners round off as the shape grows.  Where the shape's
    values are only a bound, growing moves the surface by more than
    ``distance`` in places; it is cut off at the shape's box grown by
    ``distance``, so that the bounds hold.
    """
    return _Offset(shape, distance)


def shell(shape: Shape, thickness: float, side: ShellSide = "center") -> Shape:
    """A hollow wall of ``thickness`` following the surface of ``shape``.

    ``side`` places the wall: ``"center"`` straddles the surface,
    ``"inside"`` keeps the outer surface where it is and hollows the shape
    out, ``"outside"`` keeps the inner surface.  The values are exact
    where the shape's are, a bound otherwise (and then cut off at the
    grown bounds, as for :func:`offset`).  A closed wall has two surfaces,
    outer and inner, each a separate piece: :func:`quarvel.mesh` keeps both,
    unless asked for the largest piece alone (``keep="largest"``).
    """
    return _Shell(shape, thickness, side)


# ---------------------------------------------------------------- transforms


class _Translate(_Node):
    def __init__(self, shape: Shape, offset: ArrayLike) -> None:
        self.shape = shape
        self.shift = np.asarray(vec3(offset, "offset"))
        self.lipschitz = shape.lipschitz
        self.understatement = shape.understatement
        self.bounds = shape.bounds.translated(self.shift)

    def _emit(self, t: Tape, p: Coords) -> Walk:
        return (yield self.shape, offsets(t, p, self.shift))

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "translate", [self.shape, repr(tuple(self.shift.tolist()))]


class _Scale(_Node):
    """f(p / s) times the smallest factor: exact for a uniform factor."""

    def __init__(self, shape: Shape, factor: ArrayLike) -> None:
        self.shape = shape
        self.factor = np.asarray(vec3(factor, "scale factor"))
        # Scaled by the smallest factor, the values stretch no faster than space.
        self.lipschitz = shape.lipschitz
        if not np.all(self.factor > 0.0):
            raise ValueError(f"scale factors must be positive (got {tuple(self.factor.tolist())})")
        # Along the most stretched axis the values fall short by the factors' ratio.
        ratio = float(self.factor.max() / self.factor.min())
        self.understatement = None if shape.understatement is None else shape.understatement * ratio
        self.bounds = Bounds.of(shape.bounds.lo * self.factor, shape.bounds.hi * self.factor)

    def _emit(self, t: Tape, p: Coords) -> Walk:
        value = yield self.shape, [t.div(x, float(f)) for x, f in zip(p, self.factor)]
        return t.mul(float(self.factor.min()), value)

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "scale", [self.shape, repr(tuple(self.factor.tolist()))]


class _Rotate(_Node):
    """f(R^T p): a rotation keeps distances."""

    def __init__(self, shape: Shape, matrix: Array) -> None:
        self.shape, self.matrix = shape, matrix
        self.lipschitz = shape.lipschitz
        # A point's gap from the box around the turned box is at most this many
        # times its gap from the box in the shape's frame (sqrt(3) at most).
        widening = float(np.abs(matrix).sum(axis=1).max())
        self.understatement = None if shape.understatement is None else shape.understatement * widening
        box = shape.bounds
        if box.is_finite:
            turned = np.asarray(box.corners()) @ matrix.T
            self.bounds = Bounds.of(turned.min(axis=0), turned.max(axis=0))
        else:
            self.bounds = Bounds.infinite()

    def _emit(self, t: Tape, p: Coords) -> Walk:
        # p @ matrix: column j weighs the point's coordinates.
        return (yield self.shape, [dot(t, p, self.matrix[:, j]) for j in range(3)])

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "rotate", [self.shape, f"matrix={self.matrix.round(6).tolist()}"]


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


def orientation_matrix(direction: ArrayLike) -> Array:
    """The shortest rotation taking the z axis to ``direction``."""
    d = np.asarray(vec3(direction, "direction"))
    length = float(np.linalg.norm(d))
    if length == 0.0 or not math.isfinite(length):
        raise ValueError(f"direction must be a finite, non-zero vector (got {tuple(d.tolist())})")
    d = d / length
    axis = np.cross((0.0, 0.0, 1.0), d)
    turn = math.atan2(float(np.linalg.norm(axis)), float(d[2]))
    if float(np.linalg.norm(axis)) == 0.0:
        # Along z already, or straight down: half a turn about x.
        axis = np.array([1.0, 0.0, 0.0])
    return rotation_matrix(math.degrees(turn), axis)


def orient(shape: Shape, direction: ArrayLike) -> Shape:
    """``shape`` turned about the origin so that its z axis points along ``direction``.

    The turn is the shortest one (about the axis perpendicular to both),
    so a shape made along z, such as a cylinder or an extrusion, comes to
    lie along ``direction``.  Distances are kept.
    """
    return _Rotate(shape, orientation_matrix(direction))


# ---------------------------------------------------------------- deformations
#
# Each evaluates its shape at warped points.  A warp that stretches space
# would make the values overstate the distance, so twist and bend divide them
# by the largest stretch where the shape lies.


class _Twist(_Node):
    """Turns each slice z = c of the shape by ``rate`` * c radians about the z axis.

    Inside the cylinder K around the shape's bounds (radius ``radius``, the
    same z range) the warp stretches by at most ``stretch``, so the shape's
    values divided by it stay 1-Lipschitz there.  Outside K the value is
    sqrt(d_K^2 + h^2) with h that quotient at the nearest point of K:
    K is convex, so this never exceeds the distance either.
    """

    def __init__(self, shape: Shape, degrees_per_unit: float) -> None:
        box = shape.bounds
        if not all(math.isfinite(c) for c in (*box.lo[:2], *box.hi[:2])):
            raise ValueError("twist needs a shape bounded in x and y")
        self.shape = shape
        self.lipschitz = shape.lipschitz
        # Outside K the values are at least the distance of K.
        self.understatement = 1.0
        self.rate = math.radians(finite(degrees_per_unit, "twist rate"))
        self.radius = max(math.hypot(x, y) for x in (box.lo[0], box.hi[0]) for y in (box.lo[1], box.hi[1]))
        self.z_lo, self.z_hi = box.lo[2], box.hi[2]
        # Largest singular value of the warp's Jacobian at distance `radius` from the axis.
        m = abs(self.rate) * self.radius
        self.stretch = (m + math.sqrt(m * m + 4.0)) / 2.0
        r = self.radius
        self.bounds = Bounds.of((-r, -r, self.z_lo), (r, r, self.z_hi))

    def _emit(self, t: Tape, p: Coords) -> Walk:
        x, y, z = p
        rho = radial(t, p)
        shrink = t.select(t.less(self.radius, rho), t.div(self.radius, rho), 1.0)
        kx, ky, kz = t.mul(x, shrink), t.mul(y, shrink), t.clip(z, self.z_lo, self.z_hi)
        angle = t.mul(self.rate, kz)
        c, s = t.cos(angle), t.sin(angle)
        qx = t.add(t.mul(c, kx), t.mul(s, ky))
        qy = t.sub(t.mul(c, ky), t.mul(s, kx))
        h = t.div((yield self.shape, [qx, qy, kz]), self.stretch)
        # Outside the cylinder K: sqrt(d_K^2 + max(h, 0)^2) from the nearest point of K.
        d_k = t.length([t.sub(x, kx), t.sub(y, ky), t.sub(z, kz)], None)
        outer = t.length([d_k, t.max(h, 0.0)], None)
        # Outside K (where d_k > 0) told by the point's own position, which
        # interval bounds over a box inside K can decide, unlike d_k > 0.
        outside = t.less(self.radius, rho)
        if self.z_lo > -math.inf:
            outside = t.max(outside, t.less(z, self.z_lo))
        if self.z_hi < math.inf:
            outside = t.max(outside, t.less(self.z_hi, z))
        return t.select(outside, outer, h)

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "twist", [self.shape, f"{math.degrees(self.rate):.12g}"]


class _Bend(_Node):
    """Bends the shape's x axis into an arc of radius 1 / ``curvature`` about (0, y, 1/curvature).

    A point at angle theta and distance r from the bend's axis comes from
    (theta / k, y, 1/k - r).  Radial lines keep their length; arcs are
    stretched by 1 / (k r), most on the band's inner side, so the values
    are divided by that there.  A negative curvature bends towards -z: the
    warp is mirrored in z.

    Near the axis (r < r_in / 2) arcs stretch without bound, and behind it,
    on the half-plane H opposite the band's middle, the angle wraps: there
    the values are capped by ``floor`` + the distance to those places, which
    the shape's understatement proves to lie below them, and which grows
    by ``rise`` per unit of distance beyond the band's outer radius and y
    range, so that far points keep values that grow.  Elsewhere the
    quotient stretches at most twice as fast as space (at r_in / 2): the
    values change by at most twice the shape's factor per unit.
    """

    def __init__(self, shape: Shape, degrees_per_unit: float) -> None:
        rate = math.radians(finite(degrees_per_unit, "bend rate"))
        if rate == 0.0:
            raise ValueError("bend rate must not be zero")
        box = shape.bounds
        if not all(math.isfinite(c) for c in (box.lo[0], box.hi[0], box.lo[2], box.hi[2])):
            raise ValueError("bend needs a shape bounded in x and z")
        self.shape, self.curvature = shape, rate
        self.lipschitz = 2.0 * shape.lipschitz
        k = abs(rate)
        self.flip = 1.0 if rate > 0.0 else -1.0
        z_lo, z_hi = sorted((self.flip * box.lo[2], self.flip * box.hi[2]))
        self.r_in, self.r_out = 1.0 / k - z_hi, 1.0 / k - z_lo
        if not self.r_in > 0.0:
            raise ValueError(f"bend too tight: the shape reaches the bend's axis, {1.0 / k:g} from x")
        self.theta_lo, self.theta_hi = k * box.lo[0], k * box.hi[0]
        if max(-self.theta_lo, self.theta_hi) >= math.pi:
            raise ValueError("bend too tight: the shape would wrap more than half a turn either way")
        self.stretch = max(1.0, 1.0 / (k * self.r_in))
        self.middle = (self.theta_lo + self.theta_hi) / 2.0
        self.y_lo, self.y_hi = box.lo[1], box.hi[1]
        self.floor = self.rise = 0.0
        if shape.understatement is not None:
            # Where capped, the point maps r_in / 2 beyond the shape's box along z, or
            # (pi - half the band's angle) / k along x, or beyond by its gaps past
            # r_out and along y: the shape's values there, divided as everywhere,
            # are at least twice floor + rise * (those gaps).
            scale = shape.understatement * self.stretch
            reach = min(self.r_in / 2.0, (math.pi - (self.theta_hi - self.theta_lo) / 2.0) / k)
            self.floor, self.rise = reach / (2.0 * scale), 1.0 / (4.0 * scale)
            # The cap rises by 1 + 2 rise per unit at most.
            self.lipschitz = max(self.lipschitz, 1.0 + 2.0 * self.rise)
            # From a point, the band is at most |dy| + |dr| + r_out |dtheta| away,
            # and those are the shape's own gaps, |dtheta| / k along x.  Capped, it
            # is at most 2 r_out (through the axis) plus the gaps the cap rises by.
            capped = 2.0 * self.r_out / self.floor + 1.0 / self.rise
            self.understatement = max(scale * (2.0 + k * self.r_out), capped)
        self.bounds = self._band_bounds(box)

    def _band_bounds(self, box: Bounds) -> Bounds:
        """The box around the bent band: corners plus the outer arc's turning points."""
        k = abs(self.curvature)
        angles = [self.theta_lo, self.theta_hi]
        angles += [a for a in (-math.pi / 2, 0.0, math.pi / 2) if self.theta_lo < a < self.theta_hi]
        radii = (self.r_in, self.r_out)
        points = [(r * math.sin(a), 1.0 / k - r * math.cos(a)) for a in angles for r in radii]
        xs = [x for x, _ in points]
        zs = sorted(self.flip * z for _, z in points)
        return Bounds.of((min(xs), box.lo[1], zs[0]), (max(xs), box.hi[1], zs[-1]))

    def _emit(self, t: Tape, p: Coords) -> Walk:
        x, y, z = p
        k = abs(self.curvature)
        dz = t.sub(1.0 / k, t.mul(self.flip, z))
        r = t.length([x, dz], None)
        # Turned so that the band's middle lies along +dz': the angle wraps on
        # H = {x' = 0, dz' < 0}, as far from the band as can be.
        c, s = math.cos(self.middle), math.sin(self.middle)
        across = t.sub(t.mul(x, c), t.mul(dz, s))
        along = t.add(t.mul(dz, c), t.mul(x, s))
        theta = t.add(t.atan2(across, along), self.middle)
        values = yield self.shape, [t.div(theta, k), y, t.mul(self.flip, t.sub(1.0 / k, r))]
        value = t.div(values, self.stretch)
        if self.rise == 0.0:
            return value
        to_axis = t.max(t.sub(r, self.r_in / 2.0), 0.0)
        to_wrap = t.length([across, t.max(along, 0.0)], None)
        beyond = t.add(t.max(t.sub(r, self.r_out), 0.0), t.max(t.max(t.sub(y, self.y_hi), t.sub(self.y_lo, y)), 0.0))
        cap = t.add(t.add(self.floor, t.min(to_axis, to_wrap)), t.mul(self.rise, beyond))
        return t.min(value, cap)

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "bend", [self.shape, f"{math.degrees(self.curvature):.12g}"]


class _Repeat(_Node):
    """Copies of a shape at integer multiples of ``spacing``, by evaluating nearby copies.

    Along a repeated axis, the copy nearest to a point of the shape is
    among the ``window`` copies whose index lies in
    [u - 1/2 - reach, u + 1/2 + reach), where u is the point's position in
    spacings from the shape's centre and ``reach`` the shape's half width
    in spacings.  The value is the minimum over those copies of each copy's
    value raised to the signed distance of its box: no point of a copy is
    nearer than its box, so this is still a bound, and it equals the union
    wherever the shape's values never undercut its box's.  Ties go to the
    first copy in window order.  Along an axis whose copies all fit in the
    window (``whole``), the window is those copies, each once.
    """

    def __init__(self, shape: Shape, spacing: ArrayLike, count: ArrayLike | None) -> None:
        self.shape = shape
        self.lipschitz = shape.lipschitz
        # Each copy's value is at least the distance of its box.
        self.understatement = 1.0
        self.spacing = np.asarray(vec3(spacing, "spacing"))
        repeated = self.spacing > 0.0
        if not np.all((self.spacing >= 0.0) & np.isfinite(self.spacing)) or not np.any(repeated):
            raise ValueError(
                f"spacing must be finite, not negative, and positive along some axis "
                f"(got {tuple(self.spacing.tolist())})"
            )
        count = _counts(count, repeated)
        lo, hi = np.asarray(shape.bounds.lo), np.asarray(shape.bounds.hi)
        if not np.all(np.isfinite(lo[repeated]) & np.isfinite(hi[repeated])):
            raise ValueError("repeat needs a shape bounded along the repeated axes")
        endless = np.isinf(count)
        # Copy indices run over [first, last] per axis: 0..0 where unrepeated.
        self.first = np.where(endless, -np.inf, 0.0)
        self.last = count - 1.0
        lo_r, hi_r = np.where(repeated, lo, 0.0), np.where(repeated, hi, 0.0)
        self.center = (lo_r + hi_r) / 2.0
        self.reach = (hi_r - lo_r) / 2.0 / np.where(repeated, self.spacing, 1.0)
        window = np.ceil(1.0 + 2.0 * self.reach)
        self.whole = ~endless & (window >= count)
        self.window = np.where(self.whole, count, window).astype(int)
        span = np.where(endless, 0.0, self.last) * self.spacing
        self.bounds = Bounds.of(np.where(endless, -np.inf, lo), np.where(endless, np.inf, hi + span))

    def _emit(self, t: Tape, p: Coords) -> Walk:
        repeated = [bool(s > 0.0) for s in self.spacing]
        starts: list[Num] = []
        for x, c, s, reach, on, whole in zip(p, self.center, self.spacing, self.reach, repeated, self.whole):
            if whole or not on:
                starts.append(0.0)
                continue
            u = t.div(t.sub(x, float(c)), float(s))
            # ceil(v) = -floor(-v)
            starts.append(t.neg(t.floor(t.neg(t.sub(t.sub(u, 0.5), float(reach))))))
        lo, hi = self.shape.bounds
        best: Reg | None = None
        for window in itertools.product(*(range(w) for w in self.window)):
            shift: list[Num] = []
            for start, o, first, last, s, on in zip(starts, window, self.first, self.last, self.spacing, repeated):
                shift.append(t.mul(t.clip(t.add(start, float(o)), first, last), float(s)) if on else 0.0)
            # The copy's value, raised to the signed distance of its box.
            q: list[Num] = [
                t.max(t.sub(t.sub(x, h), d), t.sub(t.add(l, d), x)) for x, l, h, d in zip(p, lo, hi, shift)
            ]
            value = yield self.shape, [t.sub(x, d) for x, d in zip(p, shift)]
            candidate = t.max(value, box_distance(t, q))
            best = candidate if best is None else t.min(best, candidate)
        assert best is not None
        return best

    def _repr_parts(self) -> tuple[str, list[object]]:
        count = tuple(int(c) + 1 if math.isfinite(c) else None for c in self.last.tolist())
        return "repeat", [self.shape, repr(tuple(self.spacing.tolist())), f"count={count}"]


def _counts(count: ArrayLike | None, repeated: NDArray[np.bool_]) -> Array:
    """Copies per axis as floats: inf for endless repetition, 1 along unrepeated axes."""
    if count is None:
        return np.where(repeated, np.inf, 1.0)
    arr = np.asarray(count)
    if arr.ndim == 0:
        arr = np.where(repeated, arr, 1)
    whole = all(isinstance(c, int) and not isinstance(c, bool) for c in arr.reshape(-1).tolist())
    if arr.shape != (3,) or not whole:
        raise ValueError(f"count must be None, a whole number or three (got {count!r})")
    counts = arr.astype(np.float64)
    if np.any(counts < 1.0):
        raise ValueError(f"counts must be at least 1 (got {count!r})")
    if np.any((counts > 1.0) & ~repeated):
        raise ValueError("a count above 1 needs a positive spacing along that axis")
    return counts


def twist(shape: Shape, degrees_per_unit: float) -> Shape:
    """``shape`` twisted about the z axis by ``degrees_per_unit`` for each unit of z.

    The slice at height z turns by ``degrees_per_unit * z`` degrees
    (counter-clockwise seen from +z for a positive rate).  The values are a
    bound on the distance everywhere: the shape's values divided by the
    largest stretch of the twist within its bounding cylinder.  A fast
    twist of a wide shape thus gives small values far from the surface,
    and the mesher samples more finely there.  The shape must be bounded in
    x and y.
    """
    return _Twist(shape, degrees_per_unit)


def bend(shape: Shape, degrees_per_unit: float) -> Shape:
    """``shape`` with its x axis bent into a circular arc in the xz plane.

    The bend turns by ``degrees_per_unit`` for each unit of length along x,
    so the arc's radius is ``180 / (pi * degrees_per_unit)``; the origin
    stays put and a positive rate lifts both ends towards +z.  Lengths
    along the arc at z = 0 are kept.  The shape must be bounded in x and z,
    lie on the near side of the bend's axis, and turn less than half a turn
    either way.

    The values are the shape's values divided by the largest stretch of the
    bend within the bent shape's band, a bound on the distance (gradient of
    length at most 1) inside that band; farther from the shape, between the
    band and the bend's axis or beyond its ends, they keep their sign but
    may exceed the distance; its :attr:`~Shape.lipschitz` is therefore twice
    the shape's.
    """
    return _Bend(shape, degrees_per_unit)


def repeat(shape: Shape, spacing: ArrayLike, count: ArrayLike | None = None) -> Shape:
    """Copies of ``shape`` at every multiple of ``spacing`` along each axis.

    ``spacing`` is one number or three; 0 leaves that axis unrepeated.
    With ``count=None`` the copies go on forever both ways (mesh them
    within explicit bounds, or intersect with a bounded shape); otherwise
    ``count`` (one whole number or three) copies per repeated axis, placed
    at 0, spacing, 2 * spacing, ... from the original, and the bounds cover
    them all.

    The values are those of the union of the copies, exact outside where
    the shape's are.  Each evaluation looks at the copies that can be
    nearest (two per repeated axis when the shape is no wider than the
    spacing, more when copies overlap), each copy's value raised to the
    distance of its box; for a shape whose values are only a bound the
    result may then lie above the union's, still a bound.
    The shape must be bounded along the repeated axes.
    """
    return _Repeat(shape, spacing, count)

# ---------------------------------------------------------------- patterns
#
# Mirror images, and rows and rings of copies.  Each evaluates its shape once
# per copy that can be nearest to the point (the domain is folded onto those
# copies), not once per copy, so a ring of a hundred bolts costs about what
# two cost.  Every copy's value is raised to the distance of its own box, as
# in repeat: no point of a copy is nearer than its box, so this keeps a bound
# a bound and the values positive outside the pattern's bounds.


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
