"""Loading mesh files: peak memory and time, this build against another, side by side.

    .venv/bin/python bench/bench_files.py [--before OTHER_PYTHON] [--megabytes 20] [--repeat 3]

Writes files of about ``--megabytes`` each into a temporary folder, then loads
each with ``quarvel.Mesh.load`` in a fresh process per run (this interpreter,
and ``--before``'s when given, e.g. another checkout's .venv/bin/python), the
two interleaved.  A child reports its peak resident memory above what it held
after importing quarvel (Linux: the peak is reset through /proc/self/clear_refs)
and the seconds the load took; the table gives the medians and the ratios
after/before.

The cases: an ASCII PLY whose header declares a triangle but whose body runs
on (a reader must stop at the declared rows); a grid mesh as ASCII PLY, as OBJ
and as binary PLY (the binary reader should not slow down); an OBJ of one
triangle and a long tail of texture coordinates (memory should follow the mesh,
not the text).
"""

from __future__ import annotations

import argparse
import io
import json
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from quarvel.io.obj import write_obj
from quarvel.io.ply import write_ply

CHILD = """
import json, sys, time
import quarvel

def status(key):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(key))

with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak (VmHWM) starts again from the current size
before = status("VmRSS:")
start = time.perf_counter()
mesh = quarvel.Mesh.load(sys.argv[1])
seconds = time.perf_counter() - start
peak = status("VmHWM:")
print(json.dumps({"mb": (peak - before) / 1024, "s": seconds, "v": len(mesh.vertices), "t": len(mesh.triangles)}))
"""

TRIANGLE = "0 0 0\n1 0 0\n0 1 0\n"


def grid_mesh(side: int) -> tuple[np.ndarray, np.ndarray]:
    """A wavy ``side`` x ``side`` grid: vertices with full-precision coordinates, two triangles a square."""
    u, v = np.meshgrid(np.linspace(0.0, 1.0, side), np.linspace(0.0, 1.0, side), indexing="ij")
    vertices = np.column_stack([u.ravel(), v.ravel(), (np.sin(7 * u) * np.cos(5 * v)).ravel()])
    corner = (np.arange(side - 1)[:, None] * side + np.arange(side - 1)[None, :]).ravel()
    triangles = np.concatenate([np.column_stack([corner, corner + side, corner + 1]),
                                np.column_stack([corner + 1, corner + side, corner + side + 1])])  # fmt: skip
    return vertices, triangles


def ascii_ply(vertices: np.ndarray, triangles: np.ndarray) -> bytes:
    out = io.BytesIO()
    header = f"ply\nformat ascii 1.0\nelement vertex {len(vertices)}\nproperty double x\nproperty double y\n"
    header += f"property double z\nelement face {len(triangles)}\nproperty list uchar int vertex_indices\nend_header\n"
    out.write(header.encode())
    np.savetxt(out, vertices, fmt="%.17g")
    np.savetxt(out, triangles, fmt="3 %d %d %d")
    return out.getvalue()


def make_files(folder: Path, megabytes: float) -> dict[str, Path]:
    size = int(megabytes * 2**20)
    # About 105 bytes of ASCII PLY per grid vertex (a vertex line and two face lines).
    vertices, triangles = grid_mesh(int(np.sqrt(size / 105)))
    files: dict[str, bytes] = {}
    header = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
    header += "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
    tail = TRIANGLE.encode() * (size // len(TRIANGLE))
    files["ply ascii, 3 vertices + tail"] = (header + TRIANGLE + "3 0 1 2\n").encode() + tail
    files["ply ascii, grid"] = ascii_ply(vertices, triangles)
    out = io.BytesIO()
    write_obj(out, vertices, triangles)
    files["obj, grid"] = out.getvalue()
    out = io.BytesIO()
    write_ply(out, vertices, triangles)
    files["ply binary, grid"] = out.getvalue()
    files["obj, 1 triangle + vt tail"] = b"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n" + b"vt 0.25 0.75\n" * (size // 13)
    paths = {}
    for i, (name, data) in enumerate(files.items()):
        suffix = ".obj" if name.startswith("obj") else ".ply"
        paths[name] = folder / f"case{i}{suffix}"
        paths[name].write_bytes(data)
    return paths


def load(python: str, path: Path) -> dict[str, float]:
    child = subprocess.run([python, "-B", "-c", CHILD, str(path)], capture_output=True, text=True, check=False)
    if child.returncode:
        raise SystemExit(f"{python} failed on {path}:\n{child.stderr}")
    return json.loads(child.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--before", help="another interpreter with quarvel installed, to compare against")
    parser.add_argument("--megabytes", type=float, default=20.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    builds = {"after": sys.executable} | ({"before": args.before} if args.before else {})
    with tempfile.TemporaryDirectory() as folder:
        paths = make_files(Path(folder), args.megabytes)
        print(f"{'case':30} {'file MB':>8} {'V':>8} {'T':>8}", end="")
        for build in builds:
            print(f" {build + ' MB':>10} {build + ' s':>9}", end="")
        print(f" {'MB ratio':>9} {'s ratio':>8}" if len(builds) == 2 else "")
        for name, path in paths.items():
            runs: dict[str, list[dict[str, float]]] = {build: [] for build in builds}
            for repeat in range(args.repeat):
                # Each build goes first in every other round: no order favours one.
                for build, python in list(builds.items())[:: 1 if repeat % 2 else -1]:
                    runs[build].append(load(python, path))
            first = runs["after"][0]
            print(f"{name:30} {path.stat().st_size / 2**20:8.1f} {first['v']:8} {first['t']:8}", end="")
            medians = {b: {k: statistics.median(r[k] for r in rs) for k in ("mb", "s")} for b, rs in runs.items()}
            for build in builds:
                print(f" {medians[build]['mb']:10.1f} {medians[build]['s']:9.3f}", end="")
            if len(builds) == 2:
                after, before = medians["after"], medians["before"]
                print(f" {after['mb'] / max(before['mb'], 0.1):9.3f} {after['s'] / before['s']:8.2f}")
            else:
                print()


if __name__ == "__main__":
    main()
