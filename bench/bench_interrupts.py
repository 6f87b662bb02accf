"""How soon Ctrl-C ends ``quarvel.mesh``, stage by stage, on both paths.

    .venv/bin/python bench/bench_interrupts.py [--depth 9] [--repeat 3] [--before OTHER_PYTHON]

For each case (a shape meshed through NumPy, ``native=False``, and a shape
compiled and evaluated in the core) a first run records when each stage
starts, through the progress callable. Then, for each point (50 ms into
sampling, crossings, vertices and faces; halfway through refining, whose first
levels are quick, and halfway through faces, where the repair runs), a fresh
process starts meshing without progress reports (which would run Python code,
and so handle the signal themselves), the parent sends SIGINT at that moment,
and the child notes when KeyboardInterrupt reached it and how much processor
time the process still used in the 0.3 s after it (threads left working would
show there). Sampling takes less than 50 ms: its point falls in the next
stage, and the table names the stage each point fell in on the first run.

With ``--before``, every run is made with that interpreter too (another build
of the package, for instance one installed from the main branch), the two
interleaved, and the table shows both medians and their ratio.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import textwrap
import time

CHILD = textwrap.dedent(
    """
    import json, sys, time
    import quarvel as qv

    setup = json.loads(sys.argv[1])
    shape = qv.builtin(setup["shape"])
    options = dict(max_depth=setup["depth"], native=setup["native"])
    if setup["calibrate"]:
        seen, start = {}, time.monotonic()
        last = [0.0]

        def hook(stage, done, total):
            now = time.monotonic() - start
            seen.setdefault(stage, now)
            last[0] = now

        qv.mesh(shape, progress=hook, **options)
        print(json.dumps({"stages": seen, "last_report": last[0]}), flush=True)
        sys.exit(0)
    qv.mesh(qv.builtin("sphere"), max_depth=4, progress=False, **{"native": setup["native"]})  # warm
    print("start", flush=True)
    try:
        qv.mesh(shape, progress=False, **options)
    except KeyboardInterrupt:
        caught = time.monotonic()
        cpu = time.process_time()
        time.sleep(0.3)
        print("interrupted", caught, time.process_time() - cpu, flush=True)
    else:
        print("completed", time.monotonic(), flush=True)
    """
)

STAGES = ("sampling", "refining", "crossings", "vertices", "faces")
POINTS = (*STAGES, "repair")


def child(python: str, setup: dict) -> subprocess.Popen:
    return subprocess.Popen(
        [python, "-c", CHILD, json.dumps(setup)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )


def calibrate(python: str, setup: dict) -> dict:
    proc = child(python, {**setup, "calibrate": True})
    out, err = proc.communicate()
    if proc.returncode != 0:
        sys.exit(f"calibration failed: {err[-2000:]}")
    return json.loads(out)


def offsets(timeline: dict) -> dict[str, float]:
    """Seconds after the call's start at which each point is interrupted."""
    starts = timeline["stages"]
    at = {stage: starts[stage] + 0.05 for stage in STAGES if stage in starts}
    if "refining" in starts and "crossings" in starts:
        at["refining"] = 0.5 * (starts["refining"] + starts["crossings"])
    if "faces" in starts:
        at["repair"] = 0.5 * (starts["faces"] + timeline["last_report"])
    return at


def stage_at(timeline: dict, seconds: float) -> str:
    current = "-"
    for stage, start in sorted(timeline["stages"].items(), key=lambda item: item[1]):
        if start <= seconds:
            current = stage
    return current


def interrupt_once(python: str, setup: dict, offset: float) -> tuple[float | None, float | None]:
    """(latency, processor seconds after it) of one run interrupted `offset`
    seconds into the call; (None, None) when the call completed first."""
    proc = child(python, {**setup, "calibrate": False})
    line = proc.stdout.readline()
    if line.strip() != "start":
        proc.kill()
        sys.exit(f"the child did not start: {line!r} {proc.stderr.read()[-2000:]}")
    started = time.monotonic()
    time.sleep(max(0.0, started + offset - time.monotonic()))
    sent = time.monotonic()
    os.kill(proc.pid, signal.SIGINT)
    out, err = proc.communicate(timeout=600)
    words = out.split()
    if not words or words[0] != "interrupted":
        if words and words[0] == "completed":
            return None, None
        sys.exit(f"unexpected child output: {out!r} {err[-2000:]}")
    return float(words[1]) - sent, float(words[2])


def fmt(values: list[float | None]) -> str:
    done = [v for v in values if v is not None]
    if not done:
        return "completed"
    text = f"{statistics.median(done) * 1000:8.0f}"
    return text + ("*" if len(done) < len(values) else "")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--depth", type=int, default=9)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--numpy", default="box", help="the shape meshed through NumPy")
    parser.add_argument("--compiled", default="csg", help="the shape compiled and evaluated in the core")
    parser.add_argument("--before", help="another interpreter, with another build installed, to compare")
    parser.add_argument("--points", nargs="+", default=list(POINTS), choices=POINTS)
    args = parser.parse_args()
    builds = {"after": sys.executable}
    if args.before:
        builds = {"before": args.before, "after": sys.executable}
    cases = {
        f"numpy {args.numpy}": {"shape": args.numpy, "native": False, "depth": args.depth},
        f"compiled {args.compiled}": {"shape": args.compiled, "native": True, "depth": args.depth},
    }
    timelines = {(case, build): calibrate(python, setup) for case, setup in cases.items()
                 for build, python in builds.items()}  # fmt: skip
    latency: dict[tuple, list] = {}
    idle: dict[tuple, list] = {}
    for _ in range(args.repeat):
        for case, setup in cases.items():
            for point in args.points:
                for build, python in builds.items():
                    at = offsets(timelines[case, build]).get(point)
                    if at is None:
                        continue
                    seconds, cpu = interrupt_once(python, setup, at)
                    latency.setdefault((case, point, build), []).append(seconds)
                    idle.setdefault((case, point, build), []).append(cpu)
    print(f"depth {args.depth}, {args.repeat} runs each; latency from SIGINT to KeyboardInterrupt, median ms "
          "(* some runs completed first); cpu: processor ms used in the 0.3 s after it, largest")
    header = f"{'case':<16} {'point':<10} {'in stage':<10} {'at s':>6}"
    for build in builds:
        header += f" {build + ' ms':>10} {'cpu':>5}"
    if len(builds) == 2:
        header += f" {'ratio':>7}"
    print(header)
    for case in cases:
        for point in args.points:
            timeline = timelines[case, "after"]
            at = offsets(timeline).get(point)
            if at is None:
                continue
            row = f"{case:<16} {point:<10} {stage_at(timeline, at):<10} {at:6.2f}"
            medians = []
            for build in builds:
                values = latency.get((case, point, build), [])
                cpu = [c for c in idle.get((case, point, build), []) if c is not None]
                row += f" {fmt(values):>10} {max(cpu) * 1000 if cpu else float('nan'):5.0f}"
                done = [v for v in values if v is not None]
                medians.append(statistics.median(done) if done else None)
            if len(builds) == 2 and all(m is not None for m in medians):
                row += f" {medians[1] / medians[0]:7.3f}"
            print(row, flush=True)


if __name__ == "__main__":
    main()
