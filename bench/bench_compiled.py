"""Compiled shapes against their NumPy path, side by side in one run.

    .venv/bin/python bench/bench_compiled.py points [--count 1000000] [--repeat 5] [--shapes csg gyroid]
    .venv/bin/python bench/bench_compiled.py mesh [--depths 7 8 9] [--repeat 1] [--shapes csg gyroid]
    .venv/bin/python bench/bench_compiled.py bounds [--depths 5 6 7] [--shapes csg gyroid]

``points`` evaluates each gallery shape (quarvel.BUILTINS) at the same random
points of its box: the NumPy path (values and gradients), the compiled
program (values and gradients, and values alone), and prints the median
times, the nanoseconds per point and the speed-up.

``mesh`` meshes each shape with quarvel.mesh three ways, each run in its own
process and the three interleaved: the NumPy path (native=False), the
program evaluated in the core with cells proven by the Lipschitz guard
(intervals=False), and with cells proven by interval bounds (the default).
It prints the median times, the evaluations, those the intervals skipped,
the cells they proved, the speed-up over NumPy, the volumes' relative
difference and whether the native mesh is closed.

``bounds`` cuts each shape's cube into the cells of a uniform lattice at
each depth and counts the cells that interval bounds cannot prove empty or
full, against those that a 1-Lipschitz argument from the centre value
cannot (|f(centre)| <= half diagonal), with the time per cell.

The worker pool's size is RAYON_NUM_THREADS (read once per process).
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
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


PATHS = ("numpy", "native, no intervals", "native")
OPTIONS = {"numpy": {"native": False}, "native, no intervals": {"native": True, "intervals": False},
           "native": {"native": True}}  # fmt: skip


def run_case(name: str, depth: int, path: str) -> dict:
    shape = qv.builtin(name)
    start = time.perf_counter()
    mesh = qv.mesh(shape, max_depth=depth, progress=False, **OPTIONS[path])
    seconds = time.perf_counter() - start
    return {
        "seconds": seconds,
        "evaluations": mesh.stats["evaluations"],
        "cells_proven": mesh.stats["cells_proven"],
        "triangles": len(mesh.triangles),
        "volume": mesh.volume,
        "watertight": mesh.is_watertight,
    }


def spawn_case(name: str, depth: int, path: str) -> dict:
    case = json.dumps([name, depth, path])
    done = subprocess.run([sys.executable, __file__, "case", case], capture_output=True, text=True, timeout=3600)
    if done.returncode != 0:
        raise RuntimeError(f"{case} failed:\n{done.stderr}")
    return json.loads(done.stdout)


def mesh_table(names: list[str], depths: list[int], repeat: int) -> None:
    print(f"quarvel.mesh, each run in its own process, median of {repeat}, {_engine.thread_count()} threads\n")
    print("| shape | depth | NumPy path | evaluations | native, no intervals | native | evaluations "
          "| skipped by intervals | cells proven | speed-up | volume difference | watertight |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |")
    for name in names:
        for depth in depths:
            runs: dict[str, list[dict]] = {path: [] for path in PATHS}
            for _ in range(repeat):  # interleaved, so that a busy spell falls on every path
                for path in PATHS:
                    runs[path].append(spawn_case(name, depth, path))
            numpy_s, plain_s, native_s = (statistics.median(r["seconds"] for r in runs[p]) for p in PATHS)
            numpy, plain, native = (runs[p][0] for p in PATHS)
            difference = abs(native["volume"] - numpy["volume"]) / abs(numpy["volume"])
            print(f"| {name} | {depth} | {numpy_s:.2f} s | {numpy['evaluations']:,} | {plain_s:.2f} s | "
                  f"{native_s:.2f} s | {native['evaluations']:,} | {plain['evaluations'] - native['evaluations']:,} | "
                  f"{native['cells_proven']:,} | {numpy_s / native_s:.1f}x | {difference:.1e} | "
                  f"{'yes' if native['watertight'] else 'no'} |", flush=True)  # fmt: skip


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
    case = sub.add_parser("case", help=argparse.SUPPRESS)
    case.add_argument("case")
    mesh = sub.add_parser("mesh", help="quarvel.mesh through NumPy and natively")
    mesh.add_argument("--depths", type=int, nargs="+", default=[7])
    mesh.add_argument("--repeat", type=int, default=1)
    mesh.add_argument("--shapes", nargs="+", default=list(qv.BUILTINS))
    bounds = sub.add_parser("bounds", help="cells that interval bounds leave undecided")
    bounds.add_argument("--depths", type=int, nargs="+", default=[5, 6, 7])
    bounds.add_argument("--shapes", nargs="+", default=list(qv.BUILTINS))
    args = parser.parse_args()
    if args.mode == "case":
        print(json.dumps(run_case(*json.loads(args.case))))
    elif args.mode == "points":
        points_table(args.shapes, args.count, args.repeat)
    elif args.mode == "mesh":
        mesh_table(args.shapes, args.depths, args.repeat)
    else:
        bounds_table(args.shapes, args.depths)


if __name__ == "__main__":
    main()
