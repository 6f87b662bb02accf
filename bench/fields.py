"""NumPy fields for the benchmarks, and a wrapper that times them.

Each shape comes twice: ``FIELDS`` return ``(values, gradients)``; ``VALUES``
return the values alone, computing nothing else, as a careful user would write
for a tool that needs no gradients.
"""

import time

import numpy as np


# Written as a careful user would for large batches: no (N, 3) temporaries
# where an (N,) one will do, results computed in place where possible. Every
# value and gradient is bit for bit what the plain NumPy expressions in the
# comments give (the same operations in the same order).

_BOX_HALF = np.array([0.4, 0.3, 0.25])


def _norm(points):
    """np.linalg.norm(points, axis=1): sqrt((x*x + y*y) [+ z*z]), one temporary."""
    r = points[:, 0] * points[:, 0]
    square = np.empty_like(r)
    for axis in range(1, points.shape[1]):
        np.multiply(points[:, axis], points[:, axis], out=square)
        r += square
    return np.sqrt(r, out=r)


def sphere(points):
    # |p| - 0.5, gradient p / |p|
    r = _norm(points)
    safe = np.maximum(r, 1e-300)
    r -= 0.5
    return r, points / safe[:, None]


def sphere_values(points):
    r = _norm(points)
    r -= 0.5
    return r


def _box_parts(points):
    """q = |p| - half with its row maximum and arg-maximum, then max(q, 0) in
    place and its norm: the outside distance."""
    q = np.abs(points)
    q -= _BOX_HALF
    q_max = q.max(axis=1)
    face = np.argmax(q, axis=1)
    np.maximum(q, 0.0, out=q)
    return q, q_max, face, _norm(q)


def box(points):
    # |max(q, 0)| + min(max_i q_i, 0); gradient: direction to the nearest
    # surface point outside, the dominant face inside, signed like p (+ at 0).
    qp, q_max, face, outside = _box_parts(points)
    values = outside + np.minimum(q_max, 0.0, out=q_max)
    np.divide(qp, np.maximum(outside, 1e-300)[:, None], out=qp)
    inside = np.flatnonzero(~(outside > 0))
    qp[inside] = 0.0
    qp[inside, face[inside]] = 1.0
    np.negative(qp, out=qp, where=points < 0)
    return values, qp


def box_values(points):
    _, q_max, _, outside = _box_parts(points)
    return outside + np.minimum(q_max, 0.0, out=q_max)


def _torus_parts(points):
    """|(x, y)| and the distance d0 = |(x, y)| - major, and the distance to the core circle."""
    xy = _norm(points[:, :2])
    d0 = xy - 0.5
    dn = d0 * d0
    dn += points[:, 2] * points[:, 2]
    return xy, d0, np.sqrt(dn, out=dn)


def torus(points):
    # |(|(x, y)| - 0.5, z)| - 0.2; gradient (d0 / dn * x / |xy|, d0 / dn * y / |xy|, z / dn)
    xy, d0, dn = _torus_parts(points)
    values = dn - 0.2
    np.maximum(xy, 1e-300, out=xy)
    np.maximum(dn, 1e-300, out=dn)
    d0 /= dn
    grad = np.empty_like(points)
    for axis in range(2):
        np.multiply(d0, points[:, axis], out=grad[:, axis])
        grad[:, axis] /= xy
    np.divide(points[:, 2], dn, out=grad[:, 2])
    return values, grad


def torus_values(points):
    dn = _torus_parts(points)[2]
    dn -= 0.2
    return dn


def _mlp_weights():
    rng = np.random.default_rng(26)
    w1, b1 = rng.normal(0, 1.5, (3, 64)), rng.normal(0, 0.5, 64)
    w2, b2 = rng.normal(0, 1.0 / 8, (64, 64)), rng.normal(0, 0.1, 64)
    return w1, b1, w2, b2, rng.normal(0, 1.0 / 8, (64, 1))


_MLP = _mlp_weights()


def mlp_values(p):
    """A NumPy network 3 -> 64 -> 64 -> 1 (tanh), values only: a ball of radius
    0.6 with bumps, as a costly neural field would give (about 3 us a point)."""
    w1, b1, w2, b2, w3 = _MLP
    h = np.tanh(np.tanh(p @ w1 + b1) @ w2 + b2)
    return np.linalg.norm(p, axis=1) - 0.6 + 0.05 * (h @ w3)[:, 0]


GYROID_CELL, GYROID_WALL, GYROID_BOX = 0.25, 0.03, 1.6


def gyroid_values(p):
    """A gyroid sheet lattice (cell 0.25, wall 0.03) cut by a cube of edge 1.6,
    as a user would write it in NumPy: the same solid as ``compiled_gyroid()``."""
    k = 2.0 * np.pi / GYROID_CELL
    x, y, z = k * p[:, 0], k * p[:, 1], k * p[:, 2]
    g = np.sin(x) * np.cos(y) + np.sin(y) * np.cos(z) + np.sin(z) * np.cos(x)
    sheet = np.abs(g) / (k * np.sqrt(3.0)) - GYROID_WALL / 2
    q = np.abs(p) - GYROID_BOX / 2
    box = np.linalg.norm(np.maximum(q, 0.0), axis=1) + np.minimum(q.max(axis=1), 0.0)
    return np.maximum(sheet, box)


def compiled_gyroid():
    import quarvel as qv

    return qv.lattice("gyroid", GYROID_CELL, GYROID_WALL) & qv.box(GYROID_BOX)


FIELDS = {
    "sphere": sphere, "box": box, "torus": torus, "mlp": lambda p: (mlp_values(p), None),
    "gyroid": lambda p: (gyroid_values(p), None),
}
VALUES = {"sphere": sphere_values, "box": box_values, "torus": torus_values, "mlp": mlp_values, "gyroid": gyroid_values}


def _compiled(name):
    import quarvel as qv

    return {"sphere": lambda: qv.sphere(0.5), "torus": lambda: qv.torus(0.5, 0.2),
            "box": lambda: qv.box(2 * _BOX_HALF), "gyroid": compiled_gyroid}[name]()


# The same fields as compiled shapes, for the tool that meshes them natively.
COMPILED = {name: lambda name=name: _compiled(name) for name in ("sphere", "torus", "box", "gyroid")}


def values_only(values):
    """The engine's form of a field without gradients: ``(values, None)``."""
    return lambda points: (values(points), None)


class Timed:
    """Wraps a field, accumulating the time spent inside it and the points it
    saw, and noting its largest batch."""

    def __init__(self, field):
        self.field = field
        self.seconds = 0.0
        self.points = 0
        self.calls = 0
        self.largest = 0

    def __call__(self, points):
        start = time.perf_counter()
        result = self.field(points)
        self.seconds += time.perf_counter() - start
        self.points += len(points)
        self.calls += 1
        self.largest = max(self.largest, len(points))
        return result


def batch_footprint(field, n):
    """Bytes NumPy holds at the peak of one call of `field` on an (n, 3) batch:
    the query array, the field's temporaries and its results (tracemalloc
    sees NumPy's buffers). The part of a tool's peak that its batch
    composition alone forces."""
    import tracemalloc

    tracemalloc.start()
    try:
        points = np.random.default_rng(0).uniform(-1.0, 1.0, (n, 3))
        result = field(points)
        del points, result
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
