"""Periodic lattices: slopes within the declared factor, wall thickness, meshing when clipped."""

from __future__ import annotations

import numpy as np
import pytest

import quarvel as qv
from quarvel.shapes.lattices import KINDS

RNG_SEED = 7
CELLS = {"gyroid": 1.0, "schwarz_p": (1.0, 0.7, 1.3), "schwarz_d": 0.8, "neovius": 1.0,
         "lidinoid": (1.2, 1.0, 0.9), "frd": 1.0, "iwp": 0.9}


def surface_points(shape: qv.Shape, n: int) -> np.ndarray:
    """Random points pulled onto a strut lattice's zero set by Newton steps."""
    points = np.random.default_rng(RNG_SEED).random((n, 3)) * 2.0
    for _ in range(30):
        values, gradients = shape(points)
        points = points - (values / np.einsum("ij,ij->i", gradients, gradients))[:, None] * gradients
    values, _ = shape(points)
    return points[np.abs(values) < 1e-12]


def first_crossing(shape: qv.Shape, start: np.ndarray, direction: np.ndarray, reach: float) -> np.ndarray:
    """Distance along ``direction`` to where the (negative at ``start``) values first turn positive."""
    steps = np.linspace(0.0, reach, 400)
    values = np.stack([shape(start + s * direction)[0] for s in steps], axis=1)
    first = np.argmax(values > 0.0, axis=1)
    assert np.all(values[np.arange(len(start)), first] > 0.0), "no wall end within reach"
    lo, hi = steps[first - 1], steps[first]
    for _ in range(40):
        mid = (lo + hi) / 2.0
        inside = shape(start + mid[:, None] * direction)[0] <= 0.0
        lo, hi = np.where(inside, mid, lo), np.where(inside, hi, mid)
    return (lo + hi) / 2.0


@pytest.mark.parametrize("kind", KINDS)
def test_slopes_stay_within_the_declared_factor(kind):
    shape = qv.lattice(kind, CELLS[kind], 0.05, mode="strut")
    rng = np.random.default_rng(RNG_SEED)
    a = rng.random((20000, 3)) * 3.0
    b = a + rng.normal(scale=0.05, size=a.shape)
    va, ga = shape(a)
    vb, _ = shape(b)
    slope = np.abs(va - vb) / np.linalg.norm(a - b, axis=1)
    steepest = np.linalg.norm(ga, axis=1).max()
    assert slope.max() <= shape.lipschitz * (1 + 1e-12) and steepest <= shape.lipschitz * (1 + 1e-12)
    if np.isscalar(CELLS[kind]):  # the bound is then the field's steepest slope, not a loose one
        assert steepest > 0.9 * shape.lipschitz
    h = 1e-6
    differences = np.column_stack([(shape(a[:50] + e)[0] - shape(a[:50] - e)[0]) / (2 * h) for e in np.eye(3) * h])
    np.testing.assert_allclose(ga[:50], differences, atol=1e-6)


@pytest.mark.parametrize("kind", KINDS)
def test_sheet_walls_are_at_least_the_thickness_and_that_in_cubic_cells_at_their_thinnest(kind):
    t = 0.01
    middle = qv.lattice(kind, CELLS[kind], 0.0, mode="strut")  # its zero set: the surface
    sheet = qv.lattice(kind, CELLS[kind], t)
    points = surface_points(middle, 3000)
    normals = middle(points)[1]
    normals /= np.linalg.norm(normals, axis=1)[:, None]
    reach = 8.0 * t
    walls = first_crossing(sheet, points, normals, reach) + first_crossing(sheet, points, -normals, reach)
    assert len(points) > 1000
    assert walls.min() >= 0.995 * t
    if np.isscalar(CELLS[kind]):  # some sampled point lies near the steepest spot; longer cells thicken walls
        assert walls.min() <= 1.03 * t


@pytest.mark.parametrize("kind", KINDS)
def test_each_kind_clipped_by_a_box_meshes_closed(kind):
    shape = qv.lattice(kind, 0.5, 0.06) & qv.box(1.0)
    assert shape.bounds == qv.box(1.0).bounds
    mesh = qv.mesh(shape, max_depth=6, progress=False)
    assert len(mesh.triangles) > 1000 and mesh.check().ok


@pytest.mark.parametrize("thickness", [0.02, 0.1])
def test_struts_hold_the_sheet_and_one_side(thickness):
    rng = np.random.default_rng(RNG_SEED)
    points = rng.random((20000, 3))
    sheet = qv.lattice("schwarz_d", 0.5, thickness)(points)[0] <= 0.0
    strut = qv.lattice("schwarz_d", 0.5, thickness, mode="strut")(points)[0] <= 0.0
    side = qv.lattice("schwarz_d", 0.5, 0.0, mode="strut")(points)[0] <= 0.0
    np.testing.assert_array_equal(strut, sheet | side)
    # The D surface halves space: the struts fill about half of it, plus half the walls.
    assert abs(strut.mean() - (0.5 + sheet.mean() / 2.0)) < 0.02


@pytest.mark.parametrize("shape", [
    qv.lattice("gyroid", 0.5, 0.05).offset(0.02) & qv.cylinder(0.5, 1.0),
    qv.lattice("iwp", 0.6, 0.1, mode="strut").shell(0.04) & qv.box(1.0),
], ids=["offset-in-cylinder", "strut-shell-in-box"])
def test_offsets_and_shells_of_a_lattice_mesh_closed(shape):
    assert shape.bounds.is_finite
    mesh = qv.mesh(shape, max_depth=6, progress=False)
    assert len(mesh.triangles) > 1000 and mesh.check().ok


@pytest.mark.parametrize("args", [("twisted", 1.0, 0.1), ("gyroid", 0.0, 0.1), ("gyroid", (1, 1), 0.1),
                                  ("gyroid", 1.0, 0.0), ("gyroid", 1.0, 0.1, "solid")])
def test_bad_parameters_are_refused(args):
    with pytest.raises(ValueError):
        qv.lattice(*args)
