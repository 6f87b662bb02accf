"""Reading and writing triangle meshes, by file name suffix.

PLY, OBJ and STL are read and written here: ``vertices`` (N, 3) float64 and
``triangles`` (M, 3) int64 of 0-based indices; PLY and OBJ also take unit
vertex normals (N, 3) when writing.  PLY and OBJ keep float64
vertices exactly; STL stores float32 corners per triangle.  GLB, glTF, OFF,
3MF and COLLADA go through the optional trimesh package.

A file is written whole to a temporary file beside it, then put in place of
the old one in one step, so that a failed write never destroys a good file.
A character device or a FIFO is written straight into, as a shell redirection
would; other kinds of files, and read-only ones, are refused.  Only regular
files and FIFOs are read.
"""

from __future__ import annotations

import contextlib
import errno
import importlib
import os
import secrets
import stat
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType
from typing import BinaryIO

import numpy as np

from ..io.errors import MeshArrays, MeshFileError, Normals, Triangles, Vertices
from ..io.obj import read_obj, write_obj
from ..io.ply import read_ply, write_ply
from ..io.stl import read_stl, write_stl

_READERS: dict[str, Callable[[BinaryIO], MeshArrays]] = {
    ".ply": read_ply,
    ".obj": read_obj,
    ".stl": lambda stream: read_stl(stream.read()),
}
_WRITERS: dict[str, Callable[[BinaryIO, Vertices, Triangles, Normals | None], None]] = {
    ".ply": write_ply,
    ".obj": write_obj,
    ".stl": write_stl,
}
TRIMESH_FORMATS = (".glb", ".gltf", ".off", ".3mf", ".dae")
# What trimesh imports only when it writes these formats, so a missing one
# would surface after the meshing: (module, distribution) pairs.
_TRIMESH_NEEDS = {
    ".3mf": (("networkx", "networkx"), ("lxml", "lxml")),
    ".dae": (("collada", "pycollada"),),
}
FORMATS_INSTALL = "pip install 'quarvel[formats]'"


def mesh_format(path: str | Path) -> str:
    """The format suffix of ``path``, lower case.

    ValueError for a suffix that names no mesh format; ImportError, saying what
    to install, for a format whose writer needs a package that is missing
    (trimesh, and for some formats what trimesh needs for them).
    """
    suffix = Path(path).suffix.lower()
    if suffix in TRIMESH_FORMATS:
        _trimesh(suffix)
        missing = [dist for module, dist in _TRIMESH_NEEDS.get(suffix, ()) if not _importable(module)]
        if missing:
            raise ImportError(f"{suffix} mesh files need {' and '.join(missing)}: {FORMATS_INSTALL}")
    elif suffix not in _READERS:
        raise ValueError(
            f"cannot tell the mesh format of {str(path)!r}: use a .ply, .obj or .stl file name "
            f"(or {', '.join(TRIMESH_FORMATS)} with trimesh installed)"
        )
    return suffix


def write_mesh(path: str | Path, vertices: Vertices, triangles: Triangles, normals: Normals | None = None) -> None:
    """Write the mesh to ``path`` in the format named by its suffix, with its
    vertex ``normals`` where the format holds them (PLY, OBJ, and trimesh's)."""
    suffix = mesh_format(path)
    if suffix in TRIMESH_FORMATS:
        data = _export_with_trimesh(suffix, vertices, triangles, normals)
        with replacing(path) as out:
            out.write(data)
    else:
        with replacing(path) as out:
            _WRITERS[suffix](out, vertices, triangles, normals)


def read_mesh(path: str | Path) -> MeshArrays:
    """Read a mesh file; MeshFileError (a ValueError) says what is wrong and where."""
    suffix = mesh_format(path)
    try:
        # Looked at before opening too: opening some devices has effects of its own.
        _readable_kind(path, os.stat(path).st_mode)
        if suffix in TRIMESH_FORMATS:
            return _load_with_trimesh(path, suffix)
        with open(path, "rb") as stream:
            _readable_kind(path, os.fstat(stream.fileno()).st_mode)
            return _READERS[suffix](stream)
    except MeshFileError as error:
        raise MeshFileError(f"cannot read {str(path)!r}: {error}") from None


def _readable_kind(path: str | Path, mode: int) -> None:
    """Refuses what is not a file's contents: a device gives bytes without end
    (/dev/zero) or has effects when read."""
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(path))
    if not (stat.S_ISREG(mode) or stat.S_ISFIFO(mode)):
        raise MeshFileError(f"it is {_kind(mode)}; only regular files and FIFOs are read")


