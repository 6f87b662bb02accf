"""What :meth:`Mesh.check` reports."""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray


@dataclass(frozen=True)
class MeshCheck:
    """The validity of a triangle mesh, as counts.

    ``boundary_edges`` lie on one triangle (the mesh is open there);
    ``nonmanifold_edges`` on more than two; ``misoriented_edges`` on two
    triangles that run through them the same way; ``nonmanifold_vertices``
    join triangles that form more than one fan (a pinch);
    ``degenerate_triangles`` repeat a vertex index.  ``intersecting`` holds the
    (K, 2) index pairs of triangles that pass through each other (triangles
    that only touch at shared vertices or edges, or lie exactly in one plane,
    are not counted).
    """

    degenerate_triangles: int
    boundary_edges: int
    nonmanifold_edges: int
    misoriented_edges: int
    nonmanifold_vertices: int
    intersecting: NDArray[np.int64]

    @property
    def closed(self) -> bool:
        """No edge on only one triangle."""
        return self.boundary_edges == 0

    @property
    def oriented(self) -> bool:
        """Neighbouring triangles agree on which side is outside."""
        return self.misoriented_edges == 0

    @property
    def manifold(self) -> bool:
        """Every edge on at most two triangles, every vertex a single fan, no degenerate triangle."""
        return self.nonmanifold_edges == 0 and self.nonmanifold_vertices == 0 and self.degenerate_triangles == 0

    @property
    def self_intersecting(self) -> bool:
        return len(self.intersecting) > 0

    @property
    def ok(self) -> bool:
        """Closed, oriented, manifold and free of self-intersections: printable."""
        return self.closed and self.oriented and self.manifold and not self.self_intersecting

    def __str__(self) -> str:
        if self.ok:
            return "closed, oriented 2-manifold without self-intersections"
        problems = [
            f"{n:,} {what}"
            for n, what in (
                (self.boundary_edges, "boundary edges"),
                (self.nonmanifold_edges, "non-manifold edges"),
                (self.misoriented_edges, "misoriented edges"),
                (self.nonmanifold_vertices, "non-manifold vertices"),
                (self.degenerate_triangles, "degenerate triangles"),
                (len(self.intersecting), "intersecting triangle pairs"),
            )
            if n
        ]
        return ", ".join(problems)


def check_mesh(vertices: NDArray[np.float64], triangles: NDArray[np.int64]) -> MeshCheck:
    engine: Any = importlib.import_module("quarvel._engine")
    found = engine.check_mesh(vertices, triangles)
    return MeshCheck(**found)
