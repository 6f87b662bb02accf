"""The batch evaluation bridge and the finite-difference gradient estimator."""

from __future__ import annotations

import gc
import math
import random
import struct
import sys
import weakref

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quarvel_rs as q

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
NOT_ARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def returning(*result):
    """A field that ignores its points and returns `result` as it stands."""
    if len(result) == 1:
        (result,) = result

    def field(points):
        return result

    return field


# --------------------------------------------------------------------------- the query array


@pytest.mark.parametrize("n", [1, 3, 50])
def test_query_array_layout(n):
    rng = np.random.default_rng(n)
    pts = rng.normal(size=(n, 3)) * 10.0 ** rng.integers(-5, 5, size=(n, 3))
    seen = []

    def field(*args, **kwargs):
        seen.append((args, kwargs))
        return np.zeros(len(args[0])), None

    q.test_batch_eval(field, [tuple(map(float, row)) for row in pts])
    assert len(seen) == 1
    args, kwargs = seen[0]
    assert kwargs == {}
    assert len(args) == 1
    a = args[0]
    assert type(a) is np.ndarray
    assert a.dtype == np.float64 and a.dtype.isnative
    assert a.shape == (n, 3)
    assert a.strides == (24, 8)
    assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata
    assert a.base is None
    np.testing.assert_array_equal(a, pts)  # exact copies, row i = point i


def test_each_call_gets_a_new_array_and_changes_have_no_effect(fields):
    kept = []
    copies = []
    inner = fields.sphere(gradients=False)

    def field(points):
        kept.append(points)
        copies.append(points.copy())
        values, grads = inner(points)
        points[:] = 7.0  # scribble after use
        return values, grads

    stats = q.build_octree_uniform(field, *BOX, 1)
    assert stats == (8, 1, 0, 0, 1, 189)
    assert len(kept) == 2
    assert kept[0] is not kept[1]
    assert not np.shares_memory(kept[0], kept[1])
    # The finite-difference call is on the original points, not the scribbled ones.
    np.testing.assert_array_equal(copies[1], fields.fd_offsets(copies[0], 0.01 * 1.0))


def test_query_array_released_after_the_call():
    refs = []

    def field(points):
        refs.append(weakref.ref(points))
        return np.zeros(len(points)), None

    q.test_batch_eval(field, [(0, 0, 0), (1, 1, 1)])
    gc.collect()
    assert refs[0]() is None


COORD = st.floats(allow_nan=True, allow_infinity=True, width=64)
POINTS = st.lists(st.tuples(COORD, COORD, COORD), max_size=20)


@settings(max_examples=60, deadline=None)
@given(POINTS)
def test_points_reach_the_field_bit_for_bit(points):
    def echo(p):
        return p.ravel().copy(), None

    values, has_grad, count = q.test_batch_eval(echo, points)
    assert count == 3 * len(points) and has_grad is False
    assert [bits(v) for v in values] == [bits(c) for p in points for c in p]


@settings(max_examples=60, deadline=None)
@given(POINTS, st.floats(allow_nan=False, allow_infinity=False, width=64))
def test_fd_offsets_property(points, step):
    seen = []

    def field(p):
        seen.append(p.copy())
        return np.zeros(len(p)), None

    with np.errstate(all="ignore"):
        result = q.test_fd_gradients(field, points, step)
    assert len(result) == len(points)
    if not points:
        assert seen == []
        return
    assert len(seen) == 1
    expected = [
        [c + step if (axis == k and sign > 0) else c - step if axis == k else c
         for k, c in enumerate(p)]
        for p in points
        for axis in range(3)
        for sign in (1, -1)
    ]
    assert [[bits(c) for c in row] for row in seen[0].tolist()] == [
        [bits(c) for c in row] for row in expected
    ]


# --------------------------------------------------------------------------- accepted results


class Sub(np.ndarray):
    pass


class Items:
    """Answers item access by int key only, recording the keys asked for."""

    def __init__(self, values, grads):
        self.data = {0: values, 1: grads}
        self.keys = []

    def __getitem__(self, key):
        self.keys.append(key)
        return self.data[key]


def _readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


VALUES3 = np.array([1.5, -2.25, 3.0])


