"""Digests of what ``quarvel.mesh`` returns, to compare two builds bit for bit.

Prints one line per case (the mesh's arrays and its stats without timings)
and a last line for all of them. A change meant to keep every mesh prints
the same lines before and after::

    python bench/fingerprint.py > before.txt   # on the old build
    python bench/fingerprint.py | diff before.txt -
"""

from __future__ import annotations

import argparse
import hashlib
import sys
from pathlib import Path

import numpy as np

import quarvel as qv

sys.path.insert(0, str(Path(__file__).resolve().parent))
import fields  # noqa: E402

TIMINGS = {"seconds", "field_seconds", "module_seconds", "threads"}


def digest(mesh: qv.Mesh) -> str:
    h = hashlib.sha256()
    for a in (mesh.vertices, mesh.triangles, mesh.normals):
        h.update(repr((a.dtype.str, a.shape)).encode())
        h.update(np.ascontiguousarray(a).tobytes())
    stats = {k: v for k, v in mesh.stats.items() if k not in TIMINGS}
    h.update(repr(sorted(stats.items())).encode())
    return h.hexdigest()[:16]


def cases(depth: int):
    for name in sorted(qv.BUILTINS):
        yield f"{name} d{depth}", lambda name=name: qv.mesh(qv.builtin(name), max_depth=depth, progress=False)
    box = ((-0.7, -0.7, -0.7), (0.7, 0.7, 0.7))
    for name in ("sphere", "torus", "box"):
        for kind, table in (("grad", fields.FIELDS), ("values", fields.VALUES)):
            yield f"numpy {name} {kind} d{depth}", lambda f=table[name]: qv.mesh(
                f, box, max_depth=depth, progress=False
            )
    csg = qv.builtin("csg")
    options = {
        "largest": {"keep": "largest"},
        "no-manifold": {"manifold": False},
        "no-intervals": {"intervals": False},
        "iso": {"iso": 0.05},
        "clip": {"bounds": ((-0.6, -0.6, -0.2), (0.6, 0.6, 0.6))},
        "adaptive": {"adaptive": True},
        "angle": {"angle_threshold": 12.0},
    }
    for label, kw in options.items():
        yield f"csg {label} d{depth}", lambda kw=kw: qv.mesh(csg, max_depth=depth, progress=False, **kw)
    yield f"numpy sphere lipschitz d{depth}", lambda: qv.mesh(
        fields.VALUES["sphere"], box, max_depth=depth, lipschitz=2.0, progress=False
    )
    yield f"numpy sphere batches d{depth}", lambda: qv.mesh(
        fields.FIELDS["sphere"], box, max_depth=depth, batch_size=5000, progress=False
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[5, 7])
    args = parser.parse_args()
    total = hashlib.sha256()
    for depth in args.depths:
        for label, run in cases(depth):
            line = f"{label}: {digest(run())}"
            total.update(line.encode())
            print(line, flush=True)
    print(f"all: {total.hexdigest()[:16]}")


if __name__ == "__main__":
    main()
