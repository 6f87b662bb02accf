"""Mesh an expensive field on a Dask cluster through ``quarvel.mesh(executor=...)``,
by batches of points or by tiles of the box.

The field here is a small NumPy multilayer perceptron standing in for a
neural field.  quarvel cuts every batch into chunks of ``batch_size`` points
and hands them to the executor; the chunks come back in order, so the mesh is
the same as without it.  Any ``concurrent.futures.Executor`` works: Dask's
(``Client.get_executor()``), Ray's, or a local process pool.

    pip install "dask[distributed]"    # optional
    python examples/scale_out.py [--fast]

With ``tiles=K`` the executor (here the Dask client itself) meshes whole
tiles instead, each in its own worker, and ``quarvel.mesh_to_file`` streams
them to a file as they are joined.

Without Dask installed it says so and uses a local process pool instead.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
from concurrent.futures import Executor, ProcessPoolExecutor

import numpy as np

import quarvel as qv

# A fixed random network whose zero set is a blobby closed surface: a ball of
# radius 0.6 plus a small learned-looking perturbation.
_RNG = np.random.default_rng(7)
_W1, _B1 = _RNG.normal(size=(3, 64)) * 2.0, _RNG.normal(size=64)
_W2 = _RNG.normal(size=(64, 1)) * 0.02


def field(points: np.ndarray) -> np.ndarray:
    """Values only (gradients are estimated); defined at module level so that
    worker processes can import it."""
    hidden = np.tanh(points @ _W1 + _B1)
    return np.linalg.norm(points, axis=1) - 0.6 + (hidden @ _W2)[:, 0]


BOUNDS = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


DEPTH = 5 if "--fast" in sys.argv else 7


def mesh_with(executor: Executor | None, label: str) -> qv.Mesh:
    start = time.perf_counter()
    result = qv.mesh(field, BOUNDS, max_depth=DEPTH, batch_size=100_000, executor=executor, progress=False)
    seconds = time.perf_counter() - start
    stats = result.stats
    print(f"{label}: {seconds:.2f} s, {stats['evaluations']:,} evaluations in {stats['batches']} chunks")
    print(f"  {result.summary()}")
    return result


def main() -> None:
    plain = mesh_with(None, "in this process")
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("dask.distributed is not installed (pip install 'dask[distributed]'): using a process pool")
        with ProcessPoolExecutor(2) as pool:
            spread = mesh_with(pool, "process pool")
        tiled = tiles_with(ProcessPoolExecutor(2), "process pool")
    else:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster, Client(cluster) as client:
            spread = mesh_with(client.get_executor(), "dask LocalCluster")
            tiled = tiles_with(client, "dask LocalCluster")
    # Joined by vertex names, the tiles make the mesh meshed whole (up to
    # rounding in the workers' values, as above).
    print(f"tiles joined: {len(tiled.triangles):,} triangles, volume {tiled.volume:.9f}; "
          f"whole: {len(plain.triangles):,}, volume {plain.volume:.9f}")
    # The mesh is a function of the field's values. A worker whose linear
    # algebra library runs on another number of threads may round a value's
    # last bit differently, and the mesh follows by as little.
    if plain.vertices.shape != spread.vertices.shape or not np.array_equal(plain.triangles, spread.triangles):
        print("DIFFERENT meshes")
    else:
        gap = float(np.abs(plain.vertices - spread.vertices).max())
        print("the same mesh" if gap == 0.0 else f"the same mesh, up to {gap:.1e} in a coordinate (rounding)")


def tiles_with(executor: object, label: str) -> qv.Mesh:
    """The box in 2 x 2 x 2 tiles, each meshed by a worker; then the same streamed to a file."""
    start = time.perf_counter()
    result = qv.mesh(field, BOUNDS, max_depth=DEPTH, tiles=2, executor=executor, progress=False)
    print(f"{label}, 8 tiles: {time.perf_counter() - start:.2f} s, {len(result.triangles):,} triangles")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "field.ply")
        stats = qv.mesh_to_file(field, path, BOUNDS, max_depth=DEPTH, tiles=2, executor=executor, progress=False)
        print(f"  streamed to a file of {os.path.getsize(path):,} bytes: {stats['triangles']:,} triangles")
    return result


if __name__ == "__main__":
    main()
