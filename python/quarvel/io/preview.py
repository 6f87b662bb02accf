"""Shaded previews of meshes, drawn with matplotlib's Agg renderer, and the viewer.

The mesh is projected orthographically, lit by one light beside the camera
and painted back to front as flat-shaded polygons; the picture is written in
any format matplotlib writes.  matplotlib is an optional dependency of the
preview only.
"""

from __future__ import annotations

import importlib
import io
import math
import os
import sys
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Protocol, cast

import numpy as np
from numpy.typing import NDArray

from .._bounds import Bounds
from ..io.files import replacing



class Mesh(Protocol):
    """What drawing reads of a :class:`quarvel.Mesh` (named by its shape, so
    that meshes and previews do not import each other)."""

    vertices: NDArray[np.float64]
    triangles: NDArray[np.int64]

    @property
    def bounds(self) -> Bounds: ...

    @property
    def is_watertight(self) -> bool: ...

    @property
    def volume(self) -> float: ...

    def to_trimesh(self) -> Any: ...

Array = NDArray[np.float64]

MISSING_MATPLOTLIB = (
    "the preview needs matplotlib: pip install 'quarvel[preview]' (or pip install matplotlib)"
)
BASE_COLOR = np.array([0.36, 0.58, 0.82])
BACKGROUND = "white"
SUPERSAMPLE = 3
# PGF output embeds pictures as separate files, which a single path cannot hold.
UNWRITABLE = ("pgf",)


def require_matplotlib() -> None:
    """Raise ImportError with an install hint when matplotlib is missing."""
    _matplotlib_parts()


def preview_format(path: str | Path) -> str:
    """The picture format named by the suffix of ``path`` ("png", "jpg", "svg", "pdf", ...).

    ValueError when matplotlib cannot write it; ImportError when matplotlib is missing.
    """
    formats = [f for f in _matplotlib_parts().FigureCanvasAgg.get_supported_filetypes() if f not in UNWRITABLE]
    suffix = Path(path).suffix.lower().lstrip(".")
    if suffix not in formats:
        raise ValueError(
            f"cannot write a preview named {str(path)!r}: name it with one of the suffixes "
            + ", ".join(f".{f}" for f in sorted(formats))
        )
    return suffix


def render_preview(
    mesh: Mesh, path: str | Path, size: int = 640, elev: float = 25.0, azim: float = -60.0
) -> Path:
    """Write a ``size`` x ``size`` pixel picture of ``mesh`` seen from ``elev``/``azim`` degrees,
    in the format its suffix names."""
    data = picture(mesh, preview_format(path), size, elev, azim)
    with replacing(path) as out:
        out.write(data)
    return Path(path)


def picture(mesh: Mesh, fmt: str, size: int, elev: float = 25.0, azim: float = -60.0) -> bytes:
    """The bytes of a ``size`` x ``size`` picture of ``mesh`` in format ``fmt``."""
    parts = _matplotlib_parts()
    right, up, toward = _camera(elev, azim)
    polygons, depth, normals = _projected(mesh, right, up, toward)
    visible = _front_faces(mesh, normals, toward)
    order = np.argsort(depth[visible])
    colors = _shade(normals[visible][order], toward, up)
    pixels = _paint(parts, polygons[visible][order], colors, size * SUPERSAMPLE)
    return _encode(parts, _downsample(pixels, SUPERSAMPLE), fmt)


def _encode(parts: Any, pixels: NDArray[np.uint8], fmt: str) -> bytes:
    """The pixels, one to one, as a file of format ``fmt``."""
    height, width = pixels.shape[:2]
    figure = parts.Figure(figsize=(width / 100.0, height / 100.0), dpi=100)
    parts.FigureCanvasAgg(figure)
    figure.figimage(pixels, resize=False)
    out = io.BytesIO()
    figure.savefig(out, format=fmt, dpi=100, metadata={"Software": "quarvel"} if fmt == "png" else None)
    return out.getvalue()


