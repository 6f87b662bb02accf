"""Cost of each lattice kind: compiling, evaluating, meshing.

    .venv/bin/python bench/bench_lattices.py [--points 1000000] [--depth 7] [--repeat 3]

Per kind prints the program's instructions and compile time, the time per
point of ``shape(points)`` (values and gradients, compiled) beside the same
field's values alone written directly in NumPy (the peer: what a user would
write by hand), and the time and triangles of ``quarvel.mesh`` of the sheet
clipped by a cube, as in the gallery.  Medians over ``--repeat`` runs.
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Callable

import numpy as np

import quarvel as qv
from quarvel.shapes.lattices import KINDS

s, c = np.sin, np.cos
NUMPY: dict[str, Callable[[np.ndarray, np.ndarray, np.ndarray], np.ndarray]] = {
    "gyroid": lambda x, y, z: s(x) * c(y) + s(y) * c(z) + s(z) * c(x),
    "schwarz_p": lambda x, y, z: c(x) + c(y) + c(z),
    "schwarz_d": lambda x, y, z: s(x) * s(y) * s(z) + s(x) * c(y) * c(z) + c(x) * s(y) * c(z) + c(x) * c(y) * s(z),
    "neovius": lambda x, y, z: 3 * (c(x) + c(y) + c(z)) + 4 * c(x) * c(y) * c(z),
    "lidinoid": lambda x, y, z: 0.5 * (s(2 * x) * c(y) * s(z) + s(2 * y) * c(z) * s(x) + s(2 * z) * c(x) * s(y))
    - 0.5 * (c(2 * x) * c(2 * y) + c(2 * y) * c(2 * z) + c(2 * z) * c(2 * x)) + 0.15,
    "frd": lambda x, y, z: 4 * c(x) * c(y) * c(z) - (c(2 * x) * c(2 * y) + c(2 * y) * c(2 * z) + c(2 * z) * c(2 * x)),
    "iwp": lambda x, y, z: 2 * (c(x) * c(y) + c(y) * c(z) + c(z) * c(x)) - (c(2 * x) + c(2 * y) + c(2 * z)),
}


def median_seconds(run: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--depth", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    points = np.random.default_rng(7).uniform(-1.0, 1.0, (args.points, 3))
    k = 2.0 * np.pi / 0.8
    print("| kind | instructions | compile | quarvel values+gradients | NumPy values | mesh depth "
          f"{args.depth} | triangles |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for kind in KINDS:
        shape = qv.lattice(kind, 0.8, 0.06)
        compile_s = median_seconds(lambda: qv.lattice(kind, 0.8, 0.06).compile(), args.repeat)
        program = shape.compile()
        ours = median_seconds(lambda: program(points), args.repeat)
        peer = median_seconds(lambda: NUMPY[kind](*(k * points.T)), args.repeat)
        part = shape & qv.box(1.6)
        meshed = median_seconds(lambda: qv.mesh(part, max_depth=args.depth, progress=False), 1)
        triangles = len(qv.mesh(part, max_depth=args.depth, progress=False).triangles)
        per = 1e9 / args.points
        print(f"| {kind} | {len(program)} | {compile_s * 1e3:.2f} ms | {ours * per:.0f} ns/pt | "
              f"{peer * per:.0f} ns/pt | {meshed:.2f} s | {triangles:,} |", flush=True)


if __name__ == "__main__":
    main()
