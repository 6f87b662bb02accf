"""PLY files: written as binary little-endian; read as ASCII or binary of either byte order.

The reader takes the vertex element's ``x``, ``y`` and ``z`` and the face
element's index list (polygons become fans around their first corner), and
skips other elements and properties.  A defect raises MeshFileError naming the
header line, the body line (ASCII) or the byte offset (binary) where it is.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Any, BinaryIO

import numpy as np

from ._meshfile import MeshArrays, MeshFileError, Normals, Triangles, Vertices, fan_triangles

# PLY type names and their NumPy codes (without byte order).
_TYPES = {
    "char": "i1", "int8": "i1", "uchar": "u1", "uint8": "u1",
    "short": "i2", "int16": "i2", "ushort": "u2", "uint16": "u2",
    "int": "i4", "int32": "i4", "uint": "u4", "uint32": "u4",
    "float": "f4", "float32": "f4", "double": "f8", "float64": "f8",
}  # fmt: skip
_STRUCT = {"i1": "b", "u1": "B", "i2": "h", "u2": "H", "i4": "i", "u4": "I", "f4": "f", "f8": "d"}
_ENCODINGS = {"ascii": "", "binary_little_endian": "<", "binary_big_endian": ">"}
_FACE_LISTS = ("vertex_indices", "vertex_index")


@dataclass
class _Property:
    name: str
    code: str  # NumPy code of the values
    count_code: str | None = None  # NumPy code of a list's length; None for a scalar


@dataclass
class _Element:
    name: str
    count: int
    line: int  # header line, for messages
    properties: list[_Property] = field(default_factory=list)


# A read element, per property name: an array (scalars; or rows of lists that
# all have the same length) or a list of per-row lists.
_Table = dict[str, Any]


def write_ply(out: BinaryIO, vertices: Vertices, triangles: Triangles, normals: Normals | None = None) -> None:
    """Binary little-endian PLY: double coordinates, float normals (nx, ny, nz) when
    given, int indices behind a uchar count."""
    if len(vertices) >= 2**31:
        raise ValueError("PLY faces hold 32-bit indices: too many vertices")
    normal_properties = "property float nx\nproperty float ny\nproperty float nz\n" if normals is not None else ""
    header = (
        "ply\nformat binary_little_endian 1.0\ncomment written by quarvel\n"
        f"element vertex {len(vertices)}\n"
        f"property double x\nproperty double y\nproperty double z\n{normal_properties}"
        f"element face {len(triangles)}\n"
        "property list uchar int vertex_indices\nend_header\n"
    )
    out.write(header.encode("ascii"))
    if normals is None:
        out.write(np.ascontiguousarray(vertices, dtype="<f8").tobytes())
    else:
        rows = np.empty(len(vertices), dtype=[("p", "<f8", (3,)), ("n", "<f4", (3,))])
        rows["p"] = vertices
        rows["n"] = normals
        out.write(rows.tobytes())
    faces = np.empty(len(triangles), dtype=[("n", "u1"), ("v", "<i4", (3,))])
    faces["n"] = 3
    faces["v"] = triangles
    out.write(faces.tobytes())


def read_ply(data: bytes) -> MeshArrays:
    """The mesh in a PLY file's bytes."""
    lines, body = _header_lines(data)
    order, elements = _parse_header(lines)
    if order:
        tables = _BinaryBody(data, body, order).read(elements)
    else:
        tables = _AsciiBody(data[body:], first_line=len(lines) + 1).read(elements)
    return _mesh_from(elements, tables)


# ---------------------------------------------------------------- header


def _header_lines(data: bytes) -> tuple[list[str], int]:
    """The header's lines, "ply" to "end_header", and the offset where the body starts."""
    if not (data.startswith(b"ply\n") or data.startswith(b"ply\r\n")):
        raise MeshFileError("not a PLY file (it does not start with a 'ply' line)")
    lines: list[str] = []
    start = 0
    while (end := data.find(b"\n", start)) >= 0:
        try:
            lines.append(data[start:end].rstrip(b"\r").decode("ascii"))
        except UnicodeDecodeError:
            raise MeshFileError(f"header line {len(lines) + 1} is not ASCII text") from None
        start = end + 1
        if lines[-1].strip() == "end_header":
            return lines, start
    raise MeshFileError("the header has no 'end_header' line")


