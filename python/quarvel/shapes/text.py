"""Text as a 2D shape, from a font's glyph outlines (through matplotlib's text paths).

A glyph is one or more closed contours: the outer edges of its strokes and
the edges of its holes ("o", "B", "8").  The shape's value is the distance to
the nearest contour, negative where the contours wind round the point a
non-zero number of times, the rule fonts are filled by.  Where contours do
not overlap (as in most fonts) that is the exact distance; where they do,
the edges inside the filled region still count, and the values are a bound.
"""

from __future__ import annotations

import math
import os
from typing import Any

import numpy as np

from .node import positive
from .planar import Shape2D, _Polygon
from .program import Coords, Num, Reg, Tape

# Curves are cut into edges about this fraction of the font size long (at most
# MAX_PIECES per curve): a glyph's round parts deviate from the font's by about
# a ten-thousandth of the size.
FLATNESS = 0.01
MAX_PIECES = 64

# Contours enclosing less than this fraction of the text's extent squared are
# slivers of the curve flattening, not strokes.
SLIVER = 1e-12


class _Text(Shape2D):
    """Signed distance to a set of closed contours, filled by the non-zero winding rule."""

    understatement = 1.0  # the distance to the nearest contour, outside

    def __init__(self, string: str, contours: list[np.ndarray], size: float, font: str | None) -> None:
        self.string, self.size, self.font = string, size, font
        self.contours = tuple(_Polygon(c) for c in contours)
        # +1 for counter-clockwise contours, -1 for clockwise ones.
        self.turns = tuple(math.copysign(1.0, _area(c)) for c in contours)
        corners = np.vstack([c.vertices for c in self.contours])
        lo, hi = corners.min(axis=0), corners.max(axis=0)
        self.extent = ((float(lo[0]), float(lo[1])), (float(hi[0]), float(hi[1])))

    def _emit(self, t: Tape, q: Coords) -> Reg:
        winding: Num = 0.0
        nearest: Reg | None = None
        for contour, turn in zip(self.contours, self.turns):
            d = t.polygon(q[0], q[1], contour.vertices, contour.normals)
            winding = t.add(winding, t.mul(t.less(d, 0.0), turn))
            nearest = t.abs(d) if nearest is None else t.min(nearest, t.abs(d))
        assert nearest is not None
        inside = t.less(0.5, t.abs(winding))
        return t.select(inside, t.neg(nearest), nearest)

    def __repr__(self) -> str:
        return f"text({self.string!r}, size={self.size!r}, font={self.font!r})"


def _flattened(path: Any, step: float) -> list[np.ndarray]:
    """The closed contours of ``path``, its curves cut into straight edges about ``step`` long.

    (``Path.to_polygons`` would take the curves' control points for corners.)
    """
    from matplotlib.path import Path

    contours: list[np.ndarray] = []
    current: list[np.ndarray] = []
    for curve, code in path.iter_bezier():
        if code == Path.MOVETO:
            if len(current) >= 3:
                contours.append(np.array(current))
            current = [curve.control_points[0]]
        elif code in (Path.CURVE3, Path.CURVE4):
            control = curve.control_points
            length = float(np.linalg.norm(np.diff(control, axis=0), axis=1).sum())
            pieces = min(MAX_PIECES, max(2, math.ceil(length / step)))
            current.extend(curve(np.linspace(0.0, 1.0, pieces + 1)[1:]))
        elif code == Path.LINETO:
            current.append(curve.control_points[-1])
    if len(current) >= 3:
        contours.append(np.array(current))
    return contours


def _area(c: np.ndarray) -> float:
    x, y = c[:, 0], c[:, 1]
    return 0.5 * float(np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y))


def _font(font: Any) -> Any:
    """``font`` as matplotlib font properties: None, a family name, a font file, or properties."""
    from matplotlib.font_manager import FontProperties

    if font is None:
        return FontProperties()
    if isinstance(font, FontProperties):
        return font
    if isinstance(font, (str, os.PathLike)) and os.path.isfile(font):
        return FontProperties(fname=os.fspath(font))
    if isinstance(font, str):
        return FontProperties(family=font)
    raise TypeError(f"font must be a family name, a font file or FontProperties (got {type(font).__name__})")


def text(string: str, size: float = 1.0, font: Any = None, *, center: bool = False) -> Shape2D:
    """The outline of ``string`` set in ``font`` as a 2D shape, to extrude or revolve.

    ``size`` is the font size in the shape's units (capitals stand about
    0.7 of it tall); the text starts at x = 0 on the baseline y = 0, or is
    centred on the origin with ``center``.  ``font`` is a family name
    (``"DejaVu Serif"``), the path of a font file, a
    ``matplotlib.font_manager.FontProperties``, or None for matplotlib's
    default font.  The glyphs' curves are cut into straight edges about a
    hundredth of ``size`` long.

    The values are the exact distance to the outline when the glyphs'
    contours do not overlap, as in most fonts; holes (in "o", "B", "8")
    come out as holes.  Each evaluation measures every edge of the text, so
    long strings cost in proportion.  Needs matplotlib
    (``pip install 'quarvel[preview]'``).
    """
    try:
        from matplotlib.textpath import TextPath
    except ImportError:
        raise ImportError("text needs matplotlib: pip install 'quarvel[preview]'") from None
    if not isinstance(string, str):
        raise TypeError(f"text takes a str (got {type(string).__name__})")
    size = positive(size, "size")
    prop = _font(font)
    polygons = _flattened(TextPath((0.0, 0.0), string, size=size, prop=prop), size * FLATNESS)
    if not polygons:
        raise ValueError(f"the text {string!r} has no outline to draw")
    span = np.ptp(np.vstack(polygons), axis=0).max()
    contours = [c for c in polygons if len(c) >= 3 and abs(_area(c)) > SLIVER * span**2]
    if center:
        everything = np.vstack(contours)
        middle = (everything.min(axis=0) + everything.max(axis=0)) / 2.0
        contours = [c - middle for c in contours]
    name = None if font is None else str(font) if isinstance(font, (str, os.PathLike)) else repr(font)
    return _Text(string, contours, size, name)
