"""Mesh files: every PLY and STL flavour, formats through trimesh, malformed files, safe saving."""

from __future__ import annotations

import io
import os
import re
import socket
import stat
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quarvel as qv
from quarvel import cli
from quarvel.io.files import read_mesh
from quarvel.io.obj import write_obj
from quarvel.io.ply import write_ply
from quarvel.io.stl import write_stl
from test_quarvel_helpers import FifoReader, cube_mesh, device_node

CUBE = cube_mesh(2.0, (-1.0, 0.0, 1.0))

# One square of two triangles, written the ways other programs write PLY: an
# extra property before x, a quad, an element the reader skips, CRLF line ends.
PLY_HEADER = """ply\r
format {format} 1.0\r
comment made by hand\r
element vertex 4\r
property uchar flag\r
property float x\r
property float y\r
property double z\r
element face 1\r
property list uchar int vertex_indices\r
element edge 1\r
property int a\r
property int b\r
end_header\r
"""
SQUARE = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], dtype=float)


def square_ply(fmt: str) -> bytes:
    header = PLY_HEADER.format(format=fmt).encode()
    if fmt == "ascii":
        rows = [f"7 {x:g} {y:g} {z:g}" for x, y, z in SQUARE] + ["4 0 1 2 3", "0 1", ""]
        return header + "\r\n".join(rows).encode()
    o = "<" if fmt == "binary_little_endian" else ">"
    vertices = np.zeros(4, dtype=[("f", "u1"), ("x", o + "f4"), ("y", o + "f4"), ("z", o + "f8")])
    for axis, column in zip("xyz", SQUARE.T, strict=True):
        vertices[axis] = column
    face = np.array([(4, (0, 1, 2, 3))], dtype=[("n", "u1"), ("v", o + "i4", (4,))])
    return header + vertices.tobytes() + face.tobytes() + np.array([0, 1], dtype=o + "i4").tobytes()


@pytest.mark.parametrize("fmt", ["ascii", "binary_little_endian", "binary_big_endian"])
def test_ply_flavours(tmp_path, fmt):
    path = tmp_path / "square.ply"
    path.write_bytes(square_ply(fmt))
    back = qv.Mesh.load(path)
    np.testing.assert_array_equal(back.vertices, SQUARE)
    assert back.triangles.tolist() == [[0, 1, 2], [0, 2, 3]]


def test_ply_with_mixed_polygons(tmp_path):
    """Rows of different lengths take the row-by-row path; polygons become fans."""
    header = "ply\nformat binary_little_endian 1.0\nelement vertex 5\nproperty float x\nproperty float y\n"
    header += "property float z\nelement face 2\nproperty list uchar uint vertex_indices\nend_header\n"
    vertices = np.arange(15, dtype="<f4").tobytes()
    faces = bytes([3]) + np.array([0, 1, 2], "<u4").tobytes() + bytes([4]) + np.array([1, 2, 3, 4], "<u4").tobytes()
    path = tmp_path / "mixed.ply"
    path.write_bytes(header.encode() + vertices + faces)
    assert qv.Mesh.load(path).triangles.tolist() == [[0, 1, 2], [1, 2, 3], [1, 3, 4]]


def ascii_stl(vertices, triangles) -> bytes:
    lines = ["solid cube"]
    for corners in vertices[triangles]:
        lines += ["  facet normal 0 0 0", "    outer loop"]
        lines += [f"      vertex {x:.17g} {y:.17g} {z:.17g}" for x, y, z in corners]
        lines += ["    endloop", "  endfacet"]
    return ("\n".join(lines + ["endsolid cube", ""])).encode()


def test_ascii_stl_and_a_binary_stl_that_starts_with_solid(tmp_path):
    ascii_path = tmp_path / "ascii.stl"
    ascii_path.write_bytes(ascii_stl(*CUBE))
    from_ascii = qv.Mesh.load(ascii_path)
    np.testing.assert_array_equal(from_ascii.vertices[from_ascii.triangles], CUBE[0][CUBE[1]])
    binary_path = qv.Mesh(*CUBE).save(tmp_path / "binary.stl")
    binary_path.write_bytes(b"solid but binary".ljust(80) + binary_path.read_bytes()[80:])
    np.testing.assert_array_equal(qv.Mesh.load(binary_path).triangles, from_ascii.triangles)


