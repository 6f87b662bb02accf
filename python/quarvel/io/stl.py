"""STL files: written binary; read binary or ASCII.

STL stores every triangle's corners, not shared vertices, so reading merges
equal corners into shared vertices, numbered in order of first use.
"""

from __future__ import annotations

from typing import BinaryIO

import numpy as np
from numpy.typing import NDArray

from ..io.errors import MeshArrays, MeshFileError, Normals, Triangles, Vertices

_RECORD = np.dtype([("normal", "<f4", (3,)), ("corners", "<f4", (3, 3)), ("attr", "<u2")])
_HEADER = 84  # an 80-byte comment and the triangle count


def write_stl(out: BinaryIO, vertices: Vertices, triangles: Triangles, normals: Normals | None = None) -> None:
    """Binary STL. It stores one normal per triangle, computed from its corners:
    vertex ``normals`` have no place in it."""
    out.write(b"binary STL written by quarvel".ljust(80, b" "))
    out.write(np.uint32(len(triangles)).tobytes())
    out.write(records(np.asarray(vertices, dtype=np.float64)[triangles]).tobytes())


def records(corners: NDArray[np.float64]) -> NDArray[np.void]:
    """The binary records of triangles given by their (M, 3, 3) corners."""
    normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    lengths = np.linalg.norm(normals, axis=1, keepdims=True)
    out = np.zeros(len(corners), dtype=_RECORD)
    out["normal"] = normals / np.where(lengths > 0.0, lengths, 1.0)
    out["corners"] = corners
    return out


def read_stl(data: bytes) -> MeshArrays:
    """The mesh in an STL file's bytes, binary or ASCII."""
    count = int(np.frombuffer(data, dtype="<u4", count=1, offset=80)[0]) if len(data) >= _HEADER else None
    if count is not None and len(data) == _HEADER + count * _RECORD.itemsize:
        # A binary file may start with "solid" too: its size is the better sign.
        records = np.frombuffer(data, dtype=_RECORD, count=count, offset=_HEADER)
        return _shared_vertices(records["corners"].reshape(-1, 3))
    if data.lstrip()[:5].lower() == b"solid" and b"\0" not in data:
        return _shared_vertices(_ascii_corners(data))
    if count is None:
        raise MeshFileError(f"not an STL file: {len(data)} bytes is too short for binary STL")
    raise MeshFileError(
        f"not an STL file: binary STL with {count} triangles has {_HEADER + count * _RECORD.itemsize} bytes, "
        f"this file {len(data)} (and it is not ASCII STL, which starts with 'solid')"
    )


def _ascii_corners(data: bytes) -> NDArray[np.float64]:
    """The corners of every facet, three rows per triangle, checking the nesting
    solid > facet > outer loop > three vertices."""
    corners: list[list[float]] = []
    open_at = {"solid": 0, "facet": 0, "loop": 0}  # line where each open block began
    loop_size = 0
    # Numbers and keywords are ASCII; a solid's name may be in any encoding.
    for number, line in enumerate(data.decode("latin-1").split("\n"), start=1):
        words = line.split()
        if not words:
            continue
        key = words[0].lower()
        where = f"line {number}"
        if key == "solid":
            _open(open_at, "solid", number, where, inside=None)
        elif key == "facet":
            _open(open_at, "facet", number, where, inside="solid")
        elif key == "outer":
            _open(open_at, "loop", number, where, inside="facet")
            loop_size = 0
        elif key == "vertex":
            if not open_at["loop"]:
                raise MeshFileError(f"{where}: a vertex outside an 'outer loop'")
            if len(words) != 4:
                raise MeshFileError(f"{where}: expected 'vertex X Y Z'")
            corners.append([_coordinate(w, where) for w in words[1:]])
            loop_size += 1
        elif key == "endloop":
            _close(open_at, "loop", where)
            if loop_size != 3:
                raise MeshFileError(f"{where}: the loop has {loop_size} vertices, not 3")
        elif key == "endfacet":
            if open_at["loop"]:
                raise MeshFileError(f"{where}: 'endfacet' inside the loop begun on line {open_at['loop']}")
            _close(open_at, "facet", where)
        elif key == "endsolid":
            if open_at["facet"]:
                raise MeshFileError(f"{where}: 'endsolid' inside the facet begun on line {open_at['facet']}")
            _close(open_at, "solid", where)
        else:
            raise MeshFileError(f"{where}: unknown keyword {words[0]!r}")
    if open_at["facet"]:
        raise MeshFileError(f"the file ends inside the facet begun on line {open_at['facet']}")
    return np.asarray(corners, dtype=np.float64).reshape(-1, 3)


def _open(open_at: dict[str, int], block: str, number: int, where: str, inside: str | None) -> None:
    if open_at[block]:
        raise MeshFileError(f"{where}: a new {block} inside the one begun on line {open_at[block]}")
    if inside and not open_at[inside]:
        raise MeshFileError(f"{where}: a {block} outside any {inside}")
    open_at[block] = number


def _close(open_at: dict[str, int], block: str, where: str) -> None:
    if not open_at[block]:
        raise MeshFileError(f"{where}: the end of a {block} that was not begun")
    open_at[block] = 0


def _coordinate(word: str, where: str) -> float:
    try:
        return float(word)
    except ValueError:
        raise MeshFileError(f"{where}: {word!r} is not a number") from None


def _shared_vertices(corners: NDArray[np.floating]) -> MeshArrays:
    """Merges equal corners; vertices are numbered in order of first use."""
    unique, first, inverse = np.unique(corners, axis=0, return_index=True, return_inverse=True)
    order = np.argsort(first)
    rank = np.empty(len(order), dtype=np.int64)
    rank[order] = np.arange(len(order))
    return unique[order].astype(np.float64), rank[inverse.reshape(-1)].reshape(-1, 3)
