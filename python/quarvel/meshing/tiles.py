"""Meshing in tiles: the finest lattice cut into blocks meshed apart, on this
process or on an executor (a process pool, a Dask client), joined by the
vertices' names.

Each tile is meshed with a halo of cells around it, so that what lies near its
faces (crossings, vertices, repairs) is decided as it is without tiles, and
keeps the triangles it owns: those whose vertices' cells have their least
coordinates in the tile.  A vertex is named by its cell and which of the
cell's vertices it is (the core's names), the same in every tile that makes
it; the join numbers each name once, so the seams match exactly, without
welding by distance.  Only the names near tile faces are kept between tiles,
which is what lets :func:`quarvel.mesh_to_file` stream a mesh larger than
memory.
"""

from __future__ import annotations

import dataclasses
import os
import pickle
import tempfile
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from functools import partial
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from .. import _core
from .._bounds import Bounds
from ..shapes.program import Program
from .batching import Chunked
from .fields import as_field
from .options import MeshOptions

# Cells meshed around a tile on every side: the faces reach one cell, the
# repair's moves and splits about two, the triangles facing back it takes
# in three rings of triangles around a crossing; the rest is margin.
HALO = 6
# A triangle's vertices lie within this many cells above its owner cell on
# each axis: only vertices this close to a tile's faces can be another's.
SEAM = 2
KEY = np.dtype([("cell", "<u8"), ("detail", "<u8")])
AXIS_BITS = 21


