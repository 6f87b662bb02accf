"""Signed-distance shapes: the base class, Boolean combinations and transforms.

A :class:`Shape` is a field in the engine's contract: called with an (N, 3)
float64 array it returns ``(values, gradients)``, both computed analytically.
Values are negative inside and positive outside.  Every shape carries
``bounds``, a box outside of which its values are positive.

Shapes are trees of small nodes whose numbers and children are plain
attributes and whose values come from elementary arithmetic (min, max, abs,
sqrt, sin, cos, atan2, floor and comparisons), so that a tree can also be
translated into other evaluators.  Only :meth:`Shape.from_function` holds an
arbitrary callable.

Where a docstring calls values *a bound on the distance*, they have the right
sign and never exceed the true distance to the surface in magnitude, but may
fall short of it.  Such fields are also 1-Lipschitz (no gradient longer than
1) unless their docstring says otherwise.

Every shape states, as :attr:`Shape.lipschitz`, how far its values may
overstate the distance: :func:`quarvel.mesh` relies on it to prove cells
empty, so that no piece of surface is missed.
"""

from __future__ import annotations

import math
from abc import ABC, abstractmethod
from collections.abc import Callable, Generator, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._bounds import Bounds, vec3
from ..meshing.fields import as_field

if TYPE_CHECKING:
    from ..shapes.program import Program

Array = NDArray[np.float64]
Pair = tuple[Array, Array]
BoundsLike = Bounds | Sequence[ArrayLike]


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


def sign(x: Array) -> Array:
    """Sign with 0 counted as positive, so every point gets a gradient."""
    return np.where(x >= 0.0, 1.0, -1.0)


def radial(p: Array) -> tuple[Array, Array]:
    """Distance from the z axis (N,) and the unit radial direction (N, 2)."""
    rho = np.hypot(p[:, 0], p[:, 1])
    return rho, unit(p[:, :2], (1.0, 0.0))


def box_distance(q: Array) -> Pair:
    """Distance of an axis-aligned box in "folded" coordinates.

    ``q`` (N, k) holds |p| minus the half extents per axis.  Returns the
    distance (N,) and its derivative with respect to ``q`` (N, k).
    """
    outer = np.maximum(q, 0.0)
    outer_len = np.linalg.norm(outer, axis=1)
    largest = q.argmax(axis=1)
    inner = np.minimum(q[np.arange(len(q)), largest], 0.0)
    onehot = np.zeros_like(q)
    onehot[np.arange(len(q)), largest] = 1.0
    outside = outer_len > 0.0
    safe_len = np.where(outside, outer_len, 1.0)[:, None]
    dq = np.where(outside[:, None], outer / safe_len, onehot)
    return outer_len + inner, dq


def rounded_box_distance(d: Array, half: Array, radius: float) -> Pair:
    """Distance (N,) and gradient (N, k) of a box with half extents ``half``
    and edges rounded by ``radius``, at offsets ``d`` (N, k) from its centre."""
    # A rounded box is the inner box grown by the radius.
    dist, dq = box_distance(np.abs(d) - (half - radius))
    return dist - radius, sign(d) * dq


def clip_to_bounds(pair: Pair, p: Array, box: Bounds) -> Pair:
    """``max(field, distance of box)``: positive outside ``box`` whatever the field.

    Offsets and blends lower a field's values, so where a child's values
    are only a bound they could turn negative beyond the grown box.  An axis
    may be unbounded; with no finite side there is nothing to clip.
    """
    lo, hi = np.asarray(box.lo), np.asarray(box.hi)
    if not np.any(np.isfinite(lo) | np.isfinite(hi)):
        return pair
    below, above = lo - p, p - hi
    dist, dq = box_distance(np.maximum(below, above))
    values, gradients = pair
    wall = dist > values
    side = np.where(above >= below, 1.0, -1.0)
    return np.where(wall, dist, values), np.where(wall[:, None], dq * side, gradients)


