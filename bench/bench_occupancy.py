"""Fields that are not distances (occupancy, clipped values) meshed by
quarvel and by scikit-image's marching cubes on the same lattice, side by side.

Each shape has an exact distance to its surface, against which both meshes
are measured: the largest vertex distance in cells (h), the vertex normals
facing against the true outward normal, the volume error, and, for quarvel,
Mesh.check() and the treatment stats["field_kind"] reports.

    pip install '.[bench]'
    .venv/bin/python bench/bench_occupancy.py [--depths 6 8] [--shapes ...] [--kinds ...]
"""

from __future__ import annotations

import argparse
import math
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np

import quarvel as qv

HALF = 0.7  # the cube meshed: [-HALF, HALF]^3, no margin, so its lattice is known
CLIP = 0.01


@dataclass(frozen=True)
class Shape:
    sdf: Callable[[np.ndarray], np.ndarray]  # signed, negative inside; exact outside at least
    distance: Callable[[np.ndarray], np.ndarray]  # exact unsigned distance to the surface
    volume: float


def _sphere_sdf(p, centre=(0.0, 0.0, 0.0), r=0.5):
    return np.linalg.norm(p - np.asarray(centre), axis=1) - r


BOX_HALF = np.array([0.4, 0.3, 0.25])


def _box_sdf(p):
    q = np.abs(p) - BOX_HALF
    return np.linalg.norm(np.maximum(q, 0.0), axis=1) + np.minimum(q.max(axis=1), 0.0)


def _box_distance(p):
    # Inside, the nearest face; outside, the exact distance.
    q = np.abs(p) - BOX_HALF
    return np.where(q.max(axis=1) < 0, -q.max(axis=1), _box_sdf(p))


TORUS = (0.45, 0.18)


def _torus_sdf(p):
    ring = np.hypot(p[:, 0], p[:, 1]) - TORUS[0]
    return np.hypot(ring, p[:, 2]) - TORUS[1]


BALLS = (np.array([0.22, 0.0, 0.0]), np.array([-0.22, 0.0, 0.0]), 0.35)


def _balls_sdf(p):
    c1, c2, r = BALLS
    return np.minimum(_sphere_sdf(p, c1, r), _sphere_sdf(p, c2, r))


def _balls_distance(p):
    # Nearest point of the union's surface: one sphere's projection when it
    # lies outside the other ball, else on the circle where the spheres meet.
    c1, c2, r = BALLS
    best = np.full(len(p), np.inf)
    for c, other in ((c1, c2), (c2, c1)):
        d = p - c
        n = np.linalg.norm(d, axis=1)
        foot = c + r * d / np.maximum(n, 1e-300)[:, None]
        ok = np.linalg.norm(foot - other, axis=1) >= r
        best = np.where(ok, np.minimum(best, np.abs(n - r)), best)
    half = 0.5 * np.linalg.norm(c1 - c2)
    ring = math.sqrt(r * r - half * half)  # circle in the plane x = 0 (centres on the x axis)
    radial = np.hypot(p[:, 1], p[:, 2])
    return np.minimum(best, np.hypot(p[:, 0], radial - ring))


def _lens(r, d):
    return math.pi * (4 * r + d) * (2 * r - d) ** 2 / 12


SHAPES = {
    "sphere": Shape(_sphere_sdf, lambda p: np.abs(_sphere_sdf(p)), 4 / 3 * math.pi * 0.5**3),
    "box": Shape(_box_sdf, _box_distance, float(np.prod(2 * BOX_HALF))),
    "torus": Shape(_torus_sdf, lambda p: np.abs(_torus_sdf(p)), 2 * math.pi**2 * TORUS[0] * TORUS[1] ** 2),
    "balls": Shape(_balls_sdf, _balls_distance, 2 * 4 / 3 * math.pi * BALLS[2] ** 3 - _lens(BALLS[2], 0.44)),
}


KINDS = {
    "distance": lambda f: f,
    "occupancy": lambda f: (lambda p: np.where(f(p) < 0.0, -1.0, 1.0)),
    "clipped": lambda f: (lambda p: np.clip(f(p), -CLIP, CLIP)),
}


