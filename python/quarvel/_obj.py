"""Wavefront OBJ files: vertices ("v") and faces ("f"); other statements are skipped."""

from __future__ import annotations

from typing import BinaryIO

import numpy as np

from ._meshfile import MeshArrays, MeshFileError, Normals, Triangles, Vertices, fan_triangles


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


def read_obj(data: bytes) -> MeshArrays:
    """The mesh in an OBJ file's bytes; polygons become fans around their first corner.

    Face corners such as "7", "7/2", "7//5" or "-1" (relative to the vertices
    read so far) name 1-based vertices.
    """
    vertices: list[list[float]] = []
    faces: list[list[int]] = []
    face_lines: list[int] = []
    # Numbers are ASCII; names and comments may be in any encoding.
    for number, line in enumerate(data.decode("latin-1").split("\n"), start=1):
        words = line.split()
        if words[:1] == ["v"]:
            if len(words) < 4:
                raise MeshFileError(f"line {number}: a vertex needs three coordinates")
            vertices.append([_coordinate(w, number) for w in words[1:4]])
        elif words[:1] == ["f"]:
            faces.append([_corner(w, len(vertices), number) for w in words[1:]])
            face_lines.append(number)
    triangles = fan_triangles(faces, len(vertices), lambda i: f"line {face_lines[i]}: the face", base=1)
    return np.asarray(vertices, dtype=np.float64).reshape(-1, 3), triangles


def _coordinate(word: str, line: int) -> float:
    try:
        return float(word)
    except ValueError:
        raise MeshFileError(f"line {line}: {word!r} is not a number") from None


def _corner(word: str, seen: int, line: int) -> int:
    """0-based vertex index of a face corner; relative indices count back from ``seen``."""
    try:
        index = int(word.split("/")[0])
    except ValueError:
        raise MeshFileError(f"line {line}: {word!r} is not a face corner (a vertex number)") from None
    if index == 0 or -index > seen:
        raise MeshFileError(f"line {line}: the face refers to vertex {index}, but {seen} are defined before it")
    return index - 1 if index > 0 else seen + index
