"""Full extract_mesh runs: sphere, torus and box at max depths 6 to 9, uniform
band (adaptive False) and balanced (adaptive True), with 1 and 2 worker threads.

Prints wall time, time inside the field, the module's own time, vertex and
triangle counts. Each thread count runs in its own process, because the pool
size is read once per process.

    .venv/bin/python bench/bench_extract.py [--depths 6 7 8 9] [--threads 1 2]
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run_cases(shapes, depths, min_depth):
    sys.path.insert(0, HERE)
    import _quarvel_rs
    from fields import FIELDS, Timed

    rows = []
    for shape in shapes:
        for depth in depths:
            for adaptive in (False, True):
                field = Timed(FIELDS[shape])
                start = time.perf_counter()
                vertices, triangles = _quarvel_rs.extract_mesh(
                    field, (-1, -1, -1), (1, 1, 1), min_depth, depth, adaptive=adaptive)
                wall = time.perf_counter() - start
                rows.append([shape, depth, adaptive, wall, field.seconds, len(vertices),
                             len(triangles), field.calls])
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[6, 7, 8, 9])
    parser.add_argument("--min-depth", type=int, default=3)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--shapes", nargs="+", default=["sphere", "torus", "box"])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        json.dump(run_cases(args.shapes, args.depths, args.min_depth), sys.stdout)
        return

    print(f"{'shape':7} {'depth':>5} {'adaptive':>8} {'threads':>7} {'wall s':>8} "
          f"{'field s':>8} {'own s':>8} {'vertices':>9} {'triangles':>9} {'calls':>5}")
    for threads in args.threads:
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        out = subprocess.run(
            [sys.executable, __file__, "--child", "--min-depth", str(args.min_depth),
             "--depths", *map(str, args.depths), "--shapes", *args.shapes],
            env=env, check=True, capture_output=True, text=True).stdout
        for shape, depth, adaptive, wall, field_s, nv, nt, calls in json.loads(out):
            print(f"{shape:7} {depth:5d} {str(adaptive):>8} {threads:7d} {wall:8.3f} "
                  f"{field_s:8.3f} {wall - field_s:8.3f} {nv:9d} {nt:9d} {calls:5d}")


if __name__ == "__main__":
    main()