class Shape(ABC):
    """A signed distance field with an exact gradient and known bounds.

    Values are negative inside and positive outside.  Shapes compose with
    ``a | b`` (union), ``a & b`` (intersection) and ``a - b`` (difference);
    the other operand may also be a field function that has a ``bounds``
    attribute (see :meth:`from_function`).  They move with :meth:`translate`,
    :meth:`scale`, :meth:`rotate` and :meth:`orient`, deform with
    :meth:`twist`, :meth:`bend` and :meth:`repeat`, and change thickness with
    :meth:`offset` and :meth:`shell`.  A shape is directly a field for
    :func:`quarvel.mesh`.
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

    def __call__(self, points: ArrayLike) -> Pair:
        """Values and gradients at ``points``, shapes (N,) and (N, 3)."""
        values, gradients = self._eval(as_points(points))
        return np.ascontiguousarray(values), gradients

    @abstractmethod
    def _eval(self, p: Array) -> Pair:
        """Distance (N,) and gradient (N, 3) at the (N, 3) points ``p``."""

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

        The program gives the same values and gradients as the shape, a few
        tens of times faster, and bounds on the values over boxes.  Raises
        :class:`quarvel.CompileError` when the tree holds a node with no
        compiled form: a shape from :meth:`from_function` or a subclass with
        arithmetic of its own.  Such a shape still works as it is, through
        NumPy.
        """
        from ..shapes.program import Program

        return Program.of(self)

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
        from ..shapes.deform import twist

        return twist(self, degrees_per_unit)

    def bend(self, degrees_per_unit: float) -> Shape:
        """This shape's x axis bent into an arc; see :func:`quarvel.bend`."""
        from ..shapes.deform import bend

        return bend(self, degrees_per_unit)

    def repeat(self, spacing: ArrayLike, count: ArrayLike | None = None) -> Shape:
        """Copies of this shape on a grid; see :func:`quarvel.repeat`."""
        from ..shapes.deform import repeat

        return repeat(self, spacing, count)


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
    from ..shapes.planar import Shape2D

    if isinstance(other, Shape2D):
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


def finite(value: float, name: str) -> float:
    """``value`` as a float, refused when it is not a finite number."""
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number (got {value})")
    return number


def positive(value: float, name: str) -> float:
    """``value`` as a float, refused unless it is finite and above zero."""
    number = float(value)
    if not number > 0.0 or not math.isfinite(number):
        raise ValueError(f"{name} must be a positive number (got {value})")
    return number


def bounds_of(bounds: BoundsLike) -> Bounds:
    """``bounds`` as a non-empty :class:`Bounds` without NaN; sides may be infinite."""
    arr = np.asarray(bounds, dtype=np.float64)
    if arr.shape != (2, 3):
        raise ValueError(f"bounds must be (lo, hi), each three numbers (got shape {arr.shape})")
    box = Bounds.of(arr[0], arr[1])
    if np.isnan(arr).any() or box.is_empty:
        raise ValueError(f"bounds must be ordered numbers, lo <= hi (got {box})")
    return box


def largest(factors: Sequence[float | None]) -> float | None:
    """The largest of ``factors``, or None when one of them is unknown."""
    known = [f for f in factors if f is not None]
    return max(known) if len(known) == len(factors) else None


# ---------------------------------------------------------------- nodes with children

Walk = Generator[tuple[Shape, Array], Pair, Pair]
# What is still to be done with a child's reply, innermost last: a walk to
# resume, or a transform's finish.
Pending = Walk | Callable[[Pair], Pair]

# Reprs longer than this many characters are cut short.
REPR_LIMIT = 10_000


class _Node(Shape):
    """A shape made from other shapes, evaluated, printed and pickled without recursion.

    Its arithmetic is a walk: a generator that yields ``(child, points)``
    and receives the child's ``(values, gradients)`` there, so that a tree of
    any depth is evaluated by one loop over an explicit stack (see
    :func:`evaluate`).  Its repr comes from :meth:`_repr_parts`.
    """

    def _eval(self, p: Array) -> Pair:
        return evaluate(self, p)

    @abstractmethod
    def _walk(self, p: Array) -> Walk:
        """Yields ``(child, points)``, receives the child's pair, returns the node's."""

    @abstractmethod
    def _repr_parts(self) -> tuple[str, list[object]]:
        """The function that makes this node and its arguments: shapes, or text as printed."""

    def __repr__(self) -> str:
        return tree_repr(self)

    def __reduce__(self) -> tuple[Callable[[list[tuple[type, dict[str, Any]]]], Shape], tuple[Any, ...]]:
        # A flat list of nodes, children first: the pickler would recurse into a deep tree.
        return (_rebuild, (_flatten(self),))


class _Transform(_Node):
    """A node that evaluates its one child at moved points and adjusts the reply.

    The points are handed on without being kept, so a long chain of moves
    holds one array of points at a time.
    """

    shape: Shape

    @abstractmethod
    def _map(self, p: Array) -> Array:
        """The points in the child's frame."""

    @abstractmethod
    def _finish(self, pair: Pair) -> Pair:
        """The node's values and gradients from the child's."""

    def _walk(self, p: Array) -> Walk:
        return self._finish((yield self.shape, self._map(p)))


def _inherits(node: Shape, base: type, name: str) -> bool:
    """Whether ``node``'s class runs ``base``'s method ``name`` rather than one of its own."""
    return getattr(type(node), name, None) is getattr(base, name)


