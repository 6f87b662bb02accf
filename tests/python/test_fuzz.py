"""Argument fuzzing: every function, every parameter, objects of every kind.

Random objects, numpy scalars and arrays of odd dtypes and shapes, huge and
negative ints, NaN and infinite floats, degenerate and inverted boxes, and
objects whose __len__, __getitem__, __iter__, __float__, __index__ or __bool__
raise or return nonsense; also fields that return random junk. The invariant:
the call returns a well-formed result, or raises an exception of an expected
type (with a known message when it is a PanicException); never SystemError,
never a crash. Depths that convert are kept at most 4 so that every example is
quick; the examples are derandomized for stable CI runs.
"""

from __future__ import annotations

import math
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import _quarvel_rs as q

pytestmark = pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")

FUZZ_SETTINGS = settings(
    max_examples=300,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class FuzzError(Exception):
    """Raised by the fuzzing objects' special methods; must reach the caller unchanged."""


# ----------------------------------------------------------------------------- hostile objects


class RaisingLen:
    def __len__(self):
        raise FuzzError("__len__")

    def __getitem__(self, i):
        return 0.0


class WrongLen:
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if 0 <= i < 3:
            return float(i)
        raise IndexError(i)


class RaisingGetItem:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise FuzzError("__getitem__")


class JunkGetItem:
    """Length 3, items that are not numbers."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        return ["a", None, object()][i]


class RaisingIter(list):
    def __iter__(self):
        raise FuzzError("__iter__")


class MidwayIter:
    """A sequence whose iteration yields one good point, then raises."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        return (0.0, 0.0, 0.0)

    def __iter__(self):
        yield (0.1, 0.2, 0.3)
        raise FuzzError("iteration step")


class NonIteratorIter:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        return (0.0, 0.0, 0.0)

    def __iter__(self):
        return 42  # not an iterator


class RaisingFloat:
    def __float__(self):
        raise FuzzError("__float__")


class WrongFloat:
    def __float__(self):
        return "1.0"


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class RaisingIndex:
    def __index__(self):
        raise FuzzError("__index__")


class WrongIndex:
    def __index__(self):
        return 1.5


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def _numpy_named(name, with_bool):
    """A class that presents itself as numpy's bool type by module and name."""
    ns = {"__module__": "numpy"}
    if with_bool:
        ns["__bool__"] = lambda self: (_ for _ in ()).throw(FuzzError("__bool__"))
    return type(name, (), ns)


FakeNumpyBoolRaising = _numpy_named("bool_", True)
FakeNumpyBoolNoSlot = _numpy_named("bool", False)

HOSTILE = st.sampled_from(
    [
        RaisingLen, RaisingGetItem, JunkGetItem, RaisingIter, MidwayIter, NonIteratorIter,
        RaisingFloat, WrongFloat, RaisingIndex, WrongIndex, FakeNumpyBoolRaising,
        FakeNumpyBoolNoSlot, object,
    ]
).map(lambda cls: cls() if cls is not RaisingIter else RaisingIter([(0, 0, 0)])) | st.builds(
    WrongLen, st.sampled_from([-1, 0, 2, 4, 2**40, 2**70])
)

# ----------------------------------------------------------------------------- plain objects

FLOATS = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
    [0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, 1.7976931348623157e308]
)
HUGE_INTS = st.sampled_from([-(2**100), -(2**63), -1, 2**31, 2**32, 2**63, 2**64, 2**100])
DTYPES = st.sampled_from(
    ["f8", ">f8", "f4", "f2", "i1", "u1", "i8", "u8", "?", "c16", "O", "U3", "S2", "M8[s]", "m8[s]",
     "V8", [("a", "f8"), ("b", "i4")]]
)