def _parse_header(lines: list[str]) -> tuple[str, list[_Element]]:
    """The byte order ("<", ">", or "" for ASCII) and the elements."""
    order = None
    elements: list[_Element] = []
    for number, line in enumerate(lines[1:-1], start=2):
        words = line.split()
        keyword = words[0] if words else ""
        where = f"header line {number}"
        if keyword in ("comment", "obj_info"):
            continue
        if keyword == "format":
            if len(words) != 3 or words[1] not in _ENCODINGS:
                raise MeshFileError(f"{where}: unknown format {line.strip()!r}")
            order = _ENCODINGS[words[1]]
        elif keyword == "element":
            elements.append(_element(words, where, number))
        elif keyword == "property":
            if not elements:
                raise MeshFileError(f"{where}: a property before any element")
            elements[-1].properties.append(_property(words, where))
        else:
            raise MeshFileError(f"{where}: unknown keyword {keyword!r}")
    if order is None:
        raise MeshFileError("the header has no 'format' line")
    return order, elements


def _element(words: list[str], where: str, number: int) -> _Element:
    if len(words) != 3:
        raise MeshFileError(f"{where}: expected 'element NAME COUNT'")
    if not words[2].isdigit():
        raise MeshFileError(f"{where}: element {words[1]!r} has count {words[2]!r}, not a whole number >= 0")
    return _Element(words[1], int(words[2]), number)


def _property(words: list[str], where: str) -> _Property:
    if len(words) == 5 and words[1] == "list":
        count_code, code = _type(words[2], where), _type(words[3], where)
        if count_code[0] == "f":
            raise MeshFileError(f"{where}: a list's length must have an integer type, not {words[2]!r}")
        return _Property(words[4], code, count_code)
    if len(words) == 3 and words[1] != "list":
        return _Property(words[2], _type(words[1], where))
    raise MeshFileError(f"{where}: expected 'property TYPE NAME' or 'property list TYPE TYPE NAME'")


def _type(name: str, where: str) -> str:
    if name not in _TYPES:
        raise MeshFileError(f"{where}: unknown property type {name!r}")
    return _TYPES[name]


# ---------------------------------------------------------------- binary body


class _BinaryBody:
    """Reads the elements one after the other from ``data[offset:]``."""

    def __init__(self, data: bytes, offset: int, order: str) -> None:
        self.data, self.offset, self.order = data, offset, order

    def read(self, elements: list[_Element]) -> list[_Table]:
        return [self._element(element) for element in elements]

    def _element(self, element: _Element) -> _Table:
        lists = [p for p in element.properties if p.count_code]
        if len(lists) <= 1:
            table = self._equal_rows(element, lists[0] if lists else None)
            if table is not None:
                return table
        return self._row_by_row(element)

    def _equal_rows(self, element: _Element, listed: _Property | None) -> _Table | None:
        """All rows at once when they have one size: no list, or one list as long
        in every row as in the first (triangles, quads). None otherwise."""
        length = self._first_length(element, listed) if listed else 0
        if length is None:
            return None
        fields: list[Any] = []
        for i, p in enumerate(element.properties):
            if p is listed:
                fields += [("n", self.order + str(p.count_code)), (str(i), self.order + p.code, (length,))]
            else:
                fields.append((str(i), self.order + p.code))
        dtype = np.dtype(fields)
        size = element.count * dtype.itemsize
        if self.offset + size > len(self.data):
            if listed:
                return None  # the row walk tells where the data ends
            raise MeshFileError(
                f"element {element.name!r} needs {size} bytes from byte offset {self.offset}, "
                f"but the file ends at byte {len(self.data)}"
            )
        rows = np.frombuffer(self.data, dtype=dtype, count=element.count, offset=self.offset)
        if listed and np.any(rows["n"] != length):
            return None
        self.offset += size
        return {p.name: rows[str(i)] for i, p in enumerate(element.properties)}

    def _first_length(self, element: _Element, listed: _Property) -> int | None:
        if element.count == 0:
            return 0
        before = element.properties[: element.properties.index(listed)]
        at = self.offset + sum(np.dtype(p.code).itemsize for p in before)
        code = self.order + _STRUCT[str(listed.count_code)]
        if at + struct.calcsize(code) > len(self.data):
            return None
        (length,) = struct.unpack_from(code, self.data, at)
        return int(length) if length >= 0 else None

    def _row_by_row(self, element: _Element) -> _Table:
        table: dict[str, list[Any]] = {p.name: [] for p in element.properties}
        for row in range(element.count):
            for p in element.properties:
                if p.count_code is None:
                    table[p.name].append(self._unpack(p.code, 1, element, row)[0])
                    continue
                (length,) = self._unpack(p.count_code, 1, element, row)
                if length < 0:
                    raise MeshFileError(
                        f"row {row} of element {element.name!r} has a list of length {length} "
                        f"(before byte offset {self.offset})"
                    )
                table[p.name].append(list(self._unpack(p.code, int(length), element, row)))
        return {p.name: table[p.name] if p.count_code else np.asarray(table[p.name]) for p in element.properties}

    def _unpack(self, code: str, count: int, element: _Element, row: int) -> tuple[Any, ...]:
        layout = f"{self.order}{count}{_STRUCT[code]}"
        try:
            values = struct.unpack_from(layout, self.data, self.offset)
        except struct.error:
            raise MeshFileError(
                f"the file ends at byte {len(self.data)}, in row {row} of element {element.name!r}"
            ) from None
        self.offset += struct.calcsize(layout)
        return values