def evaluate(shape: Shape, p: Array) -> Pair:
    """``shape``'s values and gradients at ``p``, walking its tree with an explicit stack.

    A node whose class brings its own ``_eval`` (a leaf, a shape of the
    user's) is called as it is.
    """
    pending: list[Pending] = []
    node, points = shape, p
    del p
    while True:
        while isinstance(node, _Node) and _inherits(node, _Node, "_eval"):
            if isinstance(node, _Transform) and _inherits(node, _Transform, "_walk"):
                move = node
                pending.append(move._finish)
                node, points = move.shape, move._map(points)
                continue
            pending.append(node._walk(points))
            reply = None
            break
        else:
            reply = node._eval(points)
        del points
        while pending:
            top = pending[-1]
            if not isinstance(top, Generator):
                pending.pop()
                reply = top(reply)  # type: ignore[arg-type]
                continue
            try:
                node, points = top.send(reply)  # type: ignore[arg-type]
                break
            except StopIteration as finished:
                pending.pop()
                reply = finished.value
        else:
            assert reply is not None
            return reply


def _children(node: Shape) -> Iterator[Shape]:
    """The shapes among ``node``'s attributes (tuples of them included)."""
    for value in vars(node).values():
        if isinstance(value, Shape):
            yield value
        elif isinstance(value, tuple):
            yield from (v for v in value if isinstance(v, Shape))


def _nodes_under(root: Shape) -> list[Shape]:
    """Every node with children under ``root``, each once, children before their parents."""
    done: set[int] = set()
    order: list[Shape] = []
    stack: list[tuple[Shape, bool]] = [(root, False)]
    while stack:
        node, expanded = stack.pop()
        if id(node) in done:
            continue
        if expanded:
            done.add(id(node))
            order.append(node)
            continue
        stack.append((node, True))
        stack.extend((c, False) for c in _children(node) if isinstance(c, _Node) and id(c) not in done)
    return order


def tree_repr(root: _Node, limit: int = REPR_LIMIT) -> str:
    """The repr of ``root`` written with an explicit stack, cut short past ``limit`` characters."""
    out: list[str] = []
    size = 0
    todo: list[object] = [root]  # shapes still to write, and text; the next last
    while todo:
        item = todo.pop()
        if isinstance(item, _Node) and _inherits(item, _Node, "__repr__"):
            name, args = item._repr_parts()
            parts: list[object] = [f"{name}("]
            for i, arg in enumerate(args):
                parts += [", ", arg] if i else [arg]
            todo += reversed([*parts, ")"])
            continue
        text = item if isinstance(item, str) else repr(item)
        out.append(text)
        size += len(text)
        if size > limit:
            count = len(_nodes_under(root))
            return "".join(out)[:limit] + f"... (cut short: {count} combining nodes)"
    return "".join(out)


class _Ref(NamedTuple):
    """A child in a flattened tree: the position of its entry."""

    position: int


def _flatten(root: _Node) -> list[tuple[type, dict[str, Any]]]:
    """The nodes with children under ``root``, children first, each as its class and
    attributes, with such children as :class:`_Ref`."""
    order = _nodes_under(root)
    index = {id(node): i for i, node in enumerate(order)}

    def refer(value: object) -> object:
        if isinstance(value, _Node):
            return _Ref(index[id(value)])
        if isinstance(value, tuple) and any(isinstance(v, _Node) for v in value):
            return tuple(refer(v) for v in value)
        return value

    return [(type(node), {k: refer(v) for k, v in vars(node).items()}) for node in order]


def _rebuild(entries: list[tuple[type, dict[str, Any]]]) -> Shape:
    """The tree :func:`_flatten` listed (its last entry)."""
    built: list[Shape] = []

    def resolve(value: object) -> object:
        if isinstance(value, _Ref):
            return built[value.position]
        if isinstance(value, tuple) and any(isinstance(v, _Ref) for v in value):
            return tuple(resolve(v) for v in value)
        return value

    for cls, state in entries:
        node: Shape = object.__new__(cls)
        node.__dict__.update({k: resolve(v) for k, v in state.items()})
        built.append(node)
    return built[-1]


# ---------------------------------------------------------------- functions