@st.composite
def numpy_arrays(draw, shapes=None):
    dtype = np.dtype(draw(DTYPES))
    shape = draw(shapes if shapes is not None else st.sampled_from(
        [(), (0,), (3,), (2,), (4,), (3, 1), (1, 3), (2, 3), (3, 3), (0, 3), (5, 3), (2, 3, 1)]))
    size = int(np.prod(shape))
    raw = np.frombuffer(draw(st.binary(min_size=size * dtype.itemsize,
                                       max_size=size * dtype.itemsize)), dtype=np.uint8)
    if dtype.hasobject:
        return np.array([draw(FLOATS) for _ in range(size)], dtype=object).reshape(shape)
    if dtype.kind == "U":
        # NumPy does not check code points, and a str holding one past U+10FFFF is a
        # broken object on which the interpreter itself raises SystemError.
        raw = (raw.view(np.uint32) % 0x110000).view(np.uint8)
    return raw.view(dtype).reshape(shape).copy() if size else np.zeros(shape, dtype)


NUMPY_SCALARS = numpy_arrays(st.just(())).map(lambda a: a[()])

ANYTHING = st.recursive(
    st.none() | st.booleans() | st.integers() | HUGE_INTS | FLOATS | st.text(max_size=4)
    | st.binary(max_size=4) | st.complex_numbers() | NUMPY_SCALARS | numpy_arrays() | HOSTILE
    | st.builds(lambda: iter([(0.0, 0.0, 0.0)])) | st.just(range(3)) | st.just({1, 2, 3})
    | st.just({0: 1.0, 1: 2.0, 2: 3.0}),
    lambda inner: st.lists(inner, max_size=4) | st.lists(inner, max_size=4).map(tuple),
    max_leaves=8,
)

# Box coordinates near the sphere (so that boxes cut the surface, are
# degenerate or inverted), special floats, and now and then anything at all.
NEAR = st.sampled_from([-1.0, -0.75, -0.5, 0.0, 0.5, 0.75, 1.0, 2.0]) | st.floats(-2.0, 2.0)
COORD = NEAR | NEAR | FLOATS | st.integers(-3, 3) | HOSTILE | ANYTHING
CORNER = (
    st.tuples(NEAR, NEAR, NEAR)
    | st.tuples(NEAR, NEAR, NEAR)
    | st.tuples(COORD, COORD, COORD)
    | st.lists(COORD, min_size=3, max_size=3)
    | st.tuples(NEAR, NEAR, NEAR).map(np.array)
    | numpy_arrays(st.sampled_from([(3,), (2,), (4,), (3, 1), ()]))
    | st.lists(NEAR, max_size=5)
    | HOSTILE
    | ANYTHING
)


@st.composite
def boxes(draw):
    """(bbox_min, bbox_max): a box around the sphere, the same inverted or
    partly inverted, a degenerate one, or two arbitrary corners."""
    kind = draw(st.sampled_from(["around", "inverted", "partly-inverted", "degenerate", "any"]))
    if kind == "any":
        return draw(CORNER), draw(CORNER)
    lo = [draw(st.floats(-1.5, -0.6)) for _ in range(3)]
    hi = [draw(st.floats(0.6, 1.5)) for _ in range(3)]
    if kind == "inverted":
        lo, hi = hi, lo
    elif kind == "partly-inverted":
        axis = draw(st.integers(0, 2))
        lo[axis], hi[axis] = hi[axis], lo[axis]
    elif kind == "degenerate":
        hi = list(lo) if draw(st.booleans()) else [lo[0], lo[1], hi[2]]
    wrap = draw(st.sampled_from([tuple, list, np.array]))
    return wrap(lo), wrap(hi)


@st.composite
def depth_pairs(draw):
    """(min_depth, max_depth): mostly an ordered pair of small depths."""
    if draw(st.integers(0, 3)) > 0:
        return tuple(sorted(draw(st.lists(st.integers(0, 4), min_size=2, max_size=2))))
    return draw(DEPTH), draw(DEPTH)


