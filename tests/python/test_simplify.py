"""Fewer triangles within a tolerance: quarvel.mesh(tolerance=...) and Mesh.simplify."""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pytest

import quarvel as qv
from test_quarvel_helpers import needs_engine

pytestmark = needs_engine

BAR = qv.cylinder(0.35, 2.0)
SHAPES = {
    "box": qv.box(1.0),
    "turned box": qv.box(1.0).rotate(37.12, (1.0, 2**0.5, np.pi)),
    "csg": (qv.box(1.5) & qv.sphere(1.0)) - (BAR | BAR.rotate(90, (1, 0, 0)) | BAR.rotate(90, (0, 1, 0))),
    "torus": qv.torus(1.0, 0.3),
    # Two sheets closer than the tolerance: merges across the gap would cross.
    "thin shell": qv.sphere(1.0).shell(0.06),
}


@pytest.mark.parametrize("name", SHAPES)
def test_simplified_meshes_keep_every_guarantee(name):
    shape = SHAPES[name]
    full = qv.mesh(shape, max_depth=6)
    h = full.stats["cell_size"]
    tolerance = 2.0 * h
    simple = qv.mesh(shape, max_depth=6, tolerance=tolerance)
    assert simple.check().ok
    assert simple.component_count == full.component_count
    assert len(simple.triangles) * 3 < len(full.triangles)
    # A surface moved by at most the tolerance changes the volume by less than area * tolerance.
    assert abs(simple.volume - full.volume) < 0.5 * full.area * tolerance
    # Every vertex is one of the full mesh's, with its normal.
    rows = {tuple(v): i for i, v in enumerate(full.vertices)}
    kept = np.array([rows[tuple(v)] for v in simple.vertices])
    np.testing.assert_array_equal(simple.normals, full.normals[kept])
    # The triangles stay near the surface: their centroids within the tolerance of it.
    centroids = simple.vertices[simple.triangles].mean(axis=1)
    assert np.abs(shape.compile().values(centroids)).max() <= tolerance


def test_flat_faces_become_few_triangles_and_corners_stay():
    full = qv.mesh(qv.box(1.0), max_depth=7)
    simple = qv.mesh(qv.box(1.0), max_depth=7, tolerance=full.stats["cell_size"])
    assert len(simple.triangles) <= 2000 < len(full.triangles) // 50
    corners = np.array([[x, y, z] for x in (-0.5, 0.5) for y in (-0.5, 0.5) for z in (-0.5, 0.5)])

    def nearest(mesh):
        return mesh.vertices[np.abs(mesh.vertices[None, :, :] - corners[:, None, :]).max(axis=2).argmin(axis=1)]

    # The corners as placed, untouched: within a hundredth of a cell of the true ones.
    np.testing.assert_array_equal(nearest(simple), nearest(full))
    np.testing.assert_allclose(nearest(simple), corners, atol=0.01 * full.stats["cell_size"])
    assert simple.stats["simplified"]["triangles_before"] == len(full.triangles)


def test_simplified_mesh_is_the_same_for_any_thread_count():
    # Blocks are merged in parallel runs and edges collapsed in parallel slabs;
    # this case also crosses once and is done again with vertices held.
    run = (
        "import hashlib, quarvel as qv; "
        "m = qv.mesh(qv.builtin('gyroid'), max_depth=7, tolerance=0.016, progress=False); "
        "assert m.check().ok; "
        "print(m.stats['simplified'], hashlib.sha256(m.vertices.tobytes() + m.triangles.tobytes()).hexdigest())"
    )
    outputs = set()
    for threads in ("1", "3"):
        env = {**os.environ, "RAYON_NUM_THREADS": threads}
        done = subprocess.run([sys.executable, "-c", run], env=env, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        outputs.add(done.stdout)
    assert len(outputs) == 1
    assert "'rounds': 1," not in outputs.pop()


def test_merges_keep_the_topology_of_a_thin_ring():
    # A tube far thinner than the blocks merged: a merge across it would close the ring's hole or cut it.
    n, m, r = 400, 12, 0.05
    u, v = np.meshgrid(np.arange(n) * 2 * np.pi / n, np.arange(m) * 2 * np.pi / m, indexing="ij")
    points = np.stack([(1 + r * np.cos(v)) * np.cos(u), (1 + r * np.cos(v)) * np.sin(u), r * np.sin(v)], -1)
    i, j = np.meshgrid(np.arange(n), np.arange(m), indexing="ij")
    a, b, c, d = i * m + j, (i + 1) % n * m + j, (i + 1) % n * m + (j + 1) % m, i * m + (j + 1) % m
    ring = qv.Mesh(points.reshape(-1, 3), np.stack([a, b, c, a, c, d], -1).reshape(-1, 3))
    for tolerance in (0.01, 1.0):
        simple = ring.simplify(tolerance)
        assert len(simple.triangles) < len(ring.triangles) // 4
        assert simple.check().ok and simple.component_count == 1
        assert len(simple.vertices) - len(simple.triangles) // 2 == 0  # Euler characteristic: still one handle
        assert 0.85 * ring.volume < simple.volume <= ring.volume * 1.01


def test_simplify_leaves_open_and_pinched_parts_alone():
    # An open sheet: its rim is not closed 2-manifold, so the rim stays as it was.
    n = 20
    u = np.linspace(0.0, 1.0, n + 1)
    x, y = (a.ravel() for a in np.meshgrid(u, u, indexing="ij"))
    k = np.arange(n * (n + 1)).reshape(n, n + 1)[:, :n].ravel()
    quads = np.stack([k, k + n + 1, k + n + 2, k + 1], axis=1)
    sheet = qv.Mesh(np.stack([x, y, 0 * x], axis=1), np.concatenate([quads[:, [0, 1, 2]], quads[:, [0, 2, 3]]]))
    simple = sheet.simplify(0.1)
    assert len(simple.triangles) < len(sheet.triangles)
    assert simple.check().boundary_edges == sheet.check().boundary_edges == 4 * n
    assert simple.area == pytest.approx(1.0)
    assert simple.normals is None and sheet.simplify(0.0).triangles.shape == sheet.triangles.shape


@pytest.mark.parametrize("bad", [-1.0, float("nan"), float("inf"), True, "1"])
def test_tolerance_must_be_a_finite_distance(bad):
    with pytest.raises(ValueError, match="tolerance must be a finite distance >= 0"):
        qv.mesh(qv.sphere(1.0), max_depth=4, tolerance=bad)
    with pytest.raises(ValueError, match="tolerance must be a finite distance >= 0"):
        qv.Mesh(np.eye(3), [[0, 1, 2]]).simplify(bad)
