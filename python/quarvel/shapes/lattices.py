"""Triply periodic lattices for infill and printed parts: minimal-surface sheets and their struts.

Each kind is a nodal approximation F(X, Y, Z) = 0 of a triply periodic
minimal surface, a short trigonometric sum in X = 2 pi x / cell_x (and so
on), 2 pi periodic along every axis.  The formulas are the usual ones of
the literature:

* gyroid, Schwarz P, Schwarz D (diamond), I-WP: H. G. von Schnering and
  R. Nesper, "Nodal surfaces of Fourier series", Z. Phys. B 83 (1991) 407.
* Neovius, F-RD: A. H. Schoen's surfaces (NASA TN D-5541, 1970) in the
  nodal forms of E. A. Lord and A. L. Mackay, "Periodic minimal surfaces
  of cubic symmetry", Current Science 85 (2003) 346.
* lidinoid: A. Lidin's surface in the form of J. R. Wohlgemuth et al.,
  "Triply periodic bicontinuous cubic microdomain morphologies by
  symmetries", Macromolecules 34 (2001) 6083.

The values are F divided by its steepest slope on the surface (``peak_on``
below, found by constrained search over one period): a wall
|value| <= t/2 is then at least t thick, exactly t where the surface's
field is steepest and thicker where it is flatter.  Off the surface the
field may be steeper than on it (``peak``): that ratio is the declared
Lipschitz factor, so the values never overstate the distance by more.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Literal, NamedTuple

import numpy as np
from numpy.typing import ArrayLike

from .._bounds import Bounds, vec3
from .base import Shape
from .program import Coords, Num, Reg, Tape

LatticeKind = Literal["gyroid", "schwarz_p", "schwarz_d", "neovius", "lidinoid", "frd", "iwp"]
LatticeMode = Literal["sheet", "strut"]

Trig = tuple[list[Reg], list[Reg]]  # (sin, cos) of X, Y, Z


class _Kind(NamedTuple):
    """A nodal surface: its field in the angles' sines and cosines, and its slopes.

    ``peak_on`` is the longest gradient of F (in X, Y, Z) on the surface
    F = 0 and ``peak`` the longest anywhere, both over one period.  Where a
    closed form is given, a numerical search (Nelder-Mead from the steepest
    points of a 64^3 grid, constrained SLSQP for the surface) reached it; the
    F-RD figures are that search's results, ``peak`` rounded up.
    """

    field: Callable[[Tape, Trig, Trig], Reg]
    peak_on: float
    peak: float
    double: bool  # whether the field needs the sines and cosines of 2X


def _sum(t: Tape, *terms: Num) -> Reg:
    total = t.reg(terms[0])
    for term in terms[1:]:
        total = t.add(total, term)
    return total


def _gyroid(t: Tape, one: Trig, _two: Trig) -> Reg:
    (sx, sy, sz), (cx, cy, cz) = one
    return _sum(t, t.mul(sx, cy), t.mul(sy, cz), t.mul(sz, cx))


def _schwarz_p(t: Tape, one: Trig, _two: Trig) -> Reg:
    _, (cx, cy, cz) = one
    return _sum(t, cx, cy, cz)


def _schwarz_d(t: Tape, one: Trig, _two: Trig) -> Reg:
    (sx, sy, sz), (cx, cy, cz) = one
    return _sum(
        t,
        t.mul(t.mul(sx, sy), sz),
        t.mul(t.mul(sx, cy), cz),
        t.mul(t.mul(cx, sy), cz),
        t.mul(t.mul(cx, cy), sz),
    )


def _neovius(t: Tape, one: Trig, _two: Trig) -> Reg:
    _, (cx, cy, cz) = one
    return t.add(t.mul(3.0, _sum(t, cx, cy, cz)), t.mul(4.0, t.mul(t.mul(cx, cy), cz)))


def _pairs(t: Tape, c: list[Reg]) -> Reg:
    """c_x c_y + c_y c_z + c_z c_x."""
    return _sum(t, t.mul(c[0], c[1]), t.mul(c[1], c[2]), t.mul(c[2], c[0]))


def _lidinoid(t: Tape, one: Trig, two: Trig) -> Reg:
    (sx, sy, sz), (cx, cy, cz) = one
    (s2x, s2y, s2z), c2 = two
    twisted = _sum(t, t.mul(t.mul(s2x, cy), sz), t.mul(t.mul(s2y, cz), sx), t.mul(t.mul(s2z, cx), sy))
    return t.add(t.mul(0.5, t.sub(twisted, _pairs(t, c2))), 0.15)


def _frd(t: Tape, one: Trig, two: Trig) -> Reg:
    _, (cx, cy, cz) = one
    return t.sub(t.mul(4.0, t.mul(t.mul(cx, cy), cz)), _pairs(t, two[1]))


def _iwp(t: Tape, one: Trig, two: Trig) -> Reg:
    return t.sub(t.mul(2.0, _pairs(t, one[1])), _sum(t, *two[1]))


ROOT3 = math.sqrt(3.0)
KINDS: dict[str, _Kind] = {
    "gyroid": _Kind(_gyroid, ROOT3, ROOT3, False),
    "schwarz_p": _Kind(_schwarz_p, ROOT3, ROOT3, False),
    "schwarz_d": _Kind(_schwarz_d, ROOT3, ROOT3, False),
    "neovius": _Kind(_neovius, 3.0 * ROOT3, 7.0, False),
    "lidinoid": _Kind(_lidinoid, 1.8 * math.sqrt(2.0), 1.5 * ROOT3, True),
    "frd": _Kind(_frd, 5.5342, 7.041, True),
    "iwp": _Kind(_iwp, 2.0 * math.sqrt(6.0), 3.0 * ROOT3, True),
}
MODES = ("sheet", "strut")


class _Lattice(Shape):
    """A nodal surface's sheet or strut solid; see :func:`lattice`."""

    # Unbounded: no point lies outside its bounds.
    understatement = 1.0

    def __init__(self, kind: str, cell: ArrayLike, thickness: float, mode: str) -> None:
        if kind not in KINDS:
            raise ValueError(f"unknown lattice kind {kind!r} (choose one of {', '.join(KINDS)})")
        if mode not in MODES:
            raise ValueError(f"lattice mode must be 'sheet' or 'strut' (got {mode!r})")
        self.kind, self.mode = kind, mode
        self.cell = np.asarray(vec3(cell, "cell"))
        if not np.all(self.cell > 0.0) or not np.all(np.isfinite(self.cell)):
            raise ValueError(f"cell sizes must be positive numbers (got {tuple(self.cell.tolist())})")
        self.thickness = float(thickness)
        # A strut of no thickness is the bare side of the surface; a sheet needs a wall.
        least = "positive" if mode == "sheet" else "non-negative"
        if not (self.thickness > 0.0 or (mode == "strut" and self.thickness == 0.0)) or not math.isfinite(self.thickness):
            raise ValueError(f"{mode} thickness must be a {least} number (got {thickness})")
        form = KINDS[kind]
        # |grad_p F| <= max(k) * peak and the values are F / (max(k) * peak_on).
        self.lipschitz = form.peak / form.peak_on
        self.bounds = Bounds.infinite()

    def _emit(self, t: Tape, p: Coords) -> Reg:
        form = KINDS[self.kind]
        k = [2.0 * math.pi / float(c) for c in self.cell]
        angles = [t.mul(ki, x) for ki, x in zip(k, p)]
        one = ([t.sin(a) for a in angles], [t.cos(a) for a in angles])
        two: Trig = ([], [])
        if form.double:
            doubled = [t.add(a, a) for a in angles]
            two = ([t.sin(a) for a in doubled], [t.cos(a) for a in doubled])
        value = t.div(form.field(t, one, two), max(k) * form.peak_on)
        if self.mode == "sheet":
            return t.sub(t.abs(value), self.thickness / 2.0)
        return t.sub(value, self.thickness / 2.0)

    def __repr__(self) -> str:
        cell = float(self.cell[0]) if np.all(self.cell == self.cell[0]) else tuple(self.cell.tolist())
        return f"lattice({self.kind!r}, {cell!r}, {self.thickness!r}, mode={self.mode!r})"


