"""The gallery's meshes, measured: per shape at the gallery's depth, the
worst vertex distance |f| / |grad f| in finest cells h, the volume, the
faces facing against the field's gradient and what the repair changed.
Run it on two builds to see what a change does to every picture::

    python bench/gallery_quality.py [--depth 7] [--names gyroid lattice_iwp]
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

import quarvel as qv

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
from gallery import LATTICES, shape_of  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depth", type=int, default=7)
    parser.add_argument("--names", nargs="+", default=sorted(qv.BUILTINS) + sorted(LATTICES))
    args = parser.parse_args()
    print("| shape | worst h | volume | inward | folds fixed | vertices split |")
    print("|---|---|---|---|---|---|")
    for name in args.names:
        shape = shape_of(name)
        m = qv.mesh(shape, max_depth=args.depth, progress=False)
        h = m.stats["cell_size"]
        values, gradients = shape(m.vertices)
        worst = np.max(np.abs(values) / np.maximum(np.linalg.norm(gradients, axis=1), 1e-300)) / h
        a, b, c = (m.vertices[m.triangles[:, k]] for k in range(3))
        _, g = shape((a + b + c) / 3.0)
        inward = int(np.sum(np.einsum("ij,ij->i", np.cross(b - a, c - a), g) < 0.0))
        repaired = m.stats.get("repaired", {})
        print(
            f"| {name} | {worst:.4f} | {m.volume:.6f} | {inward} | {repaired.get('folds_fixed', '-')} "
            f"| {repaired.get('vertices_split', '-')} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
