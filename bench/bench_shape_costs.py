"""Costs of building shapes: compiling deep trees and repeating large shapes, before and after.

    .venv/bin/python bench/bench_shape_costs.py [--before DIR] [--repeat 3] [--depths 1000 4000 16000]

Each case runs in its own process (so that its peak memory is its own) and
prints its median time over ``--repeat`` runs and its peak resident memory:

- ``compile translates N``: ``Shape.compile()`` of N nested translates of a
  sphere (the tree's walk, not the core's check of the tape);
- ``repeat r compile``: ``sphere(r).repeat(1, count=2).compile()``, eight
  copies of a ball many spacings wide, and the program's instructions;
- ``repeat r numpy``: the same shape evaluated through NumPy at 1,000 points.

``--before DIR`` runs every case a second time with DIR first on the module
path, interleaved with the current package, and prints both and their ratio.
DIR holds an older build's ``quarvel`` package, copied from its site-packages::

    cp -r .venv/lib/python3.13/site-packages/quarvel /tmp/before/   # on the old build
    .venv/bin/python bench/bench_shape_costs.py --before /tmp/before
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from collections.abc import Callable

POINTS = 1000
RADII = (5.0, 10.0)


def translates(depth: int) -> Callable[[], object]:
    import quarvel as qv

    shape = qv.sphere(1.0)
    for _ in range(depth):
        shape = shape.translate((1e-6, 0.0, 0.0))
    return lambda: len(shape.compile())


def repeat_compile(radius: float) -> Callable[[], object]:
    import quarvel as qv

    shape = qv.sphere(radius).repeat(1.0, count=2)
    return lambda: len(shape.compile())


def repeat_numpy(radius: float) -> Callable[[], object]:
    import numpy as np

    import quarvel as qv

    shape = qv.sphere(radius).repeat(1.0, count=2)
    points = np.random.default_rng(7).uniform(-radius, radius + 1.0, (POINTS, 3))
    return lambda: float(shape(points)[0].sum())


def make(case: str) -> Callable[[], object]:
    kind, _, arg = case.rpartition(" ")
    if kind == "compile translates":
        return translates(int(arg))
    radius = float(kind.split()[1])
    return repeat_compile(radius) if arg == "compile" else repeat_numpy(radius)


def run_one(case: str) -> None:
    """Time ``case`` once in this process and print seconds, peak memory and result as JSON."""
    run = make(case)
    start = time.perf_counter()
    result = run()
    seconds = time.perf_counter() - start
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(json.dumps({"seconds": seconds, "peak_mb": peak_mb, "result": result}))


def measure(case: str, path: str | None) -> dict[str, float]:
    env = dict(os.environ)
    if path is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [path, env.get("PYTHONPATH")]))
    out = subprocess.run(
        [sys.executable, __file__, "--case", case], env=env, capture_output=True, text=True, check=True
    )
    figures: dict[str, float] = json.loads(out.stdout.strip().splitlines()[-1])
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", metavar="DIR", help="a directory holding an older quarvel package")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--depths", type=int, nargs="+", default=[1000, 4000, 16000])
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        run_one(args.case)
        return
    cases = [f"compile translates {d}" for d in args.depths]
    cases += [f"repeat {r:g} {what}" for r in RADII for what in ("compile", "numpy")]
    sides = {"after": None} if args.before is None else {"before": args.before, "after": None}
    header = f"{'case':<26}" + "".join(f"{side + ' s':>11}{side + ' MB':>11}" for side in sides)
    header += f"{'ratio':>8}" if args.before else ""
    print(header + f"  {'result (after)'}")
    for case in cases:
        runs: dict[str, list[dict[str, float]]] = {side: [] for side in sides}
        for _ in range(args.repeat):
            for side, path in sides.items():  # interleaved, so drift hits both
                runs[side].append(measure(case, path))
        line = f"{case:<26}"
        medians = {}
        for side, figures in runs.items():
            medians[side] = statistics.median(f["seconds"] for f in figures)
            line += f"{medians[side]:>11.4f}{max(f['peak_mb'] for f in figures):>11.0f}"
        if args.before:
            line += f"{medians['before'] / medians['after']:>8.1f}"
        result = runs["after"][-1]["result"]
        what = "instructions" if "compile" in case else "checksum"
        if args.before and "numpy" in case:
            agree = abs(runs["before"][-1]["result"] - result) <= 1e-9 * abs(result)
            what += " (same before)" if agree else f" (before: {runs['before'][-1]['result']:g})"
        print(line + f"  {what} {result:g}", flush=True)


if __name__ == "__main__":
    main()