@pytest.mark.parametrize("suffix", [".glb", ".gltf", ".off"])
def test_formats_through_trimesh(tmp_path, suffix, monkeypatch):
    pytest.importorskip("trimesh")
    path = qv.Mesh(*CUBE).save(tmp_path / f"cube{suffix}")
    assert [p.name for p in tmp_path.iterdir()] == [path.name]  # glTF buffers embedded
    back = qv.Mesh.load(path)
    np.testing.assert_allclose(back.vertices, CUBE[0], rtol=1e-6)
    np.testing.assert_array_equal(back.triangles, CUBE[1])
    monkeypatch.setitem(sys.modules, "trimesh", None)
    for action in (lambda: qv.Mesh(*CUBE).save(path), lambda: qv.Mesh.load(path)):
        with pytest.raises(ImportError, match=rf"{suffix} mesh files need trimesh: pip install 'quarvel\[formats\]'"):
            action()


@pytest.mark.parametrize(
    ("suffix", "module", "dist"),
    [(".3mf", "networkx", "networkx"), (".3mf", "lxml", "lxml"), (".dae", "collada", "pycollada")],
)
def test_formats_missing_a_writer_dependency_fail_before_any_work(tmp_path, monkeypatch, suffix, module, dist):
    pytest.importorskip("trimesh")
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=rf"{dist}.*pip install 'quarvel\[formats\]'"):
        qv.Mesh(*CUBE).save(tmp_path / f"cube{suffix}")
    assert not list(tmp_path.iterdir())
    status = cli.main(["mesh", "sphere", "-o", str(tmp_path / f"s{suffix}")])
    assert status == 1 and not list(tmp_path.iterdir())


# ---------------------------------------------------------------- malformed files

PLY_TRIANGLE = "ply\nformat {fmt} 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
PLY_TRIANGLE += "element face {faces}\nproperty list uchar int vertex_indices\nend_header\n"
ASCII_PLY = PLY_TRIANGLE.format(fmt="ascii", faces=1)
VERTS = "0 0 0\n1 0 0\n0 1 0\n"