def writable_target(path: str | Path) -> tuple[Path, int | None]:
    """Where a write to ``path`` goes, a link's target, and its mode (None for
    a file not there yet).

    OSError, saying why, when it must not be written: a directory, a block
    device, a socket, or a read-only file.
    """
    linked = os.path.islink(path)
    target = Path(os.path.realpath(path)) if linked else Path(path)
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        return target, None
    leads = f"it leads to {str(target)!r}, which is" if linked else "it is"
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, f"{leads} a directory", str(path))
    if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode):
        return target, mode
    if not stat.S_ISREG(mode):
        raise OSError(
            errno.EINVAL,
            f"{leads} {_kind(mode)}; only regular files, character devices and FIFOs are written",
            str(path),
        )
    # Root may write any file; a file that no one may write is still left as it is.
    if not mode & 0o222 or not os.access(target, os.W_OK):
        raise PermissionError(errno.EACCES, f"{leads} a read-only file (mode {stat.S_IMODE(mode):04o})", str(path))
    return target, mode


@contextlib.contextmanager
def replacing(path: str | Path) -> Iterator[BinaryIO]:
    """A new file that takes the place of ``path`` once the block has written it all.

    The new file is written beside the target and renamed over it, which is
    atomic; on any error it is removed and the old file stays as it was.  A
    symbolic link is followed, so that the file it points to is replaced, and
    an existing file's permissions carry over.  A character device or a FIFO
    has no contents to replace: the bytes go straight to it.  Anything else
    but a regular file, and a read-only file, raises OSError before any work
    (see ``writable_target``).
    """
    target, mode = writable_target(path)
    if mode is not None and not stat.S_ISREG(mode):
        with _open_stream(target) as out:
            yield out
        return
    temporary, out = _create_beside(target)
    try:
        with out:
            yield out
            out.flush()
            os.fsync(out.fileno())
        if mode is not None:
            os.chmod(temporary, stat.S_IMODE(mode))
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _open_stream(target: Path) -> BinaryIO:
    """The device or FIFO open for writing; a FIFO waits here for its reader."""
    # A terminal written to must not become this process's controlling terminal.
    descriptor = os.open(target, os.O_WRONLY | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        mode = os.fstat(descriptor).st_mode
        # Swapped for another kind of file since it was looked at: not ours to write.
        if not (stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)):
            raise OSError(errno.EINVAL, f"it became {_kind(mode)} while being opened", str(target))
        return os.fdopen(descriptor, "wb")
    except BaseException:
        os.close(descriptor)
        raise


def _kind(mode: int) -> str:
    kinds = [
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISSOCK, "a socket"),
        (stat.S_ISDIR, "a directory"),
    ]
    return next((name for test, name in kinds if test(mode)), "not a regular file")


def _create_beside(target: Path) -> tuple[Path, BinaryIO]:
    """A new, hidden file in the target's folder, created with the usual permissions."""
    while True:
        # Kept short enough for any file system, whatever the target's length.
        temporary = target.with_name(f".{target.name[:200]}.{secrets.token_hex(4)}.tmp")
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
        return temporary, os.fdopen(descriptor, "wb")


# ---------------------------------------------------------------- through trimesh


def _trimesh(suffix: str) -> ModuleType:
    try:
        return importlib.import_module("trimesh")
    except ImportError:
        raise ImportError(f"{suffix} mesh files need trimesh: {FORMATS_INSTALL}") from None


def _importable(module: str) -> bool:
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


def _export_with_trimesh(suffix: str, vertices: Vertices, triangles: Triangles, normals: Normals | None) -> bytes:
    trimesh = _trimesh(suffix)
    mesh = trimesh.Trimesh(vertices=vertices, faces=triangles, vertex_normals=normals, process=False)
    # glTF keeps its buffers in separate files unless they are embedded.
    options = {"embed_buffers": True} if suffix == ".gltf" else {}
    data = mesh.export(file_type=suffix[1:], **options)
    if isinstance(data, dict):
        (data,) = data.values()
    return data.encode() if isinstance(data, str) else bytes(data)


def _load_with_trimesh(path: str | Path, suffix: str) -> MeshArrays:
    trimesh = _trimesh(suffix)
    try:
        loaded = trimesh.load_mesh(str(path), file_type=suffix[1:], process=False)
    except (ImportError, OSError):
        raise
    except Exception as error:  # whatever trimesh raises for a file it cannot parse
        raise MeshFileError(f"trimesh cannot read it ({type(error).__name__}: {error})") from error
    if not isinstance(loaded, trimesh.Trimesh):
        raise MeshFileError("it holds no triangle mesh")
    return np.asarray(loaded.vertices, dtype=np.float64), np.asarray(loaded.faces, dtype=np.int64)