def tile_cuts(depth: int, tiles: int) -> list[int]:
    """Where the tiles of the 2**depth lattice begin and end along each axis,
    ``tiles`` per axis (fewer where the lattice has fewer cells)."""
    side = 1 << depth
    k = min(tiles, side)
    return [side * i // k for i in range(k + 1)]


def tile_ranges(depth: int, tiles: int) -> list[tuple[tuple[int, int, int], tuple[int, int, int]]]:
    """The tiles' own cells [lo, hi) per axis, x fastest, then y, then z."""
    cuts = tile_cuts(depth, tiles)
    k = len(cuts) - 1
    return [
        ((cuts[i], cuts[j], cuts[m]), (cuts[i + 1], cuts[j + 1], cuts[m + 1]))
        for m in range(k) for j in range(k) for i in range(k)
    ]  # fmt: skip


@dataclasses.dataclass(frozen=True)
class TileTask:
    """One tile's meshing call, picklable for an executor: a shape goes as
    itself (its program is compiled where it runs), any other field must pickle."""

    index: int
    field: Any
    native: bool
    box: Bounds
    options: MeshOptions
    max_depth: int
    lipschitz: float | None
    clip: Bounds | None
    lo: tuple[int, int, int]
    hi: tuple[int, int, int]


@dataclasses.dataclass
class TileResult:
    """What one tile's meshing call returns, to be joined."""

    index: int
    vertices: NDArray[np.float64]
    triangles: NDArray[np.int64]
    normals: NDArray[np.float64]
    keys: NDArray[np.uint64]  # (N, 2): each vertex's name
    pieces: NDArray[np.uint64]  # per triangle, its piece within the tile
    stats: dict[str, Any]
    measures: dict[str, Any]


def run_tile(task: TileTask) -> TileResult:
    """Meshes one tile; what an executor runs."""
    options = task.options
    program = None
    if task.native:
        program = task.field if isinstance(task.field, Program) else task.field.compile()
    calls = None if program is not None else Chunked(as_field(task.field), options.batch_size, None, task.clip)
    vertices, triangles, normals, stats, measures, keys, pieces = _core.engine.extract(
        calls if program is None else program.native, task.box.lo, task.box.hi,
        max_depth=task.max_depth, lipschitz=task.lipschitz, keep_largest=False, clip=task.clip,
        tile=(task.lo, task.hi, HALO), **_core.core_values(options),
    )  # fmt: skip
    stats["batches"] = 0 if calls is None else calls.calls
    return TileResult(task.index, vertices, triangles, normals, keys, pieces, stats, measures)


# ---------------------------------------------------------------- joining


class MemorySink:
    """Keeps the joined mesh's arrays."""

    def __init__(self) -> None:
        self.vertices: list[NDArray[np.float64]] = []
        self.normals: list[NDArray[np.float64]] = []
        self.triangles: list[NDArray[np.int64]] = []

    def add(self, vertices: NDArray[np.float64], normals: NDArray[np.float64], triangles: NDArray[np.int64],
            corners: NDArray[np.float64]) -> None:  # fmt: skip
        self.vertices.append(vertices)
        self.normals.append(normals)
        self.triangles.append(triangles)

    def arrays(self) -> tuple[NDArray[np.float64], NDArray[np.int64], NDArray[np.float64]]:
        def joined(parts: list[NDArray[Any]], dtype: Any) -> NDArray[Any]:
            return np.concatenate(parts) if parts else np.empty((0, 3), dtype=dtype)

        normals = joined(self.normals, np.float64)
        return joined(self.vertices, np.float64), joined(self.triangles, np.int64), normals


@dataclasses.dataclass
class _Seam:
    """The names kept for one tile's cells, sorted, with what they were given."""

    keys: NDArray[np.void]
    index: NDArray[np.int64]
    points: NDArray[np.float64]
    piece: NDArray[np.int64]

    def merged(self, other: _Seam) -> _Seam:
        keys = np.concatenate([self.keys, other.keys])
        order = np.argsort(keys, kind="stable")
        return _Seam(keys[order], np.concatenate([self.index, other.index])[order],
                     np.concatenate([self.points, other.points])[order],
                     np.concatenate([self.piece, other.piece])[order])  # fmt: skip


class Joiner:
    """Joins tiles given in their order: each name is numbered once, the
    first time a tile brings it; names near tile faces are kept, by the tile
    their cell lies in, for the tiles that follow.  Also joins the tiles'
    pieces across the seams, sums their measures, and counts seam vertices
    two tiles placed apart (none when the halo holds all that decides them)."""

    def __init__(self, sink: Any, origin: Sequence[float], cuts: Sequence[int]) -> None:
        self.sink = sink
        # Volumes of open parts add up only about one point: the box's middle.
        self.origin = np.asarray(origin, dtype=np.float64)
        self.cuts = np.asarray(cuts, dtype=np.int64)  # the tiles' bounds along each axis
        self.count = 0
        self.joined = 0  # tiles joined: the next to join is this one
        self.slab = 0  # the z index of the tiles to come
        self.seams: dict[int, _Seam] = {}
        self.pieces = 0  # the tiles' pieces so far, numbered in tile order
        self.links: list[NDArray[np.int64]] = []
        self.area = 0.0
        self.volume = 0.0
        self.mismatched = 0
        self.triangles = 0

    def _tile_of(self, cells: NDArray[np.uint64]) -> NDArray[np.int64]:
        k = len(self.cuts) - 1
        tile = np.zeros(len(cells), dtype=np.int64)
        for axis in range(3):
            at = ((cells >> np.uint64(AXIS_BITS * axis)) & np.uint64((1 << AXIS_BITS) - 1)).astype(np.int64)
            tile += (np.searchsorted(self.cuts, at, side="right") - 1) * k**axis
        return tile

    def add(self, tile: TileResult, lo: Sequence[int], hi: Sequence[int]) -> None:
        """Joins the next tile, whose own cells are [lo, hi)."""
        slab = int(np.searchsorted(self.cuts, lo[2], side="right")) - 1
        if slab > self.slab:
            # Tiles come slab by slab, and a triangle's vertices lie at or
            # above its owner cell: no tile from here on uses a vertex of a
            # lower slab.
            k = len(self.cuts) - 1
            self.seams = {t: seam for t, seam in self.seams.items() if t // (k * k) >= slab}
            self.slab = slab
        keys = np.ascontiguousarray(tile.keys, dtype=np.uint64).view(KEY).reshape(-1)
        n = len(keys)
        cells = keys["cell"]
        near = np.zeros(n, dtype=bool)
        for axis in range(3):
            at = ((cells >> np.uint64(AXIS_BITS * axis)) & np.uint64((1 << AXIS_BITS) - 1)).astype(np.int64)
            near |= (at < lo[axis] + SEAM) | (at >= hi[axis] - SEAM)
        index = np.full(n, -1, dtype=np.int64)
        seam = np.flatnonzero(near)
        owner = self._tile_of(cells[seam])
        piece = np.full(n, -1, dtype=np.int64)
        triangles = np.asarray(tile.triangles, dtype=np.int64)
        piece[triangles.reshape(-1)] = np.repeat(tile.pieces.astype(np.int64), 3) + self.pieces
        for t in np.unique(owner):
            kept = self.seams.get(int(t))
            if kept is None:
                continue
            mine = seam[owner == t]
            at = np.minimum(np.searchsorted(kept.keys, keys[mine]), len(kept.keys) - 1)
            found = kept.keys[at] == keys[mine]
            known, where = mine[found], at[found]
            index[known] = kept.index[where]
            self.mismatched += int(np.count_nonzero(np.any(tile.vertices[known] != kept.points[where], axis=1)))
            self.links.append(np.unique(np.stack([piece[known], kept.piece[where]], axis=1), axis=0))
        new = np.flatnonzero(index < 0)
        index[new] = self.count + np.arange(len(new))
        self.count += len(new)
        fresh = near[new]
        fresh_owner = owner[np.searchsorted(seam, new[fresh])]
        fresh = new[fresh]
        for t in np.unique(fresh_owner):
            mine = fresh[fresh_owner == t]
            order = np.argsort(keys[mine], kind="stable")
            mine = mine[order]
            added = _Seam(keys[mine], index[mine], tile.vertices[mine], piece[mine])
            kept = self.seams.get(int(t))
            self.seams[int(t)] = added if kept is None else kept.merged(added)
        normals = tile.normals[new] if len(tile.normals) else np.empty((0, 3))
        self.pieces += int(tile.pieces.max()) + 1 if len(tile.pieces) else 0
        corners = tile.vertices[triangles]
        self.sink.add(tile.vertices[new], normals, index[triangles], corners)
        corners = corners - self.origin
        self.area += tile.measures["area"]
        self.volume += float(np.einsum("ij,ij->", corners[:, 0], np.cross(corners[:, 1], corners[:, 2]))) / 6.0
        self.triangles += len(triangles)
        self.joined += 1

    def joined_pieces(self) -> int:
        """The pieces of the joined mesh: the tiles' pieces, joined where a
        seam vertex is shared."""
        if not self.links:
            return self.pieces
        links = np.unique(np.concatenate(self.links), axis=0)
        label = np.arange(self.pieces, dtype=np.int64)
        while True:
            low = np.minimum(label[links[:, 0]], label[links[:, 1]])
            before = label.copy()
            np.minimum.at(label, links[:, 0], low)
            np.minimum.at(label, links[:, 1], low)
            label = label[label]
            if np.array_equal(label, before):
                break
        return int(np.count_nonzero(label == np.arange(self.pieces)))


def mesh_tiles(tasks: list[TileTask], joiner: Joiner, executor: Any, progress: Callable[[str, int, int], object] | None,
               ) -> dict[str, Any]:  # fmt: skip
    """Meshes every tile (on ``executor`` when given, else here, one after
    the other) and joins them in order, whatever order they finish in.
    Only a few tiles per worker run ahead of the join, so that finished
    tiles do not pile up while an early one is slow.  Returns the tiles'
    stats summed."""
    total = len(tasks)
    summed: dict[str, Any] = {}
    waiting: dict[int, TileResult] = {}

    def finished(result: TileResult) -> None:
        waiting[result.index] = result
        while joiner.joined in waiting:
            tile = waiting.pop(joiner.joined)
            joiner.add(tile, tasks[tile.index].lo, tasks[tile.index].hi)
            _sum_stats(summed, tile.stats)
        if progress is not None:
            progress("tiles", joiner.joined, total)

    if progress is not None:
        progress("tiles", 0, total)
    if executor is None:
        for task in tasks:
            finished(_named(task, partial(run_tile, task)))
        return summed
    dask = _is_dask(executor)
    # Threads share the field; other executors send it to their workers.
    if not dask and not isinstance(executor, ThreadPoolExecutor):
        _check_pickles(tasks[0].field)
    ahead = 2 * _workers(executor, dask) + 1
    running: dict[Any, TileTask] = {}
    submitted = 0
    while submitted < total or running:
        while submitted < total and submitted < joiner.joined + len(waiting) + ahead:
            task = tasks[submitted]
            # A Dask client would otherwise name a task by hashing its arguments.
            future = executor.submit(run_tile, task, pure=False) if dask else executor.submit(run_tile, task)
            running[future] = task
            submitted += 1
        for future in _first_done(list(running), dask):
            task = running.pop(future)
            finished(_named(task, future.result))
    return summed


def _check_pickles(field: Any) -> None:
    """TypeError, saying what to do, for a field an executor cannot ship
    (Dask's own pickling takes lambdas and local functions too)."""
    try:
        pickle.dumps(field)
    except Exception as error:
        raise TypeError(
            f"tiles on an executor need a field that pickles, and {field!r} does not ({error}): define it at "
            "module level, or use a shape of this package, which goes as its program"
        ) from error


def _is_dask(executor: Any) -> bool:
    return type(executor).__module__.startswith("distributed")


def _workers(executor: Any, dask: bool) -> int:
    if dask:
        return max(1, len(executor.scheduler_info().get("workers", {})))
    return max(1, int(getattr(executor, "_max_workers", 4)))


def _first_done(futures: list[Any], dask: bool) -> list[Any]:
    """Blocks until one of ``futures`` is done; those done, in submission order."""
    if dask:
        import distributed

        distributed.wait(futures, return_when="FIRST_COMPLETED")  # type: ignore[no-untyped-call]
    else:
        import concurrent.futures

        concurrent.futures.wait(futures, return_when=concurrent.futures.FIRST_COMPLETED)
    return [f for f in futures if f.done()]


def _named(task: TileTask, call: Callable[[], TileResult]) -> TileResult:
    try:
        return call()
    except Exception as error:
        note = f"while meshing tile {task.index} (finest cells {task.lo} to {task.hi})"
        if hasattr(error, "add_note"):
            error.add_note(note)
        raise


def _sum_stats(summed: dict[str, Any], stats: dict[str, Any]) -> None:
    for name, value in stats.items():
        if isinstance(value, bool) or name in ("threads", "guard", "field_kind", "native"):
            summed.setdefault(name, value)
        elif name == "steepest":
            summed[name] = max(summed.get(name, 0.0), value)
        elif isinstance(value, (int, float)):
            summed[name] = summed.get(name, 0) + value
        elif isinstance(value, dict):
            _sum_stats(summed.setdefault(name, {}), value)


# ---------------------------------------------------------------- streaming


class PlySink:
    """Writes a binary PLY as tiles come: vertices straight to the file,
    faces to a file beside it, appended at the end; the counts go into a
    header of fixed length written last."""

    HEADER = 512

    def __init__(self, out: BinaryIO, normals: bool, directory: str | None = None) -> None:
        if not out.seekable():
            raise ValueError("a mesh streamed in tiles goes to a regular file, which it must seek in")
        self.out = out
        self.with_normals = normals
        self.vertex_count = 0
        self.face_count = 0
        out.write(b" " * self.HEADER)
        # Beside the file, on its disk: the faces are as large as the vertices.
        self.faces = tempfile.TemporaryFile(dir=directory or None)

    def add(self, vertices: NDArray[np.float64], normals: NDArray[np.float64], triangles: NDArray[np.int64],
            corners: NDArray[np.float64]) -> None:  # fmt: skip
        if self.with_normals:
            rows = np.empty(len(vertices), dtype=[("p", "<f8", (3,)), ("n", "<f4", (3,))])
            rows["p"] = vertices
            rows["n"] = normals
            self.out.write(rows.tobytes())
        else:
            self.out.write(np.ascontiguousarray(vertices, dtype="<f8").tobytes())
        faces = np.empty(len(triangles), dtype=[("n", "u1"), ("v", "<i4", (3,))])
        faces["n"] = 3
        faces["v"] = triangles
        self.faces.write(faces.tobytes())
        self.vertex_count += len(vertices)
        self.face_count += len(triangles)
        if self.vertex_count >= 2**31:
            raise ValueError("PLY faces hold 32-bit indices: too many vertices")

    def close(self) -> None:
        self.faces.seek(0)
        while chunk := self.faces.read(1 << 24):
            self.out.write(chunk)
        self.faces.close()
        normal_properties = "property float nx\nproperty float ny\nproperty float nz\n" if self.with_normals else ""
        lines = (
            "ply\nformat binary_little_endian 1.0\n",
            f"element vertex {self.vertex_count}\n"
            f"property double x\nproperty double y\nproperty double z\n{normal_properties}"
            f"element face {self.face_count}\n"
            "property list uchar int vertex_indices\nend_header\n",
        )
        pad = self.HEADER - len(lines[0]) - len(lines[1]) - len("comment written by quarvel\n")
        header = f"{lines[0]}comment written by quarvel{' ' * pad}\n{lines[1]}".encode("ascii")
        self.out.seek(0)
        self.out.write(header)
        self.out.seek(0, os.SEEK_END)


class StlSink:
    """Writes a binary STL as tiles come; the count goes in last."""

    def __init__(self, out: BinaryIO) -> None:
        if not out.seekable():
            raise ValueError("a mesh streamed in tiles goes to a regular file, which it must seek in")
        self.out = out
        self.face_count = 0
        out.write(b"binary STL written by quarvel".ljust(80, b" "))
        out.write(np.uint32(0).tobytes())

    def add(self, vertices: NDArray[np.float64], normals: NDArray[np.float64], triangles: NDArray[np.int64],
            corners: NDArray[np.float64]) -> None:  # fmt: skip
        from ..io.stl import records

        self.out.write(records(corners).tobytes())
        self.face_count += len(triangles)
        if self.face_count >= 2**32:
            raise ValueError("binary STL counts triangles in 32 bits: too many triangles")

    def close(self) -> None:
        self.out.seek(80)
        self.out.write(np.uint32(self.face_count).tobytes())
        self.out.seek(0, os.SEEK_END)
