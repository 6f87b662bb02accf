"""PLY files: written as binary little-endian; read as ASCII or binary of either byte order.

The reader takes the vertex element's ``x``, ``y`` and ``z`` and the face
element's index list (polygons become fans around their first corner), and
skips other elements and properties.  A defect raises MeshFileError naming the
header line, the body line (ASCII) or the byte offset (binary) where it is.
"""

from __future__ import annotations

import os
import re
import stat
import struct
from array import array
from dataclasses import dataclass, field
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from ..io.errors import Lists, MeshArrays, MeshFileError, Normals, Triangles, Vertices, fan_triangles, quoted

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
# all have the same length) or the rows' Lists.
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


def read_ply(stream: BinaryIO) -> MeshArrays:
    """The mesh in a PLY file; an ASCII body is read up to its last declared row only."""
    order, elements, header_lines, body = _read_header(stream)
    if order:
        tables = _BinaryBody(_rest_of(stream), body, order).read(elements)
    else:
        tables = _AsciiBody(stream, header_lines).read(elements)
    return _mesh_from(elements, tables)


def _rest_of(stream: BinaryIO) -> bytes:
    """The rest of the stream.  From a regular file, whose size is known, it is
    asked for by size: a large binary body then lands in one buffer, copied once."""
    try:
        status = os.fstat(stream.fileno())
    except OSError:  # not a file (io.UnsupportedOperation is an OSError)
        return stream.read()
    size = status.st_size - stream.tell() if stat.S_ISREG(status.st_mode) else 0
    data = stream.read(size) if size > 0 else b""
    more = stream.read()  # the file grew meanwhile, or its size was not known
    return data + more if more else data


# ---------------------------------------------------------------- header

# Real headers take a few hundred bytes; past this a file is not a PLY file.
_HEADER_LIMIT = 1 << 20


def _read_header(stream: BinaryIO) -> tuple[str, list[_Element], int, int]:
    """The byte order ("<", ">", or "" for ASCII), the elements, the number of
    header lines, "ply" to "end_header", and the byte offset where the body starts."""
    first = stream.readline(8)
    if first not in (b"ply\n", b"ply\r\n"):
        raise MeshFileError("not a PLY file (it does not start with a 'ply' line)")
    order = None
    elements: list[_Element] = []
    offset, number = len(first), 1
    while True:
        raw = stream.readline(_HEADER_LIMIT - offset)
        offset += len(raw)
        number += 1
        if not raw.endswith(b"\n"):
            if offset >= _HEADER_LIMIT:
                raise MeshFileError(f"the header has no 'end_header' line in its first {_HEADER_LIMIT} bytes")
            raise MeshFileError("the header has no 'end_header' line")
        try:
            line = raw[:-1].rstrip(b"\r").decode("ascii")
        except UnicodeDecodeError:
            raise MeshFileError(f"header line {number} is not ASCII text") from None
        words = line.split()
        keyword = words[0] if words else ""
        where = f"header line {number}"
        if line.strip() == "end_header":
            break
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
    return order, elements, number, offset