@pytest.mark.parametrize(
    ("result", "expected"),
    [
        pytest.param((VALUES3, None), ([1.5, -2.25, 3.0], False, 3), id="tuple"),
        pytest.param([VALUES3, None], ([1.5, -2.25, 3.0], False, 3), id="list"),
        pytest.param({0: VALUES3, 1: None}, ([1.5, -2.25, 3.0], False, 3), id="dict-int-keys"),
        pytest.param((VALUES3, np.zeros((3, 3))), ([1.5, -2.25, 3.0], True, 3), id="gradients"),
        pytest.param((VALUES3.view(Sub), np.zeros((3, 3)).view(Sub)),
                     ([1.5, -2.25, 3.0], True, 3), id="subclasses"),
        pytest.param((_readonly(VALUES3), _readonly(np.zeros((3, 3)))),
                     ([1.5, -2.25, 3.0], True, 3), id="read-only"),
        pytest.param((VALUES3.astype(np.dtype("=f8")), None), ([1.5, -2.25, 3.0], False, 3),
                     id="native-f8"),
        pytest.param((np.arange(10.0)[3::10], None), ([3.0], False, 1), id="one-element-strided"),
        pytest.param((np.arange(4.0)[::-1][:1], None), ([3.0], False, 1),
                     id="one-element-reversed"),
        pytest.param((np.arange(5.0), None), ([0.0, 1.0, 2.0, 3.0, 4.0], False, 5), id="longer"),
        pytest.param((np.array([9.0]), None), ([9.0], False, 1), id="shorter"),
        pytest.param((np.empty(0), None), ([], False, 0), id="empty"),
        pytest.param((np.empty(0), np.zeros((0, 3))), ([], True, 0), id="empty-both"),
        pytest.param((VALUES3, np.zeros((0, 2))), ([1.5, -2.25, 3.0], True, 3),
                     id="gradients-0x2"),
        pytest.param((VALUES3, np.zeros((7, 4))), ([1.5, -2.25, 3.0], True, 3),
                     id="gradients-longer-wider"),
        pytest.param((VALUES3, np.zeros((1, 3))), ([1.5, -2.25, 3.0], True, 3),
                     id="gradients-shorter"),
        pytest.param((VALUES3, np.zeros((6, 3))[::-2]), ([1.5, -2.25, 3.0], True, 3),
                     id="gradients-negative-stride"),
    ],
)
def test_accepted_results(result, expected):
    assert q.test_batch_eval(returning(result), [(0, 0, 0)] * 3) == expected


def test_items_fetched_by_int_keys_0_then_1():
    items = Items(VALUES3, None)
    assert q.test_batch_eval(returning(items), [(0, 0, 0)] * 3) == ([1.5, -2.25, 3.0], False, 3)
    assert items.keys == [0, 1]
    assert all(type(k) is int for k in items.keys)


def test_unusual_values_carried_bit_for_bit():
    unusual = np.array([-0.0, 0.0, math.inf, -math.inf, 5e-324, -1.7976931348623157e308,
                         math.nan])
    values, has_grad, count = q.test_batch_eval(returning(unusual, None), [(0, 0, 0)])
    assert count == 7 and has_grad is False
    assert [bits(v) for v in values] == [bits(float(v)) for v in unusual]


# --------------------------------------------------------------------------- refused results


class Outer:
    class Inner:
        pass


N3 = np.zeros(3)
BASE = np.arange(12.0)


