"""Shapes at the edge of what the lattice resolves: walls thinner than a
cell's diagonal and knife-edged rims, meshed by quarvel.mesh."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest

import quarvel as qv

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from bench_hard_cases import HI, LO, cell, lens_shape, lens_volume, plate_case, plate_volume, shell_case, shell_volume  # noqa: E402

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
