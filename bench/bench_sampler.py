"""quarvel.mesh's costs per output triangle: evaluations by stage and peak memory.

Each case runs in a fresh process, so its peak resident memory is its own; the
memory column is that peak less the process's size before meshing and less
the output arrays (vertices, normals, triangles), per triangle.  Evaluations
are exact counts, the same on every run.

    .venv/bin/python bench/bench_sampler.py [--depths 7 9] [--cases mlp sphere ...]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys

import numpy as np

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


def mlp_field():
    """The costly neural field of fields.py (values only)."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from fields import mlp_values

    return mlp_values


def case_field(name):
    import quarvel as qv

    return {
        "mlp": mlp_field,
        "sphere": lambda: (lambda p: np.linalg.norm(p, axis=1) - 0.6),
        "sphere-native": lambda: qv.sphere(0.6),
        "gyroid-native": lambda: qv.gyroid(0.5, thickness=0.1) & qv.box(1.8),
        "csg-native": lambda: qv.builtin("csg"),
    }[name]()


def run_case(name: str, depth: int) -> dict:
    import quarvel as qv

    field = case_field(name)
    qv.mesh(qv.sphere(0.5), BOX, max_depth=4, progress=False)  # load the module and the pool first
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    bounds = None if name == "csg-native" else BOX
    mesh = qv.mesh(field, bounds, max_depth=depth, progress=False)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    output = mesh.vertices.nbytes + mesh.triangles.nbytes + mesh.normals.nbytes
    stages = mesh.stats["evaluations_by_stage"]
    return {
        "case": name,
        "depth": depth,
        "triangles": len(mesh.triangles),
        "sampling": stages["sampling"] + stages["refining"],
        "stages": stages,
        "evaluations": mesh.stats["evaluations"],
        "seconds": mesh.stats["seconds"],
        "bytes": max(peak - before - output, 0),
        "guard": mesh.stats["guard"],
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--depths", type=int, nargs="+", default=[7, 9])
    parser.add_argument("--cases", nargs="+", default=["mlp", "sphere", "sphere-native", "gyroid-native", "csg-native"])
    parser.add_argument("--case", nargs=2, metavar=("NAME", "DEPTH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        print(json.dumps(run_case(args.case[0], int(args.case[1]))))
        return
    print(f"{'case':14s} {'depth':>5s} {'triangles':>10s} {'sampling/tri':>12s} {'evals/tri':>9s} "
          f"{'B/tri':>6s} {'seconds':>8s}  guard")  # fmt: skip
    for name in args.cases:
        for depth in args.depths:
            out = subprocess.run([sys.executable, __file__, "--case", name, str(depth)], check=True,
                                 capture_output=True, text=True, env=os.environ).stdout  # fmt: skip
            r = json.loads(out)
            t = max(r["triangles"], 1)
            print(f"{name:14s} {depth:5d} {r['triangles']:10d} {r['sampling'] / t:12.2f} {r['evaluations'] / t:9.2f} "
                  f"{r['bytes'] / t:6.0f} {r['seconds']:8.2f}  {r['guard']}")  # fmt: skip


if __name__ == "__main__":
    main()