@pytest.mark.parametrize(
    ("result", "exc_type", "message"),
    [
        pytest.param((N3.astype(np.float32), None), TypeError, NOT_ARRAY.format("ndarray"),
                     id="values-float32"),
        pytest.param((N3.astype(np.int64), None), TypeError, NOT_ARRAY.format("ndarray"),
                     id="values-int64"),
        pytest.param((N3.astype(np.complex128), None), TypeError, NOT_ARRAY.format("ndarray"),
                     id="values-complex"),
        pytest.param((N3.astype(object), None), TypeError, NOT_ARRAY.format("ndarray"),
                     id="values-object"),
        pytest.param((np.zeros((3, 1)), None), TypeError, NOT_ARRAY.format("ndarray"),
                     id="values-2d"),
        pytest.param((np.array(1.0), None), TypeError,
                     NOT_ARRAY.format("ndarray"), id="values-0d"),
        pytest.param(([0.0, 0.0, 0.0], None), TypeError, NOT_ARRAY.format("list"),
                     id="values-list"),
        pytest.param((1.0, None), TypeError, NOT_ARRAY.format("float"), id="values-float"),
        pytest.param((Outer.Inner(), None), TypeError, NOT_ARRAY.format("Outer.Inner"),
                     id="values-qualname"),
        pytest.param((BASE[::2], None), TypeError, "The given array is not contiguous",
                     id="values-strided"),
        pytest.param((BASE[::-1], None), TypeError, "The given array is not contiguous",
                     id="values-reversed"),
        pytest.param((np.broadcast_to(np.float64(1), (3,)), None), TypeError,
                     "The given array is not contiguous", id="values-broadcast"),
        pytest.param((N3, [[0, 0, 0]] * 3), TypeError, NOT_ARRAY.format("list"),
                     id="gradients-list"),
        pytest.param((N3, np.zeros((3, 3), np.float32)), TypeError, NOT_ARRAY.format("ndarray"),
                     id="gradients-float32"),
        pytest.param((N3, np.zeros(9)), TypeError, NOT_ARRAY.format("ndarray"),
                     id="gradients-1d"),
        pytest.param((N3, np.zeros((3, 3, 1))), TypeError, NOT_ARRAY.format("ndarray"),
                     id="gradients-3d"),
        pytest.param((N3, False), TypeError, NOT_ARRAY.format("bool"), id="gradients-false"),
        pytest.param((N3, 0), TypeError, NOT_ARRAY.format("int"), id="gradients-zero"),
        # r[0] is checked first, even when r[1] is wrong as well.
        pytest.param(([0.0], "bad"), TypeError, NOT_ARRAY.format("list"), id="first-checked"),
        pytest.param((BASE[::2], "bad"), TypeError, "The given array is not contiguous",
                     id="contiguity-before-gradients"),
        # Returning the values array alone: r[0] is a numpy scalar.
        pytest.param(N3, TypeError, NOT_ARRAY.format("float64"), id="values-only"),
        pytest.param((N3,), IndexError, "tuple index out of range", id="one-element-tuple"),
        pytest.param([N3], IndexError, "list index out of range", id="one-element-list"),
        pytest.param(None, TypeError, "'NoneType' object is not subscriptable", id="none"),
        pytest.param({1: None}, KeyError, "0", id="dict-without-0"),
    ],
)
def test_refused_results(result, exc_type, message):
    with pytest.raises(exc_type) as info:
        q.test_batch_eval(returning(result), [(0, 0, 0)] * 3)
    assert type(info.value) is exc_type
    assert str(info.value) == message


def test_values_only_with_one_point_fails_on_the_second_item():
    # A one-element values array has no item 1: fetching it fails before any check.
    with pytest.raises(IndexError):
        q.test_batch_eval(returning(np.zeros(1)), [(0, 0, 0)])


def test_both_items_fetched_before_either_is_checked():
    error = KeyError("second item")

    class Result:
        def __getitem__(self, key):
            if key == 0:
                return np.zeros(3, np.float32)  # would be refused
            raise error

    with pytest.raises(KeyError) as info:
        q.test_batch_eval(returning(Result()), [(0, 0, 0)] * 3)
    assert info.value is error


@pytest.mark.parametrize("shape", [(3, 2), (1, 2), (3, 0), (5, 1)])
def test_narrow_gradients_are_an_internal_fault(shape):
    with pytest.raises(q.PanicException) as info:
        q.test_batch_eval(returning(N3, np.zeros(shape)), [(0, 0, 0)] * 3)
    assert info.value.args == ("ndarray: index out of bounds",)


def test_field_exception_reaches_caller_unchanged():
    error = ZeroDivisionError("from the field")

    def field(points):
        raise error

    for call in (lambda: q.test_batch_eval(field, [(0, 0, 0)]),
                 lambda: q.test_fd_gradients(field, [(0, 0, 0)])):
        with pytest.raises(ZeroDivisionError) as info:
            call()
        assert info.value is error
        assert any(entry.name == "field" for entry in info.traceback)


