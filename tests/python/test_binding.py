"""Module frame, argument binding and argument conversion of _quarvel_rs."""

from __future__ import annotations

import concurrent.futures
import enum
import importlib
import math
import multiprocessing
import operator
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest

import _quarvel_rs as q
from hardening_support import index_fault, short_values_field

NAMES = [
    "extract_mesh",
    "build_octree_uniform",
    "build_octree_adaptive",
    "test_batch_eval",
    "test_fd_gradients",
]

SIGNATURES = {
    "extract_mesh": (
        "(eval_fn, bbox_min, bbox_max, min_depth=3, max_depth=7, "
        "angle_threshold_deg=30.0, iso_value=0.0, adaptive=False)",
        "Isosurface extraction entry point.\n\n"
        "Builds an adaptive octree, runs Dual Contouring, and returns a triangle mesh.",
    ),
    "build_octree_uniform": (
        "(eval_fn, bbox_min, bbox_max, depth, iso_value=0.0)",
        "Build a uniform octree and return statistics.",
    ),
    "build_octree_adaptive": (
        "(eval_fn, bbox_min, bbox_max, min_depth, max_depth, iso_value=0.0)",
        "Build an adaptive octree and return statistics.",
    ),
    "test_batch_eval": (
        "(eval_fn, points)",
        "Test function to verify the batch evaluation bridge works.",
    ),
    "test_fd_gradients": (
        "(eval_fn, points, step=1e-5)",
        "Test function for finite-difference gradient estimation.",
    ),
}

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
PTS = [(0.0, 0.0, 0.0)]


class Sentinel(Exception):
    """Raised by a field to prove that conversion finished and the work began."""


def sentinel_field(points):
    raise Sentinel


def never_called(points):  # pragma: no cover - reaching it is the failure
    raise AssertionError("the field must not be called")


def echo(points):
    """Returns every coordinate of the query, so test_batch_eval reports the points."""
    return np.ascontiguousarray(points).ravel().copy(), None


def float_error(obj):
    """The interpreter's own message for a failed float conversion of obj."""
    with pytest.raises(TypeError) as info:
        math.sqrt(obj)
    return str(info.value)


def index_error(obj):
    """The interpreter's own message for a failed index conversion of obj."""
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    return str(info.value)


# --------------------------------------------------------------------------- frame


def test_reimport_returns_same_module_object():
    first = sys.modules["_quarvel_rs"]
    del sys.modules["_quarvel_rs"]
    try:
        again = importlib.import_module("_quarvel_rs")
    finally:
        sys.modules["_quarvel_rs"] = first
    assert again is first
    assert again.test_batch_eval is first.test_batch_eval


def test_module_attributes():
    assert q.__name__ == "_quarvel_rs"
    assert q.__doc__ == ""
    assert q.__all__ == NAMES
    assert "PanicException" not in q.__all__
    assert isinstance(q.PanicException, type)


@pytest.mark.parametrize("name", NAMES)
def test_function_metadata(name):
    fn = getattr(q, name)
    text_signature, doc = SIGNATURES[name]
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__text_signature__ == text_signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "_quarvel_rs"
    assert fn.__self__ is q


# --------------------------------------------------------------------------- binding

