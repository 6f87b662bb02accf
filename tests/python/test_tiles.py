"""Meshing in tiles: the same mesh as without, joined by vertex names, in
memory, streamed to files, and on a Dask cluster that loses a worker."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest

import quarvel as qv
from test_quarvel_helpers import run_cli

BOX = ((-0.7, -0.7, -0.7), (0.7, 0.7, 0.7))


def values_torus(p):
    q = np.stack([np.hypot(p[:, 0], p[:, 1]) - 0.45, p[:, 2]], axis=1)
    return np.hypot(q[:, 0], q[:, 1]) - 0.15


def triangles_by_corners(mesh):
    """The triangles as corner triples, each turned to start at its least corner."""
    corners = [tuple(map(tuple, t)) for t in mesh.vertices[mesh.triangles]]
    turned = []
    for t in corners:
        k = min(range(3), key=lambda i: t[i])
        turned.append(t[k:] + t[:k])
    return sorted(turned)


def assert_same_mesh(tiled, whole):
    assert tiled.stats["seam_mismatches"] == 0
    assert len(tiled.vertices) == len(whole.vertices)
    assert triangles_by_corners(tiled) == triangles_by_corners(whole)
    assert tiled.volume == pytest.approx(whole.volume, rel=1e-9)
    assert tiled.area == pytest.approx(whole.area, rel=1e-9)
    assert tiled.stats["pieces"] == whole.stats["pieces"]


CASES = {
    # The sphere's centre is the corner all eight tiles share.
    "sphere at the tiles' corner": (lambda: qv.builtin("sphere"), None, {}),
    "csg": (lambda: qv.builtin("csg"), None, {}),
    "pieces across seams": (lambda: qv.builtin("lettering"), None, {}),
    # Folds where the sheet meets the cylinder: repairs, split pinches, midpoints of crowded edges.
    "lattice meeting a clip": (
        lambda: qv.lattice("gyroid", 0.55, 0.07) & qv.rotate(qv.cylinder(0.65, 1.5), 90.0, (1.0, 0.0, 0.0)), None, {}
    ),
    "NumPy field, values only": (lambda: values_torus, BOX, {}),
}


@pytest.mark.parametrize("tiles", [2, 3])
@pytest.mark.parametrize("case", CASES)
def test_tiles_join_into_the_untiled_mesh(case, tiles):
    make, bounds, options = CASES[case]
    field = make()
    whole = qv.mesh(field, bounds, max_depth=6, progress=False, **options)
    tiled = qv.mesh(field, bounds, max_depth=6, progress=False, tiles=tiles, **options)
    assert_same_mesh(tiled, whole)
    assert tiled.stats["tiles"] == tiles**3
    assert tiled.check().ok


@pytest.mark.parametrize("suffix", [".ply", ".stl"])
def test_mesh_to_file_streams_the_tiled_mesh(tmp_path, suffix):
    shape = qv.builtin("csg")
    whole = qv.mesh(shape, max_depth=6, progress=False)
    path = tmp_path / f"part{suffix}"
    stats = qv.mesh_to_file(shape, path, max_depth=6, tiles=2, progress=False)
    loaded = qv.Mesh.load(path)
    assert loaded.check().ok
    assert (stats["triangles"], stats["pieces"]) == (len(whole.triangles), whole.stats["pieces"])
    assert stats["volume"] == pytest.approx(whole.volume, rel=1e-9)
    # STL keeps float32 corners.
    assert loaded.volume == pytest.approx(whole.volume, rel=1e-12 if suffix == ".ply" else 1e-6)
    if suffix == ".ply":
        assert len(loaded.vertices) == len(whole.vertices)


def test_the_command_line_streams_tiles_to_the_output(tmp_path):
    done = run_cli("mesh", "csg", "--max-depth", "5", "--tiles", "2", "--no-progress", "-o", str(tmp_path / "c.stl"))
    assert done.returncode == 0, done.stderr
    assert "in 8 tiles" in done.stdout
    assert len(qv.Mesh.load(tmp_path / "c.stl").triangles) == len(qv.mesh(qv.builtin("csg"), max_depth=5).triangles)


def test_mesh_to_file_without_surface_writes_nothing(tmp_path):
    path = tmp_path / "empty.ply"
    with pytest.raises(qv.NoSurfaceError):
        qv.mesh_to_file(qv.sphere(0.3), path, ((2, 2, 2), (3, 3, 3)), max_depth=5, progress=False)
    assert not path.exists()
    with pytest.raises(ValueError, match="binary .ply or .stl"):
        qv.mesh_to_file(qv.sphere(0.3), tmp_path / "x.obj", max_depth=5)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"tiles": 0}, "whole number of tiles"),
        ({"tiles": 2, "keep": "largest"}, "keep='largest'"),
        ({"tiles": 2, "tolerance": 0.01}, "tolerance"),
        ({"tiles": 2, "min_piece_volume": 0.01}, "min_piece_volume"),
    ],
)
def test_options_that_need_the_whole_mesh_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        qv.mesh(qv.sphere(0.5), max_depth=5, progress=False, **options)


class FailingField:
    """A values-only ball that raises on points above z = 0.3."""

    def __call__(self, p):
        if np.any(p[:, 2] > 0.3):
            raise ArithmeticError("field broke")
        return np.linalg.norm(p, axis=1) - 0.5


def test_a_field_that_does_not_pickle_is_told_so_unless_threads_share_it():
    from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

    def field(p):
        return np.linalg.norm(p, axis=1) - 0.5

    with ProcessPoolExecutor(1) as pool, pytest.raises(TypeError, match="need a field that pickles"):
        qv.mesh(field, BOX, max_depth=5, tiles=2, executor=pool)
    with ThreadPoolExecutor(2) as pool:
        assert_same_mesh(qv.mesh(field, BOX, max_depth=5, tiles=2, executor=pool), qv.mesh(field, BOX, max_depth=5))


def test_a_field_error_reaches_the_caller_naming_the_tile():
    with pytest.raises(ArithmeticError, match="field broke") as raised:
        qv.mesh(FailingField(), BOX, max_depth=5, progress=False, tiles=2)
    if sys.version_info >= (3, 11):
        assert any("while meshing tile" in note for note in raised.value.__notes__)


class DiesOnce:
    """A ball that kills its worker's process the first time it is asked
    about points above z = 0.3; ``marker`` says it has."""

    def __init__(self, marker):
        self.marker = str(marker)

    def __call__(self, p):
        if np.any(p[:, 2] > 0.3):
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                pass
            else:
                os._exit(1)
        return np.linalg.norm(p, axis=1) - 0.5


@pytest.mark.slow
def test_tiles_on_a_dask_cluster_survive_a_killed_worker(tmp_path):
    distributed = pytest.importorskip("distributed")
    field = DiesOnce(tmp_path / "died")
    whole = qv.mesh(lambda p: np.linalg.norm(p, axis=1) - 0.5, BOX, max_depth=6, progress=False)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            tiled = qv.mesh(field, BOX, max_depth=6, progress=False, tiles=2, executor=client)
            shape = qv.builtin("csg")
            streamed = qv.mesh_to_file(shape, tmp_path / "csg.ply", max_depth=6, tiles=2, executor=client,
                                       progress=False)  # fmt: skip
    assert (tmp_path / "died").exists()
    assert_same_mesh(tiled, whole)
    assert streamed["volume"] == pytest.approx(qv.mesh(shape, max_depth=6, progress=False).volume, rel=1e-9)
