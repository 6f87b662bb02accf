"""quarvel side by side with dense meshing peers: wall time, peak memory, triangles.

Every case (tool, shape, depth, threads, repeat) runs in a fresh process, so
its peak resident memory is its own; repeats are interleaved across cases so
that a noisy moment hits every tool alike.  The table shows the median wall
time, the largest peak, the share of the time spent inside the field, and
each of our tools against the best dense peer of its row group.

The dense peers get the set-up a careful user would write: the field (values
only) evaluated in slabs of about 1M points into one float32 volume of
(2^d+1)^3 samples over the same cube, then the peer's extractor.

    pip install '.[bench]'
    .venv/bin/python bench/peers.py [--depths 7 8 9] [--shapes sphere torus box]
        [--tools ...] [--threads 1 2] [--repeat 3] [--markdown] [--json out.json]

``--json`` keeps the results for bench/plot_peers.py and for ``--results``,
which prints the tables again; ``--case`` runs one case in place, as each
child does (see bench/profile.md).
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from functools import partial
from importlib import metadata
from typing import Callable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402
from fields import COMPILED, FIELDS, VALUES, Timed, batch_footprint, values_only  # noqa: E402
from flying_edges import flying_edges  # noqa: E402

LO, HI = (-1.0, -1.0, -1.0), (1.0, 1.0, 1.0)
MIN_DEPTH = 3
SLAB_POINTS = 1 << 20
WARM_UP_DEPTH = 4


# ---------------------------------------------------------------- tools
# A tool meshes (shape, depth) over the cube on `threads` threads and returns
# its vertices in world coordinates, its triangles, and the timed field it called.
# Our engine reads its pool size from RAYON_NUM_THREADS, which spawn_case sets.

Result = tuple[np.ndarray, np.ndarray, Timed]


def run_extract(shape: str, depth: int, threads: int, *, gradients: bool) -> Result:
    import _quarvel_rs

    field = Timed(FIELDS[shape] if gradients else values_only(VALUES[shape]))
    return *_quarvel_rs.extract_mesh(field, LO, HI, MIN_DEPTH, depth), field


def run_package(shape: str, depth: int, threads: int) -> Result:
    import quarvel

    field = Timed(FIELDS[shape])
    mesh = quarvel.mesh(field, (LO, HI), max_depth=depth, min_depth=MIN_DEPTH, margin=0.0, clip=False, progress=False)
    return mesh.vertices, mesh.triangles, field


def run_compiled(shape: str, depth: int, threads: int) -> Result:
    """The same field as a compiled shape, evaluated in the core (no Python calls)."""
    import quarvel

    mesh = quarvel.mesh(COMPILED[shape](), (LO, HI), max_depth=depth, min_depth=MIN_DEPTH, margin=0.0, clip=False,
                        progress=False)
    field = Timed(VALUES[shape])  # never called: no field time, the core's evaluations counted below
    field.points = mesh.stats["evaluations"]
    return mesh.vertices, mesh.triangles, field


def lattice(depth: int) -> tuple[np.ndarray, float]:
    """The 2^d+1 sample coordinates along each axis of the cube, and their spacing."""
    n = (1 << depth) + 1
    return np.linspace(LO[0], HI[0], n), (HI[0] - LO[0]) / (n - 1)


def sample_volume(values: Callable[[np.ndarray], np.ndarray], depth: int) -> np.ndarray:
    """`values` on the (2^d+1)^3 lattice of the cube as one float32 volume indexed
    [z, y, x] (x fastest, VTK's image order), evaluated in slabs of whole z planes
    of about SLAB_POINTS points through one reused point buffer."""
    axis, _ = lattice(depth)
    n = len(axis)
    planes = max(1, SLAB_POINTS // (n * n))
    buffer = np.empty((planes, n * n, 3))
    buffer[:, :, 0] = np.tile(axis, n)
    buffer[:, :, 1] = np.repeat(axis, n)
    volume = np.empty((n, n, n), np.float32)
    for z0 in range(0, n, planes):
        slab = buffer[: min(planes, n - z0)]
        slab[:, :, 2] = axis[z0 : z0 + len(slab), None]
        volume[z0 : z0 + len(slab)] = values(slab.reshape(-1, 3)).reshape(len(slab), n, n)
    return volume


def run_skimage(shape: str, depth: int, threads: int) -> Result:
    from skimage.measure import marching_cubes

    field = Timed(VALUES[shape])
    volume = sample_volume(field, depth)
    h = lattice(depth)[1]
    vertices, faces, _, _ = marching_cubes(volume, 0.0, spacing=(h, h, h))
    return vertices[:, ::-1] + LO, faces, field  # the volume's axes are z, y, x


def run_vtk(shape: str, depth: int, threads: int) -> Result:
    from vtkmodules.vtkCommonCore import vtkSMPTools

    vtkSMPTools.SetBackend("Sequential" if threads == 1 else "STDThread")
    vtkSMPTools.Initialize(threads)
    field = Timed(VALUES[shape])
    volume = sample_volume(field, depth)
    return *flying_edges(volume, lattice(depth)[1], LO), field


@dataclass(frozen=True)
class Tool:
    label: str
    run: Callable[[str, int, int], Result]
    peer: bool = False  # a dense peer: the reference of the ratio columns
    threaded: bool = True  # honours --threads; otherwise runs once, on one thread
    package: str = "quarvel"  # the distribution whose version the Markdown header names
    shapes: frozenset[str] | None = None  # the shapes it can mesh, when not all


TOOLS = {
    "extract_mesh": Tool("extract_mesh", partial(run_extract, gradients=True)),
    "values-only": Tool("extract_mesh, values only", partial(run_extract, gradients=False)),
    "quarvel.mesh": Tool("quarvel.mesh", run_package),
    "compiled": Tool("quarvel.mesh, compiled shape", run_compiled, shapes=frozenset(COMPILED)),
    "skimage": Tool("scikit-image marching_cubes", run_skimage, peer=True, threaded=False, package="scikit-image"),
    "vtk": Tool("VTK flying edges", run_vtk, peer=True, package="vtk"),
}


# ---------------------------------------------------------------- one case, in a child process


def resident_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGESIZE") // 1024


def run_case(tool: str, shape: str, depth: int, threads: int) -> dict:
    run = TOOLS[tool].run
    run(shape, min(depth, WARM_UP_DEPTH), threads)  # imports, lazy loaders, the worker pool
    base_kb = resident_kb()
    start = time.perf_counter()
    vertices, triangles, field = run(shape, depth, threads)
    wall = time.perf_counter() - start
    peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    counts = len(vertices), len(triangles)
    out_bytes = np.asarray(vertices).nbytes + np.asarray(triangles).nbytes
    del vertices, triangles
    return {
        "wall": wall,
        "field": field.seconds,
        "points": field.points,
        "vertices": counts[0],
        "triangles": counts[1],
        "base_kb": base_kb,
        "peak_kb": peak_kb,
        "out_bytes": out_bytes,
        # Measured after the peak was read, so that it cannot raise it.
        "field_batch_bytes": batch_footprint(field.field, field.largest),
    }


def spawn_case(tool: str, shape: str, depth: int, threads: int) -> dict:
    # One thread for NumPy's BLAS in every child: --threads is the only source of parallelism.
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    case = json.dumps([tool, shape, depth, threads])
    done = subprocess.run([sys.executable, __file__, "--case", case], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines() or [f"exit status {done.returncode}"]
        return {"error": lines[-1]}
    return json.loads(done.stdout)


# ---------------------------------------------------------------- the table


@dataclass
class Row:
    tool: str
    shape: str
    depth: int
    threads: int
    runs: list[dict]

    @property
    def error(self) -> str | None:
        return next((r["error"] for r in self.runs if "error" in r), None)

    def median(self, key: str) -> float:
        return statistics.median(r[key] for r in self.runs)

    @property
    def peak_mb(self) -> float:
        return max(r["peak_kb"] for r in self.runs) / 1024


def plan(args: argparse.Namespace) -> list[Row]:
    rows = []
    for shape in args.shapes:
        for depth in args.depths:
            for tool in args.tools:
                if TOOLS[tool].shapes is not None and shape not in TOOLS[tool].shapes:
                    continue
                for threads in args.threads if TOOLS[tool].threaded else [1]:
                    rows.append(Row(tool, shape, depth, threads, []))
    return rows


def versus_peers(rows: list[Row], row: Row) -> tuple[str, str]:
    """`row` against the fastest and the leanest peer meshing the same case on no
    more threads: its speed-up and its share of their peak memory."""
    peers = [
        p for p in rows
        if TOOLS[p.tool].peer and not p.error and (p.shape, p.depth) == (row.shape, row.depth)
        and p.threads <= row.threads
    ]
    if TOOLS[row.tool].peer or not peers:
        return "", ""
    fastest = min(p.median("wall") for p in peers)
    leanest = min(p.peak_mb for p in peers)
    return f"{fastest / row.median('wall'):.2f}x", f"{row.peak_mb / leanest:.2f}"


HEADINGS = ["tool", "shape", "depth", "threads", "wall s", "field %", "peak MB", "base MB",
            "triangles", "points", "bytes/triangle", "largest field batch MB",
            "speed vs best peer", "memory vs best peer"]


def bytes_per_triangle(row: Row) -> str:
    """(peak - base - the result arrays) / triangles: what meshing held at its
    peak beyond its output, per output triangle."""
    run = max(row.runs, key=lambda r: r["peak_kb"])
    if "out_bytes" not in run or not run["triangles"]:
        return ""
    held = (run["peak_kb"] - run["base_kb"]) * 1024 - run["out_bytes"]
    return f"{held / run['triangles']:.0f}"


def field_batch_mb(row: Row) -> str:
    """The query, temporaries and results of the tool's largest field batch."""
    found = [r["field_batch_bytes"] for r in row.runs if "field_batch_bytes" in r]
    return f"{max(found) / 2**20:.0f}" if found else ""


def cells(rows: list[Row], row: Row) -> list[str]:
    head = [TOOLS[row.tool].label, row.shape, str(row.depth), str(row.threads)]
    if row.error:
        return head + [f"failed: {row.error}"] + [""] * (len(HEADINGS) - len(head) - 1)
    wall = row.median("wall")
    return head + [
        f"{wall:.3f}",
        f"{100 * row.median('field') / wall:.0f}",
        f"{row.peak_mb:.0f}",
        f"{row.median('base_kb') / 1024:.0f}",
        f"{row.median('triangles'):.0f}",
        f"{row.median('points'):.0f}",
        bytes_per_triangle(row),
        field_batch_mb(row),
        *versus_peers(rows, row),
    ]


def summary(rows: list[Row]) -> list[list[str]]:
    """The README's form: a line per shape, depth and thread count, a column per
    tool with its time and peak memory, and for ours the ratios to the best peer."""
    tools = list(dict.fromkeys(r.tool for r in rows))
    found = {(r.tool, r.shape, r.depth, r.threads): r for r in rows if not r.error}
    table = [["shape", "depth", "threads", "triangles", *(TOOLS[t].label for t in tools)]]
    shapes = list(dict.fromkeys(r.shape for r in rows))
    keys = sorted({(r.shape, r.depth, r.threads) for r in rows}, key=lambda k: (shapes.index(k[0]), k[1:]))
    for shape, depth, threads in keys:
        line = []
        for tool in tools:
            row = found.get((tool, shape, depth, threads if TOOLS[tool].threaded else 1))
            if row is None:
                line.append("")
                continue
            speed_up, memory = versus_peers(rows, row)
            ratios = f" ({speed_up} speed, {memory}x memory)" if speed_up else ""
            line.append(f"{row.median('wall'):.2f} s / {row.peak_mb:.0f} MB{ratios}")
        first = next((found[k] for k in found if k[1:] == (shape, depth, threads)), None)
        triangles = f"{first.median('triangles'):.0f}" if first else ""
        table.append([shape, str(depth), str(threads), triangles, *line])
    return table


def render(table: list[list[str]], markdown: bool) -> str:
    if markdown:
        lines = [table[0], ["---"] * len(table[0])] + table[1:]
        return "\n".join("| " + " | ".join(line) + " |" for line in lines)
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(line, widths)).rstrip() for line in table)


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    memory_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return {"cpu": cpu, "cores": os.cpu_count(), "memory_gib": round(memory_gib, 1)}


