"""Creases where a lattice meets a clipping solid, beside marching cubes.

Each case intersects a lattice (sheet or strut) with a clip (cylinder, box,
ball; caps on the lattice's planes or off them). Per case and depth it prints,
for ``quarvel.mesh``, for the same without the repair (``manifold=False``)
and for scikit-image's marching cubes and VTK's flying edges on the same
samples: the worst vertex distance |f| / |grad f| in finest cells h, split by
the surface that is active there (lattice, clip), the faces facing against
the field's gradient, and the pairs of crossing triangles::

    python bench/bench_creases.py [--depths 6 8] [--cases ...] [--no-peer]
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

import quarvel as qv

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_hard_cases import cell, run_quarvel, run_skimage, run_vtk  # noqa: E402

X, Y = (1.0, 0.0, 0.0), (0.0, 1.0, 0.0)

# (lattice, clip). Caps "on planes" lie on lattice planes at depths 6 and 8.
CASES: dict[str, tuple[qv.Shape, qv.Shape]] = {
    "gyroid-sheet&cyl caps on planes": (
        qv.lattice("gyroid", 0.55, 0.07),
        qv.rotate(qv.cylinder(0.65, 1.5), 90.0, X),
    ),
    "diamond-sheet&tilted-box": (
        qv.lattice("schwarz_d", 0.6, 0.07),
        qv.rotate(qv.box((1.3, 1.1, 1.2)), 27.0, (1.0, 2.0, 0.5)),
    ),
    "gyroid-strut&tilted-box": (
        qv.lattice("gyroid", 0.55, 0.1, mode="strut"),
        qv.rotate(qv.box(1.2), 33.0, (0.3, 1.0, 0.6)),
    ),
    "schwarzp-sheet&ball": (
        qv.lattice("schwarz_p", 0.5, 0.06),
        qv.sphere(0.72, center=(0.01, -0.02, 0.015)),
    ),
    "diamond-strut&cyl": (
        qv.lattice("schwarz_d", 0.7, 0.1, mode="strut"),
        qv.rotate(qv.cylinder(0.6, 1.37), 90.0, Y),
    ),
    "gyroid-sheet&box on planes": (
        qv.lattice("gyroid", 0.5, 0.06),
        qv.box(1.25),
    ),
    "schwarzp-strut&tilted-cyl": (
        qv.lattice("schwarz_p", 0.6, 0.1, mode="strut"),
        qv.rotate(qv.cylinder(0.62, 1.3), 35.0, (1.0, 1.0, 0.0)),
    ),
}


def crease_figures(lattice: qv.Shape, clip: qv.Shape, vertices: np.ndarray, triangles: np.ndarray, depth: int) -> dict:
    h = cell(depth)
    field = qv.intersection(lattice, clip)
    fl, gl = lattice(vertices)
    fc, gc = clip(vertices)
    dl = np.abs(fl) / np.maximum(np.linalg.norm(gl, axis=1), 1e-12) / h
    dc = np.abs(fc) / np.maximum(np.linalg.norm(gc, axis=1), 1e-12) / h
    on_lattice = fl >= fc  # the operand max() keeps
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    normals = np.cross(b - a, c - a)
    _, g = field((a + b + c) / 3.0)
    inward = int(np.sum(np.einsum("ij,ij->i", normals, g) < 0.0))
    return {
        "worst h": f"{max(dl[on_lattice].max(initial=0.0), dc[~on_lattice].max(initial=0.0)):.3f}",
        "lattice h": f"{dl[on_lattice].max(initial=0.0):.3f}",
        "clip h": f"{dc[~on_lattice].max(initial=0.0):.3f}",
        "> 0.25 h": int(np.sum(np.where(on_lattice, dl, dc) > 0.25)),
        "inward": inward,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[6, 8])
    parser.add_argument("--cases", nargs="+", default=list(CASES), choices=list(CASES))
    parser.add_argument("--no-peer", action="store_true", help="skip marching cubes and flying edges")
    args = parser.parse_args()
    columns = ["worst h", "lattice h", "clip h", "> 0.25 h", "inward", "crossing pairs"]
    print(f"| case | depth | tool | {' | '.join(columns)} |")
    print("|" + "---|" * (len(columns) + 3))
    for name in args.cases:
        lattice, clip = CASES[name]
        shape = qv.intersection(lattice, clip)
        for depth in args.depths:
            tools = [("quarvel", run_quarvel), ("manifold=False", lambda s, d: run_quarvel(s, d, manifold=False))]
            if not args.no_peer:
                tools += [("skimage", run_skimage), ("vtk", run_vtk)]
            for tool, run in tools:
                vertices, triangles = run(shape, depth)
                row = crease_figures(lattice, clip, vertices, triangles, depth)
                ours = tool in ("quarvel", "manifold=False") and len(triangles)
                row["crossing pairs"] = qv.Mesh(vertices, triangles).check().intersecting_count if ours else "-"
                print(f"| {name} | {depth} | {tool} | " + " | ".join(str(row[c]) for c in columns) + " |", flush=True)


if __name__ == "__main__":
    main()
