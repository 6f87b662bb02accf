"""The package's pipeline (quarvel.mesh) beside the engine (_quarvel_rs.extract_mesh).

For each shape and depth, both mesh the same field over the same box, each
case in a fresh process, repeats interleaved.  The table shows the field's
evaluations, the median wall time, the volume error against the exact
volume, whether the mesh is closed, and the longest time another Python
thread (ticking every millisecond) had to wait during the call.  With
``--stages`` the pipeline's evaluations by stage follow.

    .venv/bin/python bench/bench_pipeline.py [--depths 7 8 9] [--shapes sphere torus box]
        [--repeat 3] [--values-only] [--stages]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from fields import FIELDS, VALUES, values_only  # noqa: E402

LO, HI = (-1.0, -1.0, -1.0), (1.0, 1.0, 1.0)
MIN_DEPTH = 3
VOLUMES = {  # of the fields in fields.py
    "sphere": 4 / 3 * math.pi * 0.5**3,
    "torus": 2 * math.pi**2 * 0.5 * 0.2**2,
    "box": 0.8 * 0.6 * 0.5,
}
TOOLS = ("extract_mesh", "quarvel.mesh")


class Counted:
    """Counts the points a field is asked for."""

    def __init__(self, field):
        self.field, self.points = field, 0

    def __call__(self, points):
        self.points += len(points)
        return self.field(points)


class Ticker:
    """A thread that ticks every millisecond and keeps the longest gap between ticks."""

    def __init__(self) -> None:
        self.longest, self._stop = 0.0, threading.Event()
        self._thread = threading.Thread(target=self._run)

    def _run(self) -> None:
        last = time.perf_counter()
        while not self._stop.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            self.longest = max(self.longest, now - last)
            last = now

    def __enter__(self) -> Ticker:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


def run_case(tool: str, shape: str, depth: int, gradients: bool) -> dict:
    import quarvel
    import _quarvel_rs

    field = Counted(FIELDS[shape] if gradients else values_only(VALUES[shape]))
    stages = {}
    with Ticker() as ticker:
        start = time.perf_counter()
        if tool == "extract_mesh":
            mesh = quarvel.Mesh(*_quarvel_rs.extract_mesh(field, LO, HI, MIN_DEPTH, depth))
        else:
            mesh = quarvel.mesh(field, (LO, HI), max_depth=depth, min_depth=MIN_DEPTH, margin=0.0, clip=False,
                                progress=False)  # fmt: skip
            stages = mesh.stats["evaluations_by_stage"]
        seconds = time.perf_counter() - start
    return {
        "evaluations": field.points,
        "seconds": seconds,
        "volume_error": abs(mesh.volume - VOLUMES[shape]) / VOLUMES[shape],
        "watertight": mesh.is_watertight,
        "stall": ticker.longest,
        "stages": stages,
    }


def spawn_case(tool: str, shape: str, depth: int, gradients: bool) -> dict:
    case = json.dumps([tool, shape, depth, gradients])
    done = subprocess.run([sys.executable, __file__, "--case", case], capture_output=True, text=True, timeout=3600)
    if done.returncode != 0:
        raise RuntimeError(f"{case} failed:\n{done.stderr}")
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--depths", type=int, nargs="+", default=[7, 8, 9])
    parser.add_argument("--shapes", nargs="+", default=list(VOLUMES), choices=list(VOLUMES))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--values-only", action="store_true", help="fields that give no gradients")
    parser.add_argument("--stages", action="store_true", help="the pipeline's evaluations by stage")
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        print(json.dumps(run_case(*json.loads(args.case))))
        return
    cases = [(s, d, t) for s in args.shapes for d in args.depths for t in TOOLS]
    runs: dict[tuple, list[dict]] = {c: [] for c in cases}
    for _ in range(args.repeat):
        for shape, depth, tool in cases:
            runs[shape, depth, tool].append(spawn_case(tool, shape, depth, not args.values_only))
    print("| shape | depth | tool | evaluations | ratio | wall s | volume error | watertight | longest stall s |")
    print("|---|---|---|---:|---:|---:|---:|---|---:|")
    for shape, depth, tool in cases:
        rs = runs[shape, depth, tool]
        engine = runs[shape, depth, "extract_mesh"][0]["evaluations"]
        first = rs[0]
        print(f"| {shape} | {depth} | {tool} | {first['evaluations']:,} | {first['evaluations'] / engine:.2f} "
              f"| {statistics.median(r['seconds'] for r in rs):.2f} | {first['volume_error']:.2e} "
              f"| {'yes' if first['watertight'] else 'no'} | {max(r['stall'] for r in rs):.3f} |")  # fmt: skip
    if args.stages:
        names = list(runs[cases[1]][0]["stages"])
        print("\n| shape | depth | " + " | ".join(names) + " |")
        print("|---|---|" + "---:|" * len(names))
        for shape, depth, tool in cases:
            if tool == "quarvel.mesh":
                stages = runs[shape, depth, tool][0]["stages"]
                print(f"| {shape} | {depth} | " + " | ".join(f"{stages[n]:,}" for n in names) + " |")


if __name__ == "__main__":
    main()
