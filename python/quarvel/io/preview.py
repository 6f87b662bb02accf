"""Shaded previews of meshes, drawn with matplotlib's Agg renderer, and the viewer.

The mesh is projected orthographically, lit by one light beside the camera
and rasterised with a depth buffer as flat-shaded triangles, in NumPy, at
three times the size and averaged down; the picture is written in any format
matplotlib writes.  matplotlib is an optional dependency of the preview only.
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
    if len(mesh.triangles) > DETAIL * size * size:
        # Far more triangles than pixels: merged on a grid of about a pixel a
        # cell, the picture looks the same and costs a fraction.
        mesh = _clustered(mesh, size)
    right, up, toward = _camera(elev, azim)
    corners, normals = _projected(mesh, right, up, toward)
    pixels = size * SUPERSAMPLE
    screen = _framed(corners[..., :2].reshape(-1, 2), pixels)(corners[..., :2])
    visible = _front_faces(mesh, normals, toward)
    colors = _shade(normals[visible], toward, up)
    image = _paint(screen[visible], corners[visible, :, 2], colors, pixels)
    return _encode(parts, _downsample(image, SUPERSAMPLE), fmt)


def _encode(parts: Any, pixels: NDArray[np.uint8], fmt: str) -> bytes:
    """The pixels, one to one, as a file of format ``fmt``."""
    height, width = pixels.shape[:2]
    figure = parts.Figure(figsize=(width / 100.0, height / 100.0), dpi=100)
    parts.FigureCanvasAgg(figure)
    figure.figimage(pixels, resize=False)
    out = io.BytesIO()
    figure.savefig(out, format=fmt, dpi=100, metadata={"Software": "quarvel"} if fmt == "png" else None)
    return out.getvalue()


# Triangles per pixel of the picture beyond which the mesh is drawn coarser.
DETAIL = 2

# Triangles rasterised at once: bounds the rasteriser's memory.
RASTER_CHUNK = 1 << 18


def _paint(screen: Array, depth: Array, colors: Array, pixels: int) -> NDArray[np.uint8]:
    """An RGB image, ``pixels`` squared, of the triangles (K, 3, 2) in pixel units,
    the nearest (largest ``depth``, per corner) covering each pixel centre."""
    planes = _planes(screen, depth)
    seen = np.flatnonzero(planes[:, 3, 2] > -np.inf)  # edge-on triangles cover nothing
    found = [
        _cover(screen, planes, seen[start : start + RASTER_CHUNK], pixels)
        for start in range(0, len(seen), RASTER_CHUNK)
    ]
    image = np.full((pixels * pixels, 3), 255, dtype=np.uint8)
    if found:
        where = np.concatenate([f[0] for f in found])
        z = np.concatenate([f[1] for f in found])
        face = np.concatenate([f[2] for f in found])
        nearest = np.full(pixels * pixels, -np.inf)
        np.maximum.at(nearest, where, z)
        # Of equally near fragments the later face wins, as one assignment.
        won = z >= nearest[where]
        image[where[won]] = np.round(colors[face[won]] * 255.0).astype(np.uint8)
    return image.reshape(pixels, pixels, 3)


def _planes(screen: Array, depth: Array) -> Array:
    """Per triangle, four planes over the screen (K, 4, 3), each ``(a, b, c)``
    giving ``a x + b y + c`` at a point: the three edge functions, positive
    inside whatever the winding, and the depth."""
    p = screen
    q = np.roll(screen, -1, axis=1)  # edge k runs from corner k to corner k + 1
    a = p[..., 1] - q[..., 1]
    b = q[..., 0] - p[..., 0]
    c = p[..., 0] * q[..., 1] - q[..., 0] * p[..., 1]
    edges = np.stack([a, b, c], axis=-1)
    twice_area = c.sum(axis=1)
    edges *= np.sign(twice_area)[:, None, None]
    # Depth is linear over the triangle: solve the plane through its corners.
    system = np.concatenate([screen, np.ones(screen.shape[:2] + (1,))], axis=-1)
    flat = twice_area == 0.0
    system[flat] = np.eye(3)
    plane = np.linalg.solve(system, np.where(flat[:, None], 0.0, depth)[..., None])[..., 0]
    plane[flat, 2] = -np.inf  # edge-on: drawn as nothing
    return np.concatenate([edges, plane[:, None, :]], axis=1)


def _cover(
    screen: Array, planes: Array, faces: NDArray[np.int64], pixels: int
) -> tuple[NDArray[np.int64], Array, NDArray[np.int64]]:
    """The pixels (flat indices) whose centres ``faces`` cover, with the depth
    there and the face: row by row, each row's run of pixels solved from the
    edge functions, so no pixel is tested that is not drawn."""
    ys = screen[faces, :, 1]
    top = np.clip(np.ceil(ys.min(axis=1) - 0.5), 0, pixels).astype(np.int64)
    bottom = np.clip(np.floor(ys.max(axis=1) - 0.5), -1, pixels - 1).astype(np.int64)
    rows = np.maximum(bottom - top + 1, 0)
    row_face = np.repeat(faces, rows)
    first_row = np.cumsum(rows) - rows
    y = np.repeat(top, rows) + (np.arange(len(row_face)) - np.repeat(first_row, rows))
    centre_y = y + 0.5
    left = np.zeros(len(row_face))
    right = np.full(len(row_face), pixels - 1.0)
    for k in range(3):
        a, b, c = (planes[row_face, k, j] for j in range(3))
        rest = b * centre_y + c
        with np.errstate(divide="ignore", invalid="ignore"):
            # a x + rest >= 0 at the centre x + 0.5: a bound on x from one side.
            bound = -rest / a - 0.5
        # Centres on a shared edge belong to both triangles: no pixel falls between.
        np.maximum(left, np.where(a > 0.0, np.ceil(bound), 0.0), out=left)
        np.minimum(right, np.where(a < 0.0, np.floor(bound), pixels - 1.0), out=right)
        right[(a == 0.0) & (rest < 0.0)] = -1.0
    runs = np.maximum(right - left + 1.0, 0.0).astype(np.int64)
    run_start = np.cumsum(runs) - runs
    x = np.repeat(left.astype(np.int64), runs) + (np.arange(int(runs.sum())) - np.repeat(run_start, runs))
    y = np.repeat(y, runs)
    face = np.repeat(row_face, runs)
    z = planes[face, 3, 0] * (x + 0.5) + planes[face, 3, 1] * (y + 0.5) + planes[face, 3, 2]
    return y * pixels + x, z, face


def _downsample(pixels: NDArray[np.uint8], factor: int) -> NDArray[np.uint8]:
    """Average ``factor`` x ``factor`` blocks: antialiasing by supersampling."""
    n = pixels.shape[0] // factor
    total = np.zeros((n, n, 3), dtype=np.uint16)
    for i in range(factor):
        for j in range(factor):
            total += pixels[i : n * factor : factor, j : n * factor : factor]
    count = factor * factor
    averaged: NDArray[np.uint8] = ((total + count // 2) // count).astype(np.uint8)
    return averaged


def _framed(points: Array, pixels: int) -> Any:
    """A map from screen units to pixels (y down) that centres ``points`` in a
    square image with a small margin: the whole mesh, hidden parts included."""
    lo, hi = (points.min(axis=0), points.max(axis=0)) if len(points) else (np.zeros(2), np.ones(2))
    centre = (lo + hi) / 2.0
    scale = pixels / (2.0 * max(float((hi - lo).max()), 1e-12) * 0.54)

    def to_pixels(p: Array) -> Array:
        q = (p - centre) * scale
        return np.stack([q[..., 0] + pixels / 2.0, pixels / 2.0 - q[..., 1]], axis=-1)

    return to_pixels


def _matplotlib_parts() -> SimpleNamespace:
    """The few matplotlib pieces used; never pyplot, so no global backend is set."""
    try:
        figure = importlib.import_module("matplotlib.figure")
        backend = importlib.import_module("matplotlib.backends.backend_agg")
    except ImportError:
        raise ImportError(MISSING_MATPLOTLIB) from None
    return SimpleNamespace(
        Figure=figure.Figure,
        FigureCanvasAgg=backend.FigureCanvasAgg,
    )


def _camera(elev: float, azim: float) -> tuple[Array, Array, Array]:
    """Screen right, screen up and the unit vector toward the camera."""
    e, a = math.radians(elev), math.radians(azim)
    toward = np.array([math.cos(e) * math.cos(a), math.cos(e) * math.sin(a), math.sin(e)])
    # Horizontal, so that z points up on screen; defined even looking straight down.
    right = np.array([-math.sin(a), math.cos(a), 0.0])
    return right, np.cross(right, -toward), toward


def _projected(mesh: Mesh, right: Array, up: Array, toward: Array) -> tuple[Array, Array]:
    """Triangle corners in camera units (M, 3, 3: right, up, toward the camera)
    and the triangles' unit normals (M, 3)."""
    box = mesh.bounds
    extent = max(float(np.linalg.norm(box.size)), 1e-300)
    points = (mesh.vertices - np.asarray(box.center)) / extent
    corners = points[mesh.triangles]
    camera = np.stack([corners @ right, corners @ up, corners @ toward], axis=-1)
    normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    lengths = np.linalg.norm(normals, axis=1, keepdims=True)
    return camera, normals / np.where(lengths > 0.0, lengths, 1.0)


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
    cell = np.clip(np.floor((mesh.vertices - np.asarray(box.lo)) / step), 0, cells).astype(np.int64)
    keys = (cell[:, 0] * (cells + 1) + cell[:, 1]) * (cells + 1) + cell[:, 2]
    _, merged = np.unique(keys, return_inverse=True)
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
