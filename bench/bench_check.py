"""Mesh.check and Mesh.split on hard inputs, two builds side by side.

Each case runs in a fresh process of each interpreter (so that peak memory is
the case's own, capped at --memory GB), repeats interleaved; the table shows
the median seconds and peak memory of each, the ratio of the medians, and
what the check found. The inputs: triangles every box of which meets every
other (all at one point, stacked flat, stacked on a turned plane, copies of
one, a fan of which each crosses every other), the csg shape at depth 9 (3.5M
triangles, an ordinary mesh), 2M triangles in 3,703 pieces to split, and the
time from a SIGINT to the KeyboardInterrupt out of the check of the csg mesh,
the signal sent 0.2, 0.7 and 1.2 s into the call (which takes about 2 s).

    .venv/bin/python bench/bench_check.py --before OLD/bin/python [--after .venv/bin/python]
        [--repeat 3] [--cases stacked copies ...] [--memory 4]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

CSG = os.path.join(tempfile.gettempdir(), "quarvel_bench_check_csg9.npz")


def soup(corners):
    import quarvel as qv

    return qv.Mesh(corners.reshape(-1, 3), np.arange(3 * len(corners)).reshape(-1, 3))


def crowded(kind: str, n: int):
    base = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype=float)
    turn = np.linalg.qr(np.random.default_rng(1).normal(size=(3, 3)))[0]
    lift = np.arange(n)[:, None, None] * np.array([0.0, 0.0, 1e-6])
    if kind == "one point":
        return soup(np.zeros((n, 3, 3)))
    if kind == "stacked":
        return soup(base + lift)
    if kind == "stacked, turned":
        return soup((base + lift) @ turn.T)
    if kind == "copies":
        return soup(np.broadcast_to(base, (n, 3, 3)).copy())
    angle = np.arange(n) * np.pi / n  # "all crossing"
    ring = np.stack([np.cos(angle), np.sin(angle), -np.ones(n)], axis=1)
    top = np.stack([1e-3 * np.arange(n) / n, np.zeros(n), np.ones(n)], axis=1)
    return soup(np.stack([ring, ring * [-1, -1, 1], top], axis=1))


def csg_mesh():
    import quarvel as qv

    data = np.load(CSG)
    return qv.Mesh(data["v"], data["t"])


def pieces_mesh():
    """Copies of a small sphere side by side, about 2M triangles in all."""
    import quarvel as qv

    one = qv.mesh(qv.sphere(0.5), ((-1, -1, -1), (1, 1, 1)), max_depth=4, progress=False)
    copies = 4000 * 500 // len(one.triangles)
    offsets = np.repeat(np.arange(copies), len(one.vertices))[:, None] * [3.0, 0, 0]
    vertices = np.tile(one.vertices, (copies, 1)) + offsets
    triangles = np.vstack([one.triangles + k * len(one.vertices) for k in range(copies)])
    return qv.Mesh(vertices, triangles)


def describe(found) -> str:
    count = getattr(found, "intersecting_count", len(found.intersecting))
    complete = getattr(found, "intersecting_complete", True)
    return f"{'' if complete else '>= '}{count:,} pairs, {len(found.intersecting):,} listed"


def child(case: str) -> dict:
    """One case in this process: seconds for the step measured, peak memory, what it found."""
    kind, _, size = case.rpartition(" ")
    try:
        if case == "csg d9":
            mesh = csg_mesh()
            start = time.perf_counter()
            found = describe(mesh.check())
        elif case == "split 3703 pieces":
            mesh = pieces_mesh()
            start = time.perf_counter()
            found = f"{len(mesh.split()):,} pieces"
        else:
            mesh = crowded(kind, int(size))
            start = time.perf_counter()
            found = describe(mesh.check())
        seconds = time.perf_counter() - start
    except MemoryError:
        return {"seconds": None, "peak_mb": None, "found": "MemoryError"}
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return {"seconds": seconds, "peak_mb": peak, "found": found}


def ctrl_c_child(after: float) -> dict:
    """Seconds from SIGINT to the KeyboardInterrupt, the signal sent `after` seconds into the check."""
    mesh = csg_mesh()
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, after)
    start = time.perf_counter()
    try:
        mesh.check()
        found = "completed"
    except KeyboardInterrupt:
        found = "interrupted"
    seconds = time.perf_counter() - start - after
    signal.setitimer(signal.ITIMER_REAL, 0)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return {"seconds": seconds, "peak_mb": peak, "found": found}


CASES = [
    "one point 64000",
    "stacked 64000",
    "stacked, turned 64000",
    "copies 64000",
    "all crossing 4000",
    "all crossing 20000",
    "csg d9",
    "split 3703 pieces",
    "ctrl-c csg d9 at 0.2 s",
    "ctrl-c csg d9 at 0.7 s",
    "ctrl-c csg d9 at 1.2 s",
]


def run(python: str, case: str, memory_gb: float) -> dict:
    done = subprocess.run(
        [python, os.path.abspath(__file__), "--child", case, "--memory", str(memory_gb)],
        capture_output=True,
        text=True,
        timeout=1800,
    )
    if done.returncode != 0:
        return {"seconds": None, "peak_mb": None, "found": f"exit {done.returncode}: {done.stderr.strip()[-80:]}"}
    return json.loads(done.stdout.splitlines()[-1])


def figure(rows: list[dict], key: str) -> float | None:
    values = [r[key] for r in rows if r[key] is not None]
    return statistics.median(values) if values else None


def text(value: float | None, digits: str) -> str:
    return "-" if value is None else format(value, digits)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", required=False, help="the interpreter of the old build")
    parser.add_argument("--after", default=sys.executable, help="the interpreter of the new build")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cases", nargs="+", default=CASES)
    parser.add_argument("--memory", type=float, default=4.0, help="address space per case, GB")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        limit = int(args.memory * 2**30)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        if args.child.startswith("ctrl-c"):
            result = ctrl_c_child(float(args.child.split()[-2]))
        else:
            result = child(args.child)
        print(json.dumps(result))
        return
    if not os.path.exists(CSG) and any("csg" in c for c in args.cases):
        import quarvel as qv

        m = qv.mesh(qv.builtin("csg"), max_depth=9, progress=False)
        np.savez(CSG, v=m.vertices, t=m.triangles)
    builds = {"before": args.before, "after": args.after} if args.before else {"after": args.after}
    print("| case | " + " | ".join(f"{b} s | {b} MB | {b} found" for b in builds) + " | ratio |")
    print("|---|" + "---|---|---|" * len(builds) + "---|")
    for case in args.cases:
        rows: dict[str, list[dict]] = {b: [] for b in builds}
        for _ in range(args.repeat):
            for build, python in builds.items():
                rows[build].append(run(python, case, args.memory))
        cells, seconds = [], {}
        for build in builds:
            seconds[build] = figure(rows[build], "seconds")
            cells += [text(seconds[build], ".3f"), text(figure(rows[build], "peak_mb"), ".0f"), rows[build][-1]["found"]]
        ratio = "-"
        if args.before and seconds["before"] and seconds["after"]:
            ratio = f"{seconds['before'] / seconds['after']:.1f}x"
        print(f"| {case} | " + " | ".join(cells) + f" | {ratio} |", flush=True)


if __name__ == "__main__":
    main()
