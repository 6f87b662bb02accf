"""What :meth:`Mesh.check` reports."""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .. import _core

# Crossing pairs Mesh.check lists by default; the rest are counted.
MAX_PAIRS = 10_000


@dataclass(frozen=True)
class MeshCheck:
    """The validity of a triangle mesh, as counts.

    ``boundary_edges`` lie on one triangle (the mesh is open there);
    ``nonmanifold_edges`` on more than two; ``misoriented_edges`` on two
    triangles that run through them the same way; ``nonmanifold_vertices``
    join triangles that form more than one fan (a pinch);
    ``degenerate_triangles`` repeat a vertex index; ``nonfinite_vertices``
    have a NaN or infinite coordinate (their triangles are left out of the
    search for crossings).

    ``intersecting_count`` triangle pairs pass through each other (triangles
    that only touch at shared vertices or edges, or lie exactly in one plane,
    are not counted), and ``intersecting`` holds the first of them as (K, 2)
    index pairs in increasing order, at most the ``max_pairs`` given to
    :meth:`Mesh.check`.  Where many triangles crowd one spot (copies stacked
    in one place, a heap of triangles that all cross each other) the search
    makes a number of tests in proportion to the triangles there and then
    moves on: ``intersecting_complete`` is then False and the count a lower
    bound.
    """

    degenerate_triangles: int
    boundary_edges: int
    nonmanifold_edges: int
    misoriented_edges: int
    nonmanifold_vertices: int
    intersecting: NDArray[np.int64]
    nonfinite_vertices: int = 0
    intersecting_count: int = -1  # -1: len(intersecting)
    intersecting_complete: bool = True

    def __post_init__(self) -> None:
        if self.intersecting_count < 0:
            object.__setattr__(self, "intersecting_count", len(self.intersecting))

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
        """Some triangles pass through each other."""
        return self.intersecting_count > 0

    @property
    def ok(self) -> bool:
        """Closed, oriented, manifold, every vertex finite and, by a complete
        search, free of self-intersections: printable."""
        return (
            self.closed
            and self.oriented
            and self.manifold
            and self.nonfinite_vertices == 0
            and self.intersecting_complete
            and not self.self_intersecting
        )

    def __str__(self) -> str:
        if self.ok:
            return "closed, oriented 2-manifold without self-intersections"
        at_least = "" if self.intersecting_complete else "at least "
        problems = [
            f"{n:,} {what}"
            for n, what in (
                (self.boundary_edges, "boundary edges"),
                (self.nonmanifold_edges, "non-manifold edges"),
                (self.misoriented_edges, "misoriented edges"),
                (self.nonmanifold_vertices, "non-manifold vertices"),
                (self.degenerate_triangles, "degenerate triangles"),
                (self.nonfinite_vertices, "non-finite vertices"),
            )
            if n
        ]
        if self.intersecting_count or not self.intersecting_complete:
            problems.append(f"{at_least}{self.intersecting_count:,} intersecting triangle pairs")
        if not self.intersecting_complete:
            problems[-1] += " (crowded spots searched in part)"
        return ", ".join(problems)


def check_mesh(
    vertices: NDArray[np.float64], triangles: NDArray[np.int64], max_pairs: int | None = MAX_PAIRS
) -> MeshCheck:
    if max_pairs is not None:
        max_pairs = operator.index(max_pairs)
        if max_pairs < 0:
            raise ValueError(f"max_pairs must be at least 0, got {max_pairs}")
    found = _core.engine.check_mesh(vertices, triangles, max_pairs)
    return MeshCheck(**found)