@pytest.mark.parametrize(
    ("name", "data", "message"),
    [
        ("a.ply", PLY_TRIANGLE.format(fmt="ascii", faces=-1), r"header line 7: element 'face' has count '-1'"),
        ("a.ply", b"ply\nformat ascii 1.0\ncomment \xff\nend_header\n", "header line 3 is not ASCII"),
        ("a.ply", "ply\nformat ascii 1.0\nelement vertex 1\n", "no 'end_header'"),
        ("a.ply", "ply\nformat ascii 1.0\nproperty float x\nend_header\n", "header line 3: a property before"),
        ("a.ply", "ply\nformat ascii 1.0\nelement v 1\nproperty half x\nend_header\n", "unknown property type 'half'"),
        ("a.ply", ASCII_PLY + "0 0 0\n1 0\n0 1 0\n", r"line 11: element 'vertex' has 3 values a row, not 2"),
        ("a.ply", ASCII_PLY + VERTS, "ends after 0 of the 1 rows of element 'face'"),
        ("a.ply", ASCII_PLY + VERTS + "3 0 1 3\n", "face 0 refers to vertex 3, but there are 3 vertices"),
        ("a.ply", ASCII_PLY + VERTS + "2 0 1\n", "face 0 has 2 corners"),
        ("a.ply", ASCII_PLY + VERTS + "4 0 1 2\n", "line 13: a list of 4 values does not fit"),
        ("a.ply", ASCII_PLY.replace("float z", "float w") + VERTS + "3 0 1 2", "element 'vertex' .* has no number property 'z'"),
        (
            "a.ply",
            PLY_TRIANGLE.format(fmt="binary_little_endian", faces=0).encode() + bytes(30),
            r"element 'vertex' needs 36 bytes from byte offset 169, but the file ends at byte 199",
        ),
        (
            "a.ply",
            PLY_TRIANGLE.format(fmt="binary_big_endian", faces=1).encode() + bytes(36) + b"\x03\0\0",
            r"ends at byte 205, in row 0 of element 'face'",
        ),
        (
            "a.ply",
            PLY_TRIANGLE.format(fmt="binary_little_endian", faces=1).replace("uchar int", "uint int").encode()
            + bytes(36) + b"\xff\xff\xff\xff" + bytes(12),
            r"ends at byte 220, in row 0 of element 'face', whose list of 4294967295 values starts at byte 208",
        ),
        (
            "a.ply",
            ASCII_PLY.replace("vertex 3", "vertex " + "9" * 5000),
            r"header line 3: element 'vertex' has count '9{20}'\.\.\. \(5000 characters\), more rows than any file",
        ),
        ("a.ply", "ply\n" + "comment padding\n" * 70_000, "no 'end_header' line in its first 1048576 bytes"),
        ("a.ply", ASCII_PLY + "0 0 0\n1_0 0 0\n0 1 0\n", "line 11: '1_0' is not a number"),
        ("a.ply", ASCII_PLY + VERTS + "3 0 1 2.5\n", "line 13: '2.5' is not a whole number"),
        ("a.ply", ASCII_PLY + VERTS + "3 0 1 4294967296\n", r"line 13: '4294967296' is out of the range of list"),
        ("a.obj", "v 0 0 0\nv 1 0\n", "line 2: a vertex needs three coordinates"),
        ("a.obj", "v 1_0 0 0\n", "line 1: '1_0' is not a number"),
        ("a.obj", "v 0 0 0\n" * 10 + "f 1 2 1_0\n", "line 11: '1_0' is not a face corner"),
        ("a.obj", "v 0 0 0\nf 1 1 " + "9" * 5000, r"line 2: the face refers to vertex '9{20}'\.\.\. \(5000 char"),
        ("a.obj", "v 0 0 0\nf 1 0 1\n", "line 2: the face refers to vertex 0"),
        ("a.obj", "v 0 0 0\nf 1 -2 1\n", "line 2: the face refers to vertex -2, but 1 are defined"),
        ("a.obj", "v 0 0 0\nf 1 2 3\nv 1 0 0\n", "line 2: the face refers to vertex 3, but there are 2"),
        ("a.stl", bytes(83), "83 bytes is too short for binary STL"),
        ("a.stl", bytes(80) + b"\x02\0\0\0" + bytes(50), "binary STL with 2 triangles has 184 bytes, this file 134"),
        ("a.stl", "solid\nvertex 0 0 0\n", "line 2: a vertex outside an 'outer loop'"),
        ("a.stl", "solid\nfacet\nouter loop\nvertex 0 0 0\nendloop\n", "line 5: the loop has 1 vertices, not 3"),
        ("a.stl", "solid\nfacet\nouter loop\n", "ends inside the facet begun on line 2"),
        ("a.stl", "solid\nfacet\nfacet\n", "line 3: a new facet inside the one begun on line 2"),
        ("a.stl", "solid\nfacet\nouter loop\nvertex 0 0 \xe9\n", "line 4: 'é' is not a number"),
    ],
)
def test_malformed_files_say_what_and_where(tmp_path, name, data, message):
    path = tmp_path / name
    path.write_bytes(data.encode("latin-1") if isinstance(data, str) else data)
    with pytest.raises(ValueError, match=f"cannot read '{re.escape(str(path))}': .*{message}"):
        qv.Mesh.load(path)


@pytest.mark.parametrize("fmt", ["ascii", "binary_little_endian"])
def test_elements_without_properties_or_rows(tmp_path, fmt):
    """An element with no properties has empty rows (no lines, no bytes); a face element may have none."""
    header = PLY_TRIANGLE.format(fmt=fmt, faces=0).replace("element vertex", "element marker 2\nelement vertex")
    triangle = np.loadtxt(io.StringIO(VERTS))
    body = VERTS.encode() if fmt == "ascii" else triangle.astype("<f4").tobytes()
    path = tmp_path / "a.ply"
    path.write_bytes(header.encode() + body)
    mesh = qv.Mesh.load(path)
    np.testing.assert_array_equal(mesh.vertices, triangle)
    assert mesh.triangles.shape == (0, 3)


def valid_files() -> dict[str, bytes]:
    files = {}
    for suffix, write in (".ply", write_ply), (".obj", write_obj), (".stl", write_stl):
        out = io.BytesIO()
        write(out, *cube_mesh())
        files[suffix] = out.getvalue()
    files[".ply-ascii"] = square_ply("ascii")
    files[".stl-ascii"] = ascii_stl(*cube_mesh())
    return files


