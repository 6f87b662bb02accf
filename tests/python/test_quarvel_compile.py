"""Shapes as programs: sound bounds over boxes, deep trees, Python functions called back, refusals."""

from __future__ import annotations

import pickle
import sys

import numpy as np
import pytest

import quarvel as qv
from quarvel.shapes import program as compiler
from test_quarvel_shapes import ALL

engine = pytest.importorskip("quarvel._engine")

RNG_SEED = 20261208
BOX = ((-1, -1, -1), (1, 1, 1))
COMPILABLE = {name: make for name, make in ALL.items() if name != "function"} | {
    f"builtin_{name}": entry.make for name, entry in qv.BUILTINS.items()
} | {
    "shells": lambda: qv.sphere(0.5).shell(0.1, "outside") | qv.box(0.6).offset(-0.1).shell(0.05, "inside"),
    "point_capsule": lambda: qv.capsule((0.1, 0.2, 0.0), (0.1, 0.2, 0.0), 0.3),
    # Values that undercut the box's distance: each copy counts as at least its box's.
    "repeated_bound": lambda: qv.sphere(0.25).scale((4.0, 1.0, 1.0)).repeat((1.5, 0.0, 0.4), (3, 1, 2)),
    "three_way": lambda: qv.intersection(qv.sphere(0.7), qv.box(1.0), qv.cylinder(0.5, 2.0).rotate(30.0)),
}


def sample_box(shape: qv.Shape) -> tuple[np.ndarray, np.ndarray]:
    box = shape.bounds if shape.bounds.is_finite else qv.Bounds.of(-1.2, 1.2)
    lo, hi = np.asarray(box.lo), np.asarray(box.hi)
    pad = 0.3 * (hi - lo)
    return lo - pad, hi + pad


def points_in(shape: qv.Shape, n: int) -> np.ndarray:
    lo, hi = sample_box(shape)
    p = lo + np.random.default_rng(RNG_SEED).random((n, 3)) * (hi - lo)
    # Points where gradients fall back: the origin and the axes through it.
    special = np.array([[0, 0, 0], [0, 0, 0.3], [0, 0.2, 0], [0.25, 0, 0], [0, 0, -0.45]], dtype=np.float64)
    return np.vstack([p, special])


@pytest.mark.parametrize("name", COMPILABLE)
def test_programs_give_values_alone_nan_and_pickle(name):
    shape = COMPILABLE[name]()
    program = shape.compile()
    assert program is shape.compile() and program.bounds == shape.bounds
    p = points_in(shape, 3000)
    values, gradients = shape(p)
    np.testing.assert_array_equal(program.values(p), values)
    # A NaN coordinate gives NaN, never a value that passes for a side.
    lost = np.array([[np.nan, 0.1, 0.2], [0.1, np.nan, 0.2], [0.1, 0.2, np.nan]])
    assert np.isnan(shape(lost)[0]).all()
    if name.startswith("builtin"):  # to worker processes, as any field
        np.testing.assert_array_equal(pickle.loads(pickle.dumps(program))(p)[0], values)
        np.testing.assert_array_equal(pickle.loads(pickle.dumps(shape))(p)[1], gradients)


@pytest.mark.parametrize("name", ["builtin_csg", "builtin_twisted_star", "builtin_gyroid", "builtin_vase",
                                  "builtin_blend", "twist", "bend", "overlapping_repeat", "ellipsoid",
                                  "circular_array_of_a_bound", "fillet_union", "text", "helix", "thread"])
def test_bounds_hold_every_sampled_value(name):
    shape = COMPILABLE[name]()
    program = shape.compile()
    rng = np.random.default_rng(RNG_SEED)
    lo, hi = sample_box(shape)
    for half in (1e-3, 0.03, 0.3):
        centres = lo + rng.random((200, 3)) * (hi - lo)
        box_lo = centres - half * rng.random((200, 3))
        box_hi = centres + half * rng.random((200, 3))
        lower, upper = program.value_bounds(box_lo, box_hi)
        known = ~np.isnan(lower)
        assert known.mean() > 0.9
        t = rng.random((200, 16, 3))
        inside = box_lo[:, None, :] + t * (box_hi - box_lo)[:, None, :]
        values = program.values(inside.reshape(-1, 3)).reshape(200, 16)
        assert np.all(lower[known, None] <= values[known]) and np.all(values[known] <= upper[known, None])


def test_small_boxes_off_the_surface_are_proved_one_sided():
    # Bounds that always spanned zero would prove nothing: a box of edge 0.02
    # more than 0.1 from the sphere lies wholly on one side.
    program = qv.sphere(0.5).compile()
    centres = np.random.default_rng(RNG_SEED).uniform(-1.0, 1.0, (500, 3))
    far = np.abs(np.linalg.norm(centres, axis=1) - 0.5) > 0.1
    lower, upper = program.value_bounds(centres - 0.01, centres + 0.01)
    assert np.all(((lower > 0) | (upper < 0))[far])