class _FunctionShape(Shape):
    """A Python field function with its bounds; the one node holding a callable."""

    def __init__(
        self, function: Callable[[Array], Any], bounds: BoundsLike, step: float | None, lipschitz: float
    ) -> None:
        self.function = as_field(function)
        self.bounds = bounds_of(bounds)
        self.lipschitz = positive(lipschitz, "lipschitz")
        if step is None:
            edges = [e for e in self.bounds.size if math.isfinite(e) and e > 0.0]
            step = 1e-6 * max(edges, default=1.0)
        self.step = positive(step, "step")

    def _eval(self, p: Array) -> Pair:
        values, gradients = self.function(p)
        if gradients is None:
            gradients = self._differences(p)
        return values, gradients

    def _differences(self, p: Array) -> Array:
        """Central differences along x, y and z, all six probes in one call."""
        moves = np.vstack([np.eye(3), -np.eye(3)]) * self.step
        probes = (moves[:, None, :] + p[None, :, :]).reshape(-1, 3)
        values = self.function(probes)[0].reshape(6, len(p))
        gradients: Array = ((values[:3] - values[3:]) / (2.0 * self.step)).T
        return np.ascontiguousarray(gradients)

    def __repr__(self) -> str:
        return f"Shape.from_function({self.function!r}, {tuple(self.bounds)})"


# ---------------------------------------------------------------- Booleans


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

    def _walk(self, p: Array) -> Walk:
        pairs = []
        for shape in self.shapes:
            pairs.append((yield shape, p))
        values = np.stack([v for v, _ in pairs])
        pick = values.argmax(axis=0) if self.take_max else values.argmin(axis=0)
        rows = np.arange(len(p))
        gradients = np.stack([g for _, g in pairs])[pick, rows]
        return values[pick, rows], gradients

    def _repr_parts(self) -> tuple[str, list[object]]:
        return ("intersection" if self.take_max else "union"), list(self.shapes)


class _Difference(_Node):
    """``a`` with ``b`` cut away: max(a, -b)."""

    def __init__(self, a: Shape, b: Shape) -> None:
        self.a, self.b = _require_shape(a), _require_shape(b)
        self.bounds = self.a.bounds
        self.lipschitz = max(self.a.lipschitz, self.b.lipschitz)
        self.understatement = self.a.understatement  # max(a, -b) >= a

    def _walk(self, p: Array) -> Walk:
        va, ga = yield self.a, p
        vb, gb = yield self.b, p
        keep_a = va >= -vb
        return np.where(keep_a, va, -vb), np.where(keep_a[:, None], ga, -gb)

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

    def _walk(self, p: Array) -> Walk:
        va, ga = yield self.a, p
        vb, gb = yield self.b, p
        outer = 1.0 if self.kind == "union" else -1.0
        flip_b = -1.0 if self.kind == "difference" else 1.0
        sa, sb = outer * va, outer * flip_b * vb
        h = np.clip(0.5 + 0.5 * (sb - sa) / self.k, 0.0, 1.0)
        values = outer * (h * sa + (1.0 - h) * sb - self.k * h * (1.0 - h))
        # Inside the blend the h-terms cancel: d/da = h and d/db = +-(1 - h).
        gradients = h[:, None] * ga + (flip_b * (1.0 - h))[:, None] * gb
        if self.kind == "union":
            return clip_to_bounds((values, gradients), p, self.bounds)
        return values, gradients

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

    def _walk(self, p: Array) -> Walk:
        values, gradients = yield self.shape, p
        pair = (values - self.distance, gradients)
        # Growing lowers the values: keep them positive outside the grown box.
        return clip_to_bounds(pair, p, self.bounds) if self.distance > 0.0 else pair

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

    def _walk(self, p: Array) -> Walk:
        values, gradients = yield self.shape, p
        d = values - self.middle
        pair = (np.abs(d) - self.thickness / 2.0, sign(d)[:, None] * gradients)
        # A wall reaching outside the surface lowers the values there.
        reaches_out = self.middle + self.thickness / 2.0 > 0.0
        return clip_to_bounds(pair, p, self.bounds) if reaches_out else pair

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


class _Translate(_Transform):
    def __init__(self, shape: Shape, offset: ArrayLike) -> None:
        self.shape = shape
        self.shift = np.asarray(vec3(offset, "offset"))
        self.lipschitz = shape.lipschitz
        self.understatement = shape.understatement
        self.bounds = shape.bounds.translated(self.shift)

    def _map(self, p: Array) -> Array:
        moved: Array = p - self.shift
        return moved

    def _finish(self, pair: Pair) -> Pair:
        return pair

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "translate", [self.shape, repr(tuple(self.shift.tolist()))]


class _Scale(_Transform):
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

    def _map(self, p: Array) -> Array:
        unscaled: Array = p / self.factor
        return unscaled

    def _finish(self, pair: Pair) -> Pair:
        s_min = float(self.factor.min())
        values, gradients = pair
        return s_min * values, gradients * (s_min / self.factor)

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "scale", [self.shape, repr(tuple(self.factor.tolist()))]


class _Rotate(_Transform):
    """f(R^T p) with gradient R g: a rotation keeps distances."""

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

    def _map(self, p: Array) -> Array:
        return p @ self.matrix

    def _finish(self, pair: Pair) -> Pair:
        values, gradients = pair
        return values, gradients @ self.matrix.T

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
