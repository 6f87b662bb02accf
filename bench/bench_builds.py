"""Two builds of the module side by side on the gallery shapes.

    .venv/bin/python bench/bench_builds.py BEFORE AFTER [--depth 8] [--repeat 3] [--shapes bolt lettering]
        [--threads 1 2]

BEFORE and AFTER are build folders (what PYTHONPATH would name, such as
``build/dev`` of two checkouts). Each run meshes one built-in shape in its own
process after a warm-up at depth 4 and times ``quarvel.mesh`` alone; the two
builds take turns, and the table gives the median of each and their ratio.
A change meant to keep every mesh must also give the same triangle counts
(``bench/fingerprint.py`` compares the meshes themselves). The worker pool's
size is RAYON_NUM_THREADS, as the caller sets it, or each of ``--threads``
in turn: the table then gives each build's median per thread count and how
many times faster the most threads run than the fewest.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys

import quarvel as qv

ONE_RUN = """
import sys, time, quarvel as qv
shape = qv.builtin(sys.argv[1])
qv.mesh(shape, max_depth=4, progress=False)
start = time.perf_counter()
mesh = qv.mesh(shape, max_depth=int(sys.argv[2]), progress=False)
print(time.perf_counter() - start, len(mesh.triangles))
"""


def run(build: str, shape: str, depth: int, threads: int | None = None) -> tuple[float, int]:
    env = {**os.environ, "PYTHONPATH": os.path.abspath(build)}
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, "-c", ONE_RUN, shape, str(depth)], env=env, capture_output=True,
                         text=True, check=True).stdout.split()
    return float(out[0]), int(out[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--shapes", nargs="+", default=sorted(qv.BUILTINS))
    parser.add_argument("--threads", type=int, nargs="+", help="pool sizes to run each build with, in turn")
    args = parser.parse_args()
    if args.threads:
        by_threads(args)
        return
    print("| shape | triangles | before | after | after / before |")
    print("|---|---:|---:|---:|---:|")
    for shape in args.shapes:
        times: dict[str, list[float]] = {"before": [], "after": []}
        counts = set()
        for _ in range(args.repeat):
            for label, build in (("before", args.before), ("after", args.after)):
                seconds, triangles = run(build, shape, args.depth)
                times[label].append(seconds)
                counts.add(triangles)
        before, after = statistics.median(times["before"]), statistics.median(times["after"])
        triangles = " or ".join(f"{c:,}" for c in sorted(counts))
        print(f"| {shape} | {triangles} | {before:.2f} s | {after:.2f} s | {after / before:.2f} |", flush=True)


def by_threads(args: argparse.Namespace) -> None:
    """Each build at each pool size, all taking turns: medians, and the
    fewest threads' time over the most's."""
    sizes = sorted(set(args.threads))
    print("| shape | build | " + " | ".join(f"{t} thread{'s' * (t > 1)}" for t in sizes)
          + f" | {sizes[0]} against {sizes[-1]} |")
    print("|---|---|" + "---:|" * (len(sizes) + 1))
    for shape in args.shapes:
        times = {(label, t): [] for label in ("before", "after") for t in sizes}
        for _ in range(args.repeat):
            for label, build in (("before", args.before), ("after", args.after)):
                for t in sizes:
                    times[label, t].append(run(build, shape, args.depth, t)[0])
        for label in ("before", "after"):
            medians = [statistics.median(times[label, t]) for t in sizes]
            cells = " | ".join(f"{m:.2f} s" for m in medians)
            print(f"| {shape} | {label} | {cells} | {medians[0] / medians[-1]:.2f}x |", flush=True)


if __name__ == "__main__":
    main()