# ---------------------------------------------------------------- ASCII body


class _AsciiBody:
    """Reads the elements from the body's lines, one row per non-blank line."""

    def __init__(self, body: bytes, first_line: int) -> None:
        text = body.decode("latin-1")  # numbers are ASCII; other bytes fail as numbers
        self.rows = [(n, words) for n, line in enumerate(text.split("\n"), first_line) if (words := line.split())]
        self.next = 0

    def read(self, elements: list[_Element]) -> list[_Table]:
        return [self._element(element) for element in elements]

    def _element(self, element: _Element) -> _Table:
        rows = self.rows[self.next : self.next + element.count]
        if len(rows) < element.count:
            raise MeshFileError(
                f"the file ends after {len(rows)} of the {element.count} rows of element {element.name!r}"
            )
        self.next += element.count
        if not any(p.count_code for p in element.properties):
            return self._scalar_rows(element, rows)
        table: dict[str, list[Any]] = {p.name: [] for p in element.properties}
        for number, words in rows:
            for p, value in zip(element.properties, _split_row(element, number, words), strict=True):
                table[p.name].append(value)
        return {p.name: table[p.name] if p.count_code else np.asarray(table[p.name]) for p in element.properties}

    @staticmethod
    def _scalar_rows(element: _Element, rows: list[tuple[int, list[str]]]) -> _Table:
        width = len(element.properties)
        for number, words in rows:
            if len(words) != width:
                raise MeshFileError(
                    f"line {number}: element {element.name!r} has {width} values a row, not {len(words)}"
                )
        try:
            values = np.array([words for _, words in rows], dtype=np.float64).reshape(-1, width)
        except ValueError:
            for number, words in rows:
                for word in words:
                    _number(word, number)
            raise
        return {p.name: values[:, i] for i, p in enumerate(element.properties)}


def _split_row(element: _Element, number: int, words: list[str]) -> list[Any]:
    """The row's value per property: a number, or a list of whole numbers."""
    values: list[Any] = []
    at = 0
    for p in element.properties:
        if at >= len(words):
            raise MeshFileError(f"line {number}: the row of element {element.name!r} ends early")
        if p.count_code is None:
            values.append(_number(words[at], number))
            at += 1
            continue
        length = _whole(words[at], number)
        if length < 0 or at + 1 + length > len(words):
            raise MeshFileError(f"line {number}: a list of {words[at]} values does not fit the row")
        values.append([_whole(w, number) for w in words[at + 1 : at + 1 + length]])
        at += 1 + length
    if at != len(words):
        raise MeshFileError(f"line {number}: the row of element {element.name!r} has values left over")
    return values


def _number(word: str, line: int) -> float:
    try:
        return float(word)
    except ValueError:
        raise MeshFileError(f"line {line}: {word!r} is not a number") from None


def _whole(word: str, line: int) -> int:
    value = _number(word, line)
    if not value.is_integer():
        raise MeshFileError(f"line {line}: {word!r} is not a whole number")
    return int(value)


# ---------------------------------------------------------------- the mesh


def _mesh_from(elements: list[_Element], tables: list[_Table]) -> MeshArrays:
    by_name = {e.name: (e, t) for e, t in zip(elements, tables, strict=True)}
    vertices: Vertices = np.zeros((0, 3))
    if "vertex" in by_name:
        element, table = by_name["vertex"]
        columns = []
        for axis in "xyz":
            column = table.get(axis)
            if not isinstance(column, np.ndarray) or column.ndim != 1:
                raise MeshFileError(f"element 'vertex' (header line {element.line}) has no number property {axis!r}")
            columns.append(column.astype(np.float64))
        vertices = np.column_stack(columns).reshape(-1, 3)
    triangles: Triangles = np.zeros((0, 3), dtype=np.int64)
    if "face" in by_name:
        element, table = by_name["face"]
        lists = [p for p in element.properties if p.count_code]
        chosen = [p for p in lists if p.name in _FACE_LISTS] or lists
        if len(chosen) != 1 or chosen[0].code[0] == "f":
            raise MeshFileError(f"element 'face' (header line {element.line}) has no integer vertex index list")
        triangles = fan_triangles(table[chosen[0].name], len(vertices), lambda i: f"face {i}")
    return vertices, triangles
