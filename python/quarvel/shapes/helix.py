"""Helices and screw threads: a 2D profile swept along a screw motion about the z axis.

A point at distance rho from the axis, at angle theta and height z, is
measured in the half-plane through the axis at its angle: the profile
(in coordinates (distance from the axis, height)) is placed there at each
height z_k = pitch * (theta / 2 pi + k), the copies of a right-handed screw,
and the nearest copies are evaluated.  So every half-plane through the axis
cuts the solid in copies of the profile.

Moving round the axis at distance rho slides the copies along z by
pitch / (2 pi rho) per unit of arc, so the values are divided by
S = sqrt(1 + (pitch / (2 pi rho0))^2), the largest stretch at rho0, half the
profile's inner radius: a bound on the distance, 1-Lipschitz there.  Nearer
the axis (where the angle, and so the copies' heights, turn ever faster) the
value is capped by a quantity that does not depend on the angle and lies
below the copies' values there, as the profile lies beyond rho0.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

from .._bounds import Bounds
from .base import Shape, Walk, _Node, intersection, union
from .node import offsets, positive, radial
from .planar import Shape2D, circle, polygon
from .primitives import cylinder
from .program import Coords, Num, Reg, Tape


class _Screw(_Node):
    """The profile (exact distance, lying at x > 0) swept along a right-handed screw of ``pitch``.

    With ``turns`` the sweep runs from the profile at angle 0 through
    ``turns`` turns, its ends closed by the balls ``ends`` (centre,
    radius); without, it goes on forever both ways.
    """

    def __init__(
        self,
        profile: Shape2D,
        pitch: float,
        turns: float | None,
        ends: Sequence[tuple[Sequence[float], float]] = (),
    ) -> None:
        self.profile, self.pitch, self.turns = profile, positive(pitch, "pitch"), turns
        self.ends = tuple((tuple(float(c) for c in centre), float(r)) for centre, r in ends)
        (x0, y0), (x1, y1) = profile.extent
        if not x0 > 0.0:
            raise ValueError("the profile must lie off the axis, at x > 0")
        self.inner, self.outer = x0, x1
        self.stretch = math.hypot(1.0, self.pitch / (math.pi * x0))  # at rho0 = x0 / 2
        self.middle = (y0 + y1) / 2.0
        self.reach = (y1 - y0) / 2.0 / self.pitch
        self.window = math.ceil(1.0 + 2.0 * self.reach)
        self.z_lo, self.z_hi = (-math.inf, math.inf) if turns is None else (y0, y1 + self.pitch * turns)
        self.lipschitz = profile.lipschitz
        # Every part is at least the gap from the box, divided by S.
        u = profile.understatement
        self.understatement = None if u is None else self.stretch * max(1.0, u)
        self.bounds = Bounds.of((-x1, -x1, self.z_lo), (x1, x1, self.z_hi))

    def _emit(self, t: Tape, p: Coords) -> Walk:
        x, y, z = p
        rho = radial(t, p)
        u = t.div(t.atan2(y, x), 2.0 * math.pi)  # in (-1/2, 1/2]
        along = t.sub(t.div(t.sub(z, self.middle), self.pitch), u)
        start = t.neg(t.floor(t.neg(t.sub(along, 0.5 + self.reach))))  # ceil
        first: Num = 0.0
        last: Num = 0.0
        if self.turns is not None:
            # Copies k with u + k in [0, turns].
            first, last = t.neg(t.floor(u)), t.floor(t.sub(self.turns, u))
        best: Reg | None = None
        for offset in range(self.window):
            k: Num = t.add(start, float(offset))
            if self.turns is not None:
                k = t.max(t.min(k, last), first)
            height = t.mul(t.add(u, k), self.pitch)
            value = yield self.profile, [rho, t.sub(z, height)]
            best = value if best is None else t.min(best, value)
        assert best is not None
        if self.ends:
            balls = [t.sub(t.length(offsets(t, p, centre), 2), radius) for centre, radius in self.ends]
            ends = balls[0]
            for ball in balls[1:]:
                ends = t.min(ends, ball)
            if self.turns is not None and self.turns < 1.0:
                # No copy at this angle: the ends alone (as near as the copy that went).
                best = t.select(t.less(last, first), ends, best)
            best = t.min(best, ends)
        value = t.div(best, self.stretch)
        # Near the axis: |rho - x0/2| + x0/2 is x0 - rho inside rho0 and rho beyond.
        across = t.add(t.abs(t.sub(rho, self.inner / 2.0)), self.inner / 2.0)
        parts: list[Num] = [across]
        if self.turns is not None:
            parts.append(t.max(t.max(t.sub(z, self.z_hi), t.sub(self.z_lo, z)), 0.0))
        cap = t.div(t.length(parts, None) if len(parts) > 1 else across, self.stretch)
        return t.min(value, cap)

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "screw", [repr(self.profile), f"pitch={self.pitch!r}", f"turns={self.turns!r}"]


def helix(
    radius: float,
    pitch: float,
    thickness: float,
    turns: float | None = None,
    *,
    height: float | None = None,
) -> Shape:
    """A coil: a round wire of ``thickness`` wound round the z axis, like a spring.

    The wire's middle runs at ``radius`` from the axis, starting at
    (radius, 0, 0) and rising by ``pitch`` per turn (right-handed:
    counter-clockwise seen from +z as it rises) for ``turns`` turns, or up
    to ``height``; its ends are round.  Every half-plane through the axis
    cuts the wire in discs of diameter ``thickness`` (across the wire it is
    a little thinner, by the cosine of the wire's slope).  The values are
    a bound on the distance (see :mod:`quarvel.shapes.helix`), 1-Lipschitz.
    """
    r = positive(radius, "radius")
    half = positive(thickness, "thickness") / 2.0
    if not half < r:
        raise ValueError(f"thickness {thickness} must be less than twice the radius, {2 * r}")
    pitch = positive(pitch, "pitch")
    if (turns is None) == (height is None):
        raise ValueError("give either turns or height")
    count = positive(turns, "turns") if turns is not None else positive(float(height or 0.0), "height") / pitch
    angle = 2.0 * math.pi * count
    ends = [((r, 0.0, 0.0), half), ((r * math.cos(angle), r * math.sin(angle), pitch * count), half)]
    return _Screw(circle(half, (r, 0.0)), pitch, count, ends)


def thread(
    major_radius: float,
    pitch: float,
    length: float,
    depth: float | None = None,
) -> Shape:
    """A threaded rod along z from 0 to ``length``: an ISO-like metric V thread on its core.

    The teeth reach ``major_radius``; ``depth`` (by default 0.6134 pitch, the
    ISO depth of an external thread) is how far the grooves cut in, to the
    core's radius.  In every half-plane through the axis the teeth are
    trapezoids with 60 degree flanks and crests ``pitch / 8`` wide, one per
    ``pitch``, rising as a right-handed screw.  The ends are cut flat.
    Union it with a head, or cut it from a block (``block - thread(...)``)
    for a tapped hole.  The values are a bound on the distance,
    1-Lipschitz.
    """
    big = positive(major_radius, "major radius")
    pitch = positive(pitch, "pitch")
    length = positive(length, "length")
    cut = 0.6134 * pitch if depth is None else positive(depth, "depth")
    slope = math.tan(math.radians(30.0))
    crest, base = pitch / 16.0, pitch / 16.0 + cut * slope
    if not base < pitch / 2.0:
        raise ValueError(f"depth {cut} too large for pitch {pitch}: the flanks would meet (at most {(7 / 16) * pitch / slope:.6g})")
    core = big - cut
    if not core > 0.0:
        raise ValueError(f"depth {cut} must be less than the major radius {big}")
    # Each tooth reaches into the core a little, so that the union has no seam.
    root = core - min(cut, core) / 2.0
    tooth = polygon([(root, -base), (core, -base), (big, -crest), (big, crest), (core, base), (root, base)])
    # Cut by a cylinder, not a box, whose values would change with the angle.
    teeth = intersection(_Screw(tooth, pitch, None), cylinder(big, length).translate((0.0, 0.0, length / 2.0)))
    return union(cylinder(core, length).translate((0.0, 0.0, length / 2.0)), teeth)