VALID = valid_files()
EDIT = st.tuples(st.sampled_from(["flip", "cut", "insert", "delete"]), st.integers(0, 10**6), st.binary(min_size=1, max_size=8))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(kind=st.sampled_from(sorted(VALID)), edits=st.lists(EDIT, min_size=1, max_size=4))
def test_damaged_files_load_or_raise_value_error(tmp_path, kind, edits):
    """Byte flips, cuts, insertions and deletions anywhere in valid files: the
    reader returns a usable mesh or a ValueError, never anything else."""
    data = bytearray(VALID[kind])
    for action, at, chunk in edits:
        at %= len(data) + 1
        if action == "flip" and at < len(data):
            data[at] ^= chunk[0] or 1
        elif action == "cut":
            del data[at:]
        elif action == "insert":
            data[at:at] = chunk
        else:
            del data[at : at + len(chunk)]
    path = tmp_path / f"damaged{kind[:4]}"
    path.write_bytes(bytes(data))
    try:
        vertices, triangles = read_mesh(path)
    except ValueError:
        return
    qv.Mesh(vertices, triangles)  # indices in range, shapes right


# ---------------------------------------------------------------- saving never destroys a file

FULL_DISK = """
import resource, signal, sys
import numpy as np
import quarvel as qv
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit then fails with EFBIG
resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
rng = np.random.default_rng(0)
try:
    qv.Mesh(rng.normal(size=(20_000, 3)), rng.integers(0, 20_000, (20_000, 3))).save(sys.argv[1])
except OSError as error:
    print("refused", error.errno)
"""


def test_a_failed_save_keeps_the_old_file(tmp_path):
    """A write that hits the file size limit (as a full disk would) fails, and
    leaves the previous file whole and no temporary file behind."""
    path = qv.Mesh(*CUBE).save(tmp_path / "good.ply")
    before = path.read_bytes()
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(FULL_DISK), str(path)], capture_output=True, text=True, timeout=120
    )
    assert child.stdout.split() == ["refused", "27"], child.stderr
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["good.ply"]


@pytest.mark.parametrize("target", ["file", "link"])
def test_saving_replaces_the_file_a_link_points_to_and_keeps_its_mode(tmp_path, target):
    real = qv.Mesh(*cube_mesh()).save(tmp_path / "real.obj")
    os.chmod(real, 0o640)
    path = real if target == "file" else tmp_path / "link.obj"
    if target == "link":
        path.symlink_to(real)
    qv.Mesh(*CUBE).save(path)
    np.testing.assert_array_equal(qv.Mesh.load(real).vertices, CUBE[0])
    assert os.stat(real).st_mode & 0o777 == 0o640
    assert path.is_symlink() == (target == "link")
    assert sorted(os.listdir(tmp_path)) == sorted({"real.obj", path.name})


def write(path, kind: str):
    """Writes CUBE to ``path`` as a mesh (.ply) or as a preview (.png)."""
    if kind == "preview":
        pytest.importorskip("matplotlib")
        return qv.Mesh(*CUBE).preview(path)
    return qv.Mesh(*CUBE).save(path)


@pytest.mark.parametrize("kind", ["mesh", "preview"])
@pytest.mark.parametrize("target", ["device", "fifo"])
def test_a_device_or_fifo_is_written_into_not_replaced(tmp_path, kind, target):
    suffix = ".png" if kind == "preview" else ".ply"
    expected = write(tmp_path / f"regular{suffix}", kind).read_bytes()
    if target == "device":
        # A private node with /dev/null's numbers, reached through a link.
        node = device_node(tmp_path / "null", stat.S_IFCHR, 1, 3)
        path = tmp_path / f"out{suffix}"
        path.symlink_to(node)
        write(path, kind)
        assert path.is_symlink() and stat.S_ISCHR(os.stat(node).st_mode)
        assert os.stat(node).st_rdev == os.makedev(1, 3)
    else:
        path = tmp_path / f"pipe{suffix}"
        reader = FifoReader(path)
        write(path, kind)
        assert reader.data() == expected
        assert stat.S_ISFIFO(os.stat(path).st_mode)
    assert not [name for name in os.listdir(tmp_path) if name.endswith(".tmp")]


@pytest.mark.parametrize(
    ("target", "message"),
    [
        ("directory", r"it is a directory"),
        ("block device", r"it is a block device; only regular files, character devices and FIFOs are written"),
        ("socket", r"it is a socket; only"),
        ("read-only", r"it is a read-only file \(mode 0444\)"),
        ("link to read-only", r"it leads to '.*/real.ply', which is a read-only file \(mode 0444\)"),
    ],
)
def test_other_targets_are_refused_and_left_alone(tmp_path, target, message):
    path = tmp_path / "out.ply"
    if target == "directory":
        path.mkdir()
    elif target == "block device":
        device_node(path, stat.S_IFBLK, 240, 0)  # a number no driver serves
    elif target == "socket":
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(str(path))
        listener.close()
    else:
        real = tmp_path / "real.ply" if target.startswith("link") else path
        real.write_bytes(b"keep me")
        os.chmod(real, 0o444)
        if real != path:
            path.symlink_to(real)
    before = {p.name: (p.lstat().st_mode, p.lstat().st_ino) for p in tmp_path.iterdir()}
    with pytest.raises(OSError, match=message):
        qv.Mesh(*CUBE).save(path)
    assert {p.name: (p.lstat().st_mode, p.lstat().st_ino) for p in tmp_path.iterdir()} == before
    if "read-only" in target:
        assert path.read_bytes() == b"keep me"