# --------------------------------------------------------------------------- gradients, read back
#
# build_octree_adaptive(min 0, max 1) over [-1, 1]^3 with a field equal to 10 everywhere:
# the root is Outside and is refined only if 10 < 2*sqrt(3) * 1.5 * G, i.e. when the
# largest corner gradient length G exceeds 1.9245. Exactly one corner gets the gradient
# (1.2, 1.2, 1.2) (length 2.078): read correctly the root is refined; any mix-up of rows,
# columns or strides spreads the three 1.2s over different rows (length <= 1.7) or drops
# them, and the root stays whole.

C = 1.2
REFINED = (0, 1, 8, 0, 0, 27)
WHOLE = (0, 0, 1, 0, 0, 8)


def _correct_gradients():
    g = np.zeros((8, 3))
    g[7] = C  # corner (1, 1, 1)
    return g


def _negative_rows(g):
    buf = np.zeros((16, 3))
    buf[:8] = g[::-1]
    return buf[7::-1]


def _row_strided(g):
    buf = np.zeros((16, 3))
    buf[::2] = g
    return buf[::2]


def _extra_columns(g):
    buf = np.zeros((8, 5))
    buf[:, :3] = g
    return buf


def _column_view(g):
    buf = np.zeros((8, 6))
    buf[:, 1::2] = g
    return buf[:, 1::2]


def _reversed_both(g):
    buf = np.zeros((16, 6))
    buf[:8, :3] = g[::-1, ::-1]
    return buf[7::-1, 2::-1]


LAYOUTS = {
    "c-order": np.ascontiguousarray,
    "fortran": np.asfortranarray,
    "transposed": lambda g: np.ascontiguousarray(g.T).T,
    "negative-rows": _negative_rows,
    "negative-both": _reversed_both,
    "row-strided": _row_strided,
    "extra-columns": _extra_columns,
    "column-view": _column_view,
}


def _outside_root_field(first_gradients):
    calls = []

    def field(points):
        calls.append(len(points))
        values = np.full(len(points), 10.0)
        if len(calls) == 1:
            assert len(points) == 8
            return values, first_gradients
        return values, np.zeros((len(points), 3))

    return field


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_gradients_read_element_by_element(layout):
    g = LAYOUTS[layout](_correct_gradients())
    np.testing.assert_array_equal(g[:, :3], _correct_gradients())  # same logical content
    stats = q.build_octree_adaptive(_outside_root_field(g), *BOX, 0, 1)
    assert stats == REFINED


@pytest.mark.parametrize(
    ("gradients", "expected"),
    [
        pytest.param(np.zeros((8, 3)), WHOLE, id="all-zero"),
        pytest.param(np.full((8, 3), C / math.sqrt(2)), WHOLE, id="all-below-threshold"),
        pytest.param(np.vstack([np.zeros((8, 3)), np.full((4, 3), 100.0)]), WHOLE,
                     id="extra-rows-ignored"),
    ],
)
def test_gradient_controls(gradients, expected):
    assert q.build_octree_adaptive(_outside_root_field(gradients), *BOX, 0, 1) == expected


def test_extra_values_and_gradient_rows_are_ignored_by_the_build(fields):
    sphere = fields.sphere()

    def padded(points):
        values, grads = sphere(points)
        return np.concatenate([values, np.full(5, -1.0)]), np.vstack([grads, np.ones((5, 3))])

    assert q.build_octree_uniform(padded, *BOX, 1) == (8, 1, 0, 0, 1, 27)


# --------------------------------------------------------------------------- finite differences


def test_fd_offset_rows_for_one_point():
    seen = []

    def field(points):
        seen.append(points.copy())
        return np.zeros(len(points)), None

    q.test_fd_gradients(field, [(1, 2, 3)], 0.5)
    assert len(seen) == 1
    assert seen[0].tolist() == [
        [1.5, 2.0, 3.0],
        [0.5, 2.0, 3.0],
        [1.0, 2.5, 3.0],
        [1.0, 1.5, 3.0],
        [1.0, 2.0, 3.5],
        [1.0, 2.0, 2.5],
    ]


@pytest.mark.parametrize("step", [1e-5, 0.1, 0.3, -0.7, 1e10])
def test_fd_offsets_point_major_with_float_sums(fields, step):
    pts = [(0.1, 0.2, 0.3), (-7.25, 1e-9, 3e5), (1e20, -1e-20, 0.0)]
    rec = fields.Recorder(lambda p: (np.zeros(len(p)), None))
    q.test_fd_gradients(rec, pts, step)
    assert rec.sizes == [18]
    np.testing.assert_array_equal(rec.calls[0], fields.fd_offsets(pts, step))


