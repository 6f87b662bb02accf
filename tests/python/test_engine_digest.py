"""The engine's results and call sequences, pinned bit for bit.

``_quarvel_rs`` has a fixed contract: the same arguments give the same
arrays and the same batches of points, whatever changes in the core it
shares with the package's pipeline. The fields use only correctly rounded
arithmetic (no libm), so the digest is the same on any machine.
"""

from __future__ import annotations

import hashlib
import itertools

import numpy as np
import pytest

_quarvel_rs = pytest.importorskip("_quarvel_rs")


def _norm(p):
    return np.sqrt(p[:, 0] * p[:, 0] + p[:, 1] * p[:, 1] + p[:, 2] * p[:, 2])


def sphere(p):
    r = _norm(p)
    return r - 0.5, p / np.where(r > 0.0, r, 1.0)[:, None]


def cube(p):
    q = np.abs(p) - np.array([0.42, 0.31, 0.27])
    outside = np.maximum(q, 0.0)
    return _norm(outside) + np.minimum(q.max(axis=1), 0.0), None


def two_balls(p):
    a = _norm(p - np.array([0.3, 0.0, 0.0])) - 0.22
    b = _norm(p + np.array([0.35, 0.1, 0.0])) - 0.18
    return np.minimum(a, b), None


def torus(p):
    xy = np.sqrt(p[:, 0] * p[:, 0] + p[:, 1] * p[:, 1])
    d = xy - 0.55
    r = np.sqrt(d * d + p[:, 2] * p[:, 2])
    safe_xy = np.where(xy > 0.0, xy, 1.0)
    safe_r = np.where(r > 0.0, r, 1.0)
    g = np.stack([d * p[:, 0] / safe_xy, d * p[:, 1] / safe_xy, p[:, 2]], axis=1) / safe_r[:, None]
    return r - 0.2, g


def quartic(p):
    x, y, z = p[:, 0], p[:, 1], p[:, 2]
    values = x * x * x * x + y * y * y * y + z * z * z * z - 0.6 * (x * x + y * y + z * z) + 0.05
    return values, None


FIELDS = {"sphere": sphere, "cube": cube, "two_balls": two_balls, "torus": torus, "quartic": quartic}


class Recorder:
    """The field, with every batch it is called on hashed in order."""

    def __init__(self, field):
        self.field = field
        self.hash = hashlib.sha256()

    def __call__(self, points):
        self.hash.update(points.tobytes())
        return self.field(points)


def _case_digest(name, min_depth, max_depth, angle, iso, adaptive):
    recorder = Recorder(FIELDS[name])
    vertices, triangles = _quarvel_rs.extract_mesh(
        recorder, (-0.9, -0.8, -0.7), (0.9, 0.8, 0.75), min_depth, max_depth, angle, iso, adaptive
    )
    h = hashlib.sha256(recorder.hash.digest())
    for a in (vertices, triangles):
        h.update(repr((a.dtype.str, a.shape)).encode())
        h.update(a.tobytes())
    return h.hexdigest()


CASES = [
    (name, min_depth, max_depth, angle, iso, adaptive)
    for name, (min_depth, max_depth), angle, iso, adaptive in itertools.product(
        FIELDS, [(2, 5), (3, 6)], [30.0, 10.0], [0.0, 0.04], [False, True]
    )
]


def test_extraction_results_and_batches_are_pinned():
    h = hashlib.sha256()
    for case in CASES:
        h.update(_case_digest(*case).encode())
    assert h.hexdigest() == EXTRACTION_DIGEST


def test_builds_batch_evaluation_and_differences_are_pinned():
    rng = np.random.default_rng(7)
    points = rng.uniform(-1.0, 1.0, size=(257, 3))
    h = hashlib.sha256()
    for name, field in FIELDS.items():
        recorder = Recorder(field)
        h.update(repr(_quarvel_rs.build_octree_uniform(recorder, (-1, -1, -1), (1, 1, 1), 5, 0.01)).encode())
        h.update(repr(_quarvel_rs.build_octree_adaptive(recorder, (-1, -1, -1), (1, 1, 1), 2, 6)).encode())
        h.update(repr(_quarvel_rs.test_fd_gradients(recorder, points, 1e-4)).encode())
        h.update(repr(_quarvel_rs.test_batch_eval(recorder, points)).encode())
        h.update(recorder.hash.digest())
    assert h.hexdigest() == BUILD_DIGEST


EXTRACTION_DIGEST = "774ab54fc06f4d81a813317065061755a1a10eec4623e6028d81a070a0d2b7d9"
BUILD_DIGEST = "cefb29da4ead789e9ccb05551746312d39a0414b362603084379c8fb7c4caaf0"