def outward(shape: Shape, p: np.ndarray) -> np.ndarray:
    """Unit gradients of the shape's signed distance, by central differences."""
    eps = 1e-6
    g = np.stack([shape.sdf(p + eps * e) - shape.sdf(p - eps * e) for e in np.eye(3)], axis=1)
    return g / np.maximum(np.linalg.norm(g, axis=1), 1e-300)[:, None]


def face_normals_at_vertices(vertices, triangles):
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    area_normals = np.cross(b - a, c - a)
    out = np.zeros_like(vertices)
    for k in range(3):
        np.add.at(out, triangles[:, k], area_normals)
    return out


def signed_volume(vertices, triangles):
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    return float(np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6.0)


@dataclass
class Row:
    vertices: int
    worst_h: float
    inward: int
    volume_error: float
    seconds: float
    extra: str


def measure(shape, vertices, normals, volume, h, seconds, extra) -> Row:
    worst = float(shape.distance(vertices).max()) / h
    inward = int(np.count_nonzero(np.einsum("ij,ij->i", normals, outward(shape, vertices)) <= 0.0))
    return Row(len(vertices), worst, inward, 100.0 * (volume / shape.volume - 1.0), seconds, extra)


def run_quarvel(shape: Shape, field, depth: int) -> Row:
    h = 2 * HALF / 2**depth
    start = time.perf_counter()
    mesh = qv.mesh(field, ((-HALF,) * 3, (HALF,) * 3), max_depth=depth, margin=0.0, progress=False)
    seconds = time.perf_counter() - start
    check = mesh.check()
    extra = f"{mesh.stats.get('field_kind', '-')}, check {'ok' if check.ok else 'FAILS'}"
    return measure(shape, mesh.vertices, mesh.normals, mesh.volume, h, seconds, extra)


def run_marching_cubes(shape: Shape, field, depth: int) -> Row:
    from skimage.measure import marching_cubes

    n = 2**depth + 1
    h = 2 * HALF / 2**depth
    start = time.perf_counter()
    axis = -HALF + h * np.arange(n)
    volume = np.empty((n, n, n))
    for i, x in enumerate(axis):  # slab by slab
        y, z = np.meshgrid(axis, axis, indexing="ij")
        volume[i] = field(np.column_stack([np.full(y.size, x), y.ravel(), z.ravel()])).reshape(n, n)
    vertices, triangles, _, _ = marching_cubes(volume, 0.0, spacing=(h, h, h))
    vertices += -HALF
    seconds = time.perf_counter() - start
    # Normals from the faces, turned outward by the sign of the enclosed volume.
    enclosed = signed_volume(vertices, triangles)
    normals = np.sign(enclosed) * face_normals_at_vertices(vertices, triangles)
    return measure(shape, vertices, normals, abs(enclosed), h, seconds, "")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[6, 8])
    parser.add_argument("--shapes", nargs="+", default=list(SHAPES), choices=list(SHAPES))
    parser.add_argument("--kinds", nargs="+", default=["occupancy", "clipped", "distance"], choices=list(KINDS))
    args = parser.parse_args()
    print(f"{'case':<26} {'tool':<8} {'vertices':>9} {'max dist/h':>10} {'inward':>7} {'vol err %':>9} "
          f"{'s':>6}  notes")
    for depth in args.depths:
        for name in args.shapes:
            shape = SHAPES[name]
            for kind in args.kinds:
                field = KINDS[kind](shape.sdf)
                for tool, run in (("quarvel", run_quarvel), ("mc", run_marching_cubes)):
                    r = run(shape, field, depth)
                    print(f"{name + ' ' + kind + f' d{depth}':<26} {tool:<8} {r.vertices:>9} {r.worst_h:>10.3f} "
                          f"{r.inward:>7} {r.volume_error:>+9.3f} {r.seconds:>6.2f}  {r.extra}", flush=True)


if __name__ == "__main__":
    main()