def test_fd_default_step(fields):
    rec = fields.Recorder(lambda p: (np.zeros(len(p)), None))
    q.test_fd_gradients(rec, [(1.0, 2.0, 3.0)])
    np.testing.assert_array_equal(rec.calls[0], fields.fd_offsets([(1.0, 2.0, 3.0)], 1e-5))


def test_fd_formula_multiplies_by_half_over_step():
    rng = random.Random(7)
    distinguishing = 0
    for _ in range(200):
        h = rng.uniform(1e-3, 10.0)
        v = [rng.uniform(-100, 100) for _ in range(6)]
        got = q.test_fd_gradients(returning(np.array(v), None), [(0, 0, 0)], h)
        s = 0.5 / h
        expected = [(v[0] - v[1]) * s, (v[2] - v[3]) * s, (v[4] - v[5]) * s]
        assert [bits(x) for x in got[0]] == [bits(x) for x in expected]
        if [(v[0] - v[1]) / (2 * h), (v[2] - v[3]) / (2 * h), (v[4] - v[5]) / (2 * h)] != expected:
            distinguishing += 1
    assert distinguishing > 0  # the samples do tell the two formulas apart


@pytest.mark.parametrize(
    ("coeffs", "step"),
    [((2.0, -3.0, 0.5, 7.0), 1e-5), ((0.0, 1.0, 0.0, 0.0), 0.5), ((-4.0, 0.25, 9.0, -1.0), 2.0)],
)
def test_fd_linear_field(coeffs, step):
    a, b, c, d = coeffs
    pts = [(0.0, 0.0, 0.0), (1.5, -2.0, 3.25), (-10.0, 4.0, 0.125)]

    def field(p):
        return a * p[:, 0] + b * p[:, 1] + c * p[:, 2] + d, None

    for g in q.test_fd_gradients(field, pts, step):
        assert g == pytest.approx([a, b, c], rel=1e-6, abs=1e-6)


@pytest.mark.parametrize("step", [0.5, 2.0, 1e-3, -0.25])
def test_fd_quadratic_is_exact(fields, step):
    pts = [(1.0, 2.0, 3.0), (-0.5, 0.25, 4.0), (0.0, 0.0, 0.0)]
    got = q.test_fd_gradients(fields.quadratic(gradients=False), pts, step)
    assert len(got) == 3
    for g, p in zip(got, pts):
        assert g == pytest.approx([2 * x for x in p], abs=1e-9)


def test_fd_returns_lists_of_three_floats():
    got = q.test_fd_gradients(lambda p: (p[:, 0] * 3.0, None), [(0, 0, 0), (1, 1, 1)], 0.25)
    assert type(got) is list and len(got) == 2
    for g in got:
        assert type(g) is list and len(g) == 3 and all(type(x) is float for x in g)
        assert g == [3.0, 0.0, 0.0]


@pytest.mark.parametrize("step", [0.5, 1e-4, 3.0])
def test_fd_negative_step_bit_identical(step):
    def field(p):
        return np.sin(p[:, 0]) + p[:, 1] ** 3 + np.exp(p[:, 2]), None

    pts = [(0.3, -1.2, 0.7), (2.0, 0.5, -3.0), (-1.0, 1.0, 0.1)]
    pos = q.test_fd_gradients(field, pts, step)
    neg = q.test_fd_gradients(field, pts, -step)
    assert [[bits(x) for x in g] for g in pos] == [[bits(x) for x in g] for g in neg]


@pytest.mark.parametrize("step", [0.0, -0.0, math.nan])
def test_fd_degenerate_step_gives_nan(step):
    got = q.test_fd_gradients(lambda p: (p[:, 0] + 2 * p[:, 1], None), [(1, 2, 3), (4, 5, 6)],
                              step)
    assert len(got) == 2
    assert all(math.isnan(x) for g in got for x in g)


@pytest.mark.parametrize(("n", "m"), [(1, 5), (2, 11), (3, 17), (2, 3), (1, 0), (4, 6)])
def test_fd_short_values_fault(n, m):
    with pytest.raises(q.PanicException) as info:
        q.test_fd_gradients(returning(np.zeros(m), None), [(0, 0, 0)] * n, 0.1)
    assert info.value.args == (f"index out of bounds: the len is {m} but the index is {m}",)