def lattice(kind: LatticeKind, cell: ArrayLike = 1.0, thickness: float = 0.1, mode: LatticeMode = "sheet") -> Shape:
    """Triply periodic lattice, unbounded: intersect it with a bounded shape.

    ``kind`` is one of "gyroid", "schwarz_p", "schwarz_d" (diamond),
    "neovius", "lidinoid", "frd" and "iwp", each the usual trigonometric
    approximation of that minimal surface; ``cell`` its period, one number
    or three (x, y, z).

    ``mode="sheet"`` is a wall around the surface, at least ``thickness``
    thick everywhere while it is thin beside the cell (thicker where the
    approximation's field is flatter; see the guide for each kind's range).  ``mode="strut"`` is the solid on
    the surface's negative side grown by ``thickness / 2`` across it: the
    sheet together with the struts it encloses on that side, so a larger
    thickness gives thicker struts and a larger volume fraction, and
    ``thickness=0`` the bare side (half the space for gyroid, Schwarz P
    and D and Neovius, whose sides are alike).

    The values are the approximation scaled to model units, distance-like
    near the surface; they overstate the distance by at most the shape's
    :attr:`~Shape.lipschitz` (1 for gyroid, Schwarz P and D; up to 1.35
    for Neovius).
    """
    return _Lattice(kind, cell, thickness, mode)
