"""Shaded PNG previews."""

from __future__ import annotations

import sys

import numpy as np
import pytest

import quarvel as qv
from test_quarvel_helpers import cube_mesh

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def octahedron():
    vertices = np.array([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]], dtype=float)
    triangles = [[0, 2, 4], [2, 1, 4], [1, 3, 4], [3, 0, 4], [2, 0, 5], [1, 2, 5], [3, 1, 5], [0, 3, 5]]
    return qv.Mesh(vertices, triangles)


@pytest.mark.parametrize(
    "mesh", [octahedron(), qv.Mesh(*cube_mesh(3.0, (10, 10, 10)))], ids=["octahedron", "cube"]
)
@pytest.mark.parametrize("size", [96, 200])
def test_preview_is_a_shaded_png_of_the_requested_size(tmp_path, mesh, size):
    image_module = pytest.importorskip("matplotlib.image")
    path = mesh.preview(tmp_path / "m.png", size=size)
    assert path.read_bytes().startswith(PNG_SIGNATURE)
    pixels = image_module.imread(path)[..., :3]
    assert pixels.shape == (size, size, 3)
    # White around the shape, the shape in the middle, lit differently per face.
    np.testing.assert_array_equal(pixels[0, 0], (1.0, 1.0, 1.0))
    centre = pixels[size // 2, size // 2]
    assert centre[2] > centre[0] and not np.allclose(centre, 1.0)
    shades = {tuple(p) for p in np.round(pixels.reshape(-1, 3), 2) if not np.allclose(p, 1.0)}
    assert len(shades) >= 3


def test_preview_shows_the_front_of_a_closed_mesh(tmp_path):
    image_module = pytest.importorskip("matplotlib.image")
    # Seen from straight above, only the top face of a cube is visible: one flat colour.
    path = qv.Mesh(*cube_mesh()).preview(tmp_path / "top.png", size=100, elev=90.0, azim=0.0)
    pixels = image_module.imread(path)[30:70, 30:70, :3].reshape(-1, 3)
    assert np.ptp(pixels, axis=0).max() < 0.02


def test_preview_without_matplotlib_says_how_to_install(monkeypatch, tmp_path):
    for name in ("matplotlib", "matplotlib.figure", "matplotlib.backends.backend_agg", "matplotlib.image"):
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=r"pip install 'quarvel\[preview\]'"):
        octahedron().preview(tmp_path / "m.png")
    assert not (tmp_path / "m.png").exists()
