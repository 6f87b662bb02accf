"""Printable meshes: what quarvel.mesh returns with and without ``manifold``.

For each family (random unions of five spheres, the two-sphere crease, a box
turned 25 degrees about (1, 2, 3), the built-in gyroid, a plate one finest
cell thick tilted 20 degrees) and depth, the table gives the crossing
triangle pairs, non-manifold edges and vertices, whether the mesh is closed
and oriented, the Euler characteristic, and for the box the worst corner and
edge error in finest cells h.  ``--timing`` instead prints the median wall
time of the pipeline with and without the option, side by side.

    .venv/bin/python bench/bench_manifold.py [--depths 6 7 8] [--seeds 20] [--values-only]
    .venv/bin/python bench/bench_manifold.py --timing [--depths 7 8 9] [--repeat 3] [--shapes sphere gyroid]
"""

from __future__ import annotations

import argparse
import functools
import operator
import statistics
import time

import numpy as np

import quarvel as qv

BOUNDS = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
BOX_SIZE = np.array([0.8, 0.6, 0.5])


def finest_edge(depth: int) -> float:
    # mesh() pads the box by 5% of its edge on each side.
    return 2.0 * 1.1 / 2**depth


def sphere_union(seed: int) -> qv.Shape:
    rng = np.random.default_rng(seed)
    spheres = [qv.sphere(rng.uniform(0.15, 0.35), rng.uniform(-0.45, 0.45, 3)) for _ in range(5)]
    return functools.reduce(operator.or_, spheres)


def crease() -> qv.Shape:
    return qv.sphere(0.25, (-0.12, 0.01, 0.02)) | qv.sphere(0.2, (0.15, 0.03, -0.01))


def rotation(degrees: float, axis) -> np.ndarray:
    k = np.asarray(axis, float) / np.linalg.norm(axis)
    a = np.radians(degrees)
    kx = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + np.sin(a) * kx + (1 - np.cos(a)) * kx @ kx


def turned_box() -> tuple[qv.Shape, np.ndarray, list[tuple[np.ndarray, np.ndarray]]]:
    shape = qv.box(BOX_SIZE).rotate(25, (1, 2, 3))
    signs = np.array([[x, y, z] for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)], float)
    local = signs * BOX_SIZE / 2
    # The sense of rotate() is whichever puts the corners on the surface.
    for r in (rotation(25, (1, 2, 3)), rotation(-25, (1, 2, 3))):
        corners = local @ r.T
        if np.abs(shape(corners)[0]).max() < 1e-9:
            break
    edges = [(corners[i], corners[j]) for i in range(8) for j in range(i + 1, 8)
             if np.count_nonzero(signs[i] != signs[j]) == 1]  # fmt: skip
    return shape, corners, edges


def plate(depth: int) -> qv.Shape:
    return qv.box((1.2, 1.2, finest_edge(depth))).rotate(20, (1, 0, 0))


def corner_error(mesh: qv.Mesh, corners: np.ndarray) -> float:
    return float(max(np.linalg.norm(mesh.vertices - c, axis=1).min() for c in corners))


def edge_error(mesh: qv.Mesh, edges, h: float) -> float:
    """Worst, over points along the middle of each edge, of the distance from
    the edge line to the nearest vertex within a cell along it."""
    worst = 0.0
    for a, b in edges:
        d = (b - a) / np.linalg.norm(b - a)
        rel = mesh.vertices - a
        along = rel @ d
        off = np.linalg.norm(rel - along[:, None] * d, axis=1)
        length = np.linalg.norm(b - a)
        for s in np.linspace(0.15 * length, 0.85 * length, 24):
            near = np.abs(along - s) <= h
            worst = max(worst, float(off[near].min()) if near.any() else np.inf)
    return worst


def values_of(shape):
    return lambda p: shape(p)[0]


def run(shape, depth: int, gradients: bool, manifold: bool | None, bounds=BOUNDS) -> qv.Mesh:
    field = shape if gradients else values_of(shape)
    options = {} if manifold is None else {"manifold": manifold}
    return qv.mesh(field, bounds, max_depth=depth, progress=False, lipschitz=1.0, **options)


def row(name: str, depth: int, mesh: qv.Mesh, extra: str = "") -> str:
    c = mesh.check()
    chi = len(mesh.vertices) - len(mesh.triangles) * 3 // 2 + len(mesh.triangles)
    closed = "yes" if c.closed and c.oriented else "no"
    return (f"| {name} | {depth} | {len(mesh.triangles):,} | {len(c.intersecting)} | {c.nonmanifold_edges} | "
            f"{c.nonmanifold_vertices} | {closed} | {chi} | {extra} |")  # fmt: skip


def families(args) -> None:
    manifold = None if args.manifold == "default" else args.manifold == "on"
    gradients = not args.values_only
    print(f"manifold={args.manifold}, gradients={'no' if args.values_only else 'yes'}")
    print("| case | depth | triangles | crossing pairs | non-manifold edges | non-manifold vertices | "
          "closed, oriented | χ | corner / edge error (h) |")  # fmt: skip
    print("|---|---|---|---|---|---|---|---|---|")
    box, corners, edges = turned_box()
    for depth in args.depths:
        h = finest_edge(depth)
        dirty = []
        for seed in range(args.seeds):
            m = run(sphere_union(seed), depth, gradients, manifold)
            if not m.check().ok:
                dirty.append(seed)
        print(f"| five spheres, {args.seeds} seeds | {depth} | | | | | | | not clean: {len(dirty)} {dirty} |")
        print(row("crease", depth, run(crease(), depth, gradients, manifold)))
        m = run(box, depth, gradients, manifold)
        err = f"{corner_error(m, corners) / h:.4f} / {edge_error(m, edges, h) / h:.4f}"
        print(row("turned box", depth, m, err))
        print(row("gyroid", depth, run(qv.builtin("gyroid"), depth, gradients, manifold, qv.builtin("gyroid").bounds)))
        print(row("plate 1 h", depth, run(plate(depth), depth, gradients, manifold)))


def timing(args) -> None:
    shapes = {"sphere": qv.sphere(0.5), "turned box": turned_box()[0], "gyroid": qv.builtin("gyroid")}
    print("| shape | depth | without (s) | with manifold (s) | ratio |")
    print("|---|---|---|---|---|")
    for name in args.shapes:
        shape = shapes[name]
        for depth in args.depths:
            seconds = {False: [], True: []}
            for _ in range(args.repeat):
                for on in (False, True):
                    start = time.perf_counter()
                    run(shape, depth, not args.values_only, on, getattr(shape, "bounds", BOUNDS))
                    seconds[on].append(time.perf_counter() - start)
            off, on = statistics.median(seconds[False]), statistics.median(seconds[True])
            print(f"| {name} | {depth} | {off:.3f} | {on:.3f} | {on / off:.2f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--depths", type=int, nargs="+", default=None)
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--values-only", action="store_true")
    parser.add_argument("--manifold", choices=("on", "off", "default"), default="default")
    parser.add_argument("--timing", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--shapes", nargs="+", choices=("sphere", "turned box", "gyroid"),
                        default=["sphere", "turned box", "gyroid"], help="the shapes timed")
    args = parser.parse_args()
    if args.timing:
        args.depths = args.depths or [7, 8, 9]
        timing(args)
    else:
        args.depths = args.depths or [6, 7, 8]
        families(args)


if __name__ == "__main__":
    main()
