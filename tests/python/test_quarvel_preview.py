"""Shaded PNG previews."""

from __future__ import annotations

import io
import sys

import numpy as np
import pytest

import quarvel as qv
from test_quarvel_helpers import cube_mesh, needs_engine

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


def grid(n, z=lambda x, y: 0.0 * x):
    """An open n x n square of 2 n^2 triangles over [0, 1]^2, at height z(x, y)."""
    u = np.linspace(0.0, 1.0, n + 1)
    x, y = (a.ravel() for a in np.meshgrid(u, u, indexing="ij"))
    k = np.arange(n * (n + 1)).reshape(n, n + 1)[:, :n].ravel()
    quads = np.stack([k, k + n + 1, k + n + 2, k + 1], axis=1)
    triangles = np.concatenate([quads[:, [0, 1, 2]], quads[:, [0, 2, 3]]])
    return np.stack([x, y, z(x, y)], axis=1), triangles


def test_preview_draws_the_nearest_surface_without_seams():
    image_module = pytest.importorskip("matplotlib.image")
    from quarvel.io.preview import picture

    def pixels(mesh):
        return image_module.imread(io.BytesIO(picture(mesh, "png", 120, 90.0, 0.0)), format="png")[..., :3]

    # A fine sheet and a tilted one above it, drawn in either order: seen from
    # above only the tilted one shows, and no pixel between triangles is left white.
    flat, tilted = grid(60), grid(7, lambda x, y: 1.0 + 0.3 * x)
    for first, second in ((flat, tilted), (tilted, flat)):
        vertices = np.concatenate([first[0], second[0]])
        triangles = np.concatenate([first[1], second[1] + len(first[0])])
        shown = pixels(qv.Mesh(vertices, triangles))[20:100, 20:100].reshape(-1, 3)
        np.testing.assert_array_equal(shown, np.broadcast_to(pixels(qv.Mesh(*tilted))[60, 60], shown.shape))


def test_preview_frames_the_whole_mesh(tmp_path):
    image_module = pytest.importorskip("matplotlib.image")
    long_box = qv.Mesh(cube_mesh()[0] * (4.0, 0.5, 0.5), cube_mesh()[1])
    for elev, azim in ((25.0, -60.0), (0.0, 0.0), (90.0, 30.0)):
        pixels = image_module.imread(long_box.preview(tmp_path / "m.png", size=100, elev=elev, azim=azim))[..., :3]
        drawn = np.argwhere((pixels < 0.99).any(axis=-1))
        extent = drawn.max(axis=0) - drawn.min(axis=0) + 1
        assert drawn.min() >= 2 and drawn.max() <= 97 and extent.max() >= 85


def test_preview_without_matplotlib_says_how_to_install(monkeypatch, tmp_path):
    for name in ("matplotlib", "matplotlib.figure", "matplotlib.backends.backend_agg", "matplotlib.image"):
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=r"pip install 'quarvel\[preview\]'"):
        octahedron().preview(tmp_path / "m.png")
    assert not (tmp_path / "m.png").exists()


# ---------------------------------------------------------------- formats, notebooks, viewer

SIGNATURES = {".jpg": b"\xff\xd8\xff", ".svg": b"<?xml", ".pdf": b"%PDF", ".tiff": b"II*\x00", ".webp": b"RIFF"}


@pytest.mark.parametrize("suffix", SIGNATURES)
def test_preview_writes_the_format_its_suffix_names(tmp_path, suffix):
    pytest.importorskip("matplotlib")
    path = octahedron().preview(tmp_path / f"m{suffix.upper()}", size=64)
    assert path.read_bytes().startswith(SIGNATURES[suffix])


@pytest.mark.parametrize("name", ["m.txt", "m.pgf", "m"])
def test_preview_refuses_other_suffixes_before_drawing(tmp_path, monkeypatch, name):
    pytest.importorskip("matplotlib")
    from quarvel.io import preview as _preview

    monkeypatch.setattr(_preview, "_paint", lambda *a: pytest.fail("drew a picture it cannot write"))
    with pytest.raises(ValueError, match=r"cannot write a preview named .* suffixes .*\.jpg.*\.png"):
        octahedron().preview(tmp_path / name)
    assert list(tmp_path.iterdir()) == []


def test_notebook_display(monkeypatch):
    pytest.importorskip("matplotlib")
    bundle = octahedron()._repr_mimebundle_()
    assert bundle["image/png"].startswith(PNG_SIGNATURE)
    assert 'src="data:image/png;base64,' in bundle["text/html"]
    assert octahedron().summary() in bundle["text/html"]
    for name in ("matplotlib", "matplotlib.figure"):
        monkeypatch.setitem(sys.modules, name, None)
    assert octahedron()._repr_png_() is None
    assert octahedron()._repr_html_() == f"<p>{octahedron().summary()}</p>"


@needs_engine
def test_large_meshes_are_drawn_coarser_in_notebooks():
    from quarvel.io.preview import _clustered

    fine = qv.mesh(qv.sphere(1.0), max_depth=6)
    coarse = _clustered(fine, 16)
    assert len(coarse.triangles) < len(fine.triangles) / 10
    assert coarse.area == pytest.approx(fine.area, rel=0.05)
    np.testing.assert_allclose(coarse.bounds.size, fine.bounds.size, atol=0.1)


def test_show_says_what_is_missing(monkeypatch):
    pyplot = pytest.importorskip("matplotlib.pyplot")
    monkeypatch.delitem(sys.modules, "ipykernel", raising=False)
    monkeypatch.setattr(sys, "platform", "linux")
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        monkeypatch.delenv(name, raising=False)
    with pytest.raises(RuntimeError, match="needs a display"):
        octahedron().show()
    monkeypatch.setenv("DISPLAY", ":0")
    monkeypatch.setitem(sys.modules, "pyglet", None)
    monkeypatch.setattr(pyplot, "get_backend", lambda: "agg")
    with pytest.raises(ImportError, match="pip install matplotlib with a GUI toolkit"):
        octahedron().show()
    with pytest.raises(ValueError, match="no triangles"):
        qv.Mesh(np.zeros((0, 3)), np.zeros((0, 3))).show()

    # With a backend that opens windows, a 3-D view of every triangle is shown.
    shown = []
    monkeypatch.setattr(pyplot, "get_backend", lambda: "TkAgg")
    monkeypatch.setattr(pyplot, "show", lambda: shown.append(pyplot.gcf()))
    assert octahedron().show() is None
    (figure,) = shown
    figure.canvas.draw()
    (axes,) = figure.axes
    assert axes.name == "3d" and len(axes.collections[0].get_paths()) == 8
    pyplot.close(figure)
