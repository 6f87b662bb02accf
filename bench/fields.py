"""NumPy fields for the benchmarks, and a wrapper that times them.

Each shape comes twice: ``FIELDS`` return ``(values, gradients)``; ``VALUES``
return the values alone, computing nothing else, as a careful user would write
for a tool that needs no gradients.
"""

import time

import numpy as np


def sphere(points):
    r = np.linalg.norm(points, axis=1)
    return r - 0.5, points / np.maximum(r, 1e-300)[:, None]


def sphere_values(points):
    return np.linalg.norm(points, axis=1) - 0.5


def box(points):
    half = np.array([0.4, 0.3, 0.25])
    q = np.abs(points) - half
    outside = np.linalg.norm(np.maximum(q, 0.0), axis=1)
    inside = np.minimum(q.max(axis=1), 0.0)
    values = outside + inside
    # Gradient: direction to the nearest surface point outside, the dominant face inside.
    qp = np.maximum(q, 0.0)
    n = np.linalg.norm(qp, axis=1)
    grad = np.where(n[:, None] > 0, qp / np.maximum(n, 1e-300)[:, None], 0.0)
    face = np.argmax(q, axis=1)
    inner = np.zeros_like(points)
    inner[np.arange(len(points)), face] = 1.0
    grad = np.where((n > 0)[:, None], grad, inner) * np.sign(np.where(points == 0, 1.0, points))
    return values, grad


def box_values(points):
    q = np.abs(points) - np.array([0.4, 0.3, 0.25])
    return np.linalg.norm(np.maximum(q, 0.0), axis=1) + np.minimum(q.max(axis=1), 0.0)


def torus(points):
    major, minor = 0.5, 0.2
    xy = np.linalg.norm(points[:, :2], axis=1)
    d = np.stack([xy - major, points[:, 2]], axis=1)
    dn = np.linalg.norm(d, axis=1)
    values = dn - minor
    safe_xy = np.maximum(xy, 1e-300)
    safe_dn = np.maximum(dn, 1e-300)
    gx = d[:, 0] / safe_dn * points[:, 0] / safe_xy
    gy = d[:, 0] / safe_dn * points[:, 1] / safe_xy
    gz = d[:, 1] / safe_dn
    return values, np.stack([gx, gy, gz], axis=1)


def torus_values(points):
    xy = np.linalg.norm(points[:, :2], axis=1)
    return np.sqrt((xy - 0.5) ** 2 + points[:, 2] ** 2) - 0.2


FIELDS = {"sphere": sphere, "box": box, "torus": torus}
VALUES = {"sphere": sphere_values, "box": box_values, "torus": torus_values}


def values_only(values):
    """The engine's form of a field without gradients: ``(values, None)``."""
    return lambda points: (values(points), None)


class Timed:
    """Wraps a field, accumulating the time spent inside it and the points it saw."""

    def __init__(self, field):
        self.field = field
        self.seconds = 0.0
        self.points = 0
        self.calls = 0

    def __call__(self, points):
        start = time.perf_counter()
        result = self.field(points)
        self.seconds += time.perf_counter() - start
        self.points += len(points)
        self.calls += 1
        return result
