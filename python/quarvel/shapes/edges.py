"""Fillets and chamfers where two shapes meet: Booleans whose edge is a circular arc or a 45 degree bevel.

One kernel serves the three operations, as for the smooth family: an
intersection is -U(-a, -b) and a difference -U(-a, b) for the union U.
The fillet U is max(r, min(a, b)) - |(max(r - a, 0), max(r - b, 0))|: where
both values lie below r it is r minus the distance to the corner (r, r) of
the (a, b) plane, which is a quarter circle of radius r touching both
surfaces when they meet at right angles.  The chamfer U is
min(min(a, b), (a + b - r) / sqrt 2), cutting the corner along a + b = r.

Both may change by up to sqrt 2 per unit: deep inside both shapes, where
their gradients agree, the two parts of the length (or the sum) grow
together.  That is the declared :attr:`~quarvel.Shape.lipschitz`.
"""

from __future__ import annotations

import math
from typing import Literal

from .base import Shape, Walk, _Node, _require_shape
from .node import clip_to_bounds, largest, positive
from .program import Coords, Num, Reg, Tape

EdgeKind = Literal["union", "intersection", "difference"]
EdgeStyle = Literal["fillet", "chamfer"]


def edge_union(t: Tape, a: Num, b: Num, r: float, style: EdgeStyle) -> Reg:
    """The union of values ``a`` and ``b`` with its concave edge filleted or chamfered by ``r``."""
    if style == "fillet":
        corner = t.length([t.max(t.sub(r, a), 0.0), t.max(t.sub(r, b), 0.0)], None)
        return t.sub(t.max(r, t.min(a, b)), corner)
    return t.min(t.min(a, b), t.mul(t.sub(t.add(a, b), r), math.sqrt(0.5)))


class _Edge(_Node):
    """A Boolean of two shapes whose edge is filleted or chamfered by ``radius``."""

    def __init__(self, a: Shape, b: Shape, radius: float, kind: EdgeKind, style: EdgeStyle) -> None:
        self.a, self.b = _require_shape(a), _require_shape(b)
        self.radius = positive(radius, f"{style} radius")
        self.kind, self.style = kind, style
        self.lipschitz = math.sqrt(2.0) * max(self.a.lipschitz, self.b.lipschitz)
        box_a, box_b = self.a.bounds, self.b.bounds
        if kind == "union":
            # Material is added only where both values lie below r: near both boxes.
            near = box_a.padded(self.radius).intersection(box_b.padded(self.radius))
            self.bounds = box_a.union(box_b)
            if not near.is_empty:
                self.bounds = self.bounds.union(near)
            self.understatement = 1.0  # clipped to that box
        elif kind == "intersection":
            # At least max(a, b), as the plain operations (likewise below).
            self.bounds = box_a.intersection(box_b)
            self.understatement = largest([self.a.understatement, self.b.understatement])
        else:
            self.bounds = box_a
            self.understatement = self.a.understatement

    def _emit(self, t: Tape, p: Coords) -> Walk:
        a = yield self.a, p
        b = yield self.b, p
        if self.kind == "union":
            # Values that are only a bound could reach below r beyond the box.
            return clip_to_bounds(t, edge_union(t, a, b, self.radius, self.style), p, self.bounds)
        sb = t.neg(b) if self.kind == "intersection" else b
        return t.neg(edge_union(t, t.neg(a), sb, self.radius, self.style))

    def _repr_parts(self) -> tuple[str, list[object]]:
        return f"{self.style}_{self.kind}", [self.a, self.b, repr(self.radius)]


def fillet_union(a: Shape, b: Shape, radius: float) -> Shape:
    """Union of ``a`` and ``b`` with the inner edge where they meet rounded by a fillet of ``radius``.

    Where the surfaces meet at right angles the fillet is a circular arc of
    ``radius`` touching both; at other angles it stays tangent but is no
    longer circular.  Away from the edge (one value at least ``radius``) it
    is the plain union.  The values are a bound on the distance that may
    change by up to sqrt 2 per unit (its :attr:`~quarvel.Shape.lipschitz`).
    """
    return _Edge(a, b, radius, "union", "fillet")


def fillet_intersection(a: Shape, b: Shape, radius: float) -> Shape:
    """Intersection of ``a`` and ``b`` with the outer edge where they meet rounded by ``radius``.

    A circular arc for faces at right angles; values as :func:`fillet_union`.
    """
    return _Edge(a, b, radius, "intersection", "fillet")


def fillet_difference(a: Shape, b: Shape, radius: float) -> Shape:
    """``a`` with ``b`` cut away, the cut's rim rounded by ``radius``; values as :func:`fillet_union`."""
    return _Edge(a, b, radius, "difference", "fillet")


def chamfer_union(a: Shape, b: Shape, radius: float) -> Shape:
    """Union of ``a`` and ``b`` with the inner edge filled by a 45 degree bevel.

    The bevel runs where the two values sum to ``radius``: for faces at
    right angles it meets each face ``radius`` from the edge.  The values
    are a bound on the distance that may change by up to sqrt 2 per unit.
    """
    return _Edge(a, b, radius, "union", "chamfer")


def chamfer_intersection(a: Shape, b: Shape, radius: float) -> Shape:
    """Intersection of ``a`` and ``b`` with the outer edge bevelled at 45 degrees; see :func:`chamfer_union`."""
    return _Edge(a, b, radius, "intersection", "chamfer")


def chamfer_difference(a: Shape, b: Shape, radius: float) -> Shape:
    """``a`` with ``b`` cut away, the cut's rim bevelled at 45 degrees; see :func:`chamfer_union`."""
    return _Edge(a, b, radius, "difference", "chamfer")