def _element(words: list[str], where: str, number: int) -> _Element:
    if len(words) != 3:
        raise MeshFileError(f"{where}: expected 'element NAME COUNT'")
    name, count = words[1], words[2]
    if not count.isdigit():
        raise MeshFileError(f"{where}: element {name!r} has count {quoted(count)}, not a whole number >= 0")
    if len(count.lstrip("0")) > 18:
        raise MeshFileError(f"{where}: element {name!r} has count {quoted(count)}, more rows than any file holds")
    return _Element(name, int(count), number)


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
    """Reads the elements one after the other from ``data``, the body, which
    starts at byte ``base`` of the file (for messages)."""

    def __init__(self, data: bytes, base: int, order: str) -> None:
        self.data, self.base, self.order = data, base, order
        self.offset = 0

    def read(self, elements: list[_Element]) -> list[_Table]:
        return [self._element(element) for element in elements]

    def _element(self, element: _Element) -> _Table:
        if not element.properties:
            return {}  # its rows hold nothing
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
        row = sum(np.dtype(p.code).itemsize for p in element.properties if p is not listed)
        if listed:
            row += np.dtype(str(listed.count_code)).itemsize + length * np.dtype(listed.code).itemsize
        size = element.count * row
        if self.offset + size > len(self.data):
            if listed:
                return None  # the row walk tells where the data ends
            raise MeshFileError(
                f"element {element.name!r} needs {size} bytes from byte offset {self.base + self.offset}, "
                f"but the file ends at byte {self.base + len(self.data)}"
            )
        # Only now is the list's length known to fit the file, and so a dtype.
        fields: list[Any] = []
        for i, p in enumerate(element.properties):
            if p is listed:
                fields += [("n", self.order + str(p.count_code)), (str(i), self.order + p.code, (length,))]
            else:
                fields.append((str(i), self.order + p.code))
        rows = np.frombuffer(self.data, dtype=np.dtype(fields), count=element.count, offset=self.offset)
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
        scalars = {p.name: array(_STRUCT[p.code]) for p in element.properties if not p.count_code}
        sizes = {p.name: array("q") for p in element.properties if p.count_code}
        values = {p.name: array(_STRUCT[p.code]) for p in element.properties if p.count_code}
        for row in range(element.count):
            for p in element.properties:
                if p.count_code is None:
                    scalars[p.name].extend(self._unpack(p.code, 1, element, row))
                    continue
                (length,) = self._unpack(p.count_code, 1, element, row)
                if length < 0:
                    raise MeshFileError(
                        f"row {row} of element {element.name!r} has a list of length {length} "
                        f"(before byte offset {self.base + self.offset})"
                    )
                if self.offset + length * np.dtype(p.code).itemsize > len(self.data):
                    raise MeshFileError(
                        f"the file ends at byte {self.base + len(self.data)}, in row {row} of element "
                        f"{element.name!r}, whose list of {length} values starts at byte {self.base + self.offset}"
                    )
                sizes[p.name].append(length)
                values[p.name].extend(self._unpack(p.code, int(length), element, row))
        return {
            p.name: Lists(np.frombuffer(sizes[p.name], np.int64), np.frombuffer(values[p.name], p.code))
            if p.count_code
            else np.frombuffer(scalars[p.name], p.code)
            for p in element.properties
        }

    def _unpack(self, code: str, count: int, element: _Element, row: int) -> tuple[Any, ...]:
        size = count * np.dtype(code).itemsize
        if self.offset + size > len(self.data):
            raise MeshFileError(
                f"the file ends at byte {self.base + len(self.data)}, in row {row} of element {element.name!r}"
            )
        values = struct.unpack_from(f"{self.order}{count}{_STRUCT[code]}", self.data, self.offset)
        self.offset += size
        return values


# ---------------------------------------------------------------- ASCII body

# Rows parsed at once: enough for NumPy's speed, small beside any mesh.
_CHUNK = 1 << 14


class _AsciiBody:
    """Reads the elements' rows, one per non-blank line, a chunk at a time; the
    stream is read no further than the last element's last row."""

    def __init__(self, stream: BinaryIO, header_lines: int) -> None:
        self.stream = stream
        self.number = header_lines  # the number of the last line read

    def read(self, elements: list[_Element]) -> list[_Table]:
        return [self._element(element) for element in elements]

    def _element(self, element: _Element) -> _Table:
        if not element.properties:
            return {}  # its rows hold nothing, and take no lines
        chunks: list[_Table] = []
        done = 0
        while done < element.count:
            wanted = min(element.count - done, _CHUNK)
            rows = self._rows(wanted, _widest_row(element))
            done += len(rows)
            if len(rows) < wanted:
                raise MeshFileError(
                    f"the file ends after {done} of the {element.count} rows of element {element.name!r}"
                )
            chunks.append(_rows_table(element, rows))
        return _joined(element, chunks)

    def _rows(self, count: int, widest: int) -> list[_Row]:
        """Up to ``count`` more rows, fewer where the file ends; a row's words past
        ``widest`` stay unsplit, so a long line costs no more than its text."""
        rows: list[_Row] = []
        while len(rows) < count and (line := self.stream.readline()):
            self.number += 1
            words = line.split(None, widest)
            if not words:
                continue
            if b"_" in line:  # NumPy and Python read "1_0" as ten
                for word in words[:widest]:
                    if b"_" in word:
                        raise MeshFileError(f"line {self.number}: {quoted(word)} is not a number")
            rows.append((self.number, words))
        return rows


_Row = tuple[int, list[bytes]]  # line number and words


def _widest_row(element: _Element) -> int:
    """The most words a row of the element can hold."""
    return sum(1 + np.iinfo(p.count_code).max if p.count_code else 1 for p in element.properties)


def _rows_table(element: _Element, rows: list[_Row]) -> _Table:
    lists = [p for p in element.properties if p.count_code]
    if not lists:
        return _scalar_rows(element, rows)
    if len(lists) == 1 and len({len(words) for _, words in rows}) == 1:
        table = _equal_list_rows(element, lists[0], rows)
        if table is not None:
            return table
    scalars: dict[str, list[float]] = {p.name: [] for p in element.properties if not p.count_code}
    sizes: dict[str, list[int]] = {p.name: [] for p in lists}
    values: dict[str, list[float]] = {p.name: [] for p in lists}
    for number, words in rows:
        for p, value in zip(element.properties, _split_row(element, number, words), strict=True):
            if p.count_code:
                sizes[p.name].append(len(value))
                values[p.name].extend(value)
            else:
                scalars[p.name].append(value)
    return {
        p.name: Lists(np.asarray(sizes[p.name], np.int64), np.asarray(values[p.name], np.float64))
        if p.count_code
        else np.asarray(scalars[p.name], np.float64)
        for p in element.properties
    }


