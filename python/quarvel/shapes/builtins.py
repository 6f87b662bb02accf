"""Named example shapes for the command line and the gallery."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import NamedTuple

from .base import Shape, smooth_union
from .edges import chamfer_difference, fillet_difference, fillet_union
from .helix import helix, thread
from .planar import polygon
from .primitives import box, capsule, cylinder, gyroid, plane, rounded_box, sphere, torus
from .text import text


class Builtin(NamedTuple):
    """A named shape: how to make it and one line saying what it is."""

    make: Callable[[], Shape]
    description: str


def _csg() -> Shape:
    bar = cylinder(0.35, 2.0)
    bars = bar | bar.rotate(90, (1, 0, 0)) | bar.rotate(90, (0, 1, 0))
    return (box(1.5) & sphere(1.0)) - bars


def _blend() -> Shape:
    left = sphere(0.55, (-0.45, 0.0, 0.0))
    right = sphere(0.4, (0.45, 0.1, 0.2))
    return smooth_union(left, right, 0.3)


def _gyroid() -> Shape:
    return gyroid(period=0.9, thickness=0.12) & sphere(1.0)


def _cut_sphere() -> Shape:
    return sphere(1.0) & plane((1.0, 1.0, 1.0), 0.4)


def _twisted_star() -> Shape:
    radii = [0.56, 0.28] * 5
    corners = [(r * math.cos(i * math.pi / 5), r * math.sin(i * math.pi / 5)) for i, r in enumerate(radii)]
    return polygon(corners).extrude(1.6).offset(0.04).twist(60.0)


def _vase() -> Shape:
    # The profile is mirrored about the axis, so the revolved distance is exact.
    right = [(0.45, -0.9), (0.6, -0.4), (0.3, 0.35), (0.4, 0.8)]
    profile = polygon(right + [(-x, z) for x, z in reversed(right)])
    return profile.revolve().shell(0.06, "inside") & plane((0.0, 0.0, 1.0), 0.7)


def _bracket() -> Shape:
    base = box((1.5, 0.9, 0.16), (0.1, 0.0, -0.42))
    wall = box((0.16, 0.9, 1.0), (-0.57, 0.0, 0.0))
    # Three holes in a row on each side of the middle: one row, mirrored.
    holes = cylinder(0.08, 1.0).translate((-0.15, 0.22, -0.42)).linear_array(3, (0.35, 0.0, 0.0)).mirror("y")
    return chamfer_difference(fillet_union(base, wall, 0.15), holes, 0.03)


def _flange() -> Shape:
    disc = cylinder(0.95, 0.2)
    hub = cylinder(0.45, 0.6).translate((0.0, 0.0, 0.2))
    bolts = cylinder(0.09, 1.0).circular_array(8, radius=0.72)
    body = fillet_union(disc, hub, 0.1) - bolts
    return fillet_difference(body, cylinder(0.25, 2.0), 0.05)


def _spring() -> Shape:
    return helix(0.55, 0.32, 0.14, turns=3.5).translate((0.0, 0.0, -0.56))


def _bolt() -> Shape:
    corners = [(0.5 * math.cos(k * math.pi / 3), 0.5 * math.sin(k * math.pi / 3)) for k in range(6)]
    head = polygon(corners).round(0.04).extrude(0.3).translate((0.0, 0.0, -0.75))
    return fillet_union(head, thread(0.28, 0.12, 1.2).translate((0.0, 0.0, -0.6)), 0.04)


def _lettering() -> Shape:
    # Standing up: the plane's y turned to z.
    return text("Qv8", size=1.1, center=True).extrude(0.25).rotate(90.0, (1.0, 0.0, 0.0))


BUILTINS: dict[str, Builtin] = {
    "sphere": Builtin(lambda: sphere(1.0), "ball of radius 1"),
    "box": Builtin(lambda: box((1.6, 1.2, 0.8)), "box 1.6 x 1.2 x 0.8 with sharp edges"),
    "rounded_box": Builtin(lambda: rounded_box((1.6, 1.2, 0.8), 0.2), "box 1.6 x 1.2 x 0.8 rounded by 0.2"),
    "torus": Builtin(lambda: torus(1.0, 0.35), "ring of radii 1 and 0.35 around z"),
    "cylinder": Builtin(lambda: cylinder(0.6, 1.6), "cylinder of radius 0.6, height 1.6"),
    "capsule": Builtin(
        lambda: capsule((-0.7, 0.0, 0.0), (0.7, 0.0, 0.0), 0.4), "capsule of radius 0.4 along x"
    ),
    "cut_sphere": Builtin(_cut_sphere, "unit ball cut by a plane"),
    "csg": Builtin(_csg, "rounded cube from box and ball, drilled along three axes"),
    "blend": Builtin(_blend, "two balls joined by a smooth union"),
    "gyroid": Builtin(_gyroid, "gyroid sheet clipped to the unit ball"),
    "twisted_star": Builtin(_twisted_star, "star prism with rounded edges, twisted by 60 degrees per unit"),
    "vase": Builtin(_vase, "revolved profile, hollowed by a shell, cut open by a plane"),
    "bracket": Builtin(_bracket, "angle bracket: plates filleted together, rows of holes mirrored and chamfered"),
    "flange": Builtin(_flange, "flange with a filleted hub and a ring of eight bolt holes"),
    "spring": Builtin(_spring, "helical coil of 3.5 turns"),
    "bolt": Builtin(_bolt, "hexagon-headed bolt with a metric-like V thread"),
    "lettering": Builtin(_lettering, "extruded text from a font outline (needs matplotlib)"),
}


def builtin(name: str) -> Shape:
    """Make the built-in shape ``name``; KeyError lists the known names."""
    try:
        entry = BUILTINS[name]
    except KeyError:
        known = ", ".join(BUILTINS)
        raise KeyError(f"unknown shape {name!r}; built-in shapes: {known}") from None
    return entry.make()