def test_deep_trees_compile_and_run_without_recursion():
    balls = [qv.sphere(0.05, (0.01 * i, 0.0, 0.0)) for i in range(1000)]
    nested = balls[0]
    for ball in balls[1:]:
        nested = nested | ball  # 1000 nested unions
    moved = qv.sphere(0.2)
    for _ in range(1000):
        moved = moved.translate((0.001, 0.0, 0.0))
    p = np.random.default_rng(RNG_SEED).uniform(-0.5, 10.5, (500, 3)) * (1, 0.02, 0.02)
    np.testing.assert_allclose(nested.compile()(p)[0], qv.union(*balls)(p)[0], atol=1e-12)
    np.testing.assert_allclose(moved.compile()(p)[0], qv.sphere(0.2, (1.0, 0.0, 0.0))(p)[0], atol=1e-12)


def interpreter_steps(run) -> int:
    """Bytecode instructions that ``run()`` executes in the compiler's module: work, not time."""
    count = 0

    def tracer(frame, event, arg):
        nonlocal count
        if frame.f_code.co_filename != compiler.__file__:
            return None
        frame.f_trace_opcodes = True
        count += event == "opcode"
        return tracer

    previous = sys.gettrace()
    sys.settrace(tracer)
    try:
        run()
    finally:
        sys.settrace(previous)
    return count


def test_compiling_takes_work_linear_in_the_nesting_depth():
    def chain(depth):
        shape = qv.sphere(0.2)
        for _ in range(depth):
            shape = shape.translate((0.001, 0.0, 0.0))
        return shape

    short, long = chain(400), chain(1600)
    ratio = interpreter_steps(lambda: compiler.compile_tape(long)) / interpreter_steps(
        lambda: compiler.compile_tape(short)
    )
    assert ratio < 4.5  # 4 for linear work; copying each node's ancestors made it about 13


@pytest.mark.parametrize(("count", "copies"), [(2, 8), ((3, 1, 2), 6)])
def test_repeat_writes_only_the_copies_that_exist(count, copies):
    ball = qv.sphere(10.0)  # twenty spacings wide: a window of 21 copies per axis
    repeated = ball.repeat(1.0, count)
    steps = [np.multiply(i, 1.0) for i in np.ndindex(*np.broadcast_to(count, 3))]
    union = qv.union(*(ball.translate(step) for step in steps))
    assert len(steps) == copies and len(repeated.compile()) < 20 * copies
    p = points_in(repeated, 200) * 5.0
    np.testing.assert_allclose(repeated(p)[0], union(p)[0], atol=1e-12)


def test_non_finite_polygon_data_and_inverted_boxes_are_refused():
    with pytest.raises(ValueError, match=r"corner 1 is \(nan, 0.0\)"):
        qv.polygon([(0, 0), (np.nan, 0), (0, 1)])
    prism = qv.polygon([(0, 0), (1, 0), (0, 1)]).extrude(1.0)
    prism.profile.vertices[1, 0] = np.nan  # past the polygon's own checks
    with pytest.raises(ValueError, match=r"instruction \d+ \(polygon\): polygon data holds a non-finite number"):
        prism.compile()
    program = qv.sphere(1.0).compile()
    with pytest.raises(ValueError, match="box 1 is inverted"):
        program.value_bounds([[0, 0, 0], [1, 0, 0]], [[1, 1, 1], [0, 1, 1]])


def test_shared_subtrees_are_written_once():
    ball = qv.sphere(0.3)
    tree = ball
    for _ in range(40):
        tree = tree | tree  # 2**40 paths through one ball
    size = len(tree.compile())  # (not in the assert: the tree's repr is 2**40 spheres long)
    assert size < 10


class Wobbly(qv.Shape):
    """A user's own node: NumPy arithmetic, called back by the program."""

    bounds = qv.Bounds.of(-1, 1)

    def _eval(self, p):
        return np.linalg.norm(p, axis=1) - 0.5, p / np.linalg.norm(p, axis=1, keepdims=True)


class FlatSphere(type(qv.sphere())):  # type: ignore[misc]
    """A library node whose arithmetic a subclass replaced."""

    def _eval(self, p):
        return p[:, 2] - self.radius, np.tile([0.0, 0.0, 1.0], (len(p), 1))


