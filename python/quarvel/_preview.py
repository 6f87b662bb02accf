"""Shaded PNG previews of meshes, drawn with matplotlib's Agg renderer.

The mesh is projected orthographically, lit by one light beside the camera
and painted back to front as flat-shaded polygons.  matplotlib is an optional
dependency of the preview only.
"""

from __future__ import annotations

import importlib
import math
from pathlib import Path
from types import SimpleNamespace
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from ._mesh import Mesh

Array = NDArray[np.float64]

MISSING_MATPLOTLIB = (
    "the preview needs matplotlib: pip install 'quarvel[preview]' (or pip install matplotlib)"
)
BASE_COLOR = np.array([0.36, 0.58, 0.82])
BACKGROUND = "white"
SUPERSAMPLE = 3


def require_matplotlib() -> None:
    """Raise ImportError with an install hint when matplotlib is missing."""
    _matplotlib_parts()


def render_preview(
    mesh: Mesh, path: str | Path, size: int = 640, elev: float = 25.0, azim: float = -60.0
) -> Path:
    """Write a ``size`` x ``size`` pixel PNG of ``mesh`` seen from ``elev``/``azim`` degrees."""
    parts = _matplotlib_parts()
    right, up, toward = _camera(elev, azim)
    polygons, depth, normals = _projected(mesh, right, up, toward)
    visible = _front_faces(mesh, normals, toward)
    order = np.argsort(depth[visible])
    colors = _shade(normals[visible][order], toward, up)
    pixels = _paint(parts, polygons[visible][order], colors, size * SUPERSAMPLE)
    parts.imsave(path, _downsample(pixels, SUPERSAMPLE), format="png", metadata={"Software": "quarvel"})
    return Path(path)


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
        image = importlib.import_module("matplotlib.image")
    except ImportError:
        raise ImportError(MISSING_MATPLOTLIB) from None
    return SimpleNamespace(
        Figure=figure.Figure,
        FigureCanvasAgg=backend.FigureCanvasAgg,
        PolyCollection=collections.PolyCollection,
        imsave=image.imsave,
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
