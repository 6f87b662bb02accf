"""Adaptive octree builds of a sphere and a box at max depths 6 to 9.

Prints, per case: wall time of the build, time inside the field, the module's
own time (the difference), evaluation count and node counts.

    .venv/bin/python bench/bench_octree.py [--depths 6 7 8 9] [--min-depth 3]
"""

import argparse
import time

import _quarvel_rs
from fields import FIELDS, Timed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[6, 7, 8, 9])
    parser.add_argument("--min-depth", type=int, default=3)
    parser.add_argument("--shapes", nargs="+", default=["sphere", "box"])
    args = parser.parse_args()

    print(f"{'shape':8} {'depth':>5} {'wall s':>8} {'field s':>8} {'own s':>8} "
          f"{'evals':>10} {'leaves':>9} {'internal':>9} {'outside':>9} {'inside':>9}")
    for shape in args.shapes:
        for depth in args.depths:
            field = Timed(FIELDS[shape])
            start = time.perf_counter()
            stats = _quarvel_rs.build_octree_adaptive(
                field, (-1, -1, -1), (1, 1, 1), args.min_depth, depth)
            wall = time.perf_counter() - start
            leaves, internal, outside, inside, _, evals = stats
            print(f"{shape:8} {depth:5d} {wall:8.3f} {field.seconds:8.3f} "
                  f"{wall - field.seconds:8.3f} {evals:10d} {leaves:9d} {internal:9d} "
                  f"{outside:9d} {inside:9d}")


if __name__ == "__main__":
    main()