def versions(tools: list[str]) -> dict:
    found = {"python": platform.python_version(), "numpy": np.__version__}
    for package in dict.fromkeys(TOOLS[t].package for t in tools):
        try:
            found[package] = metadata.version(package)
        except metadata.PackageNotFoundError:
            found[package] = "not installed"
    return found


def describe(metas: list[dict]) -> str:
    """Date, machine and versions of the first run; the command of every run."""
    first, m = metas[0], metas[0]["machine"]
    listed = ", ".join(f"{k} {v}" for k, v in first["versions"].items())
    commands = "; ".join(f"`{meta['command']}` ({meta['repeat']} run{'s' if meta['repeat'] > 1 else ''} each)"
                         for meta in metas)
    return (f"{first['date']}, {m['cpu']} ({m['cores']} cores, {m['memory_gib']} GiB); {listed}.\n"
            f"Each case in its own process; wall time is the median of its runs, memory the largest peak. "
            f"Made by {commands}.")


def measure(rows: list[Row], repeat: int) -> None:
    # Repeats go round all cases, so that a noisy moment hits every tool alike.
    for r in range(repeat):
        for i, row in enumerate(rows):
            print(f"\rrun {r + 1}/{repeat}, case {i + 1}/{len(rows)}", end="", file=sys.stderr, flush=True)
            if not row.error:
                row.runs.append(spawn_case(row.tool, row.shape, row.depth, row.threads))
    print(file=sys.stderr)


