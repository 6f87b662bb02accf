"""quarvel.mesh end to end with the real engine: closed meshes of the right volume."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pytest

import quarvel as qv
from test_quarvel_helpers import needs_engine

pytestmark = needs_engine

PRIMITIVES = {
    "sphere": (lambda: qv.sphere(1.0), 4 / 3 * math.pi, 4 * math.pi),
    "box": (lambda: qv.box((1.6, 1.2, 0.8)), 1.6 * 1.2 * 0.8, 2 * (1.6 * 1.2 + 1.2 * 0.8 + 0.8 * 1.6)),
    "rounded_box": (
        lambda: qv.rounded_box((1.6, 1.2, 0.8), 0.2),
        # core box, face slabs, quarter cylinders along the edges, corner ball
        1.2 * 0.8 * 0.4
        + 2 * 0.2 * (1.2 * 0.8 + 0.8 * 0.4 + 0.4 * 1.2)
        + math.pi * 0.04 * 2.4
        + 4 / 3 * math.pi * 0.008,
        2 * (1.2 * 0.8 + 0.8 * 0.4 + 0.4 * 1.2) + math.pi * 0.2 * 2 * 2.4 + 4 * math.pi * 0.04,
    ),
    "torus": (lambda: qv.torus(1.0, 0.35), 2 * math.pi**2 * 0.35**2, 4 * math.pi**2 * 0.35),
    "cylinder": (lambda: qv.cylinder(0.6, 1.6), math.pi * 0.36 * 1.6, 2 * math.pi * 0.6 * (0.6 + 1.6)),
    "capsule": (
        lambda: qv.capsule((-0.7, 0, 0), (0.7, 0, 0), 0.4),
        math.pi * 0.16 * 1.4 + 4 / 3 * math.pi * 0.064,
        2 * math.pi * 0.4 * 1.4 + 4 * math.pi * 0.16,
    ),
}
DEPTHS = (5, 6, 7)


def tolerance(depth: int) -> float:
    """Allowed relative error: it falls with the square of the finest cell size."""
    return 20.0 * 4.0**-depth


@pytest.fixture(scope="module")
def meshes():
    return {
        (name, d): qv.mesh(make(), max_depth=d) for name, (make, _, _) in PRIMITIVES.items() for d in DEPTHS
    }


@pytest.mark.parametrize("depth", DEPTHS)
@pytest.mark.parametrize("name", PRIMITIVES)
def test_primitive_is_closed_with_the_exact_volume_and_area(meshes, name, depth):
    _, volume, area = PRIMITIVES[name]
    result = meshes[name, depth]
    assert result.is_watertight
    assert result.volume == pytest.approx(volume, rel=tolerance(depth))
    assert result.area == pytest.approx(area, rel=2 * tolerance(depth))


@pytest.mark.parametrize("name", PRIMITIVES)
def test_volume_error_shrinks_with_depth(meshes, name):
    _, volume, _ = PRIMITIVES[name]
    errors = [abs(meshes[name, d].volume - volume) / volume for d in DEPTHS]
    for coarse, fine in itertools.pairwise(errors):
        assert fine < max(coarse / 2.0, 1e-5)


@pytest.mark.parametrize("name", PRIMITIVES)
def test_vertices_lie_on_the_surface(meshes, name):
    shape = PRIMITIVES[name][0]()
    result = meshes[name, 6]
    cell = max(result.bounds.size) / 2**6
    assert np.abs(shape(result.vertices)[0]).max() < 0.05 * cell
    assert result.bounds.intersection(shape.bounds.padded(1e-9)) == result.bounds


@pytest.mark.parametrize("name", ["csg", "blend", "cut_sphere", "gyroid", "rounded_box"])
def test_builtins_mesh_to_closed_outward_surfaces(name):
    result = qv.mesh(qv.builtin(name), max_depth=6)
    assert result.is_watertight
    assert result.volume > 0.0


def test_iso_offsets_the_surface():
    result = qv.mesh(qv.sphere(1.0), max_depth=6, iso=0.25)
    assert result.volume == pytest.approx(4 / 3 * math.pi * 1.25**3, rel=tolerance(6))


@pytest.mark.parametrize(
    "field",
    [
        lambda p: np.linalg.norm(p, axis=1) - 1.0,
        lambda p: (np.linalg.norm(p, axis=1) - 1.0).astype(np.float32),
        lambda p: ((np.linalg.norm(p, axis=1) - 1.0).tolist(), None),
    ],
    ids=["values-only", "float32", "list-pair"],
)
def test_plain_functions_mesh_like_the_shape(field):
    result = qv.mesh(field, ((-1, -1, -1), (1, 1, 1)), max_depth=6)
    assert result.is_watertight
    assert result.volume == pytest.approx(4 / 3 * math.pi, rel=tolerance(6))


def test_adaptive_meshes_are_closed_and_no_larger():
    shape = qv.sphere(1.0)
    with pytest.warns(DeprecationWarning):
        uniform, adaptive = qv.mesh(shape, max_depth=6), qv.mesh(shape, max_depth=6, adaptive=True)
    assert adaptive.is_watertight
    assert len(adaptive.triangles) <= len(uniform.triangles)
    assert adaptive.volume == pytest.approx(4 / 3 * math.pi, rel=tolerance(5))


def test_progress_names_the_stages_in_order():
    reports = []
    qv.mesh(qv.sphere(1.0), max_depth=5, progress=lambda *report: reports.append(report))
    stages = [stage for stage, _, _ in reports]
    order = ["sampling", "refining", "crossings", "vertices", "faces"]
    assert [s for i, s in enumerate(stages) if i == 0 or stages[i - 1] != s] == order
    assert all(0 <= done <= total for _, done, total in reports if total)
    assert reports[-1][1] == reports[-1][2] > 0