# ---------------------------------------------------------------- reading what is not a regular file


def test_loading_refuses_devices_and_reads_fifos(tmp_path):
    zero = device_node(tmp_path / "zero", stat.S_IFCHR, 1, 5)  # /dev/zero's numbers: bytes without end
    (tmp_path / "zero.ply").symlink_to(zero)
    with pytest.raises(ValueError, match=r"cannot read '.*zero.ply': it is a character device; only regular"):
        qv.Mesh.load(tmp_path / "zero.ply")
    (tmp_path / "folder.obj").mkdir()
    with pytest.raises(IsADirectoryError):
        qv.Mesh.load(tmp_path / "folder.obj")
    pipe = tmp_path / "pipe.ply"
    os.mkfifo(pipe)
    writer = threading.Thread(target=pipe.write_bytes, args=(square_ply("binary_big_endian"),), daemon=True)
    writer.start()
    try:
        np.testing.assert_array_equal(qv.Mesh.load(pipe).vertices, SQUARE)
    finally:
        os.close(os.open(pipe, os.O_RDONLY | os.O_NONBLOCK))  # frees a writer still waiting
        writer.join()


# ---------------------------------------------------------------- ASCII files read as streams


def test_ascii_ply_is_read_no_further_than_its_rows(tmp_path):
    """From a FIFO whose writer holds it open after the declared rows (and
    more text), loading returns without waiting for the end of the stream."""
    pipe = tmp_path / "pipe.ply"
    os.mkfifo(pipe)
    loaded = threading.Event()
    held_open = []

    def writer():
        with open(pipe, "wb") as out:
            out.write(square_ply("ascii") + b"rows past the declared ones\n")
            out.flush()
            held_open.append(loaded.wait(30))

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    mesh = qv.Mesh.load(pipe)
    loaded.set()
    thread.join()
    assert held_open == [True]
    np.testing.assert_array_equal(mesh.vertices, SQUARE)


def test_large_ascii_files_are_read_in_chunks(tmp_path):
    """Rows in several chunks, triangles and quads mixed within one: the same
    mesh from PLY and OBJ, and a fault far in named by its own line."""
    rng = np.random.default_rng(7)
    vertices = rng.normal(size=(20_000, 3))
    tris, quads = rng.integers(0, 20_000, (30_000, 3)), rng.integers(0, 20_000, (10_000, 4))
    fans = np.stack([quads[:, [0, 1, 2]], quads[:, [0, 2, 3]]], axis=1).reshape(-1, 3)
    expected = np.concatenate([tris, fans])
    coordinates = [" ".join(map(repr, v)) for v in vertices.tolist()]
    polygons = [*tris.tolist(), *quads.tolist()]
    header = PLY_TRIANGLE.format(fmt="ascii", faces=len(polygons)).replace("vertex 3", f"vertex {len(vertices)}")
    # The header's 9 lines in one item, then one row a line.
    ply_rows = [header.rstrip("\n"), *coordinates, *(" ".join(map(str, [len(f), *f])) for f in polygons)]
    obj_rows = [f"v {c}" for c in coordinates] + ["f " + " ".join(str(i + 1) for i in f) for f in polygons]
    for name, rows in ("big.ply", ply_rows), ("big.obj", obj_rows):
        path = tmp_path / name
        path.write_text("\n".join(rows) + "\n")
        mesh = qv.Mesh.load(path)
        np.testing.assert_array_equal(mesh.vertices, vertices)
        np.testing.assert_array_equal(mesh.triangles, expected)
    at = 1 + 20_000 + 37_000  # face 37,000, among quads
    ply_rows[at] = "4 0 1 2 x"
    (tmp_path / "big.ply").write_text("\n".join(ply_rows) + "\n")
    with pytest.raises(ValueError, match=f"line {9 + at}: 'x' is not a number"):
        qv.Mesh.load(tmp_path / "big.ply")
