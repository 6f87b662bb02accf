"""Meshing in tiles, against meshing whole.

``same`` meshes each shape whole and in tiles at each depth and prints
whether the two are the same mesh (vertices and triangles, to the bit), the
volume's relative difference, the pieces, ``Mesh.check()`` of the tiled mesh,
the seam vertices two tiles placed apart, and both times::

    python bench/bench_tiles.py same [--depths 7 8 9] [--tiles 2 4]

``stream`` streams the gyroid lattice in a box to a PLY file with
:func:`quarvel.mesh_to_file` on a Dask ``LocalCluster`` of two workers, then
reloads and checks the file; it prints the time, each worker's and the
driver's peak memory, the file's size, and the same lattice meshed whole in
another process one depth lower, for scale::

    python bench/bench_tiles.py stream [--depth 10] [--tile-depth 8] [--whole-depth 9] [--no-reload]
"""

from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

import quarvel as qv

GYROID_BOX = "qv.lattice('gyroid', 0.8, 0.06) & qv.box(1.6)"
SHAPES = {
    "sphere": "qv.builtin('sphere')",
    "csg": "qv.builtin('csg')",
    "gyroid lattice in a box": GYROID_BOX,
    # Along the cube's diagonal, through the corner every tile on it shares with the next.
    "capsule through tile corners": "qv.capsule((-0.6, -0.6, -0.6), (0.6, 0.6, 0.6), 0.12) - qv.sphere(0.2)",
}


def canonical(mesh: qv.Mesh) -> tuple[np.ndarray, np.ndarray]:
    """The vertices sorted, and the triangles on that numbering, each turned
    to start at its least index, sorted: equal for the same mesh in any order."""
    order = np.lexsort(mesh.vertices.T[::-1])
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    tri = rank[mesh.triangles]
    turn = (np.argmin(tri, axis=1)[:, None] + np.arange(3)) % 3
    tri = np.take_along_axis(tri, turn, axis=1)
    return mesh.vertices[order], tri[np.lexsort(tri.T[::-1])]


def same(args: argparse.Namespace) -> None:
    print("| shape | depth | tiles | triangles | same mesh | volume diff | pieces | check | seam mismatches | "
          "whole | tiled |")
    print("|---|---:|---:|---:|---|---:|---|---|---:|---:|---:|")
    for name, source in SHAPES.items():
        shape = eval(source)  # noqa: S307 - the sources above
        for depth in args.depths:
            start = time.perf_counter()
            whole = qv.mesh(shape, max_depth=depth, progress=False)
            whole_s = time.perf_counter() - start
            a = canonical(whole)
            for tiles in args.tiles:
                start = time.perf_counter()
                tiled = qv.mesh(shape, max_depth=depth, progress=False, tiles=tiles)
                tiled_s = time.perf_counter() - start
                b = canonical(tiled)
                identical = all(x.shape == y.shape and np.array_equal(x, y) for x, y in zip(a, b))
                print(f"| {name} | {depth} | {tiles} | {len(tiled.triangles):,} | {'yes' if identical else 'NO'} | "
                      f"{abs(tiled.volume - whole.volume) / abs(whole.volume):.1e} | "
                      f"{tiled.stats['pieces']} / {whole.stats['pieces']} | "
                      f"{'clean' if tiled.check().ok else 'FAULTS'} | {tiled.stats['seam_mismatches']} | "
                      f"{whole_s:.2f} s | {tiled_s:.2f} s |", flush=True)


