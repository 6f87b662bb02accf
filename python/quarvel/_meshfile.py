"""What the mesh file readers and writers share: array types, the error, polygon fans."""

from __future__ import annotations

from collections.abc import Callable, Sequence

import numpy as np
from numpy.typing import NDArray

Vertices = NDArray[np.float64]
Triangles = NDArray[np.int64]
Normals = NDArray[np.float64]  # (N, 3) unit vectors, one per vertex
MeshArrays = tuple[Vertices, Triangles]


class MeshFileError(ValueError):
    """A mesh file that cannot be read: says what is wrong and where."""


def fan_triangles(
    faces: NDArray[np.integer] | Sequence[Sequence[int]],
    vertex_count: int,
    where: Callable[[int], str],
    base: int = 0,
) -> Triangles:
    """Triangles of polygons given as 0-based vertex indices, each a fan around its first corner.

    ``faces`` is an (M, K) array (every polygon with K corners) or M lists;
    ``where(i)`` names polygon i in messages, which number vertices from ``base``.
    """
    if not isinstance(faces, np.ndarray):
        return _fans_of_lists(faces, vertex_count, where, base)
    faces = faces.astype(np.int64).reshape(len(faces), -1)
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


def _fans_of_lists(
    faces: Sequence[Sequence[int]], vertex_count: int, where: Callable[[int], str], base: int
) -> Triangles:
    triangles: list[list[int]] = []
    for i, face in enumerate(faces):
        if len(face) < 3:
            raise MeshFileError(f"{where(i)} has {len(face)} corners; a face needs at least 3")
        for index in face:
            if not 0 <= index < vertex_count:
                raise MeshFileError(_outside(where(i), index, vertex_count, base))
        triangles.extend([face[0], face[k], face[k + 1]] for k in range(1, len(face) - 1))
    return np.asarray(triangles, dtype=np.int64).reshape(-1, 3)


def _outside(where: str, index: int, vertex_count: int, base: int) -> str:
    return f"{where} refers to vertex {index + base}, but there are {vertex_count} vertices"
