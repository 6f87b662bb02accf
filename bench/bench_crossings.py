"""The whole-mesh crossing search alone, on the meshes the pipeline makes.

Meshes the benchmark shapes once (cached under the temporary directory),
then times the module's check with and without its crossing search, in this
process on one thread, and prints the search's median seconds (the check's
median less the topology's). Each mesh is also searched once with its
vertices jittered by a fraction of an edge, so that the search finds
thousands of pairs: the digest of the pairs found and their count must stay
the same for any change meant to keep the answers.

    RAYON_NUM_THREADS=1 .venv/bin/python bench/bench_crossings.py [--repeat 5] [--cases torus9 gyroid7]
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from fields import COMPILED, FIELDS  # noqa: E402

LO, HI = (-1.0, -1.0, -1.0), (1.0, 1.0, 1.0)
CASES = {"sphere9": ("sphere", 9, False), "torus9": ("torus", 9, False), "gyroid7": ("gyroid", 7, True),
         "gyroid8": ("gyroid", 8, True)}


def made(name: str) -> tuple[np.ndarray, np.ndarray]:
    import quarvel as qv

    path = Path(tempfile.gettempdir()) / f"quarvel_bench_crossings_{name}.npz"
    if path.exists():
        with np.load(path) as f:
            return f["v"], f["t"]
    shape, depth, compiled = CASES[name]
    field = COMPILED[shape]() if compiled else FIELDS[shape]
    mesh = qv.mesh(field, (LO, HI), max_depth=depth, min_depth=3, margin=0.0, clip=False, progress=False)
    np.savez(path, v=mesh.vertices, t=mesh.triangles)
    return mesh.vertices, mesh.triangles


def median_seconds(call, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--cases", nargs="+", default=list(CASES), choices=list(CASES))
    args = parser.parse_args()
    from quarvel import _core

    engine = _core.engine
    print(f"threads: {os.environ.get('RAYON_NUM_THREADS', 'all')}")
    for name in args.cases:
        v, t = made(name)
        whole = median_seconds(lambda: engine.check_mesh(v, t, None), args.repeat)
        topology = median_seconds(lambda: engine.check_topology(v, t), args.repeat)
        edge = float(np.median(np.linalg.norm(v[t[:, 0]] - v[t[:, 1]], axis=1)))
        jittered = v + np.random.default_rng(7).uniform(-0.3 * edge, 0.3 * edge, v.shape)
        found = engine.check_mesh(jittered, t, None)
        pairs = np.asarray(found["intersecting"], dtype=np.int64)
        digest = hashlib.sha256(pairs.tobytes()).hexdigest()[:16]
        print(f"{name}: {len(t):,} triangles, search {whole - topology:.3f} s (check {whole:.3f} s); "
              f"clean mesh {engine.check_mesh(v, t, None)['intersecting_count']} pairs; "
              f"jittered {found['intersecting_count']:,} pairs, digest {digest}", flush=True)


if __name__ == "__main__":
    main()
