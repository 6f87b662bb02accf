"""quarvel.mesh on compiled shapes: the path it takes, cells proven by interval bounds, non-finite values."""

from __future__ import annotations

import math

import numpy as np
import pytest

import quarvel as qv

engine = pytest.importorskip("quarvel._engine")

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


def deep_unions() -> qv.Shape:
    nested = qv.sphere(0.3, (-0.5, 0.0, 0.0))
    for i in range(1, 1000):
        nested = nested | qv.sphere(0.3, (-0.5 + 0.001 * i, 0.0, 0.0))
    return nested


@pytest.mark.parametrize(
    "make",
    [lambda: qv.builtin("csg"), lambda: qv.builtin("twisted_star"), lambda: qv.builtin("vase"), deep_unions],
    ids=["csg", "twisted_star", "vase", "1000-unions"],
)
def test_intervals_skip_samples_but_never_surface(make):
    # Cells are skipped only where the bounds prove no surface: the mesh is
    # the one the Lipschitz guard gives, bit for bit, from far fewer samples
    # than the finest lattice. (The guard may take fewer still: its corner
    # balls also clear children of cells the surface crosses.)
    shape = make()
    proven = qv.mesh(shape, max_depth=5, progress=False)
    sampled = qv.mesh(shape, max_depth=5, progress=False, intervals=False)
    np.testing.assert_array_equal(proven.vertices, sampled.vertices)
    np.testing.assert_array_equal(proven.triangles, sampled.triangles)
    assert proven.stats["native"] and proven.stats["guard"] == "on: interval bounds"
    assert proven.stats["cells_proven"] > 0 and sampled.stats["cells_bounded"] == 0
    by_stage = proven.stats["evaluations_by_stage"]
    assert by_stage["sampling"] + by_stage["refining"] < 0.7 * (2**5 + 1) ** 3


FROM_FUNCTION = qv.Shape.from_function(lambda p: np.linalg.norm(p, axis=1) - 0.5, BOX)


@pytest.mark.parametrize(
    ("field", "options", "native"),
    [
        (qv.sphere(0.5), {}, True),
        (qv.sphere(0.5).compile(), {}, True),
        (qv.sphere(0.5), {"native": False}, False),
        (qv.sphere(0.5), {"batch_size": 4096}, False),
        (qv.sphere(0.5) | FROM_FUNCTION, {}, True),
        (qv.sphere(0.5) | FROM_FUNCTION, {"batch_size": 4096}, False),
    ],
    ids=["shape", "program", "forced-numpy", "batches", "from-function", "from-function-batches"],
)
def test_mesh_evaluates_natively_unless_asked_for_batches(field, options, native):
    stages = set()
    mesh = qv.mesh(field, max_depth=4, progress=lambda stage, done, total: stages.add(stage), **options)
    assert mesh.stats["native"] is native
    assert (mesh.stats["batches"] == 0) is native
    # A Python function's values have no interval bounds: its cells are proven by the Lipschitz factor.
    calls_back = FROM_FUNCTION in getattr(field, "shapes", ())
    assert (mesh.stats["guard"] == "on: interval bounds") is (native and not calls_back)
    assert {"sampling", "faces"} <= stages
    assert mesh.volume == pytest.approx(4 / 3 * math.pi * 0.5**3, rel=0.05)


@pytest.mark.parametrize(
    ("field", "options", "error"),
    [(lambda p: p[:, 0], {}, qv.CompileError), (qv.sphere(0.5), {"batch_size": 10}, ValueError)],
    ids=["plain-function", "batches"],
)  # fmt: skip
def test_native_true_insists(field, options, error):
    with pytest.raises(error):
        qv.mesh(field, BOX, native=True, progress=False, **options)


@pytest.mark.parametrize("options", [{}, {"batch_size": 1000}], ids=["native", "batches"])
def test_functions_in_shapes_keep_their_batches_and_errors(options):
    sizes = []

    def ball(p):
        sizes.append(len(p))
        if len(sizes) == 8:
            raise LookupError("the 8th call")
        return np.linalg.norm(p, axis=1) - 0.5, p / np.linalg.norm(p, axis=1, keepdims=True)

    shape = qv.Shape.from_function(ball, BOX).translate((0.1, 0.0, 0.0))
    with pytest.raises(LookupError, match="the 8th call"):
        qv.mesh(shape, max_depth=6, progress=False, **options)
    assert len(sizes) == 8 and max(sizes) <= options.get("batch_size", math.inf)


def program(rows: list[tuple], constants: list[float]):
    """A program from rows (opcode name, a, b, c, immediate)."""
    number = {name: i for i, name in enumerate(engine.opcodes())}
    code = np.array([(number[op], *rest) for op, *rest in rows], dtype=np.int64)
    return engine.program(code, np.array(constants, dtype=np.float64))


def test_programs_follow_the_non_finite_rules():
    # -inf left of x = 0.3, +inf right of it: infinite values count as sides.
    occupancy = program([("constant", 0, 0, 0, 0), ("constant", 0, 0, 0, 1), ("constant", 0, 0, 0, 2),
                         ("less", 0, 5, 0, 0), ("select", 6, 3, 4, 0)], [-math.inf, math.inf, 0.3])  # fmt: skip
    vertices, triangles, _, stats, _ = engine.extract(occupancy, *BOX, min_depth=3, max_depth=5)
    assert len(triangles) and np.isfinite(vertices).all() and stats["native"]
    assert np.abs(vertices[:, 0] - 0.3).max() <= 2.2 / 2**5
    # sqrt(x + 0.5) - 0.5 is NaN left of x = -0.5: refused, as for any field.
    root = program([("constant", 0, 0, 0, 0), ("add", 0, 3, 0, 0), ("sqrt", 4, 0, 0, 0), ("sub", 5, 3, 0, 0)], [0.5])
    with pytest.raises(ValueError, match="returned NaN"):
        engine.extract(root, *BOX, min_depth=3, max_depth=5)


def test_bounds_find_a_ball_that_a_steep_field_hides():
    # 100 times the distance to a ball between the first lattice's points: too
    # steep for the Lipschitz guard, which then judges by signs and loses it.
    ball = program([("constant", 0, 0, 0, 0), ("sub", 0, 3, 0, 0), ("sub", 1, 3, 0, 0), ("sub", 2, 3, 0, 0),
                    ("length3", 4, 5, 6, 3), ("constant", 0, 0, 0, 1), ("sub", 7, 8, 0, 0),
                    ("constant", 0, 0, 0, 2), ("mul", 9, 10, 0, 0)], [0.125, 0.21, 100.0])  # fmt: skip
    _, lost, _, stats, _ = engine.extract(ball, *BOX, min_depth=3, max_depth=6, intervals=False)
    assert stats["guard"].startswith("off: steeper") and len(lost) == 0
    vertices, found, _, stats, _ = engine.extract(ball, *BOX, min_depth=3, max_depth=6)
    assert stats["guard"] == "on: interval bounds" and len(found) > 0
    np.testing.assert_allclose(np.linalg.norm(vertices - 0.125, axis=1), 0.21, atol=2e-3)
