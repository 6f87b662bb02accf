"""Hard cases for dual contouring beside marching cubes on the same lattice.

Thin walls the lattice still resolves, knife-edged rims, the repair's worst
moves and creases where a lattice meets a clipping surface. Per case and
depth it prints, for ``quarvel.mesh`` and for scikit-image's marching cubes
and VTK's flying edges on the same samples: pieces, volume error (where the
exact volume is known), the worst vertex distance from the surface and the
share of faces more than 45 degrees off the field's gradient (both in finest
cells h), and the faces facing inward. With ``--raw`` it also meshes with
``manifold=False`` and counts the pairs of crossing triangles the repair
would have to undo::

    python bench/bench_hard_cases.py [--depths 6 8] [--cases shell lens] [--raw]
"""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import quarvel as qv

sys.path.insert(0, str(Path(__file__).resolve().parent))
from flying_edges import flying_edges  # noqa: E402

LO, HI = (-1.0, -1.0, -1.0), (1.0, 1.0, 1.0)


def cell(depth: int) -> float:
    return (HI[0] - LO[0]) / (1 << depth)


@dataclass(frozen=True)
class Case:
    shape: Callable[[int], qv.Shape]  # by depth: thin walls scale with the cell
    volume: Callable[[int], float] | None = None


def shell_case(depth: int) -> qv.Shape:
    return qv.shell(qv.sphere(0.61, center=(0.013, -0.021, 0.007)), 1.5 * cell(depth))


def shell_volume(depth: int) -> float:
    t = 1.5 * cell(depth)
    return 4.0 / 3.0 * math.pi * ((0.61 + t / 2) ** 3 - (0.61 - t / 2) ** 3)


def plate_case(depth: int) -> qv.Shape:
    # A tilted plate 1.7 cells thick: walls off the lattice's axes.
    t = 1.7 * cell(depth)
    return qv.rotate(qv.rotate(qv.box((1.1, 0.9, t)), 23.0, (1.0, 0.0, 0.0)), 31.0, (0.0, 1.0, 0.0))


def plate_volume(depth: int) -> float:
    return 1.1 * 0.9 * 1.7 * cell(depth)


def lens(rim_radius: float, angle_deg: float) -> tuple[float, float]:
    """Radius and centre offset of two balls whose intersection has a rim of
    `rim_radius` with a knife edge of `angle_deg`."""
    r = rim_radius / math.sin(math.radians(angle_deg / 2))
    return r, math.sqrt(r * r - rim_radius * rim_radius)


def lens_shape(rim: float, angle: float, tilt: float) -> qv.Shape:
    r, c = lens(rim, angle)
    centre = np.array([0.013, -0.021, 0.007])
    both = qv.intersection(qv.sphere(r, center=centre - (0, 0, c)), qv.sphere(r, center=centre + (0, 0, c)))
    return qv.rotate(both, tilt, (1.0, 1.0, 0.0)) if tilt else both


def lens_volume(rim: float, angle: float) -> float:
    r, c = lens(rim, angle)
    cap = r - c
    return 2.0 * math.pi * cap * cap * (3 * r - cap) / 3.0


def gyroid_in_cylinder(depth: int) -> qv.Shape:
    return qv.intersection(qv.gyroid(0.5, 0.08), qv.cylinder(0.7, 1.6))


def gyroid_shell_in_cylinder(depth: int) -> qv.Shape:
    return qv.intersection(qv.gyroid(0.45, None).shell(0.06), qv.cylinder(0.72, 1.5))


def schwarz_ball(depth: int) -> qv.Shape:
    return qv.intersection(qv.schwarz_p(0.6, 0.1), qv.sphere(0.8))


CASES = {
    # Thin walls.
    "shell": Case(shell_case, shell_volume),
    "plate": Case(plate_case, plate_volume),
    # Knife edges: a 32 degree rim as measured, a 20 degree one tilted off the axes.
    "lens32": Case(lambda d: lens_shape(0.8, 32.0, 0.0), lambda d: lens_volume(0.8, 32.0)),
    "lens20-tilted": Case(lambda d: lens_shape(0.7, 20.0, 37.0), lambda d: lens_volume(0.7, 20.0)),
    # The repair's worst moves, and creases against a clipping surface.
    "gyroid&cyl": Case(gyroid_in_cylinder),
    "gyroid-shell&cyl": Case(gyroid_shell_in_cylinder),
    "cone": Case(lambda d: qv.cone(0.6, 1.4)),
    "schwarz&ball": Case(schwarz_ball),
}