def test_fd_ignores_extra_values_and_returned_gradients():
    v = np.array([3.0, 1.0, 10.0, 4.0, -2.0, 6.0])
    base = q.test_fd_gradients(returning(v, None), [(0, 0, 0)], 0.5)
    assert base == [[2.0, 6.0, -8.0]]
    longer = np.concatenate([v, [99.0, -99.0]])
    assert q.test_fd_gradients(returning(longer, np.ones((8, 3))), [(0, 0, 0)], 0.5) == base


def test_fd_field_refusal_passes_through():
    with pytest.raises(TypeError) as info:
        q.test_fd_gradients(returning(np.zeros(6, np.float32), None), [(0, 0, 0)])
    assert str(info.value) == NOT_ARRAY.format("ndarray")


# --------------------------------------------------------------------------- reference counts


def _field_returning(result):
    def field(points):
        return result

    return field


def _assert_no_growth(objects, action, rounds=300):
    try:
        action()  # first use may create process-wide objects
    except (Exception, q.PanicException):
        pass
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(rounds):
        try:
            action()
        except (Exception, q.PanicException):
            pass
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    assert after == before


GOOD_VALUES = np.zeros(6)
GOOD_GRADS = np.zeros((6, 3))

REF_CASES = {
    "ok-with-gradients": (GOOD_VALUES, GOOD_GRADS),
    "ok-without-gradients": (GOOD_VALUES, None),
    "values-float32": (np.zeros(6, np.float32), None),
    "values-strided": (np.zeros(12)[::2], GOOD_GRADS),
    "gradients-list": (GOOD_VALUES, [[0.0] * 3] * 6),
    "gradients-narrow": (GOOD_VALUES, np.zeros((6, 2))),
    "one-element": (GOOD_VALUES,),
    "values-short": (np.zeros(2), None),
}


@pytest.mark.parametrize("case", list(REF_CASES))
@pytest.mark.parametrize("fn", ["test_batch_eval", "test_fd_gradients", "build_octree_uniform"])
def test_no_reference_leaks_on_result_paths(case, fn, capfd):
    result = REF_CASES[case]
    field = _field_returning(result)
    points = [(0.0, 0.0, 0.0)]
    tracked = [field, points, points[0], result, *[r for r in result if r is not None]]
    if fn == "build_octree_uniform":
        bmin, bmax = [-1.0, -1.0, -1.0], [1.0, 1.0, 1.0]
        tracked += [bmin, bmax]
        _assert_no_growth(tracked, lambda: q.build_octree_uniform(field, bmin, bmax, 0))
    else:
        func = getattr(q, fn)
        _assert_no_growth(tracked, lambda: func(field, points))
    capfd.readouterr()


def test_no_reference_leaks_when_the_field_raises():
    def field(points):
        raise RuntimeError("boom")  # a new exception each time: no growing traceback

    points = [(0.0, 0.0, 0.0)]
    _assert_no_growth([field, points, points[0]], lambda: q.test_batch_eval(field, points))
    _assert_no_growth([field, points], lambda: q.test_fd_gradients(field, points, 0.1))


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda f, pts: q.test_batch_eval(f, pts, 1), id="binding"),
        pytest.param(lambda f, pts: q.test_batch_eval(f, pts + [(0, 0, "x")]), id="point-str"),
        pytest.param(lambda f, pts: q.test_batch_eval(f, pts + [(0, 0)]), id="point-length"),
        pytest.param(lambda f, pts: q.test_fd_gradients(f, pts, None), id="step-none"),
        pytest.param(lambda f, pts: q.build_octree_uniform(f, pts[0], pts[1], 3.0), id="depth"),
        pytest.param(lambda f, pts: q.build_octree_adaptive(f, pts[0], pts[1], 3, 2),
                     id="depth-order"),
        pytest.param(lambda f, pts: q.extract_mesh(f, pts[0], pts[1], adaptive=1), id="adaptive"),
    ],
)
def test_no_reference_leaks_on_argument_errors(call):
    def field(points):  # pragma: no cover - never reached
        raise AssertionError

    points = [(0.0, 0.0, 0.0), (1.0, 1.0, 1.0)]
    _assert_no_growth([field, points, points[0], points[1]], lambda: call(field, points))
