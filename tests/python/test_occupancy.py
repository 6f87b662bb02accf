"""Fields that only tell inside from outside (occupancy, values clipped to a
band narrower than a cell): judged so per call, and meshed from their
crossings alone, as close to the surface as marching cubes or closer."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

import quarvel as qv

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import bench_occupancy as shapes  # noqa: E402  (exact distances to the reference surfaces)

BOX = ((-shapes.HALF,) * 3, (shapes.HALF,) * 3)

STEPS = {
    "occupancy": lambda sdf: lambda p: np.where(sdf(p) < 0.0, -1.0, 1.0),
    "zero gradients": lambda sdf: lambda p: (np.where(sdf(p) < 0.0, -1.0, 1.0), np.zeros((len(p), 3))),
    "narrow clip": lambda sdf: lambda p: np.clip(sdf(p), -1e-3, 1e-3),
}


def mesh(field, depth, **kw):
    return qv.mesh(field, BOX, max_depth=depth, margin=0.0, progress=False, **kw)


@pytest.mark.parametrize("name", sorted(shapes.SHAPES))
@pytest.mark.parametrize(("kind", "depth"), [(kind, 6) for kind in STEPS] + [("occupancy", 8)])
def test_stepped_fields_mesh_close_to_the_surface(kind, depth, name):
    shape = shapes.SHAPES[name]
    m = mesh(STEPS[kind](shape.sdf), depth)
    h = m.stats["cell_size"]
    assert m.stats["field_kind"] == "occupancy"
    assert shape.distance(m.vertices).max() <= 0.6 * h
    facing = np.einsum("ij,ij->i", m.normals, shapes.outward(shape, m.vertices))
    assert np.count_nonzero(facing <= 0.0) == 0
    assert m.volume == pytest.approx(shape.volume, rel=0.01)
    assert m.check().ok


def test_occupancy_of_the_iso_level_between_two_values():
    shape = shapes.SHAPES["torus"]
    m = mesh(lambda p: np.where(shape.sdf(p) < 0.0, 0.0, 1.0), 6, iso=0.5)
    assert m.stats["field_kind"] == "occupancy"
    assert m.volume == pytest.approx(shape.volume, rel=0.01)


@pytest.mark.parametrize("name", sorted(shapes.SHAPES))
def test_distance_fields_keep_their_treatment(name):
    # Steep or not; a band wider than half a cell is found by the slope inside it.
    sdf = shapes.SHAPES[name].sdf
    for field in (sdf, lambda p: 10.0 * sdf(p), lambda p: np.clip(sdf(p), -0.01, 0.01)):
        assert mesh(field, 6).stats["field_kind"] == "distance"