# A depth that converts is at most 4; every other one must be refused.
DEPTH = (
    st.integers(0, 4)
    | st.integers(0, 4)
    | st.integers(0, 4)
    | st.integers(0, 4).map(np.int64)
    | st.integers(0, 4).map(np.uint8)
    | st.integers(0, 4).map(IndexLike)
    | st.booleans()
    | st.integers(32, 2**70)
    | st.integers(-(2**70), -1)
    | st.sampled_from([np.int64(-1), np.uint64(2**63), IndexLike(-5), IndexLike(2**40),
                       IndexLike(2**80), 3.0, "3", None, RaisingIndex(), WrongIndex()])
    | ANYTHING.filter(lambda o: not _small_index(o))
)
FLOAT_ARG = (
    NEAR | FLOATS | st.integers(-(2**70), 2**70) | st.builds(FloatLike, FLOATS)
    | st.sampled_from([RaisingFloat(), WrongFloat(), RaisingIndex(), "1.0", None]) | ANYTHING
)
BOOL_ARG = st.booleans() | st.booleans() | st.sampled_from([np.True_, np.False_]) | ANYTHING


def _small_index(o):
    """True when `o` converts as an index to a value of 5 or more below 2^32
    (such a depth would make a long build, not a refused argument)."""
    if isinstance(o, (float, str, bytes)):
        return False
    try:
        v = o.__index__()
    except Exception:  # noqa: BLE001
        return False
    return isinstance(v, int) and 5 <= v < 2**32


def sphere(p):
    r = np.sqrt(np.einsum("ij,ij->i", p, p))
    return r - 0.5, p / np.where(r > 0.0, r, 1.0)[:, None]


# ----------------------------------------------------------------------------- the invariant

PANIC_MESSAGES = re.compile(
    r"index out of bounds: the len is \d+ but the index is \d+"
    r"|ndarray: index out of bounds"
    r"|min > max, or either was NaN\. min = \S+, max = \S+"
)
EXPECTED = (TypeError, ValueError, OverflowError, IndexError, KeyError, MemoryError, FuzzError)


def check_outcome(call, validate):
    try:
        with np.errstate(all="ignore"):
            result = call()
    except q.PanicException as exc:
        event("PanicException")
        assert PANIC_MESSAGES.fullmatch(str(exc)), f"unexpected internal fault: {exc}"
        return
    except SystemError as exc:  # pragma: no cover - this is the failure being looked for
        pytest.fail(f"SystemError: {exc}")
    except EXPECTED as exc:
        event(type(exc).__name__)
        assert str(exc) or isinstance(exc, (KeyError, MemoryError)), "empty message"
        if type(exc) is TypeError and str(exc).startswith("argument '"):
            assert re.match(r"argument '[a-z_]+': \S", str(exc))
        return
    event("result")
    validate(result)


def valid_mesh(result):
    assert type(result) is tuple and len(result) == 2
    vertices, triangles = result
    assert vertices.dtype == np.float64 and triangles.dtype == np.int64
    assert vertices.ndim == 2 and vertices.shape[1] == 3 and vertices.flags.c_contiguous
    assert triangles.ndim == 2 and triangles.shape[1] == 3 and triangles.flags.c_contiguous
    assert np.all((triangles >= 0) & (triangles < len(vertices)))


def valid_stats(result):
    assert type(result) is tuple and len(result) == 6
    assert all(type(v) is int and v >= 0 for v in result)
    assert result[4] <= 31


# ----------------------------------------------------------------------------- the tests


@FUZZ_SETTINGS
@given(boxes(), depth_pairs(), NEAR | FLOAT_ARG, NEAR | FLOAT_ARG, BOOL_ARG)
def test_extract_mesh_arguments(box, depths, angle, iso, adaptive):
    (bmin, bmax), (min_depth, max_depth) = box, depths
    check_outcome(
        lambda: q.extract_mesh(sphere, bmin, bmax, min_depth=min_depth, max_depth=max_depth,
                               angle_threshold_deg=angle, iso_value=iso, adaptive=adaptive),
        valid_mesh,
    )


@FUZZ_SETTINGS
@given(boxes(), DEPTH, NEAR | FLOAT_ARG)
def test_build_octree_uniform_arguments(box, depth, iso):
    bmin, bmax = box
    check_outcome(lambda: q.build_octree_uniform(sphere, bmin, bmax, depth, iso), valid_stats)


