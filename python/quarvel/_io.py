"""Reading and writing triangle meshes: binary PLY, OBJ and binary STL.

Writers and readers work on plain arrays: ``vertices`` (N, 3) float64 and
``triangles`` (M, 3) int64 of 0-based indices.  PLY and OBJ keep float64
vertices exactly; STL stores float32 corners per triangle, so reading an STL
back merges equal corners into shared vertices (first-use order).
"""

from __future__ import annotations

from pathlib import Path
from typing import BinaryIO

import numpy as np
from numpy.typing import NDArray

Vertices = NDArray[np.float64]
Triangles = NDArray[np.int64]
MeshArrays = tuple[Vertices, Triangles]

FORMATS = (".ply", ".obj", ".stl")

_PLY_TYPES = {
    "char": "i1",
    "int8": "i1",
    "uchar": "u1",
    "uint8": "u1",
    "short": "i2",
    "int16": "i2",
    "ushort": "u2",
    "uint16": "u2",
    "int": "i4",
    "int32": "i4",
    "uint": "u4",
    "uint32": "u4",
    "float": "f4",
    "float32": "f4",
    "double": "f8",
    "float64": "f8",
}


def mesh_format(path: str | Path) -> str:
    """The format suffix of ``path`` (".ply", ".obj" or ".stl"); ValueError otherwise."""
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(f"cannot tell the mesh format of {str(path)!r}: use a .ply, .obj or .stl file name")
    return suffix


def write_mesh(path: str | Path, vertices: Vertices, triangles: Triangles) -> None:
    """Write the mesh to ``path`` in the format named by its suffix."""
    writer = {".ply": _write_ply, ".obj": _write_obj, ".stl": _write_stl}[mesh_format(path)]
    with open(path, "wb") as out:
        writer(out, vertices, triangles)


def read_mesh(path: str | Path) -> MeshArrays:
    """Read a mesh file written in one of the three formats."""
    reader = {".ply": _read_ply, ".obj": _read_obj, ".stl": _read_stl}[mesh_format(path)]
    data = Path(path).read_bytes()
    return reader(data)


# ---------------------------------------------------------------- PLY


def _write_ply(out: BinaryIO, vertices: Vertices, triangles: Triangles) -> None:
    if len(vertices) >= 2**31:
        raise ValueError("PLY faces hold 32-bit indices: too many vertices")
    header = (
        "ply\nformat binary_little_endian 1.0\ncomment written by quarvel\n"
        f"element vertex {len(vertices)}\n"
        "property double x\nproperty double y\nproperty double z\n"
        f"element face {len(triangles)}\n"
        "property list uchar int vertex_indices\nend_header\n"
    )
    out.write(header.encode("ascii"))
    out.write(np.ascontiguousarray(vertices, dtype="<f8").tobytes())
    faces = np.empty(len(triangles), dtype=[("n", "u1"), ("v", "<i4", (3,))])
    faces["n"] = 3
    faces["v"] = triangles
    out.write(faces.tobytes())


def _read_ply(data: bytes) -> MeshArrays:
    end = data.find(b"end_header")
    if not data.startswith(b"ply") or end < 0:
        raise ValueError("not a PLY file")
    body_start = data.index(b"\n", end) + 1
    lines = data[:end].decode("ascii").splitlines()
    order = _ply_byte_order(lines)
    elements = _ply_elements(lines)
    offset = body_start
    vertices: Vertices = np.zeros((0, 3))
    triangles: Triangles = np.zeros((0, 3), dtype=np.int64)
    for name, count, props in elements:
        if name == "face":
            triangles, offset = _ply_faces(data, offset, count, props, order)
            continue
        dtype = np.dtype([(p[1], order + _PLY_TYPES[p[0]]) for p in props])
        table = np.frombuffer(data, dtype=dtype, count=count, offset=offset)
        offset += count * dtype.itemsize
        if name == "vertex":
            vertices = np.column_stack([table[a].astype(np.float64) for a in "xyz"])
    return vertices.reshape(-1, 3), triangles


def _ply_byte_order(lines: list[str]) -> str:
    for line in lines:
        if line.startswith("format "):
            kind = line.split()[1]
            if kind == "binary_little_endian":
                return "<"
            if kind == "binary_big_endian":
                return ">"
            raise ValueError(f"only binary PLY files are read (this one is {kind})")
    raise ValueError("PLY header has no format line")


