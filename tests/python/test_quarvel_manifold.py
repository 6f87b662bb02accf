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


# ----------------------------------------------------------------------------- hard inputs for the check


def soup(corners: np.ndarray) -> qv.Mesh:
    """Separate triangles from an (n, 3, 3) array of corners."""
    return qv.Mesh(corners.reshape(-1, 3), np.arange(3 * len(corners)).reshape(-1, 3))


def crowded(kind: str, n: int) -> qv.Mesh:
    base = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype=float)
    turn = np.linalg.qr(np.random.default_rng(1).normal(size=(3, 3)))[0]
    lift = np.arange(n)[:, None, None] * np.array([0.0, 0.0, 1e-6])
    if kind == "one point":
        return soup(np.zeros((n, 3, 3)))
    if kind == "stacked":
        return soup(base + lift)
    if kind == "stacked, turned":
        return soup((base + lift) @ turn.T)
    if kind == "copies":
        return soup(np.broadcast_to(base, (n, 3, 3)).copy())
    # Triangles about the z axis at every angle, their tops a little apart: each crosses every other.
    angle = np.arange(n) * np.pi / n
    ring = np.stack([np.cos(angle), np.sin(angle), -np.ones(n)], axis=1)
    top = np.stack([1e-3 * np.arange(n) / n, np.zeros(n), np.ones(n)], axis=1)
    return soup(np.stack([ring, ring * [-1, -1, 1], top], axis=1))


@pytest.mark.parametrize(
    "kind, count, complete",
    [("one point", 0, True), ("stacked", 0, True), ("stacked, turned", 0, True), ("copies", 0, False),
     ("all crossing", None, False)],
)  # fmt: skip
def test_check_lists_the_first_pairs_and_says_where_it_searched_in_part(kind, count, complete):
    # Every box meets every other: a plain pair loop tests all n^2 / 2 pairs
    # and lists n^2 / 2 pairs for the last set. Only triangles that cannot be
    # told apart, nor along any direction, are left half-searched.
    found = crowded(kind, 6000).check(max_pairs=100)
    assert found.intersecting_complete == complete
    if count is not None:
        assert found.intersecting_count == count
    else:
        assert 100 < found.intersecting_count < 6000**2 // 2
    assert len(found.intersecting) == min(found.intersecting_count, 100)
    assert not found.ok
    assert ("at least" in str(found)) == (not complete)
    # The first pairs of all, in order, where the search is complete.
    folded = qv.mesh(crease(), BOUNDS, max_depth=6, progress=False, manifold=False)
    every = folded.check(max_pairs=None)
    first = folded.check(max_pairs=3)
    assert first.intersecting_count == every.intersecting_count == len(every.intersecting) > 3
    assert np.array_equal(first.intersecting, every.intersecting[:3])


