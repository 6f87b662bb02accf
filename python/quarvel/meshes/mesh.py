"""The triangle mesh returned by :func:`quarvel.mesh`."""

from __future__ import annotations

import base64
import html
import importlib
import math
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import _core
from .._bounds import Bounds
from ..meshes.check import MAX_PAIRS, MeshCheck, check_mesh
from ..io.files import read_mesh, write_mesh

CORNER_BLOCK = 1 << 15


def check_tolerance(tolerance: float) -> None:
    """Raise ValueError unless ``tolerance`` is a finite distance >= 0 (shared with quarvel.mesh)."""
    if (
        isinstance(tolerance, bool)
        or not isinstance(tolerance, (int, float, np.number))
        or not 0.0 <= tolerance < math.inf
    ):
        raise ValueError(f"tolerance must be a finite distance >= 0 (got {tolerance!r})")


class Mesh:
    """A triangle mesh: ``vertices`` (N, 3) float64 and ``triangles`` (M, 3) int64.

    Triangles are 0-based vertex indices wound counter-clockwise seen from
    outside, so that :attr:`volume` is positive for a closed surface.
    ``normals`` are unit vertex normals (N, 3), or None; :func:`quarvel.mesh`
    takes them from the field's gradients.  ``stats`` says what making the
    mesh cost (see :func:`quarvel.mesh`); it is empty for other meshes.

    The measures (:attr:`area`, :attr:`volume`, :attr:`is_watertight`,
    :attr:`component_count`) are computed once, together, and kept; a mesh
    from :func:`quarvel.mesh` starts with the core's.  Assigning ``vertices``
    or ``triangles`` (``mesh.vertices += shift`` included) forgets them; after
    changing elements in place (``mesh.vertices[0] = p``), assign the array
    again.
    """

    __slots__ = ("vertices", "triangles", "normals", "stats", "_summary", "_topology")

    vertices: NDArray[np.float64]
    triangles: NDArray[np.int64]
    normals: NDArray[np.float64] | None
    stats: dict[str, Any]

    def __init__(
        self,
        vertices: ArrayLike,
        triangles: ArrayLike,
        normals: ArrayLike | None = None,
        stats: dict[str, Any] | None = None,
    ) -> None:
        v = np.asarray(vertices, dtype=np.float64).reshape(-1, 3)
        t = np.asarray(triangles, dtype=np.int64).reshape(-1, 3)
        if len(t) and (t.min() < 0 or t.max() >= len(v)):
            raise ValueError(f"triangle indices must lie in [0, {len(v)})")
        n = None if normals is None else np.asarray(normals, dtype=np.float64).reshape(-1, 3)
        if n is not None and len(n) != len(v):
            raise ValueError(f"expected one normal per vertex ({len(v)}), got {len(n)}")
        self.vertices = v
        self.triangles = t
        self.normals = n
        self.stats = dict(stats) if stats else {}

    @classmethod
    def _measured(
        cls, vertices: ArrayLike, triangles: ArrayLike, normals: ArrayLike | None, stats: dict[str, Any],
        summary: Mapping[str, Any],
    ) -> Mesh:
        """A mesh whose measures the core took as it made it."""
        mesh = cls(vertices, triangles, normals, stats)
        object.__setattr__(mesh, "_summary", summary)
        return mesh

    def __setattr__(self, name: str, value: Any) -> None:
        if name in ("vertices", "triangles"):
            object.__setattr__(self, "_summary", None)
            object.__setattr__(self, "_topology", None)
        object.__setattr__(self, name, value)

    def _measures_all(self, closed: bool = False) -> Mapping[str, Any]:
        """Area, volume, pieces and closedness, measured in one call and kept.
        The core's measures leave closedness out, as it costs more than they
        do: it is added when ``closed`` asks for it."""
        summary: Mapping[str, Any] | None = getattr(self, "_summary", None)
        if summary is None:
            summary = _core.engine.summarize_mesh(self.vertices, self.triangles)
        elif closed and "closed" not in summary:
            faults = ("degenerate_triangles", "boundary_edges", "nonmanifold_edges", "misoriented_edges")
            found = self._topology_counts()
            summary = {**summary, "closed": bool(len(self.triangles)) and not any(found[name] for name in faults)}
        object.__setattr__(self, "_summary", summary)
        return summary

    def _topology_counts(self) -> Mapping[str, int]:
        """The check's counts without the crossing pairs, taken once and kept."""
        found: Mapping[str, int] | None = getattr(self, "_topology", None)
        if found is None:
            found = _core.engine.check_topology(self.vertices, self.triangles)
            object.__setattr__(self, "_topology", found)
        return found

    def components(self) -> NDArray[np.int64]:
        """Per triangle, its connected piece: 0 for the piece of the first
        triangle, 1 for the next piece met, and so on.  Triangles are connected
        through shared vertices."""
        labels: NDArray[np.int64] = _core.engine.mesh_components(self.vertices, self.triangles)
        return labels

    def simplify(self, tolerance: float) -> Mesh:
        """A copy with fewer triangles, every plane of this mesh within
        ``tolerance`` (model units) of the vertex it was merged into.

        Vertices are merged a block of space at a time, then edges collapsed
        cheapest first, each moving one vertex onto a neighbour, so the
        vertices left are vertices of this mesh: corners and sharp edges stay
        where they are, and flat or gently curved parts become large
        triangles.  A closed 2-manifold without crossing triangles
        stays one, with the same pieces; edges where this mesh is open or not
        manifold are left as they are.  The copy has no normals;
        ``quarvel.mesh(..., tolerance=t)`` keeps them.
        ``stats["simplified"]`` gives the triangles before and the merges made.
        """
        check_tolerance(tolerance)
        vertices, triangles, found = _core.engine.simplify_mesh(self.vertices, self.triangles, float(tolerance))
        return Mesh(vertices, triangles, stats={"simplified": found})

    @property
    def component_count(self) -> int:
        """The number of connected pieces (0 for a mesh without triangles)."""
        return int(self._measures_all()["pieces"])

    def split(self) -> list[Mesh]:
        """One mesh per connected piece, in the order of :meth:`components`,
        each holding only its own vertices (and normals) in their order, and
        its triangles in theirs."""
        labels = self.components()
        if not len(labels):
            return []
        count = int(labels.max()) + 1
        # Pieces join through shared vertices, so each used vertex belongs to
        # exactly one: sorted by piece once (stably, keeping their order
        # within each), triangles and vertices fall into consecutive runs.
        by_piece = np.argsort(labels, kind="stable")
        triangle_starts = np.concatenate([[0], np.cumsum(np.bincount(labels, minlength=count))])
        piece_of = np.full(len(self.vertices), count, dtype=np.int64)
        piece_of[self.triangles] = labels[:, None]
        used = np.flatnonzero(piece_of < count)
        used = used[np.argsort(piece_of[used], kind="stable")]
        sizes = np.bincount(piece_of[used], minlength=count)
        vertex_starts = np.concatenate([[0], np.cumsum(sizes)])
        # A vertex's number within its piece: its place in the runs less its run's start.
        local = np.empty(len(self.vertices), dtype=np.int64)
        local[used] = np.arange(len(used)) - np.repeat(vertex_starts[:-1], sizes)
        triangles = local[self.triangles[by_piece]]
        pieces = []
        for k in range(count):
            keep = used[vertex_starts[k] : vertex_starts[k + 1]]
            normals = None if self.normals is None else self.normals[keep]
            piece = triangles[triangle_starts[k] : triangle_starts[k + 1]].copy()
            pieces.append(Mesh(self.vertices[keep], piece, normals))
        return pieces

    @property
    def area(self) -> float:
        """Total surface area."""
        return float(self._measures_all()["area"])

    @property
    def volume(self) -> float:
        """Enclosed volume by the divergence theorem; exact for a closed mesh.

        Positive when the triangles face outward, negative when inverted.
        """
        return float(self._measures_all()["volume"])

    def _measures(self) -> tuple[float, float]:
        """(area, volume), measured from the centre of the vertices' box: the
        summands stay small, and for a closed mesh the volume does not depend
        on the origin; and each axis scaled by a power of two to the box's
        size along it, so that coordinates near the ends of the double range
        neither overflow nor underflow (a result too large for a float is
        infinite).  In the extension module when it is there: whole-mesh NumPy
        temporaries of a few million triangles cost more in fresh pages than
        the arithmetic on them."""
        if not len(self.triangles):
            return 0.0, 0.0
        area, volume = _core.engine.measure_mesh(self.vertices, self.triangles)
        return float(area), float(volume)

    def _measures_in_numpy(self) -> tuple[float, float]:
        lo, hi = self.vertices.min(axis=0), self.vertices.max(axis=0)
        center = 0.5 * lo + 0.5 * hi  # halves first: lo + hi may overflow
        # Per axis, the power of two that brings the box's half-extent into
        # [1, 2); a normal's components come out scaled by the other two axes'.
        exponent = [
            max(math.frexp(h)[1] - 1, -1000) if math.isfinite(h) and h > 0.0 else 0
            for h in (0.5 * hi - 0.5 * lo).tolist()
        ]
        pairs = [exponent[1] + exponent[2], exponent[0] + exponent[2], exponent[0] + exponent[1]]
        scale = np.ldexp(1.0, [-e for e in exponent])
        normal_scale = np.ldexp(1.0, [p - max(pairs) for p in pairs])
        area, volume = [], []
        for start in range(0, len(self.triangles), CORNER_BLOCK):
            corners = (self.vertices[self.triangles[start : start + CORNER_BLOCK]] - center) * scale
            a, b, c = corners[:, 0], corners[:, 1], corners[:, 2]
            area.append(float(np.linalg.norm(np.cross(b - a, c - a) * normal_scale, axis=1).sum()))
            volume.append(float(np.einsum("ij,ij->", a, np.cross(b, c))))
        return _scaled(math.fsum(area), max(pairs)) / 2.0, _scaled(math.fsum(volume), sum(exponent)) / 6.0

    @property
    def is_watertight(self) -> bool:
        """True when the mesh is closed and consistently oriented.

        Every edge then belongs to exactly two triangles that run through it
        in opposite directions, and no triangle repeats a vertex.
        """
        return bool(self._measures_all(closed=True)["closed"])

    def check(self, max_pairs: int | None = MAX_PAIRS) -> MeshCheck:
        """Whether the mesh is closed, consistently oriented, a 2-manifold
        with finite vertices and free of self-intersections, with counts of
        what is not (see :class:`MeshCheck`).  Lists the first ``max_pairs``
        crossing triangle pairs (10,000 by default; None for all of them) and
        counts the rest.  Works on any mesh, loaded ones included; a few
        million triangles take seconds, and Ctrl-C stops it.  Needs the
        extension module."""
        return check_mesh(self.vertices, self.triangles, max_pairs)

    @property
    def bounds(self) -> Bounds:
        """The box around all vertices (an empty box when there are none)."""
        if not len(self.vertices):
            return Bounds.of(np.inf, -np.inf)
        return Bounds.of(self.vertices.min(axis=0), self.vertices.max(axis=0))

    def save(self, path: str | Path) -> Path:
        """Write the mesh in the format its suffix names.

        .ply (binary), .obj and .stl (binary) are written directly; .glb, .gltf,
        .off, .3mf and .dae need trimesh.  PLY and OBJ files (and trimesh's
        formats) hold the vertex normals too, when the mesh has them.  The file
        is replaced in one step once it is complete, so a failed save leaves an
        existing file untouched; through a symbolic link, the file it points to
        is replaced and the link kept.  A character device or a FIFO is written
        into as it is.  A directory, a block device, a socket or a read-only
        file raises OSError saying so, and is left alone.
        """
        write_mesh(path, self.vertices, self.triangles, self.normals)
        return Path(path)

    @classmethod
    def load(cls, path: str | Path) -> Mesh:
        """Read a mesh: .ply and .stl (ASCII or binary), .obj; .glb, .gltf, .off,
        .3mf and .dae need trimesh.  A malformed file raises ValueError saying
        what is wrong and where, and so does a device (only regular files and
        FIFOs are read)."""
        return cls(*read_mesh(path))

    def preview(self, path: str | Path, size: int = 640, elev: float = 25.0, azim: float = -60.0) -> Path:
        """Write a shaded ``size`` x ``size`` picture of the mesh (needs matplotlib).

        The format follows the suffix: .png, .jpg, .svg, .pdf or any other that
        matplotlib writes; another suffix raises ValueError before any drawing.
        ``elev`` and ``azim`` give the viewing direction in degrees, as in
        matplotlib's 3-D axes.  The file is written as :meth:`save` writes one.
        """
        from ..io.preview import render_preview

        return render_preview(self, path, size, elev, azim)

    def show(self) -> Any:
        """Open the mesh in an interactive viewer.

        In a Jupyter notebook with trimesh installed, returns trimesh's viewer
        for the notebook to display.  Elsewhere it opens a window, which needs
        a display: trimesh's viewer when trimesh and pyglet are installed, else
        a matplotlib 3-D window (returns when it is closed).  RuntimeError when
        there is no display, ImportError saying what to install when there is
        no viewer.
        """
        from ..io.preview import show

        return show(self)

    def _repr_png_(self) -> bytes | None:
        """A small picture for notebooks; None without matplotlib or triangles."""
        from ..io.preview import thumbnail

        return thumbnail(self)

    def _repr_html_(self) -> str:
        return str(self._repr_mimebundle_()["text/html"])

    def _repr_mimebundle_(self, include: Any = None, exclude: Any = None) -> dict[str, Any]:
        """The summary with a small picture, drawn once for all of a notebook's formats."""
        png = self._repr_png_()
        summary = html.escape(self.summary())
        if png is None:
            return {"text/plain": repr(self), "text/html": f"<p>{summary}</p>"}
        image = f'<img src="data:image/png;base64,{base64.b64encode(png).decode()}" alt="mesh">'
        return {"text/plain": repr(self), "text/html": f"{image}<p>{summary}</p>", "image/png": png}

    def to_trimesh(self) -> Any:
        """The mesh as a ``trimesh.Trimesh`` (needs the optional trimesh package)."""
        try:
            trimesh = importlib.import_module("trimesh")
        except ImportError:
            raise ImportError("Mesh.to_trimesh needs trimesh: pip install trimesh") from None
        return trimesh.Trimesh(vertices=self.vertices, faces=self.triangles, process=False)

    def summary(self) -> str:
        """One line: counts, area, volume, closedness, pieces and bounds."""
        closed = "watertight" if self.is_watertight else "not watertight"
        pieces = self.component_count
        return (
            f"{len(self.vertices):,} vertices, {len(self.triangles):,} triangles, "
            f"area {self.area:.6g}, volume {self.volume:.6g}, {closed}, "
            f"{pieces:,} {'piece' if pieces == 1 else 'pieces'}, bounds {self.bounds}"
        )

    def __repr__(self) -> str:
        return f"<Mesh {len(self.vertices)} vertices, {len(self.triangles)} triangles>"


def _scaled(x: float, exponent: int) -> float:
    """x * 2**exponent, infinite where that is too large for a float."""
    try:
        return math.ldexp(x, exponent)
    except OverflowError:
        return math.copysign(math.inf, x)