def _paint(parts: Any, polygons: Array, colors: Array, pixels: int) -> NDArray[np.uint8]:
    """Rasterise the polygons, far ones first, into an RGB image of ``pixels`` squared."""
    figure = parts.Figure(figsize=(pixels / 100.0, pixels / 100.0), dpi=100, facecolor=BACKGROUND)
    canvas = parts.FigureCanvasAgg(figure)
    axes = figure.add_axes((0.0, 0.0, 1.0, 1.0))
    axes.set_axis_off()
    _frame(axes, polygons)
    # Without antialiasing, neighbouring polygons meet without a visible seam;
    # edges in the face colour close the hairline gaps that remain.
    collection = parts.PolyCollection(
        polygons, facecolors=colors, edgecolors=colors, linewidths=0.5, antialiased=False
    )
    axes.add_collection(collection)
    canvas.draw()
    rgba: NDArray[np.uint8] = np.asarray(canvas.buffer_rgba())
    return rgba[..., :3]


def _downsample(pixels: NDArray[np.uint8], factor: int) -> NDArray[np.uint8]:
    """Average ``factor`` x ``factor`` blocks: antialiasing by supersampling."""
    n = pixels.shape[0] // factor
    blocks = pixels[: n * factor, : n * factor].reshape(n, factor, n, factor, 3)
    averaged: NDArray[np.uint8] = blocks.mean(axis=(1, 3)).round().astype(np.uint8)
    return averaged


def _frame(axes: Any, polygons: Array) -> None:
    """Centre the drawing in a square view with a small margin."""
    flat = polygons.reshape(-1, 2)
    lo, hi = (flat.min(axis=0), flat.max(axis=0)) if len(flat) else (np.zeros(2), np.ones(2))
    centre = (lo + hi) / 2.0
    half = max(float((hi - lo).max()), 1e-12) * 0.54
    axes.set_aspect("equal")
    axes.set_xlim(centre[0] - half, centre[0] + half)
    axes.set_ylim(centre[1] - half, centre[1] + half)


def _matplotlib_parts() -> SimpleNamespace:
    """The few matplotlib pieces used; never pyplot, so no global backend is set."""
    try:
        figure = importlib.import_module("matplotlib.figure")
        backend = importlib.import_module("matplotlib.backends.backend_agg")
        collections = importlib.import_module("matplotlib.collections")
    except ImportError:
        raise ImportError(MISSING_MATPLOTLIB) from None
    return SimpleNamespace(
        Figure=figure.Figure,
        FigureCanvasAgg=backend.FigureCanvasAgg,
        PolyCollection=collections.PolyCollection,
    )


def _camera(elev: float, azim: float) -> tuple[Array, Array, Array]:
    """Screen right, screen up and the unit vector toward the camera."""
    e, a = math.radians(elev), math.radians(azim)
    toward = np.array([math.cos(e) * math.cos(a), math.cos(e) * math.sin(a), math.sin(e)])
    # Horizontal, so that z points up on screen; defined even looking straight down.
    right = np.array([-math.sin(a), math.cos(a), 0.0])
    return right, np.cross(right, -toward), toward


def _projected(mesh: Mesh, right: Array, up: Array, toward: Array) -> tuple[Array, Array, Array]:
    """Triangles in screen units (M, 3, 2), their depth (M,), unit normals (M, 3)."""
    box = mesh.bounds
    extent = max(float(np.linalg.norm(box.size)), 1e-300)
    points = (mesh.vertices - np.asarray(box.center)) / extent
    corners = points[mesh.triangles]
    screen = np.stack([corners @ right, corners @ up], axis=-1)
    depth = (corners @ toward).mean(axis=1)
    normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    lengths = np.linalg.norm(normals, axis=1, keepdims=True)
    return screen, depth, normals / np.where(lengths > 0.0, lengths, 1.0)


def _front_faces(mesh: Mesh, normals: Array, toward: Array) -> NDArray[np.bool_]:
    """Faces to draw: on a closed mesh the back faces are hidden anyway."""
    if not mesh.is_watertight:
        return np.ones(len(normals), dtype=bool)
    facing = normals @ toward
    return facing > 0.0 if mesh.volume >= 0.0 else facing < 0.0


def _shade(normals: Array, toward: Array, up: Array) -> Array:
    """RGB per face: ambient, a key light from above, a headlight, a highlight."""
    key = toward + up
    key /= np.linalg.norm(key)
    halfway = key + toward
    halfway /= np.linalg.norm(halfway)
    # Absolute values light both sides alike, for meshes that are not closed.
    diffuse = 0.4 * np.abs(normals @ key) + 0.4 * np.abs(normals @ toward)
    specular = np.abs(normals @ halfway) ** 40
    rgb = BASE_COLOR * (0.35 + diffuse)[:, None] + 0.25 * specular[:, None]
    return np.clip(rgb, 0.0, 1.0)


