"""Wavefront OBJ files: vertices ("v") and faces ("f"); other statements are skipped."""

from __future__ import annotations

import contextlib
from array import array
from typing import BinaryIO

import numpy as np

from ..io.errors import (
    WHOLE_NUMBER,
    Lists,
    MeshArrays,
    MeshFileError,
    Normals,
    Triangles,
    Vertices,
    fan_triangles,
    quoted,
)


def write_obj(out: BinaryIO, vertices: Vertices, triangles: Triangles, normals: Normals | None = None) -> None:
    """Vertices, then vertex normals ("vn", one per vertex and numbered alike)
    when given, then faces."""
    out.write(b"# written by quarvel\n")
    # 17 significant digits read back to the same float64.
    np.savetxt(out, np.asarray(vertices, dtype=np.float64), fmt="v %.17g %.17g %.17g")
    corners = np.asarray(triangles, dtype=np.int64) + 1
    if normals is None:
        np.savetxt(out, corners, fmt="f %d %d %d")
        return
    np.savetxt(out, np.asarray(normals, dtype=np.float64), fmt="vn %.9g %.9g %.9g")
    np.savetxt(out, np.repeat(corners, 2, axis=1), fmt="f %d//%d %d//%d %d//%d")


def read_obj(stream: BinaryIO) -> MeshArrays:
    """The mesh in an OBJ file; polygons become fans around their first corner.

    Face corners such as "7", "7/2", "7//5" or "-1" (relative to the vertices
    read so far) name 1-based vertices.  The file is read line by line into
    flat arrays, so memory follows the mesh, not the file's text (comments,
    texture coordinates and normals are skipped as they come).
    """
    coordinates = array("d")
    sizes = array("q")
    corners = array("q")
    face_lines = array("q")
    # Numbers and keywords are ASCII; names and comments may be in any encoding.
    for number, line in enumerate(stream, start=1):
        words = line.split()
        if not words:
            continue
        if words[0] == b"v":
            coordinates.extend(_coordinates(words, number))
        elif words[0] == b"f":
            seen = len(coordinates) // 3
            corners.extend([_corner(w, seen, number) for w in words[1:]])
            sizes.append(len(words) - 1)
            face_lines.append(number)
    vertices = np.frombuffer(coordinates, dtype=np.float64).reshape(-1, 3)
    faces = Lists(np.frombuffer(sizes, dtype=np.int64), np.frombuffer(corners, dtype=np.int64))
    triangles = fan_triangles(faces, len(vertices), lambda i: f"line {face_lines[i]}: the face", base=1)
    return vertices, triangles


def _coordinates(words: list[bytes], line: int) -> tuple[float, float, float]:
    if len(words) < 4:
        raise MeshFileError(f"line {line}: a vertex needs three coordinates")
    x, y, z = words[1:4]
    # float() takes "1_0" for ten; the file's numbers never hold underscores.
    if b"_" not in x + y + z:
        with contextlib.suppress(ValueError):
            return float(x), float(y), float(z)
    for word in (x, y, z):
        try:
            float(word)
        except ValueError:
            break
        if b"_" in word:
            break
    raise MeshFileError(f"line {line}: {quoted(word)} is not a number")


def _corner(word: bytes, seen: int, line: int) -> int:
    """0-based vertex index of a face corner; relative indices count back from ``seen``."""
    vertex = word.split(b"/", 1)[0]
    # bytes.isdigit() takes ASCII digits only: no sign, no underscore, no space.
    if vertex.isdigit() and len(vertex) <= 18 and (index := int(vertex)):
        return index - 1
    return _relative_corner(vertex, word, seen, line)


def _relative_corner(vertex: bytes, word: bytes, seen: int, line: int) -> int:
    if not WHOLE_NUMBER.fullmatch(vertex):
        raise MeshFileError(f"line {line}: {quoted(word)} is not a face corner (a vertex number)")
    if len(vertex.lstrip(b"+-").lstrip(b"0")) > 18:  # beyond any file, and beyond the index array
        raise MeshFileError(f"line {line}: the face refers to vertex {quoted(vertex)}, more than any file holds")
    index = int(vertex)
    if index == 0 or -index > seen:
        raise MeshFileError(f"line {line}: the face refers to vertex {index}, but {seen} are defined before it")
    return index - 1 if index > 0 else seen + index
