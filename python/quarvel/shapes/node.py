"""What every node of a shape tree shares: its program, its printing and pickling
without recursion, the checks of its parameters, and the pieces of arithmetic
that several nodes write.

A node's arithmetic is its ``_emit`` method (see :mod:`.program`): it writes
the instructions of its value at the coordinates it is given, asking for its
children's values at coordinates of its own.  Nothing else computes a value.
"""

from __future__ import annotations

import math
from collections.abc import Iterator, Sequence
from typing import Any, NamedTuple

import numpy as np

from .._bounds import Bounds
from .program import INPUTS, Coords, Emission, Num, Program, Reg, Tape

# Reprs longer than this many characters are cut short.
REPR_LIMIT = 10_000


class Node:
    """A node of a shape tree: its arithmetic (``_emit``) compiled once into a program.

    Nodes are immutable: the program is made on first use and kept (not
    pickled).
    """

    # The coordinates a node of this kind is evaluated at.
    _inputs: Coords = INPUTS

    def _emit(self, t: Tape, p: Coords) -> Emission:
        """Writes the node's value at the coordinates ``p``: its register, or a
        generator that yields ``(child, coordinates)`` and receives the child's."""
        raise NotImplementedError

    def _program(self) -> Program:
        """The node's program, compiled on first use."""
        program: Program | None = self.__dict__.get("_compiled")
        if program is None:
            program = self.__dict__["_compiled"] = Program.of(self, self._inputs)
        return program

    def _state(self) -> dict[str, Any]:
        """The node's attributes, without its program."""
        return {k: v for k, v in vars(self).items() if k != "_compiled"}

    def __getstate__(self) -> dict[str, Any]:
        return self._state()


class Combining(Node):
    """A node made from other nodes, printed and pickled without recursion."""

    def _repr_parts(self) -> tuple[str, list[object]]:
        """The function that makes this node and its arguments: nodes, or text as printed."""
        raise NotImplementedError

    def __repr__(self) -> str:
        return tree_repr(self)

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        # A flat list of nodes, children first: the pickler would recurse into a deep tree.
        return (rebuild, (flatten(self),))


# ---------------------------------------------------------------- trees without recursion


def _children(node: Node) -> Iterator[Node]:
    """The nodes among ``node``'s attributes (tuples of them included)."""
    for value in node._state().values():
        if isinstance(value, Node):
            yield value
        elif isinstance(value, tuple):
            yield from (v for v in value if isinstance(v, Node))


def nodes_under(root: Node) -> list[Node]:
    """Every combining node under ``root``, each once, children before their parents."""
    done: set[int] = set()
    order: list[Node] = []
    stack: list[tuple[Node, bool]] = [(root, False)]
    while stack:
        node, expanded = stack.pop()
        if id(node) in done:
            continue
        if expanded:
            done.add(id(node))
            order.append(node)
            continue
        stack.append((node, True))
        stack.extend((c, False) for c in _children(node) if isinstance(c, Combining) and id(c) not in done)
    return order


def tree_repr(root: Node, limit: int = REPR_LIMIT) -> str:
    """The repr of ``root`` written with an explicit stack, cut short past ``limit`` characters."""
    out: list[str] = []
    size = 0
    todo: list[object] = [root]  # nodes still to write, and text; the next last
    while todo:
        item = todo.pop()
        if isinstance(item, Combining) and type(item).__repr__ is Combining.__repr__:
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
            count = len(nodes_under(root))
            return "".join(out)[:limit] + f"... (cut short: {count} combining nodes)"
    return "".join(out)


class _Ref(NamedTuple):
    """A child in a flattened tree: the position of its entry."""

    position: int


def flatten(root: Node) -> list[tuple[type, dict[str, Any]]]:
    """The combining nodes under ``root``, children first, each as its class and
    attributes, with such children as :class:`_Ref`."""
    order = nodes_under(root)
    index = {id(node): i for i, node in enumerate(order)}

    def refer(value: object) -> object:
        if isinstance(value, Combining):
            return _Ref(index[id(value)])
        if isinstance(value, tuple) and any(isinstance(v, Combining) for v in value):
            return tuple(refer(v) for v in value)
        return value

    return [(type(node), {k: refer(v) for k, v in node._state().items()}) for node in order]


def rebuild(entries: list[tuple[type, dict[str, Any]]]) -> Node:
    """The tree :func:`flatten` listed (its last entry)."""
    built: list[Node] = []

    def resolve(value: object) -> object:
        if isinstance(value, _Ref):
            return built[value.position]
        if isinstance(value, tuple) and any(isinstance(v, _Ref) for v in value):
            return tuple(resolve(v) for v in value)
        return value

    for cls, state in entries:
        node: Node = object.__new__(cls)
        node.__dict__.update({k: resolve(v) for k, v in state.items()})
        built.append(node)
    return built[-1]


# ---------------------------------------------------------------- parameters


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


def largest(factors: Sequence[float | None]) -> float | None:
    """The largest of ``factors``, or None when one of them is unknown."""
    known = [f for f in factors if f is not None]
    return max(known) if len(known) == len(factors) else None


# ---------------------------------------------------------------- shared arithmetic


def box_distance(t: Tape, q: Sequence[Num]) -> Reg:
    """Distance of an axis-aligned box in "folded" coordinates ``q`` (|p| minus the
    half extents per axis): the outer length plus min(largest q, 0)."""
    outer = t.length([t.max(x, 0.0) for x in q], None)
    largest_q = q[0]
    for x in q[1:]:
        largest_q = t.max(largest_q, x)
    return t.add(outer, t.min(largest_q, 0.0))


def rounded_box_distance(t: Tape, d: Sequence[Num], half: np.ndarray, radius: float) -> Reg:
    """Distance of a box with half extents ``half`` and edges rounded by ``radius``,
    at offsets ``d`` from its centre: the inner box grown by the radius."""
    q = [t.sub(t.abs(x), float(h) - radius) for x, h in zip(d, half)]
    return t.sub(box_distance(t, q), radius)


def clip_to_bounds(t: Tape, value: Reg, p: Coords, box: Bounds) -> Reg:
    """``max(value, distance of box)``: positive outside ``box`` whatever the value.

    Offsets and blends lower a field's values, so where a child's values
    are only a bound they could turn negative beyond the grown box.  An axis
    may be unbounded; with no finite side there is nothing to clip.  The
    value wins ties.
    """
    lo, hi = box.lo, box.hi
    if not any(math.isfinite(c) for c in (*lo, *hi)):
        return value
    # p - hi first: on ties its side gives the gradient.
    q: list[Num] = [t.max(t.sub(x, h), t.sub(l, x)) for x, l, h in zip(p, lo, hi)]
    return t.max(value, box_distance(t, q))


def offsets(t: Tape, p: Sequence[Num], center: Sequence[float] | np.ndarray) -> list[Reg]:
    """p - center, coordinate by coordinate."""
    return [t.sub(x, float(c)) for x, c in zip(p, center)]


def radial(t: Tape, p: Coords) -> Reg:
    """The distance from the z axis; its direction falls back to +x on the axis."""
    return t.length(p[:2], 0)


def dot(t: Tape, p: Sequence[Num], v: Sequence[float] | np.ndarray) -> Reg:
    """p . v summed left to right, skipping zero weights."""
    terms = [t.mul(x, float(w)) for x, w in zip(p, v) if w != 0.0]
    total: Num = terms[0] if terms else 0.0
    for term in terms[1:]:
        total = t.add(total, term)
    return t.reg(total)
