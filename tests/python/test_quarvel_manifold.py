"""Printable meshes: Mesh.check on hand-built faults, and quarvel.mesh's
repair on the shapes that fold, pinch or perforate without it."""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pytest

import quarvel as qv

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
from bench_manifold import crease, edge_error, finest_edge, plate, sphere_union, turned_box  # noqa: E402

BOUNDS = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
TETRA_V = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], dtype=float)
TETRA_T = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])


def two_tetras(shared: int) -> qv.Mesh:
    """Two tetrahedra, the second mirrored through the origin, sharing vertex 0
    (shared=1) or the edge 0-3 (shared=2, the second turned to meet it)."""
    second = -TETRA_V[1:] if shared == 1 else TETRA_V[[1, 2]] * [-1, -1, 1]
    vertices = np.vstack([TETRA_V, second])
    if shared == 1:
        other = np.array([[0, 5, 4], [0, 4, 6], [0, 6, 5], [4, 5, 6]])  # mirrored: reversed winding
    else:
        other = np.array([[0, 5, 4], [0, 4, 3], [0, 3, 5], [4, 5, 3]])
    return qv.Mesh(vertices, np.vstack([TETRA_T, other]))


@pytest.mark.parametrize(
    "mesh, fault",
    [
        (qv.Mesh(TETRA_V, TETRA_T[:3]), "boundary_edges"),
        (qv.Mesh(TETRA_V, np.vstack([TETRA_T[:3], TETRA_T[3, ::-1]])), "misoriented_edges"),
        (two_tetras(1), "nonmanifold_vertices"),
        (two_tetras(2), "nonmanifold_edges"),
        (qv.Mesh(TETRA_V, np.vstack([TETRA_T, [[0, 0, 1]]])), "degenerate_triangles"),
    ],
)
def test_check_finds_each_topological_fault(mesh, fault):
    found = mesh.check()
    assert getattr(found, fault) > 0
    assert not found.ok
    assert qv.Mesh(TETRA_V, TETRA_T).check().ok


def test_check_finds_crossing_triangles_and_not_touching_ones():
    # A tetrahedron and a copy moved a third of the way into it cross; moved
    # by its whole size along x, they touch at one point only.
    for shift, crossing in ((0.3, True), (1.0, False)):
        vertices = np.vstack([TETRA_V, TETRA_V + [shift, 0.1 * (shift < 1), 0.1 * (shift < 1)]])
        found = qv.Mesh(vertices, np.vstack([TETRA_T, TETRA_T + 4])).check()
        assert found.self_intersecting == crossing
        assert np.all(found.intersecting[:, 0] < found.intersecting[:, 1])
        assert found.closed and found.oriented


def test_check_works_on_loaded_meshes(tmp_path):
    m = qv.mesh(crease(), BOUNDS, max_depth=6, progress=False, manifold=False)
    loaded = qv.Mesh.load(m.save(tmp_path / "crease.stl"))
    # STL welds by position: the same faults, read back from a file.
    assert len(loaded.check().intersecting) == len(m.check().intersecting) > 0


def assert_printable(m: qv.Mesh) -> None:
    found = m.check()
    assert found.ok, str(found)
    assert m.stats["repaired"]["unrepaired_pairs"] == 0


def values_only(shape):
    return lambda p: shape(p)[0]


@pytest.mark.parametrize("gradients", [True, False])
@pytest.mark.parametrize(
    "name, depth",
    [("spheres 0", 6), ("spheres 4", 7), ("spheres 10", 7), ("spheres 18", 7), ("crease", 6),
     ("gyroid", 6), ("plate", 6), ("plate", 7)],
)  # fmt: skip
def test_families_come_out_printable(name, depth, gradients):
    if name.startswith("spheres"):
        shape = sphere_union(int(name.split()[1]))
    else:
        shape = {"crease": crease(), "gyroid": qv.builtin("gyroid"), "plate": plate(depth)}[name]
    bounds = shape.bounds if name == "gyroid" else BOUNDS
    field = shape if gradients else values_only(shape)
    m = qv.mesh(field, bounds, max_depth=depth, lipschitz=1.0, progress=False)
    assert_printable(m)
    if name == "plate":
        # Below resolution the plate may be perforated, never opened.
        assert m.volume > 0


@pytest.mark.parametrize("depth, gradients", [(7, True), (7, False), (8, True), (8, False)])
def test_turned_box_keeps_corners_and_edges(depth, gradients):
    shape, corners, edges = turned_box()
    field = shape if gradients else values_only(shape)
    m = qv.mesh(field, BOUNDS, max_depth=depth, lipschitz=1.0, progress=False)
    assert_printable(m)
    h = finest_edge(depth)
    assert max(np.linalg.norm(m.vertices - c, axis=1).min() for c in corners) <= 0.01 * h
    assert edge_error(m, edges, h) <= 0.1 * h


def test_repair_keeps_smooth_vertices_on_the_surface():
    m = qv.mesh(qv.sphere(0.5), BOUNDS, max_depth=7, progress=False)
    repaired = m.stats["repaired"]
    assert (repaired["folds_fixed"], repaired["vertices_split"], repaired["unrepaired_pairs"]) == (0, 0, 0)
    assert np.abs(np.linalg.norm(m.vertices, axis=1) - 0.5).max() <= 1e-9


def test_repaired_mesh_is_the_same_for_any_thread_count():
    run = (
        "import hashlib, quarvel as qv; m = qv.mesh(qv.builtin('gyroid'), max_depth=6, progress=False); "
        "print(m.stats['repaired'], hashlib.sha256(m.vertices.tobytes() + m.triangles.tobytes()).hexdigest())"
    )
    outputs = set()
    for threads in ("1", "2"):
        env = {**os.environ, "RAYON_NUM_THREADS": threads}
        done = subprocess.run([sys.executable, "-c", run], env=env, capture_output=True, text=True,
                              timeout=300)  # fmt: skip
        assert done.returncode == 0, done.stderr
        outputs.add(done.stdout)
    assert len(outputs) == 1