BINDING_ERRORS = [
    pytest.param(
        "test_batch_eval", (never_called, PTS, 1), {},
        "test_batch_eval() takes 2 positional arguments but 3 were given", id="takes-exact",
    ),
    pytest.param(
        "test_fd_gradients", (never_called, PTS, 0.1, 2), {},
        "test_fd_gradients() takes from 2 to 3 positional arguments but 4 were given",
        id="takes-range",
    ),
    pytest.param(
        "build_octree_uniform", (never_called, *BOX, 1, 0.0, 9), {},
        "build_octree_uniform() takes from 4 to 5 positional arguments but 6 were given",
        id="takes-range-uniform",
    ),
    pytest.param(
        "extract_mesh", (never_called, *BOX, 1, 2, 30.0, 0.0, False, 0), {},
        "extract_mesh() takes from 3 to 8 positional arguments but 9 were given",
        id="takes-range-extract",
    ),
    pytest.param(
        "test_fd_gradients", (never_called,), {},
        "test_fd_gradients() missing 1 required positional argument: 'points'", id="missing-1",
    ),
    pytest.param(
        "test_batch_eval", (), {},
        "test_batch_eval() missing 2 required positional arguments: 'eval_fn' and 'points'",
        id="missing-2",
    ),
    pytest.param(
        "build_octree_adaptive", (never_called,), {"bbox_min": BOX[0], "max_depth": 3},
        "build_octree_adaptive() missing 2 required positional arguments: 'bbox_max' and "
        "'min_depth'",
        id="missing-2-with-gap",
    ),
    pytest.param(
        "extract_mesh", (), {"min_depth": 1},
        "extract_mesh() missing 3 required positional arguments: 'eval_fn', 'bbox_min', and "
        "'bbox_max'",
        id="missing-3",
    ),
    pytest.param(
        "build_octree_adaptive", (never_called,), {},
        "build_octree_adaptive() missing 4 required positional arguments: 'bbox_min', "
        "'bbox_max', 'min_depth', and 'max_depth'",
        id="missing-4",
    ),
    pytest.param(
        "build_octree_uniform", (), {},
        "build_octree_uniform() missing 4 required positional arguments: 'eval_fn', "
        "'bbox_min', 'bbox_max', and 'depth'",
        id="missing-4-uniform",
    ),
    pytest.param(
        "test_batch_eval", (never_called, PTS), {"eval_fn": never_called},
        "test_batch_eval() got multiple values for argument 'eval_fn'", id="multiple",
    ),
    pytest.param(
        "test_batch_eval", (never_called, PTS), {"foo": 1},
        "test_batch_eval() got an unexpected keyword argument 'foo'", id="unexpected",
    ),
    # Keywords are checked in the order given, before required slots are counted.
    pytest.param(
        "test_batch_eval", (never_called, PTS), {"eval_fn": 1, "foo": 1},
        "test_batch_eval() got multiple values for argument 'eval_fn'", id="multiple-first",
    ),
    pytest.param(
        "test_batch_eval", (never_called, PTS), {"foo": 1, "eval_fn": 1},
        "test_batch_eval() got an unexpected keyword argument 'foo'", id="unexpected-first",
    ),
    pytest.param(
        "test_fd_gradients", (never_called,), {"Step": 1.0},
        "test_fd_gradients() got an unexpected keyword argument 'Step'",
        id="unexpected-before-missing",
    ),
    # Binding fails before any argument is converted.
    pytest.param(
        "build_octree_uniform", (5, "bad", None), {"depth": -1, "stray": 0},
        "build_octree_uniform() got an unexpected keyword argument 'stray'",
        id="binding-before-conversion",
    ),
    pytest.param(
        "build_octree_uniform", (5, "bad", None, 3.0, None, None), {"depth": -1},
        "build_octree_uniform() takes from 4 to 5 positional arguments but 6 were given",
        id="count-before-keywords",
    ),
]