@FUZZ_SETTINGS
@given(boxes(), depth_pairs(), NEAR | FLOAT_ARG)
def test_build_octree_adaptive_arguments(box, depths, iso):
    (bmin, bmax), (min_depth, max_depth) = box, depths
    check_outcome(lambda: q.build_octree_adaptive(sphere, bmin, bmax, min_depth, max_depth, iso),
                  valid_stats)


POINT_LISTS = (
    st.lists(CORNER, max_size=6)
    | st.lists(CORNER, max_size=6).map(tuple)
    | numpy_arrays(st.sampled_from([(0, 3), (4, 3), (2, 2), (3,), (2, 3, 1), (1, 4), ()]))
    | ANYTHING
)


@FUZZ_SETTINGS
@given(POINT_LISTS)
def test_batch_eval_points(points):
    def valid(result):
        values, has_gradients, count = result
        assert type(values) is list and all(type(v) is float for v in values)
        assert has_gradients is (count > 0) and count == len(values)  # the sphere gives gradients

    check_outcome(lambda: q.test_batch_eval(sphere, points), valid)


@FUZZ_SETTINGS
@given(POINT_LISTS, FLOAT_ARG)
def test_fd_gradients_points_and_step(points, step):
    def valid(result):
        assert type(result) is list
        assert all(type(g) is list and len(g) == 3 and all(type(c) is float for c in g)
                   for g in result)

    check_outcome(lambda: q.test_fd_gradients(sphere, points, step), valid)


@FUZZ_SETTINGS
@given(st.data(), ANYTHING)
def test_any_object_in_any_position(data, obj):
    """One argument replaced by an arbitrary object, the others valid."""
    name = data.draw(st.sampled_from(["extract_mesh", "build_octree_uniform",
                                      "build_octree_adaptive", "test_batch_eval",
                                      "test_fd_gradients"]))
    good = {
        "extract_mesh": [sphere, (-1, -1, -1), (1, 1, 1), 2, 3, 30.0, 0.0, False],
        "build_octree_uniform": [sphere, (-1, -1, -1), (1, 1, 1), 2, 0.0],
        "build_octree_adaptive": [sphere, (-1, -1, -1), (1, 1, 1), 2, 3, 0.0],
        "test_batch_eval": [sphere, [(0.1, 0.2, 0.3)]],
        "test_fd_gradients": [sphere, [(0.1, 0.2, 0.3)], 1e-3],
    }[name]
    position = data.draw(st.integers(0, len(good) - 1))
    if position in _DEPTH_POSITIONS.get(name, ()) and _small_index(obj):
        obj = None
    args = list(good)
    args[position] = obj
    validate = {"extract_mesh": valid_mesh, "build_octree_uniform": valid_stats,
                "build_octree_adaptive": valid_stats}.get(name, lambda r: None)
    check_outcome(lambda: getattr(q, name)(*args), validate)


_DEPTH_POSITIONS = {"extract_mesh": (3, 4), "build_octree_uniform": (3,),
                    "build_octree_adaptive": (3, 4)}


# ----------------------------------------------------------------------------- junk from the field


