"""What the mesh file readers and writers share: array types, the error, polygon fans."""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

Vertices = NDArray[np.float64]
Triangles = NDArray[np.int64]
Normals = NDArray[np.float64]  # (N, 3) unit vectors, one per vertex
MeshArrays = tuple[Vertices, Triangles]

# Python's int() and float() also take "1_0"; a file's numbers never hold underscores.
WHOLE_NUMBER = re.compile(rb"[+-]?[0-9]+")


class MeshFileError(ValueError):
    """A mesh file that cannot be read: says what is wrong and where."""


def quoted(word: bytes | str) -> str:
    """A word of a file for a message, in quotes; a long one shortened, with its length."""
    text = word.decode("latin-1") if isinstance(word, bytes) else word
    return repr(text) if len(text) <= 40 else f"{text[:20]!r}... ({len(text)} characters)"


@dataclass(frozen=True)
class Lists:
    """One list per row, of any lengths, stored flat: ``sizes`` (M,) the lengths and
    ``values`` (sum of sizes,) the lists one after the other."""

    sizes: NDArray[np.int64]
    values: NDArray[np.generic]

    @staticmethod
    def concatenate(parts: list[Lists]) -> Lists:
        if not parts:
            return Lists(np.zeros(0, dtype=np.int64), np.zeros(0))
        return Lists(np.concatenate([p.sizes for p in parts]), np.concatenate([p.values for p in parts]))


def fan_triangles(
    faces: NDArray[np.integer] | Lists, vertex_count: int, where: Callable[[int], str], base: int = 0
) -> Triangles:
    """Triangles of polygons given as 0-based vertex indices, each a fan around its first corner.

    ``faces`` is an (M, K) array (every polygon with K corners) or M ``Lists``;
    ``where(i)`` names polygon i in messages, which number vertices from ``base``.
    """
    if isinstance(faces, Lists):
        if not (len(faces.sizes) and np.all(faces.sizes == faces.sizes[0])):
            return _fans_of_lists(faces, vertex_count, where, base)
        table = faces.values.reshape(len(faces.sizes), -1)  # all triangles, or all quads
    else:
        table = faces
    faces = table.astype(np.int64)
    if faces.ndim != 2:
        faces = faces.reshape(len(faces), -1)
    corners = faces.shape[1]
    if len(faces) and corners < 3:
        raise MeshFileError(f"{where(0)} has {corners} corners; a face needs at least 3")
    outside = (faces < 0) | (faces >= vertex_count)
    if np.any(outside):
        i, k = np.argwhere(outside)[0]
        raise MeshFileError(_outside(where(int(i)), int(faces[i, k]), vertex_count, base))
    fans = [faces[:, [0, k, k + 1]] for k in range(1, corners - 1)]
    # Keep each polygon's triangles together, in fan order.
    return np.stack(fans, axis=1).reshape(-1, 3) if fans else np.zeros((0, 3), dtype=np.int64)


def _fans_of_lists(faces: Lists, vertex_count: int, where: Callable[[int], str], base: int) -> Triangles:
    sizes, corners = faces.sizes, faces.values.astype(np.int64)
    ends = np.cumsum(sizes)
    short = np.flatnonzero(sizes < 3)
    outside = np.flatnonzero((corners < 0) | (corners >= vertex_count))
    # The first faulty polygon in file order is the one reported.
    first_short = int(short[0]) if len(short) else len(sizes)
    first_outside = int(np.searchsorted(ends, outside[0], side="right")) if len(outside) else len(sizes)
    if first_short < first_outside:
        raise MeshFileError(f"{where(first_short)} has {sizes[first_short]} corners; a face needs at least 3")
    if first_outside < len(sizes):
        raise MeshFileError(_outside(where(first_outside), int(corners[outside[0]]), vertex_count, base))
    fans = sizes - 2
    first = np.repeat(ends - sizes, fans)
    # Position of each triangle's second corner within its polygon: 1 .. size - 2.
    step = np.arange(len(first)) - np.repeat(np.cumsum(fans) - fans, fans) + 1
    return np.stack([corners[first], corners[first + step], corners[first + step + 1]], axis=1).reshape(-1, 3)


def _outside(where: str, index: int, vertex_count: int, base: int) -> str:
    return f"{where} refers to vertex {index + base}, but there are {vertex_count} vertices"