@pytest.mark.parametrize(("name", "args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(q, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_all_keywords_bind():
    values, has_grad, count = q.test_batch_eval(points=[(1.0, 2.0, 3.0)], eval_fn=echo)
    assert (values, has_grad, count) == ([1.0, 2.0, 3.0], False, 3)
    stats = q.build_octree_uniform(
        iso_value=0.0, depth=0, bbox_max=BOX[1], bbox_min=BOX[0],
        eval_fn=lambda p: (np.ones(len(p)), None),
    )
    assert stats[:5] == (0, 0, 1, 0, 0)


# --------------------------------------------------------------------------- points


class SeqNoLen:
    """A sequence (it has __getitem__) whose length query fails; iterates 2 points."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        raise RuntimeError("no length")


class LyingLen(SeqNoLen):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


class Triple:
    """A sequence of length 3 reached only through __len__ and __getitem__."""

    def __init__(self, *xs):
        self.xs = xs

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if not isinstance(i, int):
            raise AssertionError("items are fetched with int keys")
        return self.xs[i]


class AsFloat:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class AsIndex:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "points",
    [
        pytest.param([(1, 2, 3), (4.5, -5, 6)], id="list-of-tuples"),
        pytest.param(([1, 2, 3], [4.5, -5, 6]), id="tuple-of-lists"),
        pytest.param(np.array([[1, 2, 3], [4.5, -5, 6]]), id="ndarray-f64"),
        pytest.param(np.array([[1, 2, 3], [4.5, -5, 6]], order="F"), id="ndarray-fortran"),
        pytest.param(np.array([[1, 2, 3], [9, -5, 6]])[:, :], id="ndarray-int"),
        pytest.param([np.array([1.0, 2.0, 3.0]), (4.5, -5, 6)], id="ndarray-rows"),
        pytest.param(
            [(np.float32(1), np.int64(2), np.float64(3)), (np.float16(4.5), np.int8(-5), 6)],
            id="numpy-scalars",
        ),
        pytest.param([(AsFloat(1.0), AsIndex(2), True + 2), (4.5, -5, 6)], id="float-index"),
        pytest.param(SeqNoLen([(1, 2, 3), (4.5, -5, 6)]), id="length-fails"),
        pytest.param(LyingLen([(1, 2, 3), (4.5, -5, 6)], 1), id="length-lies"),
        # A length far beyond memory only sizes a reservation: the items are read.
        pytest.param(LyingLen([(1, 2, 3), (4.5, -5, 6)], 2**60), id="length-huge"),
        pytest.param([Triple(1, 2, 3), Triple(4.5, -5, 6)], id="custom-triples"),
        pytest.param(range(0), id="empty-range"),
    ],
)
def test_points_accepted(points):
    values, _, count = q.test_batch_eval(echo, points)
    expected = [] if isinstance(points, range) else [1.0, 2.0, 3.0, 4.5, -5.0, 6.0]
    if isinstance(points, np.ndarray) and points.dtype.kind == "i":
        expected = [1.0, 2.0, 3.0, 9.0, -5.0, 6.0]
    assert values == expected
    assert count == len(expected)
    assert all(type(v) is float for v in values)
    # The same conversion serves the gradients: one gradient per point read.
    assert len(q.test_fd_gradients(lambda p: (p[:, 0].copy(), None), points)) == len(expected) // 3


@pytest.mark.parametrize(
    ("points", "exc_type", "message"),
    [
        pytest.param("abc", TypeError, "argument 'points': Can't extract `str` to `Vec`", id="str"),
        pytest.param(
            type("Text", (str,), {})("abc"), TypeError,
            "argument 'points': Can't extract `str` to `Vec`", id="str-subclass",
        ),
        pytest.param(
            5, TypeError, "argument 'points': 'int' object cannot be converted to 'Sequence'",
            id="int",
        ),
        pytest.param(
            {(0, 0, 0)}, TypeError,
            "argument 'points': 'set' object cannot be converted to 'Sequence'", id="set",
        ),
        pytest.param(
            {0: (0, 0, 0)}, TypeError,
            "argument 'points': 'dict' object cannot be converted to 'Sequence'", id="dict",
        ),
        pytest.param(
            None, TypeError,
            "argument 'points': 'NoneType' object cannot be converted to 'Sequence'", id="none",
        ),
        pytest.param(
            [(0, 0, 0), 7], TypeError,
            "argument 'points': 'int' object cannot be converted to 'Sequence'",
            id="element-not-sequence",
        ),
        pytest.param(
            b"abc", TypeError,
            "argument 'points': 'int' object cannot be converted to 'Sequence'", id="bytes",
        ),
        pytest.param(
            np.zeros((4, 2)), ValueError, "expected a sequence of length 3 (got 2)",
            id="ndarray-n-2",
        ),
        pytest.param(
            [(0, 0, 0), (1, 2, 3, 4)], ValueError, "expected a sequence of length 3 (got 4)",
            id="element-length-4",
        ),
        pytest.param(
            [(0, 0, 0), ()], ValueError, "expected a sequence of length 3 (got 0)",
            id="element-empty",
        ),
        pytest.param(
            [(0, 0, "x")], TypeError, "argument 'points': " + float_error("x"),
            id="element-str",
        ),
        pytest.param(
            [(0, None, 0)], TypeError, "argument 'points': " + float_error(None),
            id="element-none",
        ),
        pytest.param(
            [(0, 0, 0), ((1,), 0, 0)], TypeError, "argument 'points': " + float_error((1,)),
            id="element-tuple",
        ),
        pytest.param(
            [(0, 0, 10**400)], OverflowError, "int too large to convert to float",
            id="element-huge-int",
        ),
    ],
)
def test_points_refused(points, exc_type, message):
    with pytest.raises(exc_type) as info:
        q.test_batch_eval(never_called, points)
    assert type(info.value) is exc_type
    assert str(info.value) == message


class RaisingItem:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 2:
            raise self.exc
        return 0.0


class RaisingLen:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        raise self.exc

    def __getitem__(self, i):
        return 0.0


class RaisingIter:
    def __init__(self, exc, fail_on_iter):
        self.exc = exc
        self.fail_on_iter = fail_on_iter

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return (0, 0, 0)

    def __iter__(self):
        if self.fail_on_iter:
            raise self.exc
        return self._gen()

    def _gen(self):
        yield (0, 0, 0)
        raise self.exc


# Point lists whose conversion raises the given exception, at each protocol step.
RAISING_POINTS = [
    pytest.param(lambda e: [RaisingItem(e)], id="item-access"),
    pytest.param(lambda e: [RaisingLen(e)], id="triple-length"),
    pytest.param(lambda e: RaisingIter(e, True), id="get-iterator"),
    pytest.param(lambda e: RaisingIter(e, False), id="iteration-step"),
]


@pytest.mark.parametrize(
    "make",
    RAISING_POINTS
    + [pytest.param(lambda e: [(0, _float_raising(e), 0)], id="float-method")],
)
@pytest.mark.parametrize("exc_type", [KeyError, RuntimeError, ValueError, OverflowError])
def test_point_errors_of_other_types_pass_through(make, exc_type):
    error = exc_type("original")
    points = make(error)
    with pytest.raises(exc_type) as info:
        q.test_batch_eval(never_called, points)
    assert info.value is error


@pytest.mark.parametrize("make", RAISING_POINTS)
def test_point_type_errors_get_prefix(make):
    error = TypeError("inner words")
    with pytest.raises(TypeError) as info:
        q.test_batch_eval(never_called, make(error))
    assert info.value is not error
    assert str(info.value) == "argument 'points': inner words"


# --------------------------------------------------------------------------- the prefix


class CausedTypeError(TypeError):
    pass


def _float_raising(exc):
    class Obj:
        def __float__(self):
            raise exc

    return Obj()


def _index_raising(exc):
    class Obj:
        def __index__(self):
            raise exc

    return Obj()


def _call_with(parameter, value):
    """Calls a function so that `value` is converted as `parameter`."""
    if parameter == "step":
        return q.test_fd_gradients(never_called, PTS, value)
    if parameter == "points":
        return q.test_batch_eval(never_called, [(0, 0, value)])
    if parameter == "bbox_max":
        return q.build_octree_uniform(never_called, BOX[0], (1, value, 1), 1)
    if parameter == "depth":
        return q.build_octree_uniform(never_called, *BOX, value)
    if parameter == "iso_value":
        return q.build_octree_adaptive(never_called, *BOX, 1, 2, value)
    if parameter == "angle_threshold_deg":
        return q.extract_mesh(never_called, *BOX, angle_threshold_deg=value)
    if parameter == "max_depth":
        return q.extract_mesh(never_called, *BOX, max_depth=value)
    raise AssertionError(parameter)


FLOAT_PARAMS = ["step", "points", "bbox_max", "iso_value", "angle_threshold_deg"]
INDEX_PARAMS = ["depth", "max_depth"]


@pytest.mark.parametrize("with_cause", [True, False], ids=["with-cause", "no-cause"])
@pytest.mark.parametrize("parameter", FLOAT_PARAMS + INDEX_PARAMS)
def test_type_error_prefixed_and_cause_kept(parameter, with_cause):
    cause = KeyError("the cause")
    original = CausedTypeError("first words")
    if with_cause:
        original.__cause__ = cause
    obj = _index_raising(original) if parameter in INDEX_PARAMS else _float_raising(original)
    with pytest.raises(TypeError) as info:
        _call_with(parameter, obj)
    raised = info.value
    assert type(raised) is TypeError
    assert raised is not original
    assert str(raised) == f"argument '{parameter}': first words"
    assert raised.__cause__ is (cause if with_cause else None)


@pytest.mark.parametrize("parameter", FLOAT_PARAMS + INDEX_PARAMS)
@pytest.mark.parametrize("exc_type", [ValueError, OverflowError, ZeroDivisionError])
def test_non_type_errors_unchanged(parameter, exc_type):
    original = exc_type("kept as is")
    obj = _index_raising(original) if parameter in INDEX_PARAMS else _float_raising(original)
    with pytest.raises(exc_type) as info:
        _call_with(parameter, obj)
    assert info.value is original


# --------------------------------------------------------------------------- floats


@pytest.mark.parametrize(
    ("step", "expected"),
    [
        (1, 1.0),
        (True, 1.0),
        (np.float32(0.5), 0.5),
        (np.int64(2), 2.0),
        (np.float64(0.25), 0.25),
        (AsFloat(0.125), 0.125),
        (AsIndex(4), 4.0),
        (type("F", (float,), {})(0.75), 0.75),
    ],
)
def test_step_accepts_numbers(fields, step, expected):
    rec = fields.Recorder(lambda p: (np.zeros(len(p)), None))
    q.test_fd_gradients(rec, [(1.0, 2.0, 3.0)], step)
    assert len(rec.calls) == 1
    np.testing.assert_array_equal(rec.calls[0], fields.fd_offsets([(1.0, 2.0, 3.0)], expected))


@pytest.mark.parametrize(
    ("step", "exc_type", "message"),
    [
        (None, TypeError, "argument 'step': " + float_error(None)),
        ("0.1", TypeError, "argument 'step': " + float_error("0.1")),
        ([0.1], TypeError, "argument 'step': " + float_error([0.1])),
        (1j, TypeError, "argument 'step': " + float_error(1j)),
        (AsFloat("x"), TypeError, None),
        (10**400, OverflowError, "int too large to convert to float"),
    ],
)
def test_step_refused(step, exc_type, message):
    with pytest.raises(exc_type) as info:
        q.test_fd_gradients(never_called, PTS, step)
    assert type(info.value) is exc_type
    if message is None:
        assert str(info.value).startswith("argument 'step': ")
    else:
        assert str(info.value) == message


@pytest.mark.parametrize(
    ("parameter", "call"),
    [
        ("step", lambda: q.test_fd_gradients(never_called, PTS, None)),
        ("iso_value", lambda: q.build_octree_uniform(never_called, *BOX, 1, None)),
        ("iso_value", lambda: q.build_octree_adaptive(never_called, *BOX, 1, 2, iso_value=None)),
        ("min_depth", lambda: q.extract_mesh(never_called, *BOX, min_depth=None)),
        ("max_depth", lambda: q.extract_mesh(never_called, *BOX, max_depth=None)),
        ("angle_threshold_deg", lambda: q.extract_mesh(never_called, *BOX, 3, 7, None)),
        ("iso_value", lambda: q.extract_mesh(never_called, *BOX, iso_value=None)),
        ("adaptive", lambda: q.extract_mesh(never_called, *BOX, adaptive=None)),
    ],
)
def test_explicit_none_for_defaulted_parameter_fails(parameter, call):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(f"argument '{parameter}': ")
    assert "NoneType" in str(info.value)


@pytest.mark.parametrize(
    ("bbox", "message"),
    [
        ((0, 0), "expected a sequence of length 3 (got 2)"),
        (np.zeros(4), "expected a sequence of length 3 (got 4)"),
        ("ab", "expected a sequence of length 3 (got 2)"),
    ],
)
def test_bbox_wrong_length_is_value_error(bbox, message):
    with pytest.raises(ValueError) as info:
        q.build_octree_uniform(never_called, bbox, BOX[1], 1)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("bbox", "message"),
    [
        (5, "argument 'bbox_min': 'int' object cannot be converted to 'Sequence'"),
        (None, "argument 'bbox_min': 'NoneType' object cannot be converted to 'Sequence'"),
        ({1, 2, 3}, "argument 'bbox_min': 'set' object cannot be converted to 'Sequence'"),
        # A str of length 3 is a sequence: its items then fail as floats.
        ("abc", "argument 'bbox_min': " + float_error("a")),
    ],
)
def test_bbox_refused(bbox, message):
    with pytest.raises(TypeError) as info:
        q.build_octree_uniform(never_called, bbox, BOX[1], 1)
    assert str(info.value) == message


# --------------------------------------------------------------------------- conversion order


def test_conversion_runs_in_parameter_order_whatever_the_keyword_order():
    with pytest.raises(TypeError) as info:
        q.build_octree_uniform(
            iso_value="x", depth=3.0, bbox_max=5, bbox_min=None, eval_fn=never_called
        )
    assert str(info.value) == (
        "argument 'bbox_min': 'NoneType' object cannot be converted to 'Sequence'"
    )
    with pytest.raises(TypeError) as info:
        q.build_octree_uniform(
            iso_value="x", depth=3.0, bbox_max=BOX[1], bbox_min=BOX[0], eval_fn=never_called
        )
    assert str(info.value) == "argument 'depth': " + index_error(3.0)


@pytest.mark.parametrize("fn", ["test_batch_eval", "test_fd_gradients"])
@pytest.mark.parametrize("points", [[], (), np.empty((0, 3)), range(0)])
def test_empty_points_never_call_the_field(fn, points):
    result = getattr(q, fn)(12345, points)
    assert result == (([], False, 0) if fn == "test_batch_eval" else [])


@pytest.mark.parametrize("not_callable", [12345, None, "f", [1]])
def test_non_callable_fails_when_first_called(not_callable):
    with pytest.raises(TypeError) as expected:
        not_callable(np.zeros((1, 3)))
    for call in (
        lambda: q.test_batch_eval(not_callable, PTS),
        lambda: q.test_fd_gradients(not_callable, PTS),
        lambda: q.build_octree_uniform(not_callable, *BOX, 0),
        lambda: q.build_octree_adaptive(not_callable, *BOX, 0, 1),
        lambda: q.extract_mesh(not_callable, *BOX),
    ):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == str(expected.value)


# --------------------------------------------------------------------------- u32


class Colour(enum.IntEnum):
    ONE = 1


@pytest.mark.parametrize(
    "depth", [1, True, np.int64(1), np.uint8(1), AsIndex(1), Colour.ONE, type("I", (int,), {})(1)]
)
def test_depth_accepts_integers(fields, depth):
    rec = fields.Recorder(lambda p: (np.ones(len(p)), np.zeros((len(p), 3))))
    stats = q.build_octree_uniform(rec, *BOX, depth)
    assert stats == (0, 0, 1, 0, 0, 27)
    assert rec.sizes == [27]


@pytest.mark.parametrize(
    ("depth", "exc_type", "message"),
    [
        (2**32, OverflowError, "out of range integral type conversion attempted"),
        (2**64 - 1, OverflowError, "out of range integral type conversion attempted"),
        (AsIndex(2**40), OverflowError, "out of range integral type conversion attempted"),
        (np.uint64(2**63), OverflowError, "out of range integral type conversion attempted"),
        (3.0, TypeError, "argument 'depth': " + index_error(3.0)),
        (np.float64(3.0), TypeError, "argument 'depth': " + index_error(np.float64(3.0))),
        ("3", TypeError, "argument 'depth': " + index_error("3")),
        (None, TypeError, "argument 'depth': " + index_error(None)),
        (AsFloat(3.0), TypeError, "argument 'depth': " + index_error(AsFloat(3.0))),
    ],
)
def test_depth_refused(depth, exc_type, message):
    with pytest.raises(exc_type) as info:
        q.build_octree_uniform(never_called, *BOX, depth)
    assert type(info.value) is exc_type
    assert str(info.value) == message


@pytest.mark.parametrize("depth", [-1, -(2**70), 2**64, 2**100, AsIndex(-1)])
def test_depth_outside_64_bits_keeps_interpreter_overflow(depth):
    with pytest.raises(OverflowError) as info:
        q.build_octree_uniform(never_called, *BOX, depth)
    message = str(info.value)
    assert not message.startswith("argument")
    assert message != "out of range integral type conversion attempted"


# --------------------------------------------------------------------------- depth validation


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda f: q.build_octree_uniform(f, *BOX, 32), "depth must be at most 31 (got 32)"),
        (lambda f: q.build_octree_uniform(f, *BOX, 256), "depth must be at most 31 (got 256)"),
        (
            lambda f: q.build_octree_uniform(f, *BOX, 2**32 - 1),
            "depth must be at most 31 (got 4294967295)",
        ),
        (lambda f: q.build_octree_adaptive(f, *BOX, 1, 32), "max_depth must be at most 31 (got 32)"),
        (lambda f: q.build_octree_adaptive(f, *BOX, 0, 257), "max_depth must be at most 31 (got 257)"),
        (
            lambda f: q.build_octree_adaptive(f, *BOX, 5, 3),
            "min_depth must not exceed max_depth (got 5 > 3)",
        ),
        (
            lambda f: q.build_octree_adaptive(f, *BOX, 40, 32),
            "max_depth must be at most 31 (got 32)",
        ),
        (
            lambda f: q.build_octree_adaptive(f, *BOX, 2**32 - 1, 31),
            "min_depth must not exceed max_depth (got 4294967295 > 31)",
        ),
        (lambda f: q.extract_mesh(f, *BOX, max_depth=40), "max_depth must be at most 31 (got 40)"),
        (
            lambda f: q.extract_mesh(f, *BOX, min_depth=8),
            "min_depth must not exceed max_depth (got 8 > 7)",
        ),
        (
            lambda f: q.extract_mesh(f, *BOX, 2, 1, adaptive=True),
            "min_depth must not exceed max_depth (got 2 > 1)",
        ),
    ],
)
def test_depth_validation(call, message):
    with pytest.raises(ValueError) as info:
        call(never_called)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("call", "parameter"),
    [
        (lambda: q.build_octree_adaptive(never_called, *BOX, 5, 3, "x"), "iso_value"),
        (lambda: q.build_octree_uniform(never_called, *BOX, 99, "x"), "iso_value"),
        (lambda: q.extract_mesh(never_called, *BOX, 9, 40, adaptive=1), "adaptive"),
        (lambda: q.extract_mesh(never_called, *BOX, 9, 8, angle_threshold_deg="x"),
         "angle_threshold_deg"),
    ],
)
def test_depths_checked_after_every_conversion(call, parameter):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(f"argument '{parameter}': ")


@pytest.mark.parametrize(
    "call",
    [
        lambda f: q.build_octree_uniform(f, *BOX, 31),
        lambda f: q.build_octree_adaptive(f, *BOX, 0, 31),
        lambda f: q.extract_mesh(f, *BOX, 0, 31),
    ],
)
def test_depth_31_is_not_refused(call):
    # 31 is the largest allowed depth: the work starts (the field is called or the
    # first batch is refused as too large), no ValueError.
    with pytest.raises((Sentinel, MemoryError)):
        call(sentinel_field)


# --------------------------------------------------------------------------- bool


def _numpy_like_bool(name, truth=None, error=None):
    ns = {"__module__": "numpy"}
    if truth is not None:
        ns["__bool__"] = lambda self: truth
    if error is not None:

        def raising(self):
            raise error

        ns["__bool__"] = raising
    return type(name, (), ns)()


@pytest.mark.parametrize(
    "adaptive",
    [
        True,
        False,
        np.True_,
        np.False_,
        np.bool_(1),
        _numpy_like_bool("bool_", truth=True),
        _numpy_like_bool("bool", truth=False),
    ],
)
def test_adaptive_accepted(adaptive):
    # Conversion succeeds, so the build starts and the field's exception comes out.
    with pytest.raises(Sentinel):
        q.extract_mesh(sentinel_field, *BOX, 0, 1, adaptive=adaptive)


@pytest.mark.parametrize(
    ("adaptive", "message"),
    [
        (1, "'int' object cannot be converted to 'PyBool'"),
        (0, "'int' object cannot be converted to 'PyBool'"),
        (None, "'NoneType' object cannot be converted to 'PyBool'"),
        ("True", "'str' object cannot be converted to 'PyBool'"),
        (1.0, "'float' object cannot be converted to 'PyBool'"),
        (np.int64(1), "'int64' object cannot be converted to 'PyBool'"),
        (np.array(True), "'ndarray' object cannot be converted to 'PyBool'"),
        (np.array([True]), "'ndarray' object cannot be converted to 'PyBool'"),
        (_numpy_like_bool("boolean", truth=True), "'boolean' object cannot be converted to 'PyBool'"),
        (
            _numpy_like_bool("bool_"),
            "object of type 'bool_' does not define a '__bool__' conversion",
        ),
    ],
)
def test_adaptive_refused(adaptive, message):
    with pytest.raises(TypeError) as info:
        q.extract_mesh(never_called, *BOX, 0, 1, adaptive=adaptive)
    assert str(info.value) == "argument 'adaptive': " + message


def test_adaptive_truth_slot_errors_pass_through():
    error = ValueError("no truth")
    with pytest.raises(ValueError) as info:
        q.extract_mesh(never_called, *BOX, 0, 1, adaptive=_numpy_like_bool("bool", error=error))
    assert info.value is error
    type_error = TypeError("truth refused")
    with pytest.raises(TypeError) as info:
        q.extract_mesh(
            never_called, *BOX, 0, 1, adaptive=_numpy_like_bool("bool_", error=type_error)
        )
    assert str(info.value) == "argument 'adaptive': truth refused"


# --------------------------------------------------------------------------- PanicException


def test_panic_exception_class():
    assert issubclass(q.PanicException, BaseException)
    assert not issubclass(q.PanicException, Exception)
    assert q.PanicException.__doc__ and "BaseException" in q.PanicException.__doc__


def _short_fd(points):
    """One value fewer than the 6N offset points it is called with."""
    return np.zeros(len(points) - 1), None


def test_panic_is_not_caught_by_except_exception():
    caught = None
    try:
        try:
            q.test_fd_gradients(_short_fd, PTS)
        except Exception:  # noqa: BLE001 - the point of the test
            pytest.fail("a PanicException must not be caught by `except Exception`")
    except q.PanicException as exc:
        caught = exc
    assert caught is not None
    assert caught.args == ("index out of bounds: the len is 5 but the index is 5",)


def test_panic_reports_location_on_stderr(capfd):
    capfd.readouterr()
    with pytest.raises(q.PanicException):
        q.test_fd_gradients(_short_fd, [(0, 0, 0), (1, 1, 1)])
    err = capfd.readouterr().err
    assert "index out of bounds: the len is 11 but the index is 11" in err
    # The diagnostic names a source file from the project's root and a line,
    # not the folder the module was built in.
    where = re.search(r"internal fault at (\S+?):\d+:\d+ ", err)
    assert where and re.fullmatch(r"src/[\w/]+\.[ch]pp", where.group(1)), err


UNPICKLE_RUN = """
import pickle, sys
before = "_quarvel_rs" in sys.modules
panic = pickle.loads(sys.stdin.buffer.read())
print(before, type(panic).__module__, type(panic).__name__, *panic.args)
"""


def test_panic_survives_pickling():
    """A process that never imported the module still gets the very class back."""
    panic = q.PanicException("lost in transit")
    assert type(pickle.loads(pickle.dumps(panic))) is q.PanicException
    child = subprocess.run(
        [sys.executable, "-c", UNPICKLE_RUN], input=pickle.dumps(panic), capture_output=True, timeout=60
    )
    assert child.stdout.decode().split() == ["False", "quarvel_runtime", "PanicException", "lost", "in", "transit"]


def test_panic_in_a_worker_process_reaches_the_parent():
    # multiprocessing.Pool cannot carry it: its workers catch only Exception,
    # and a BaseException ends the worker with the task still pending.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as workers:
        future = workers.submit(q.test_fd_gradients, short_values_field, [(0.0, 0.0, 0.0)])
        with pytest.raises(q.PanicException) as info:
            future.result(timeout=60)
    assert info.value.args == (index_fault(5),)


def test_panic_raised_by_field_is_resumed_as_internal_fault(capfd):
    def field(points):
        raise q.PanicException("raised inside the field")

    capfd.readouterr()
    with pytest.raises(q.PanicException) as info:
        q.test_batch_eval(field, PTS)
    assert info.value.args == ("raised inside the field",)
    err = capfd.readouterr().err
    # The field's own traceback is shown, naming the field's frame.
    assert "Traceback" in err
    assert "raised inside the field" in err
    assert "in field" in err


def test_nested_panic_resumes_with_the_inner_message():
    def outer(points):
        q.test_fd_gradients(_short_fd, [(0, 0, 0)] * 3)
        raise AssertionError("unreachable")  # pragma: no cover

    with pytest.raises(q.PanicException) as info:
        q.build_octree_uniform(outer, *BOX, 1)
    assert info.value.args == ("index out of bounds: the len is 17 but the index is 17",)
    # The module stays usable afterwards.
    assert q.test_batch_eval(echo, [(1, 2, 3)]) == ([1.0, 2.0, 3.0], False, 3)


def test_panic_subclass_raised_by_field_is_resumed():
    sub = type("MyPanic", (q.PanicException,), {})

    def field(points):
        raise sub("from a subclass")

    with pytest.raises(q.PanicException) as info:
        q.test_fd_gradients(field, PTS)
    assert info.value.args == ("from a subclass",)