@st.composite
def junk_result_rule(draw):
    """How a field builds its result from the batch size n: arrays of drawn
    dtype, length offset, dimensions and layout, or some other object."""
    kind = draw(st.sampled_from(["pair"] * 5 + ["object"]))
    if kind == "object":
        obj = draw(ANYTHING)
        return lambda n: obj

    def array_rule(two_d):
        dtype = np.dtype(draw(st.sampled_from(["f8"] * 6 + [">f8", "f4", "i8", "c16", "O"])))
        delta = draw(st.sampled_from([0, 0, -1, 1, -5]))
        cols = draw(st.sampled_from([3, 3, 2, 4, 0])) if two_d else None
        extra_dim = draw(st.integers(0, 5)) == 0
        layout = draw(st.sampled_from(["c", "c", "c", "c", "f", "strided", "reversed"]))
        fill = draw(FLOATS)

        def make(n):
            rows = max(n + delta, 0)
            shape = (rows, cols) if two_d else (rows,)
            if extra_dim:
                shape = shape + (1,)
            a = np.full(shape, fill).astype(dtype)
            if layout == "f":
                a = np.asfortranarray(a)
            elif layout == "strided":
                a = np.repeat(a, 2, axis=0)[::2]
            elif layout == "reversed":
                a = a[::-1]
            return a

        make.description = f"{dtype.str}{delta:+d}{'x' + str(cols) if two_d else ''}" \
            f"{'+1' if extra_dim else ''}/{layout}"
        return make

    values = array_rule(False)
    gradients = None if draw(st.integers(0, 2)) == 0 else array_rule(True)
    container = draw(st.sampled_from([tuple, list, "dict", "short-tuple"]))

    event(f"values {values.description}")
    if gradients:
        event(f"gradients {gradients.description}")

    def rule(n):
        v = values(n)
        g = gradients(n) if gradients else None
        if container == "dict":
            return {0: v, 1: g}
        if container == "short-tuple":
            return (v,)
        return container((v, g))

    return rule


JUNK_CALLS = {
    "extract": lambda f: q.extract_mesh(f, (-1, -1, -1), (1, 1, 1), min_depth=1, max_depth=3),
    "uniform": lambda f: q.build_octree_uniform(f, (-1, -1, -1), (1, 1, 1), 2),
    "adaptive": lambda f: q.build_octree_adaptive(f, (-1, -1, -1), (1, 1, 1), 1, 3),
    "batch": lambda f: q.test_batch_eval(f, [(0.1, 0.2, 0.3), (0.0, 0.0, 0.0)]),
}
_clean_counts: dict[str, int] = {}


def clean_call_count(function):
    if function not in _clean_counts:
        calls = []
        JUNK_CALLS[function](lambda p: (calls.append(1), sphere(p))[1])
        _clean_counts[function] = len(calls)
    return _clean_counts[function]


@FUZZ_SETTINGS
@given(junk_result_rule(), st.integers(0, 2**16), st.sampled_from(list(JUNK_CALLS)))
def test_fields_returning_junk(rule, offset, function):
    """A sphere field that returns junk from one of its calls on."""
    junk_from_call = 1 + offset % clean_call_count(function)
    state = {"calls": 0}

    def field(p):
        state["calls"] += 1
        if state["calls"] >= junk_from_call:
            return rule(len(p))
        return sphere(p)

    validate = {"extract": valid_mesh, "uniform": valid_stats, "adaptive": valid_stats}.get(
        function, lambda r: None)
    check_outcome(lambda: JUNK_CALLS[function](field), validate)


# ----------------------------------------------------------------------------- changing while read


class Clearing:
    """A number whose conversion clears `target` (the sequence being read)."""

    def __init__(self, target, value=0.5):
        self.target = target
        self.value = value

    def __float__(self):
        self.target.clear()
        return self.value


class GrowingList(list):
    """A point list whose iteration appends to it (bounded)."""

    def __iter__(self):
        for i, item in enumerate(list.__iter__(self)):
            if len(self) < 50:
                self.append((0.0, 0.0, float(i)))
            yield item


def test_sequences_changed_while_read():
    corner = [0.0, 0.0, 0.0]
    corner[0] = Clearing(corner)
    got = outcome_of(lambda: q.extract_mesh(sphere, corner, (1, 1, 1), min_depth=1, max_depth=2))
    assert got == (IndexError, "list index out of range")

    points = [[0.1, 0.2, 0.3], [0.0, 0.0, 0.0]]
    points[0][1] = Clearing(points)  # the point list empties during the first point
    assert q.test_batch_eval(sphere, points)[2] == 1

    growing = GrowingList([(0.0, 0.0, 0.0)] * 3)
    values, has_gradients, count = q.test_batch_eval(sphere, growing)
    assert count == len(values) == 50 and has_gradients is True


def outcome_of(call):
    try:
        call()
    except Exception as exc:  # noqa: BLE001
        return type(exc), str(exc)
    return None
