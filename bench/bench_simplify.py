"""Triangles where the shape needs them: quarvel.mesh at tolerance 0 and at a
tolerance of one cell, beside scikit-image marching cubes on the same cells.

    python bench/bench_simplify.py [depth]          # default 8
    python bench/bench_simplify.py --cost BUILD [BUILD ...] [--depth 8] [--repeat 5]

Per case: triangles, the worst distance from vertices to the true surface
and from points on the true surface to the mesh (both in cells h), the worst
sharp-corner error (shapes with known corners), the share of triangles with
an angle below 5 degrees, Mesh.check() and the time. The distance from the
surface to the mesh is measured from the full mesh's vertices (points of the
true surface, a cell apart) to the simplified mesh's triangles: exactly, to
the triangles of the nearest samples (scipy's KD-tree) of a sampling of them.
Needs the bench extra (scikit-image); scipy comes with it.

``--cost`` times only what simplifying adds: each case, in its own process
per build (build folders, as PYTHONPATH would name them, taking turns), is
meshed at tolerance 0 and at one cell in turn, ``--repeat`` times; the table
gives the triangles and the median extra time of each build, in seconds and
as a share of meshing at tolerance 0.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import quarvel as qv

BAR = qv.cylinder(0.35, 2.0)
PLATE = (
    (qv.rounded_box((6.0, 4.0, 0.6), 0.1) - qv.cylinder(0.5, 2.0).translate((1.8, 1.0, 0.0))
     - qv.cylinder(0.5, 2.0).translate((-1.8, -1.0, 0.0)))
    | qv.cylinder(0.7, 1.2).translate((0.0, 0.0, 0.5))
)
TURN = (37.12, (1.0, 2**0.5, np.pi))
CASES = {
    "box": (qv.box(1.0), [(x, y, z) for x in (-0.5, 0.5) for y in (-0.5, 0.5) for z in (-0.5, 0.5)]),
    "turned box": (qv.box(1.0).rotate(*TURN), "turned"),
    "plate": (PLATE, None),
    "csg": ((qv.box(1.5) & qv.sphere(1.0)) - (BAR | BAR.rotate(90, (1, 0, 0)) | BAR.rotate(90, (0, 1, 0))), None),
    "gyroid in a box": (qv.gyroid(0.5).shell(0.05) & qv.box((1.0, 1.0, 1.0)), None),
    "sphere": (qv.sphere(1.0), None),
}


def corners_of(case):
    shape, corners = CASES[case]
    if corners == "turned":
        from quarvel.shapes.base import rotation_matrix

        cube = np.array([(x, y, z) for x in (-0.5, 0.5) for y in (-0.5, 0.5) for z in (-0.5, 0.5)])
        return cube @ np.asarray(rotation_matrix(*TURN)).T
    return None if corners is None else np.array(corners)


def small_angle_share(mesh):
    tri = mesh.vertices[mesh.triangles]
    worst = np.full(len(tri), 180.0)
    for i in range(3):
        a, b = tri[:, (i + 1) % 3] - tri[:, i], tri[:, (i + 2) % 3] - tri[:, i]
        cos = (a * b).sum(1) / np.maximum(np.linalg.norm(a, axis=1) * np.linalg.norm(b, axis=1), 1e-300)
        worst = np.minimum(worst, np.degrees(np.arccos(np.clip(cos, -1.0, 1.0))))
    return float(np.mean(worst < 5.0))


def closest_on_triangles(p, a, b, c):
    """The points of triangles (a, b, c) closest to points p, row by row
    (Ericson, Real-Time Collision Detection, 5.1.5)."""
    ab, ac, ap = b - a, c - a, p - a
    d1, d2 = (ab * ap).sum(1), (ac * ap).sum(1)
    bp = p - b
    d3, d4 = (ab * bp).sum(1), (ac * bp).sum(1)
    cp = p - c
    d5, d6 = (ab * cp).sum(1), (ac * cp).sum(1)
    va, vb, vc = d3 * d6 - d5 * d4, d5 * d2 - d1 * d6, d1 * d4 - d3 * d2
    with np.errstate(divide="ignore", invalid="ignore"):
        denom = 1.0 / (va + vb + vc)
        out = a + ab * (vb * denom)[:, None] + ac * (vc * denom)[:, None]  # inside the face
        cases = [
            ((d1 <= 0) & (d2 <= 0), a),
            ((d3 >= 0) & (d4 <= d3), b),
            ((d6 >= 0) & (d5 <= d6), c),
            ((vc <= 0) & (d1 >= 0) & (d3 <= 0), a + ab * (d1 / (d1 - d3))[:, None]),
            ((vb <= 0) & (d2 >= 0) & (d6 <= 0), a + ac * (d2 / (d2 - d6))[:, None]),
            ((va <= 0) & (d4 - d3 >= 0) & (d5 - d6 >= 0),
             b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6)))[:, None]),
        ]
    done = np.zeros(len(p), dtype=bool)
    for mask, point in cases:
        take = mask & ~done
        out[take] = point[take]
        done |= take
    return out


def surface_to_mesh(points, mesh, h):
    """Worst distance from ``points`` (at most 50,000 of them, spread evenly) to
    the triangles of ``mesh``, in h: exact distances to the triangles of the
    16 nearest of samples taken about every h / 2 over the triangles."""
    from scipy.spatial import cKDTree

    points = points[:: max(1, len(points) // 50_000)]
    tri = mesh.vertices[mesh.triangles]
    longest = np.linalg.norm(tri - np.roll(tri, 1, axis=1), axis=2).max(axis=1)
    parts = np.minimum(np.maximum(np.ceil(longest / (h / 2.0)).astype(int), 1), 256)
    samples, owner = [], []
    for n in np.unique(parts):
        which = np.flatnonzero(parts == n)
        group = tri[which]
        i, j = np.meshgrid(np.arange(n + 1), np.arange(n + 1), indexing="ij")
        keep = i + j <= n
        u, v = i[keep] / n, j[keep] / n
        samples.append((group[:, None, 0] * (1 - u - v)[None, :, None] + group[:, None, 1] * u[None, :, None]
                        + group[:, None, 2] * v[None, :, None]).reshape(-1, 3))
        owner.append(np.repeat(which, len(u)))
    _, nearest = cKDTree(np.concatenate(samples)).query(points, k=16)
    candidates = np.concatenate(owner)[nearest]  # (P, 16) triangles
    rows = np.repeat(points, candidates.shape[1], axis=0)
    flat = tri[candidates.ravel()]
    gap = np.linalg.norm(rows - closest_on_triangles(rows, flat[:, 0], flat[:, 1], flat[:, 2]), axis=1)
    gap[np.isnan(gap)] = np.inf  # a triangle of no area: its neighbours among the candidates answer
    return float(gap.reshape(candidates.shape).min(axis=1).max()) / h


def row(case, label, mesh, seconds, h, truth_points, corners, values):
    worst_vertex = float(np.abs(values(mesh.vertices)).max()) / h
    worst_surface = 0.0 if mesh.vertices is truth_points else surface_to_mesh(truth_points, mesh, h)
    corner = "" if corners is None else (
        f"{np.linalg.norm(mesh.vertices[None] - corners[:, None], axis=2).min(axis=1).max() / h:.4f}")
    check = mesh.check()
    return (f"| {case} | {label} | {len(mesh.triangles):,} | {worst_vertex:.3f} | {worst_surface:.3f} | {corner} | "
            f"{100 * small_angle_share(mesh):.2f}% | {'clean' if check.ok else 'FAULT'} | {seconds:.2f} s |")


def marching_cubes(shape, full, h):
    from skimage.measure import marching_cubes as mc

    lo = np.asarray(full.bounds.lo) - 2 * h
    n = np.ceil((np.asarray(full.bounds.hi) + 2 * h - lo) / h).astype(int) + 1
    axes = [lo[k] + h * np.arange(n[k]) for k in range(3)]
    grid = np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, 3)
    start = time.perf_counter()
    volume = shape.compile().values(grid).reshape(n).astype(np.float32)
    verts, faces, _, _ = mc(volume, 0.0, spacing=(h, h, h))
    seconds = time.perf_counter() - start
    return qv.Mesh(verts + lo, faces[:, ::-1]), seconds


ONE_COST = """
import statistics, sys, time
sys.path.insert(0, sys.argv[1])
import quarvel as qv
from bench_simplify import CASES
shape, depth, repeat = CASES[sys.argv[2]][0], int(sys.argv[3]), int(sys.argv[4])
h = qv.mesh(shape, max_depth=depth, progress=False).stats["cell_size"]
full, simple = [], []
for _ in range(repeat):
    start = time.perf_counter(); qv.mesh(shape, max_depth=depth, progress=False)
    full.append(time.perf_counter() - start)
    start = time.perf_counter(); mesh = qv.mesh(shape, max_depth=depth, tolerance=h, progress=False)
    simple.append(time.perf_counter() - start)