def test_shapes_of_the_users_own_are_called_back_with_whole_batches():
    calls = []

    def ball(p):
        calls.append(len(p))
        return np.linalg.norm(p - 0.1, axis=1) - 0.4  # no gradients: central differences

    # One function under two copies and a twist: one call per evaluation, all points at once.
    function = qv.Shape.from_function(ball, ((-0.3,) * 3, (0.5,) * 3))  # the ball's box
    shape = (function | function.translate((1.0, 0.0, 0.0))).twist(10.0)
    p = np.random.default_rng(RNG_SEED).uniform(-1.0, 2.0, (500, 3))
    values, gradients = shape(p)
    assert calls == [1000, 6000]  # the points, then their six probes
    plain = (qv.sphere(0.4, (0.1,) * 3) | qv.sphere(0.4, (1.1, 0.1, 0.1))).twist(10.0)
    np.testing.assert_allclose(values, plain(p)[0], atol=1e-12)
    np.testing.assert_allclose(gradients, plain(p)[1], atol=1e-6)
    assert shape.compile().values(p).tolist() == values.tolist() and calls[-1] == 1000
    lower, upper = shape.compile().value_bounds(p, p + 0.1)
    assert np.isnan(lower).all() and np.isnan(upper).all()  # nothing bounds a function
    # Subclasses that bring _eval are evaluated by it, under the library's nodes too.
    wobbly = (qv.box(0.2) | Wobbly()).translate(0.25)
    np.testing.assert_allclose(wobbly(p)[0], (qv.box(0.2) | qv.sphere(0.5)).translate(0.25)(p)[0], atol=1e-12)
    flat = FlatSphere(0.5, (0, 0, 0)).translate(0.1)
    np.testing.assert_allclose(flat(p)[0], p[:, 2] - 0.6, atol=1e-12)


class Nothing(qv.Shape):
    bounds = qv.Bounds.of(-1, 1)


def test_errors_of_functions_and_nodes_reach_the_caller():
    refusal = KeyError("refused")

    def refusing(p):
        raise refusal

    with pytest.raises(KeyError) as caught:
        (qv.sphere(0.5) | qv.Shape.from_function(refusing, BOX))(np.zeros((4, 3)))
    assert caught.value is refusal
    with pytest.raises(ValueError, match=r"field returned values of shape \(3,\) for 4 points"):
        qv.Shape.from_function(lambda p: np.zeros(3), BOX)(np.zeros((4, 3)))
    with pytest.raises(qv.CompileError, match="a Nothing node has neither _emit nor _eval .under difference"):
        (qv.sphere(1.0) - Nothing()).compile()


@pytest.mark.parametrize(
    ("code", "constants", "error", "says"),
    [
        ([[1, 0, 5, 0, 0]], [], ValueError, "not written before it"),
        ([[0, 0, 0, 0, 1]], [1.0], ValueError, "out of range"),
        ([[250, 0, 0, 0, 0]], [], ValueError, "field 0 out of range"),
        ([[1, -1, 0, 0, 0]], [], ValueError, "field 1 out of range"),
        ([[1, 0, 1, 0]], [], ValueError, "shape"),
        ([[1.5, 0, 1, 0, 0]], [], TypeError, "cast"),
    ],
)
def test_malformed_tapes_are_refused(code, constants, error, says):
    with pytest.raises(error, match=says):
        engine.program(np.asarray(code), np.asarray(constants, dtype=np.float64))


CALL = engine.opcodes().index("call")


@pytest.mark.parametrize(
    ("code", "externals", "error", "says"),
    [
        ([[CALL, 0, 1, 2, 1]], [abs], ValueError, "external function 1 out of range"),
        ([[CALL, 0, 1, 2, 0], [CALL, 3, 1, 2, 0]], [abs], ValueError, "depends on the result of a call"),
        ([[CALL, 0, 1, 2, 0]], [1.5], TypeError, "externals.0. is not callable"),
    ],
)
def test_calls_are_checked(code, externals, error, says):
    with pytest.raises(error, match=says):
        engine.program(np.asarray(code), np.zeros(0), externals)


@pytest.mark.parametrize(
    ("result", "says"),
    [((np.zeros(2), None), "returned 2 values for 3 points"), (np.zeros(3), "not a pair"),
     ((np.zeros(3), None), "returned no gradients"), ((np.zeros(3), np.zeros((3, 2))), r"gradients of shape \(3, 2\)")],
)  # fmt: skip
def test_what_a_call_returns_is_checked(result, says):
    program = engine.program(np.array([[CALL, 0, 1, 2, 0]]), np.zeros(0), [lambda p, gradients: result])
    with pytest.raises(ValueError, match=says):
        engine.program_eval(program, np.zeros((3, 3)))


def test_a_coordinate_and_a_constant_of_the_same_number_are_not_taken_for_the_same_operand():
    # Register 2 (z) equals 2.0 as a number: clip(z, 2.0, ...) must still clip.
    low = qv.box((1.0, 1.0, 4.0), center=(0.0, 0.0, 4.0)).twist(30.0)  # z from 2.0
    nudged = qv.box((1.0, 1.0, 4.0), center=(0.0, 0.0, 4.0 + 1e-12)).twist(30.0)
    below = [[0.0, 0.6, 1.9], [0.3, -0.4, 1.5]]
    np.testing.assert_allclose(low(below)[0], nudged(below)[0], atol=1e-9)
    tape = compiler.Tape()
    assert tape.min(compiler.Reg(0), 0.0) != 0 and tape.max(compiler.Reg(1), 1.0) != 1
