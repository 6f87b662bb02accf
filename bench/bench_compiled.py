"""Compiled shapes against their NumPy path, side by side in one run.

    .venv/bin/python bench/bench_compiled.py points [--count 1000000] [--repeat 5] [--shapes csg gyroid]
    .venv/bin/python bench/bench_compiled.py mesh [--depths 7 8] [--repeat 1] [--shapes csg gyroid]
    .venv/bin/python bench/bench_compiled.py bounds [--depths 5 6 7] [--shapes csg gyroid]

``points`` evaluates each gallery shape (quarvel.BUILTINS) at the same random
points of its box: the NumPy path (values and gradients), the compiled
program (values and gradients, and values alone), and prints the median
times, the nanoseconds per point and the speed-up.

``mesh`` meshes each shape with quarvel.mesh, the shape as its field against
its program as the field, and prints the median times, the points evaluated,
the triangles and the volumes' relative difference.

``bounds`` cuts each shape's cube into the cells of a uniform lattice at
each depth and counts the cells that interval bounds cannot prove empty or
full, against those that a 1-Lipschitz argument from the centre value
cannot (|f(centre)| <= half diagonal), with the time per cell.

The worker pool's size is RAYON_NUM_THREADS (read once per process).
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Callable

import numpy as np

import quarvel as qv
from quarvel import _engine


def median_seconds(run: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def points_in(shape: qv.Shape, count: int) -> np.ndarray:
    box = shape.bounds if shape.bounds.is_finite else qv.Bounds.of(-1.0, 1.0)
    lo, hi = np.asarray(box.lo), np.asarray(box.hi)
    pad = 0.05 * (hi - lo)
    return lo - pad + np.random.default_rng(1).random((count, 3)) * (hi - lo + 2 * pad)


def points_table(names: list[str], count: int, repeat: int) -> None:
    print(f"{count:,} points per shape, median of {repeat} runs, {_engine.thread_count()} threads\n")
    print("| shape | instructions | NumPy | compiled | compiled, values only | speed-up | values-only speed-up |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name in names:
        shape = qv.builtin(name)
        program = shape.compile()
        p = points_in(shape, count)
        numpy_s = median_seconds(lambda: shape(p), repeat)
        native_s = median_seconds(lambda: program(p), repeat)
        values_s = median_seconds(lambda: program.values(p), repeat)

        def per_point(seconds: float) -> str:
            return f"{seconds * 1e3:.1f} ms ({seconds / count * 1e9:.0f} ns/pt)"

        print(f"| {name} | {len(program)} | {per_point(numpy_s)} | {per_point(native_s)} | "
              f"{per_point(values_s)} | {numpy_s / native_s:.0f}x | {numpy_s / values_s:.0f}x |", flush=True)


class Counted:
    """A field that counts the points it is asked for."""

    def __init__(self, field: Callable[[np.ndarray], object], bounds: qv.Bounds) -> None:
        self.field, self.bounds, self.points = field, bounds, 0

    def __call__(self, p: np.ndarray) -> object:
        self.points += len(p)
        return self.field(p)


def mesh_table(names: list[str], depths: list[int], repeat: int) -> None:
    print(f"quarvel.mesh, median of {repeat} runs, {_engine.thread_count()} threads\n")
    print("| shape | depth | NumPy | compiled | speed-up | points (NumPy / compiled) | triangles | volume difference |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name in names:
        shape = qv.builtin(name)
        program = shape.compile()
        for depth in depths:
            results = {}
            for label, field in (("numpy", shape), ("compiled", program)):
                counted = Counted(field, shape.bounds)
                meshes = []
                seconds = median_seconds(lambda: meshes.append(qv.mesh(counted, max_depth=depth)), repeat)
                results[label] = (seconds, counted.points // repeat, meshes[-1])
            (numpy_s, points, reference), (native_s, native_points, mesh) = results["numpy"], results["compiled"]
            # Values equal to a few units in the last place may tip a refinement test.
            difference = abs(mesh.volume - reference.volume) / abs(reference.volume)
            print(f"| {name} | {depth} | {numpy_s:.2f} s | {native_s:.2f} s | {numpy_s / native_s:.1f}x | "
                  f"{points:,} / {native_points:,} | {len(mesh.triangles):,} | {difference:.1e} |", flush=True)


def bounds_table(names: list[str], depths: list[int]) -> None:
    print("| shape | depth | cells | undecided by bounds | undecided by the Lipschitz test | time per cell |")
    print("| --- | ---: | ---: | ---: | ---: | ---: |")
    for name in names:
        shape = qv.builtin(name)
        program = shape.compile()
        centre, edge = np.asarray(shape.bounds.center), 1.1 * max(shape.bounds.size)
        for depth in depths:
            n = 2**depth
            cell = edge / n
            index = np.stack(np.meshgrid(*[np.arange(n)] * 3, indexing="ij"), -1).reshape(-1, 3)
            lo = centre - edge / 2 + index * cell
            start = time.perf_counter()
            lower, upper = program.value_bounds(lo, lo + cell)
            seconds = time.perf_counter() - start
            undecided = np.count_nonzero(~((lower > 0.0) | (upper < 0.0)))
            near = np.count_nonzero(np.abs(program.values(lo + cell / 2)) <= np.sqrt(3.0) * cell / 2)
            print(f"| {name} | {depth} | {n**3:,} | {undecided:,} | {near:,} | "
                  f"{seconds / n**3 * 1e9:.0f} ns |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="mode", required=True)
    points = sub.add_parser("points", help="evaluation alone, at the same points")
    points.add_argument("--count", type=int, default=1_000_000)
    points.add_argument("--repeat", type=int, default=5)
    points.add_argument("--shapes", nargs="+", default=list(qv.BUILTINS))
    mesh = sub.add_parser("mesh", help="quarvel.mesh with the shape or its program as the field")
    mesh.add_argument("--depths", type=int, nargs="+", default=[7])
    mesh.add_argument("--repeat", type=int, default=1)
    mesh.add_argument("--shapes", nargs="+", default=list(qv.BUILTINS))
    bounds = sub.add_parser("bounds", help="cells that interval bounds leave undecided")
    bounds.add_argument("--depths", type=int, nargs="+", default=[5, 6, 7])
    bounds.add_argument("--shapes", nargs="+", default=list(qv.BUILTINS))
    args = parser.parse_args()
    if args.mode == "points":
        points_table(args.shapes, args.count, args.repeat)
    elif args.mode == "mesh":
        mesh_table(args.shapes, args.depths, args.repeat)
    else:
        bounds_table(args.shapes, args.depths)


if __name__ == "__main__":
    main()