def _ply_elements(lines: list[str]) -> list[tuple[str, int, list[list[str]]]]:
    """(name, count, properties) per element; a property is its type words and name."""
    elements: list[tuple[str, int, list[list[str]]]] = []
    for line in lines:
        words = line.split()
        if words[:1] == ["element"]:
            elements.append((words[1], int(words[2]), []))
        elif words[:1] == ["property"]:
            elements[-1][2].append(words[1:])
    return elements


def _ply_faces(
    data: bytes, offset: int, count: int, props: list[list[str]], order: str
) -> tuple[Triangles, int]:
    if len(props) != 1 or props[0][0] != "list":
        raise ValueError("PLY faces must have exactly one list property")
    _, count_type, index_type, _ = props[0]
    dtype = np.dtype([("n", order + _PLY_TYPES[count_type]), ("v", order + _PLY_TYPES[index_type], (3,))])
    table = np.frombuffer(data, dtype=dtype, count=count, offset=offset)
    if np.any(table["n"] != 3):
        raise ValueError("only triangle faces are read from PLY files")
    return table["v"].astype(np.int64), offset + count * dtype.itemsize


# ---------------------------------------------------------------- OBJ


def _write_obj(out: BinaryIO, vertices: Vertices, triangles: Triangles) -> None:
    out.write(b"# written by quarvel\n")
    # 17 significant digits read back to the same float64.
    np.savetxt(out, np.asarray(vertices, dtype=np.float64), fmt="v %.17g %.17g %.17g")
    np.savetxt(out, np.asarray(triangles, dtype=np.int64) + 1, fmt="f %d %d %d")


def _read_obj(data: bytes) -> MeshArrays:
    vertices: list[list[float]] = []
    triangles: list[list[int]] = []
    for raw in data.decode("utf-8").splitlines():
        words = raw.split()
        if words[:1] == ["v"]:
            vertices.append([float(w) for w in words[1:4]])
        elif words[:1] == ["f"]:
            corners = [_obj_index(w, len(vertices)) for w in words[1:]]
            # Polygons become fans around their first corner.
            triangles.extend([corners[0], corners[i], corners[i + 1]] for i in range(1, len(corners) - 1))
    return (
        np.asarray(vertices, dtype=np.float64).reshape(-1, 3),
        np.asarray(triangles, dtype=np.int64).reshape(-1, 3),
    )


def _obj_index(word: str, seen: int) -> int:
    """0-based index of an OBJ face corner such as "7", "7/2/5" or "-1"."""
    index = int(word.split("/")[0])
    return index - 1 if index > 0 else seen + index


# ---------------------------------------------------------------- STL


_STL_RECORD = np.dtype([("normal", "<f4", (3,)), ("corners", "<f4", (3, 3)), ("attr", "<u2")])


def _write_stl(out: BinaryIO, vertices: Vertices, triangles: Triangles) -> None:
    corners = np.asarray(vertices, dtype=np.float64)[triangles]
    normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    lengths = np.linalg.norm(normals, axis=1, keepdims=True)
    records = np.zeros(len(triangles), dtype=_STL_RECORD)
    records["normal"] = normals / np.where(lengths > 0.0, lengths, 1.0)
    records["corners"] = corners
    out.write(b"binary STL written by quarvel".ljust(80, b" "))
    out.write(np.uint32(len(triangles)).tobytes())
    out.write(records.tobytes())


def _read_stl(data: bytes) -> MeshArrays:
    if len(data) < 84:
        raise ValueError("not a binary STL file (too short)")
    count = int(np.frombuffer(data, dtype="<u4", count=1, offset=80)[0])
    if len(data) != 84 + count * _STL_RECORD.itemsize:
        raise ValueError("not a binary STL file (size does not match its triangle count)")
    records = np.frombuffer(data, dtype=_STL_RECORD, count=count, offset=84)
    corners = records["corners"].reshape(-1, 3)
    unique, first, inverse = np.unique(corners, axis=0, return_index=True, return_inverse=True)
    # Renumber the merged vertices in order of first use.
    order = np.argsort(first)
    rank = np.empty(len(order), dtype=np.int64)
    rank[order] = np.arange(len(order))
    return unique[order].astype(np.float64), rank[inverse.reshape(-1)].reshape(-1, 3)