CHECK_RUN = """
import functools, io, signal, sys
import numpy as np
import quarvel._engine as engine

# A rippled grid of two million triangles: its check takes about a second.
n = 1000
x, y = (a.ravel() for a in np.meshgrid(np.arange(n), np.arange(n), indexing="ij"))
v = np.stack([x, y, np.sin(0.1 * x) * np.cos(0.1 * y)], axis=1).astype(float)
a = (x * n + y).reshape(n, n)[:-1, :-1].ravel()
t = np.concatenate([np.stack([a, a + n, a + n + 1], axis=1), np.stack([a, a + n + 1, a + 1], axis=1)])

signal.signal(signal.SIGALRM, signal.default_int_handler)
M = sys.monitoring
M.use_tool_id(4, "check")
events = io.StringIO()
M.register_callback(4, M.events.CALL, functools.partial(print, "call", file=io.StringIO()))
M.register_callback(4, M.events.C_RETURN, functools.partial(print, "return", file=events))
M.register_callback(4, M.events.C_RAISE, functools.partial(print, "raise", file=events))

def run():
    return engine.check_mesh(v, t)

M.set_local_events(4, run.__code__, M.events.CALL | M.events.C_RETURN | M.events.C_RAISE)
signal.setitimer(signal.ITIMER_REAL, 0.05)
try:
    run()
    print("completed")
except KeyboardInterrupt:
    print("interrupted")
M.set_local_events(4, run.__code__, 0)
print("check_mesh:", " ".join(l.split()[0] for l in events.getvalue().splitlines() if "check_mesh" in l))
print("again:", engine.check_mesh(v[:3], t[:0])["boundary_edges"])
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="watches the C call through sys.monitoring (3.12)")
def test_ctrl_c_stops_the_check_from_inside():
    # The alarm rings 50 ms into a check of a second: the check itself must
    # raise, not return for the interpreter to raise after it.
    done = subprocess.run([sys.executable, "-c", CHECK_RUN], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines() == ["interrupted", "check_mesh: raise", "again: 0"]


@pytest.mark.parametrize("measure", ["engine", "numpy"])
def test_check_refuses_nonfinite_vertices_and_huge_meshes_measure_without_nan(measure):
    for bad in (np.nan, np.inf):
        vertices = TETRA_V.copy()
        vertices[3, 2] = bad
        found = qv.Mesh(vertices, TETRA_T).check()
        assert found.nonfinite_vertices == 1 and found.closed and found.manifold
        assert not found.ok and "1 non-finite vertices" in str(found)

    def measures(m: qv.Mesh) -> tuple[float, float]:
        return m._measures() if measure == "engine" else m._measures_in_numpy()

    # From -1e308 to 1e308 along x: the differences of coordinates overflow.
    sliver = qv.Mesh([[-1e308, 0, 0], [1e308, 0, 0], [-1e308, 1e-300, 0], [-1e308, 0, 1e-5]], TETRA_T)
    area, volume = measures(sliver)
    # Faces: 1e8 and 1e303 on the axes' planes, ~1e303 across, ~0 at x = -1e308.
    np.testing.assert_allclose(area, 2e303, rtol=1e-12)
    np.testing.assert_allclose(volume, 2e8 * 1e-5 / 6, rtol=1e-12)  # 2e308 * 1e-300 * 1e-5 / 6
    # Too large for a float: infinite, not NaN.
    assert measures(qv.Mesh(TETRA_V * 1e300, TETRA_T)) == (np.inf, np.inf)
    assert measures(qv.Mesh(TETRA_V * -1e300, TETRA_T)) == (np.inf, -np.inf)


@pytest.mark.parametrize("exponent", [-400, 300, 1000])
def test_crossings_are_found_and_repaired_at_any_scale(exponent):
    scale = 2.0**exponent  # a power of two: scaling back is exact
    folded = qv.mesh(crease(), BOUNDS, max_depth=6, progress=False, manifold=False)
    expected = folded.check(max_pairs=None).intersecting
    assert len(expected) > 0
    scaled = qv.Mesh(folded.vertices * scale, folded.triangles)
    assert np.array_equal(scaled.check(max_pairs=None).intersecting, expected)
    if exponent == 1000:
        return  # the field's own arithmetic at 2^1000 is not this test's subject
    field = lambda p: (lambda r: (r[0] * scale, r[1]))(crease()(p / scale))  # noqa: E731
    bounds = tuple(tuple(x * scale for x in corner) for corner in BOUNDS)
    repaired = qv.mesh(field, bounds, max_depth=6, lipschitz=1.0, progress=False)
    assert repaired.stats["repaired"]["unrepaired_pairs"] == 0
    assert qv.Mesh(repaired.vertices / scale, repaired.triangles).check().ok


def test_split_keeps_each_pieces_vertices_and_triangles_in_order():
    # Five tetrahedra with their vertices and triangles shuffled together, and a vertex no triangle uses.
    rng = np.random.default_rng(3)
    vertices = np.vstack([TETRA_V + 3 * k for k in range(5)] + [[[9, 9, 9]]])
    triangles = np.vstack([TETRA_T + 4 * k for k in range(5)])
    order = rng.permutation(len(vertices))
    renumber = np.argsort(order)
    m = qv.Mesh(vertices[order], renumber[triangles][rng.permutation(len(triangles))], normals=vertices[order] * 2)
    labels = m.components()
    pieces = m.split()
    assert len(pieces) == 5
    for k, piece in enumerate(pieces):
        mine = m.triangles[labels == k]
        used = np.unique(mine)
        assert np.array_equal(piece.vertices, m.vertices[used])
        assert np.array_equal(piece.normals, m.normals[used])
        assert np.array_equal(used[piece.triangles], mine)
        assert piece.is_watertight and piece.volume > 0
    assert qv.Mesh(np.zeros((2, 3)), np.zeros((0, 3))).split() == []


@pytest.mark.parametrize(
    "shape",
    [qv.cone(0.5, 1.0), qv.box(1.0).rotate(37.12, (1, 2**0.5, np.pi)), (qv.box(1.0) - qv.sphere(0.6)) | qv.cylinder(0.2, 1.6)],
    ids=["cone-tip", "turned-cube", "csg"],
)
def test_the_repair_leaves_a_sound_mesh_as_it_was(shape):
    placed = qv.mesh(shape, max_depth=6, manifold=False, progress=False)
    assert placed.check().ok
    repaired = qv.mesh(shape, max_depth=6, progress=False)
    assert repaired.stats["repaired"]["folds_fixed"] == 0
    np.testing.assert_array_equal(repaired.vertices, placed.vertices)
    np.testing.assert_array_equal(repaired.triangles, placed.triangles)


@pytest.mark.parametrize("shape", [qv.schwarz_p(0.5, None) & qv.sphere(0.9), qv.gyroid(0.6, 0.08) & qv.box(1.6)],
                         ids=["schwarz-p-ball", "gyroid-box"])
def test_no_vertex_normal_faces_against_all_its_triangles(shape):
    # Acute edges where a lattice meets its clip: the field's normal there may
    # point away from every triangle around the vertex.
    mesh = qv.mesh(shape, max_depth=6, progress=False)
    v, t, n = mesh.vertices, mesh.triangles, mesh.normals
    faces = np.cross(v[t[:, 1]] - v[t[:, 0]], v[t[:, 2]] - v[t[:, 0]])
    agrees = np.zeros(len(v), dtype=bool)
    for k in range(3):
        np.logical_or.at(agrees, t[:, k], np.einsum("ij,ij->i", faces, n[t[:, k]]) >= 0)
    assert agrees.all()
    np.testing.assert_allclose(np.linalg.norm(n, axis=1), 1.0, rtol=1e-12)