def run_quarvel(shape: qv.Shape, depth: int, manifold: bool = True) -> tuple[np.ndarray, np.ndarray]:
    m = qv.mesh(shape, (LO, HI), max_depth=depth, margin=0.0, clip=False, progress=False, manifold=manifold)
    return m.vertices, m.triangles


def lattice_values(shape: qv.Shape, depth: int) -> np.ndarray:
    """The shape's values on the (2^d+1)^3 lattice, indexed [z, y, x] (x fastest)."""
    n = (1 << depth) + 1
    axis = np.linspace(LO[0], HI[0], n)
    z, y, x = np.meshgrid(axis, axis, axis, indexing="ij")
    return shape(np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1))[0].reshape(n, n, n)


def run_skimage(shape: qv.Shape, depth: int) -> tuple[np.ndarray, np.ndarray]:
    from skimage.measure import marching_cubes

    values = lattice_values(shape, depth)
    h = cell(depth)
    vertices, faces, _, _ = marching_cubes(values, 0.0, spacing=(h, h, h))
    vertices = vertices[:, ::-1] + LO  # the volume's axes are z, y, x
    # Reversing the axes mirrors the mesh: flip its faces back.
    return np.ascontiguousarray(vertices), np.ascontiguousarray(faces[:, ::-1]).astype(np.int64)


def run_vtk(shape: qv.Shape, depth: int) -> tuple[np.ndarray, np.ndarray]:
    vertices, triangles = flying_edges(lattice_values(shape, depth), cell(depth), LO)
    # Flying edges winds its faces toward the lower values: flip them to face out of the solid.
    vertices, triangles = vertices.astype(np.float64), triangles.astype(np.int64)
    return np.ascontiguousarray(vertices), np.ascontiguousarray(triangles[:, ::-1])


def pieces(vertices: np.ndarray, triangles: np.ndarray) -> int:
    return qv.Mesh(vertices, triangles).component_count if len(triangles) else 0


def volume(vertices: np.ndarray, triangles: np.ndarray) -> float:
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    return float(np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6.0)


def measure(shape: qv.Shape, vertices: np.ndarray, triangles: np.ndarray, depth: int, exact: float | None) -> dict:
    h = cell(depth)
    values, gradients = shape(vertices)
    # First-order distance: exact for a distance field, an estimate elsewhere.
    distance = np.abs(values) / np.maximum(np.linalg.norm(gradients, axis=1), 1e-12) / h
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    normals = np.cross(b - a, c - a)
    _, g = shape((a + b + c) / 3.0)
    cosine = np.einsum("ij,ij->i", normals, g) / np.maximum(
        np.linalg.norm(normals, axis=1) * np.linalg.norm(g, axis=1), 1e-300
    )
    v = volume(vertices, triangles)
    return {
        "pieces": pieces(vertices, triangles),
        "volume %": f"{100.0 * (v - exact) / exact:+.2f}" if exact else f"{v:.5f}",
        "worst h": f"{distance.max():.3f}",
        ">45° %": f"{100.0 * np.mean(cosine < math.cos(math.radians(45))):.2f}",
        "inward": int(np.sum(cosine < 0.0)),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[6, 8])
    parser.add_argument("--cases", nargs="+", default=list(CASES), choices=list(CASES))
    parser.add_argument("--no-peer", action="store_true", help="skip marching cubes and flying edges")
    parser.add_argument("--raw", action="store_true", help="also mesh without the repair and count crossing pairs")
    args = parser.parse_args()
    columns = ["pieces", "volume %", "worst h", ">45° %", "inward", "crossing pairs"]
    print(f"| case | depth | tool | {' | '.join(columns)} |")
    print("|" + "---|" * (len(columns) + 3))
    for name in args.cases:
        case = CASES[name]
        for depth in args.depths:
            shape = case.shape(depth)
            exact = case.volume(depth) if case.volume else None
            tools = [("quarvel", run_quarvel)]
            if args.raw:
                tools.append(("quarvel manifold=False", lambda s, d: run_quarvel(s, d, manifold=False)))
            if not args.no_peer:
                tools += [("skimage", run_skimage), ("vtk", run_vtk)]
            for tool, run in tools:
                vertices, triangles = run(shape, depth)
                row = measure(shape, vertices, triangles, depth, exact)
                crossing = tool.startswith("quarvel") and len(triangles)
                row["crossing pairs"] = qv.Mesh(vertices, triangles).check().intersecting_count if crossing else "-"
                print(f"| {name} | {depth} | {tool} | " + " | ".join(str(row[c]) for c in columns) + " |", flush=True)


if __name__ == "__main__":
    main()