def load(paths: list[str]) -> tuple[list[dict], list[Row]]:
    """The runs saved by --json in `paths`, together."""
    metas, rows = [], []
    for path in paths:
        with open(path) as f:
            saved = json.load(f)
        metas.append(saved["meta"])
        rows += [Row(**row) for row in saved["rows"]]
    return metas, rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[7, 8, 9])
    parser.add_argument("--shapes", nargs="+", choices=sorted(FIELDS), default=["sphere", "torus", "box"])
    parser.add_argument("--tools", nargs="+", choices=list(TOOLS), default=list(TOOLS))
    parser.add_argument("--threads", type=int, nargs="+", default=[1],
                        help="worker threads of our engine (RAYON_NUM_THREADS) and of threaded peers")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--markdown", action="store_true",
                        help="print Markdown: a summary with a column per tool for the README, then every figure")
    parser.add_argument("--json", metavar="PATH", help="also save the results here (for plot_peers.py)")
    parser.add_argument("--results", metavar="PATH", nargs="+",
                        help="print the tables of runs saved by --json instead of running")
    parser.add_argument("--case", metavar="JSON",
                        help='run one case here, e.g. \'["extract_mesh", "sphere", 9, 1]\' (tool, shape, depth, '
                             'threads), and print its measures as JSON: what each child process does; handy under '
                             'a profiler (set RAYON_NUM_THREADS yourself)')
    args = parser.parse_args()
    if min(args.depths) < MIN_DEPTH:
        parser.error(f"depths start at {MIN_DEPTH}, the depth sampled uniformly")

    if args.case:
        json.dump(run_case(*json.loads(args.case)), sys.stdout)
        return
    if args.results:
        metas, rows = load(args.results)
    else:
        rows = plan(args)
        measure(rows, args.repeat)
        metas = [{
            "date": datetime.date.today().isoformat(),
            "machine": machine(),
            "versions": versions(args.tools),
            "repeat": args.repeat,
            "command": " ".join(["python", "bench/peers.py", *sys.argv[1:]]),
        }]
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"meta": metas[0], "rows": [vars(row) for row in rows]}, f, indent=1)

    print(describe(metas) + "\n")
    if args.markdown:
        print(render(summary(rows), markdown=True))
        print("\nIn our columns, against the best dense peer on no more threads: speed is the fastest one's time"
              " over ours (above 1: we are faster), memory our peak over the leanest one's (below 1: we use less).\n")
    print(render([HEADINGS] + [cells(rows, row) for row in rows], args.markdown))


if __name__ == "__main__":
    main()