# ---------------------------------------------------------------- notebooks and windows

# Pictures in a notebook stay cheap: a mesh with more triangles is drawn from
# a copy with its vertices merged on a grid of this many cells a side.
THUMBNAIL_SIZE = 256
THUMBNAIL_TRIANGLES = 50_000
THUMBNAIL_CELLS = 96


def thumbnail(mesh: Mesh) -> bytes | None:
    """A small PNG of the mesh, or None when it has no triangles or matplotlib is missing."""
    if not len(mesh.triangles):
        return None
    try:
        require_matplotlib()
    except ImportError:
        return None
    drawn = mesh if len(mesh.triangles) <= THUMBNAIL_TRIANGLES else _clustered(mesh, THUMBNAIL_CELLS)
    return picture(drawn, "png", THUMBNAIL_SIZE)


def _clustered(mesh: Mesh, cells: int) -> Mesh:
    """A coarser copy: the vertices in each grid cell merged into their mean
    (vertex clustering), and the triangles that collapse dropped."""
    box = mesh.bounds
    step = max(float(np.max(box.size)), 1e-300) / cells
    keys = np.floor((mesh.vertices - np.asarray(box.lo)) / step).astype(np.int64)
    _, merged = np.unique(keys, axis=0, return_inverse=True)
    merged = merged.reshape(-1)
    counts = np.bincount(merged)
    centres = np.zeros((len(counts), 3))
    np.add.at(centres, merged, mesh.vertices)
    t = merged[mesh.triangles]
    kept = (t[:, 0] != t[:, 1]) & (t[:, 1] != t[:, 2]) & (t[:, 2] != t[:, 0])
    coarser: Mesh = cast(Any, type(mesh))(centres / counts[:, None], t[kept])
    return coarser


# Backends that draw into files or notebooks, not windows.
_NO_WINDOW = ("agg", "cairo", "pdf", "pgf", "ps", "svg", "template", "module://matplotlib_inline.backend_inline")


def show(mesh: Mesh) -> Any:
    """Open the mesh in an interactive viewer; see Mesh.show."""
    if not len(mesh.triangles):
        raise ValueError("nothing to show: the mesh has no triangles")
    trimesh = _optional("trimesh")
    if "ipykernel" in sys.modules and trimesh is not None:
        return mesh.to_trimesh().show(viewer="notebook")
    if not _has_display():
        raise RuntimeError(
            "Mesh.show needs a display, and none was found (DISPLAY and WAYLAND_DISPLAY are not set); "
            "write a picture with Mesh.preview('mesh.png') instead (in a notebook, pip install trimesh "
            "for a viewer there)"
        )
    if trimesh is not None and _optional("pyglet") is not None:
        return mesh.to_trimesh().show()
    pyplot = _optional("matplotlib.pyplot")
    if pyplot is None or pyplot.get_backend().lower() in _NO_WINDOW:
        raise ImportError(
            "Mesh.show needs a viewer: pip install matplotlib with a GUI toolkit such as tkinter "
            "(for example apt install python3-tk), or pip install trimesh 'pyglet<2'"
        )
    _matplotlib_window(pyplot, mesh)
    return None


def _matplotlib_window(pyplot: Any, mesh: Mesh) -> None:
    """A rotatable 3-D view in a matplotlib window; returns when it is closed."""
    art3d = importlib.import_module("mpl_toolkits.mplot3d.art3d")
    figure = pyplot.figure(figsize=(7.0, 7.0))
    axes = figure.add_subplot(projection="3d")
    polygons = art3d.Poly3DCollection(mesh.vertices[mesh.triangles], facecolors=BASE_COLOR, shade=True)
    axes.add_collection3d(polygons)
    box = mesh.bounds
    half = max(float(np.max(box.size)), 1e-12) / 2.0
    for axis, centre in zip("xyz", box.center, strict=True):
        getattr(axes, f"set_{axis}lim")(centre - half, centre + half)
    axes.set_box_aspect((1.0, 1.0, 1.0))
    pyplot.show()


def _has_display() -> bool:
    if sys.platform in ("win32", "darwin"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def _optional(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        return None
