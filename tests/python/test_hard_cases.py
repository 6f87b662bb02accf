"""Shapes at the edge of what the lattice resolves, meshed by quarvel.mesh:
walls thinner than a cell's diagonal, knife-edged rims, and the folds the
repair undoes where a lattice meets a clipping solid."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest

import quarvel as qv

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from bench_creases import CASES as CREASES  # noqa: E402
from bench_hard_cases import (  # noqa: E402
    HI,
    LO,
    cell,
    gyroid_in_cylinder,
    lens_shape,
    lens_volume,
    plate_case,
    plate_volume,
    schwarz_ball,
    shell_case,
    shell_volume,
)

DEPTH = 6


def mesh(shape: qv.Shape) -> qv.Mesh:
    return qv.mesh(shape, (LO, HI), max_depth=DEPTH, margin=0.0, clip=False, progress=False)


# ---------------------------------------------------------------- thin walls


@pytest.mark.parametrize("shape, volume", [(shell_case, shell_volume), (plate_case, plate_volume)])
def test_thin_wall_keeps_both_sides(shape, volume):
    # Both sides of a wall 1.5 to 1.7 cells thick cross some cells: each side
    # keeps its own vertex there, on its own surface.
    field = shape(DEPTH)
    m = mesh(field)
    exact = volume(DEPTH)
    assert abs(m.volume - exact) < 0.005 * exact
    values, gradients = field(m.vertices)
    distance = np.abs(values) / np.linalg.norm(gradients, axis=1)
    assert distance.max() < 0.25 * cell(DEPTH)
    assert m.check().ok


# ---------------------------------------------------------------- knife edges


@pytest.mark.parametrize("rim, angle, tilt", [(0.8, 32.0, 37.0), (0.445, 32.0, 37.0), (0.6, 24.0, 61.0)])
def test_knife_edge_stays_in_one_piece(rim, angle, tilt):
    # Tilted off the lattice's axes, the rim is thinner than a cell over
    # several cells and its inside corners touch only across faces' diagonals.
    m = mesh(lens_shape(rim, angle, tilt))
    assert m.component_count == 1
    assert m.check().ok
    exact = lens_volume(rim, angle)
    assert abs(m.volume - exact) < 0.05 * exact


# ---------------------------------------------------------------- the repair's moves


@pytest.mark.parametrize("shape", [gyroid_in_cylinder, schwarz_ball])
def test_repair_moves_vertices_little_and_keeps_them_on_the_surface(shape):
    # Lattices clipped by a solid fold where the two surfaces meet; the
    # repair must undo the folds without pulling vertices off the surface.
    field = shape(DEPTH)
    repaired = mesh(field)
    placed = qv.mesh(field, (LO, HI), max_depth=DEPTH, margin=0.0, clip=False, progress=False, manifold=False)
    assert repaired.stats["repaired"]["folds_fixed"] > 0
    n = len(placed.vertices)  # the pinch splits only append vertices
    moved = np.any(repaired.vertices[:n] != placed.vertices, axis=1)
    values, gradients = field(repaired.vertices[:n][moved])
    distance = np.abs(values) / np.linalg.norm(gradients, axis=1)
    assert distance.max() < 0.2 * cell(DEPTH)
    assert repaired.check().ok


@pytest.mark.parametrize(
    "lattice, clip, depth",
    [
        (qv.lattice("gyroid", 0.55, 0.07), qv.rotate(qv.cylinder(0.65, 1.47), 90.0, (1.0, 0.0, 0.0)), DEPTH),
        (qv.lattice("schwarz_d", 0.6, 0.07), qv.cylinder(0.66, 1.43), DEPTH),
        # Caps on lattice planes, and clips turned off the axes: the repair
        # used to hold vertices half a cell inside where its faces faced back.
        (*CREASES["gyroid-sheet&cyl caps on planes"], DEPTH),
        (*CREASES["diamond-sheet&tilted-box"], DEPTH),
        (*CREASES["gyroid-strut&tilted-box"], DEPTH),
        # Sheets meeting on an edge here: the edge's middle, where the split
        # puts a vertex of each, lay half a cell inside.
        (*CREASES["diamond-sheet&tilted-box"], 8),
    ],
)
def test_crease_vertices_stay_on_both_surfaces(lattice, clip, depth):
    # Where a lattice's walls meet the clip DC folds; the vertices the repair
    # moves there must end within a quarter cell of the lattice and the clip.
    field = qv.intersection(lattice, clip)
    m = qv.mesh(field, (LO, HI), max_depth=depth, margin=0.0, clip=False, progress=False)
    assert m.stats["repaired"]["folds_fixed"] > 0
    values, gradients = field(m.vertices)
    distance = np.abs(values) / np.linalg.norm(gradients, axis=1)
    assert distance.max() < 0.25 * cell(depth)
    assert m.check().ok
