"""The side-by-side benchmark harness (bench/peers.py, bench/plot_peers.py).

Its figures are only worth something if every tool meshes the same surface
over the same cube, the dense volume holds the field where each peer expects
it, and the ratios compare like with like.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))
import peers  # noqa: E402

# scikit-image sets array shapes in place, which NumPy 2.5 deprecates.
pytestmark = pytest.mark.filterwarnings("ignore:Setting the shape:DeprecationWarning")


@pytest.mark.parametrize("slab_points", [1, 2 * 81 + 5, 10**6])
def test_sample_volume_fills_every_slab_in_vtk_order(monkeypatch, slab_points):
    # One plane per slab, slabs of 2 planes with a shorter last one, one slab.
    monkeypatch.setattr(peers, "SLAB_POINTS", slab_points)
    volume = peers.sample_volume(lambda p: p[:, 0] + 10 * p[:, 1] + 100 * p[:, 2], 3)
    axis = np.linspace(-1.0, 1.0, 9)
    z, y, x = np.meshgrid(axis, axis, axis, indexing="ij")
    assert volume.dtype == np.float32 and volume.shape == (9, 9, 9)
    np.testing.assert_allclose(volume, x + 10 * y + 100 * z, atol=1e-4)


@pytest.mark.parametrize("tool", list(peers.TOOLS))
def test_every_tool_meshes_the_same_torus_in_world_coordinates(tool):
    if tool == "skimage":
        pytest.importorskip("skimage")
    if tool == "vtk":
        pytest.importorskip("vtkmodules")
    depth, h = 6, 2.0 / 64
    vertices, triangles, field = peers.TOOLS[tool].run("torus", depth, 1)
    _, reference, _ = peers.TOOLS["extract_mesh"].run("torus", depth, 1)
    # The torus lies around the z axis: mixed-up axes or a shifted origin would show here.
    radial = np.hypot(vertices[:, 0], vertices[:, 1])
    assert np.abs(vertices[:, 2]).max() <= 0.2 + h
    assert 0.3 - h <= radial.min() and radial.max() <= 0.7 + h
    assert len(triangles) == pytest.approx(len(reference), rel=0.01)
    assert field.points > 0 and (field.seconds > 0 or tool == "compiled")  # a compiled shape calls no Python


def row(tool, threads, wall, peak_mb):
    run = {"wall": wall, "field": 0.1, "peak_kb": peak_mb * 1024, "base_kb": 0, "triangles": 1, "points": 1}
    return peers.Row(tool, "sphere", 9, threads, [run])


def test_ratios_compare_with_the_best_peer_on_no_more_threads():
    rows = [row("skimage", 1, 4.0, 600), row("vtk", 1, 2.0, 900), row("vtk", 2, 1.0, 900),
            row("extract_mesh", 1, 1.0, 300), row("extract_mesh", 2, 0.5, 300)]
    speed_up, memory = -2, -1
    assert [peers.cells(rows, r)[speed_up] for r in rows[3:]] == ["2.00x", "2.00x"]
    assert [peers.cells(rows, r)[memory] for r in rows[3:]] == ["0.50", "0.50"]
    assert peers.cells(rows, rows[0])[speed_up] == ""


def test_harness_runs_cases_in_children_and_its_results_plot(tmp_path):
    results = tmp_path / "results.json"
    tools = ["extract_mesh", "values-only", "quarvel.mesh"]
    out = subprocess.run(
        [sys.executable, str(BENCH / "peers.py"), "--depths", "4", "--shapes", "box", "--tools", *tools,
         "--threads", "1", "2", "--repeat", "1", "--markdown", "--json", str(results)],
        capture_output=True, text=True, check=True).stdout
    # The summary (a line per depth and thread count), then every figure (a line per case).
    tables = [t.splitlines() for t in out.split("\n\n") if t.startswith("|")]
    assert [len(t) for t in tables] == [2 + 2, 2 + 6]
    assert all(len({line.count("|") for line in t}) == 1 for t in tables)
    rows = json.loads(results.read_text())["rows"]
    runs = {(r["tool"], r["threads"]): r["runs"][0] for r in rows}
    assert len(runs) == 6 and not any("error" in r for r in runs.values())
    assert len({r["triangles"] for r in runs.values()}) == 1
    # Values only means gradients by differences: more points, the same surface.
    assert runs["values-only", 1]["points"] > runs["extract_mesh", 1]["points"]
    assert all(0 < r["field"] < r["wall"] for r in runs.values())

    pytest.importorskip("matplotlib")
    picture = tmp_path / "peers.png"
    subprocess.run([sys.executable, str(BENCH / "plot_peers.py"), str(results), "-o", str(picture)],
                   check=True, capture_output=True)
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_failing_case_is_reported_not_raised():
    assert "KeyError" in peers.spawn_case("extract_mesh", "no-such-shape", 4, 1)["error"]