def _scalar_rows(element: _Element, rows: list[_Row]) -> _Table:
    width = len(element.properties)
    for number, words in rows:
        if len(words) != width:
            raise MeshFileError(
                f"line {number}: element {element.name!r} has {width} values a row, not {_count_words(words)}"
            )
    try:
        values = np.array([words for _, words in rows], dtype=np.float64).reshape(-1, width)
    except ValueError:  # word by word, to say which word it was
        values = np.array([[_number(word, number) for word in words] for number, words in rows]).reshape(-1, width)
    return {p.name: values[:, i] for i, p in enumerate(element.properties)}


def _equal_list_rows(element: _Element, listed: _Property, rows: list[_Row]) -> _Table | None:
    """All rows at once when each has as many words and its list's length
    says so (triangles, quads); None otherwise."""
    at = element.properties.index(listed)
    length = len(rows[0][1]) - len(element.properties)
    try:
        values = np.array([words for _, words in rows], dtype=np.float64)
    except ValueError:
        return None  # the row by row reading says which word
    if length < 0 or np.any(values[:, at] != length):
        return None
    table: _Table = {}
    for i, p in enumerate(element.properties):
        if p is listed:
            items = values[:, at + 1 : at + 1 + length]
            _check_list_values(p, items, [(number, words[at + 1 :]) for number, words in rows])
            table[p.name] = Lists(np.full(len(rows), length, dtype=np.int64), items.reshape(-1))
        else:
            table[p.name] = values[:, i if i < at else i + length]
    return table


def _check_list_values(p: _Property, items: NDArray[np.float64], rows: list[_Row]) -> None:
    """Integer lists hold whole numbers in their type's range."""
    if p.code[0] == "f":
        return
    limits = np.iinfo(p.code)
    bad = ~((np.floor(items) == items) & (items >= limits.min) & (items <= limits.max))
    if np.any(bad):
        row, column = np.argwhere(bad)[0]
        number, words = rows[row]
        _list_value(words[column], p, number)


def _split_row(element: _Element, number: int, words: list[bytes]) -> list[Any]:
    """The row's value per property: a number, or a list of numbers."""
    values: list[Any] = []
    at = 0
    for p in element.properties:
        if at >= len(words):
            raise MeshFileError(f"line {number}: the row of element {element.name!r} ends early")
        if p.count_code is None:
            values.append(_number(words[at], number))
            at += 1
            continue
        length = _number(words[at], number)
        if not (length.is_integer() and 0 <= length <= len(words) - at - 1):
            shown = int(length) if length.is_integer() else quoted(words[at])
            raise MeshFileError(f"line {number}: a list of {shown} values does not fit the row")
        length = int(length)
        values.append([_list_value(w, p, number) for w in words[at + 1 : at + 1 + length]])
        at += 1 + length
    if at != len(words):
        raise MeshFileError(f"line {number}: the row of element {element.name!r} has values left over")
    return values


def _number(word: bytes, line: int) -> float:
    try:
        value = float(word)
    except ValueError:
        value = None
    if value is None or b"_" in word:
        raise MeshFileError(f"line {line}: {quoted(word)} is not a number")
    return value


def _list_value(word: bytes, p: _Property, line: int) -> float:
    value = _number(word, line)
    if p.code[0] == "f":
        return value
    if not value.is_integer():
        raise MeshFileError(f"line {line}: {quoted(word)} is not a whole number")
    limits = np.iinfo(p.code)
    if not limits.min <= value <= limits.max:
        kind = np.dtype(p.code).name
        raise MeshFileError(f"line {line}: {quoted(word)} is out of the range of list {p.name!r} ({kind})")
    return value


def _count_words(words: list[bytes]) -> int:
    """How many words a row holds, its last item the unsplit rest of a long line."""
    return len(words) - 1 + sum(1 for _ in re.finditer(rb"\S+", words[-1])) if words else 0


def _joined(element: _Element, chunks: list[_Table]) -> _Table:
    table: _Table = {}
    for p in element.properties:
        parts = [chunk[p.name] for chunk in chunks]
        if p.count_code:
            table[p.name] = Lists.concatenate(parts)
        else:
            table[p.name] = np.concatenate(parts) if parts else np.zeros(0)
    return table


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