print(len(mesh.triangles), statistics.median(full), statistics.median(simple))
"""


def cost(builds: list[str], depth: int, repeat: int) -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    print(f"depth {depth}; tolerance: one cell h; extra time over tolerance 0, median of {repeat}\n")
    print("| case | " + " | ".join(f"{b}: triangles | {b}: extra" for b in builds) + " |")
    print("|---|" + "---:|---:|" * len(builds))
    for case in CASES:
        cells = []
        for build in builds:
            env = {**os.environ, "PYTHONPATH": os.path.abspath(build)}
            out = subprocess.run([sys.executable, "-c", ONE_COST, here, case, str(depth), str(repeat)], env=env,
                                 capture_output=True, text=True, check=True).stdout.split()
            triangles, full, simple = int(out[0]), float(out[1]), float(out[2])
            cells.append(f"{triangles:,} | {simple - full:.2f} s ({100 * (simple / full - 1):.0f}%)")
        print(f"| {case} | " + " | ".join(cells) + " |", flush=True)


def main() -> None:
    if "--cost" in sys.argv:
        parser = argparse.ArgumentParser()
        parser.add_argument("--cost", nargs="+", required=True, metavar="BUILD")
        parser.add_argument("--depth", type=int, default=8)
        parser.add_argument("--repeat", type=int, default=5)
        args = parser.parse_args()
        cost(args.cost, args.depth, args.repeat)
        return
    depth = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    print(f"depth {depth}; tolerance: one cell h; distances in h\n")
    print("| case | mesher | triangles | vertex to surface | surface to mesh | corner | angles < 5° | check | time |")
    print("|---|---|---:|---:|---:|---:|---:|---|---:|")
    for case, (shape, _) in CASES.items():
        values = shape.compile().values
        corners = corners_of(case)
        start = time.perf_counter()
        full = qv.mesh(shape, max_depth=depth, progress=False)
        full_seconds = time.perf_counter() - start
        h = full.stats["cell_size"]
        start = time.perf_counter()
        simple = qv.mesh(shape, max_depth=depth, tolerance=h, progress=False)
        simple_seconds = time.perf_counter() - start
        print(row(case, "quarvel, tolerance 0", full, full_seconds, h, full.vertices, corners, values))
        print(row(case, "quarvel, tolerance h", simple, simple_seconds, h, full.vertices, corners, values))
        dense, dense_seconds = marching_cubes(shape, full, h)
        print(row(case, "scikit-image", dense, dense_seconds, h, full.vertices, corners, values))


if __name__ == "__main__":
    main()