WHOLE = """
import resource, sys, time
import quarvel as qv
shape = {shape}
start = time.perf_counter()
mesh = qv.mesh(shape, max_depth={depth}, progress=False)
seconds = time.perf_counter() - start
print(seconds, len(mesh.triangles), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""


def read_through(path: str) -> tuple[int, int, float, bool]:
    """A streamed PLY's counts, whether its indices lie within, and its volume,
    read in chunks through memory maps: for files larger than memory."""
    with open(path, "rb") as f:
        header = f.read(4096)
    end = header.index(b"end_header\n") + len(b"end_header\n")
    words = header[:end].decode().split()
    n = int(words[words.index("vertex") + 1])
    m = int(words[words.index("face") + 1])
    row = np.dtype([("p", "<f8", (3,)), ("n", "<f4", (3,))])
    points = np.memmap(path, dtype=row, mode="r", offset=end, shape=(n,))["p"]
    faces = np.memmap(path, dtype=[("k", "u1"), ("v", "<i4", (3,))], mode="r", offset=end + n * row.itemsize,
                      shape=(m,))  # fmt: skip
    volume, inside = 0.0, True
    for begin in range(0, m, 1 << 24):
        chunk = np.asarray(faces["v"][begin:begin + (1 << 24)], dtype=np.int64)
        inside = inside and bool(chunk.min() >= 0 and chunk.max() < n)
        corners = points[chunk]
        volume += float(np.einsum("ij,ij->", corners[:, 0], np.cross(corners[:, 1], corners[:, 2]))) / 6.0
    return n, m, volume, inside


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def stream(args: argparse.Namespace) -> None:
    import distributed

    shape = eval(GYROID_BOX)  # noqa: S307
    tiles = 2 ** max(0, args.depth - args.tile_depth)
    folder = tempfile.mkdtemp(dir=args.dir)
    path = os.path.join(folder, "lattice.ply")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                                  memory_limit=0) as cluster, distributed.Client(cluster) as client:  # fmt: skip
        start = time.perf_counter()
        stats = qv.mesh_to_file(shape, path, max_depth=args.depth, tiles=tiles, executor=client, progress=False)
        seconds = time.perf_counter() - start
        workers = client.run(peak_rss)
    size = os.path.getsize(path)
    print(f"depth {args.depth}, {tiles ** 3} tiles of 2^{args.tile_depth} cells across, 2 workers:")
    print(f"  {seconds:.1f} s, {stats['triangles']:,} triangles, {stats['pieces']} pieces, "
          f"volume {stats['volume']:.9g}, seam mismatches {stats['seam_mismatches']}")
    print(f"  peak per worker: {', '.join(f'{m / 2**30:.2f} GiB' for m in workers.values())}; "
          f"driver {peak_rss() / 2**30:.2f} GiB; file {size / 2**30:.2f} GiB")
    if args.reload:
        start = time.perf_counter()
        loaded = qv.Mesh.load(path)
        report = loaded.check()
        print(f"  reloaded and checked in {time.perf_counter() - start:.1f} s: {report}; "
              f"volume {loaded.volume:.9g}")
    else:
        vertices, faces, volume, inside = read_through(path)
        print(f"  read through without loading: {vertices:,} vertices, {faces:,} faces, every index within: "
              f"{inside}, volume {volume:.9g}")
    os.unlink(path)
    os.rmdir(folder)
    whole = args.depth - 1 if args.whole_depth is None else args.whole_depth
    if whole > 0:
        code = WHOLE.format(shape=GYROID_BOX, depth=whole)
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout.split()
        print(f"whole at depth {whole} in one process: {float(out[0]):.1f} s, {int(out[1]):,} triangles, "
              f"peak {int(out[2]) / 2**30:.2f} GiB")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("same")
    p.add_argument("--depths", type=int, nargs="+", default=[7, 8, 9])
    p.add_argument("--tiles", type=int, nargs="+", default=[2, 3])
    p = sub.add_parser("stream")
    p.add_argument("--depth", type=int, default=10)
    p.add_argument("--tile-depth", type=int, default=8)
    p.add_argument("--dir", default=None, help="folder for the file (default: the system's temporary folder)")
    p.add_argument("--no-reload", dest="reload", action="store_false")
    p.add_argument("--whole-depth", type=int, default=None,
                   help="mesh whole in one process at this depth for scale (default: one less; 0: not)")
    args = parser.parse_args()
    {"same": same, "stream": stream}[args.command](args)


if __name__ == "__main__":
    main()
