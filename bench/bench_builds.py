"""Two builds of the module side by side on the gallery shapes.

    .venv/bin/python bench/bench_builds.py BEFORE AFTER [--depth 8] [--repeat 3] [--shapes bolt lettering]

BEFORE and AFTER are build folders (what PYTHONPATH would name, such as
``build/dev`` of two checkouts). Each run meshes one built-in shape in its own
process after a warm-up at depth 4 and times ``quarvel.mesh`` alone; the two
builds take turns, and the table gives the median of each and their ratio.
A change meant to keep every mesh must also give the same triangle counts
(``bench/fingerprint.py`` compares the meshes themselves). The worker pool's
size is RAYON_NUM_THREADS, as the caller sets it.
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


def run(build: str, shape: str, depth: int) -> tuple[float, int]:
    env = {**os.environ, "PYTHONPATH": os.path.abspath(build)}
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
    args = parser.parse_args()
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


if __name__ == "__main__":
    main()
