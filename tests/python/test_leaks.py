"""Leak loops: thousands of calls of every function, on success and on each error
path, with the reference counts of the inputs and the resident memory checked
for growth (bounded, not timed). Slow: run with ``pytest -m slow``.

Each loop first runs a warm-up (process-wide objects, allocator pools and the
worker pool come into being), then measures, runs ROUNDS more calls and
measures again. Reference counts must be exactly unchanged; memory may move by
allocator noise only. The batches are a few hundred to a few thousand points,
so a query array, result array or sample list kept per call would add tens of
megabytes over a loop.
"""

from __future__ import annotations

import numpy as np
import pytest

import _quarvel_rs as q
from hardening_support import (
    BOX,
    Faulty,
    InjectedError,
    box_field,
    refcounts,
    rss_bytes,
    settle,
)

pytestmark = pytest.mark.slow

ROUNDS = 5000
WARMUP = 300
RSS_LIMIT = 8 * 2**20  # below 1.7 KB per call over ROUNDS calls


def fresh_box():
    return [list(BOX[0]), list(BOX[1])]


# Each function with small but complete work: the extraction variants run every
# stage (build, refinement or balance, Hermite data, projection, faces).
CALLS = {
    "extract_uniform": lambda f, a: q.extract_mesh(f, *a, min_depth=3, max_depth=3),
    "extract_band": lambda f, a: q.extract_mesh(f, *a, min_depth=2, max_depth=3),
    "extract_balanced": lambda f, a: q.extract_mesh(f, *a, min_depth=1, max_depth=4, adaptive=True),
    "build_uniform": lambda f, a: q.build_octree_uniform(f, *a, 3),
    "build_adaptive": lambda f, a: q.build_octree_adaptive(f, *a, 2, 3),
    "batch_eval": lambda f, a: q.test_batch_eval(f, a[0]),
    "fd_gradients": lambda f, a: q.test_fd_gradients(f, a[0], 1e-3),
}


def rounds_for(name):
    """The balanced extraction costs some milliseconds a call: fewer rounds."""
    return 2000 if name == "extract_balanced" else ROUNDS


def make_field(name, fields, gradients=True):
    """The sphere, except for the balanced extraction: a wider box, whose
    balanced tree at depths 1 to 4 needs batches of its own."""
    if name == "extract_balanced":
        return box_field(0.6, gradients=gradients)
    return fields.sphere(0.5, gradients=gradients)


def call_args(name):
    if name in ("batch_eval", "fd_gradients"):
        return [[(0.01 * i, 0.2, -0.3) for i in range(200)]]
    return fresh_box()


# Error paths of the callable: the mode of the faulty call, the exception the
# call ends with, and whether the field must return gradients for it.
FIELD_ERRORS = {
    "raise": (InjectedError, False),
    "raise-panic": (q.PanicException, False),
    "short-values": (q.PanicException, False),
    "narrow-gradients": (q.PanicException, False),
    "float32-values": (TypeError, False),
    "none": (TypeError, False),
    "bare-values": (TypeError, False),
}


def loop_is_bounded(action, tracked, rounds=ROUNDS):
    for _ in range(WARMUP):
        action()
    settle()
    counts = refcounts(tracked)
    start = rss_bytes()
    for _ in range(rounds):
        action()
    settle()
    grown = rss_bytes() - start
    assert refcounts(tracked) == counts
    assert grown < RSS_LIMIT, f"resident memory grew by {grown / 2**20:.1f} MiB"


@pytest.mark.parametrize("gradients", [True, False], ids=["gradients", "fd"])
@pytest.mark.parametrize("name", list(CALLS))
def test_success_loop(name, gradients, fields):
    field = make_field(name, fields, gradients)
    args = call_args(name)
    call = CALLS[name]
    expected = call(field, args)

    def action():
        result = call(field, args)
        assert type(result) is type(expected) and len(result) == len(expected)

    loop_is_bounded(action, [field, *args, *(args[0] if len(args) == 1 else [])],
                    rounds_for(name))


@pytest.mark.parametrize("mode", list(FIELD_ERRORS))
@pytest.mark.parametrize("name", list(CALLS))
def test_field_error_loop(name, mode, fields, capfd):
    """The fault sits on the last call of the clean run, so that everything the
    call built (octree, samples, vertices) has to be unwound."""
    inner = make_field(name, fields)
    args = call_args(name)
    call = CALLS[name]
    rec = fields.Recorder(inner)
    call(rec, args)
    faulty = Faulty(inner, len(rec.calls), mode)
    del rec
    exc_type, _ = FIELD_ERRORS[mode]
    if name == "batch_eval" and mode == "short-values":
        exc_type = None  # reported as it came; no fault

    def action():
        faulty.reset()
        expect_exactly(exc_type, call, faulty, args)

    loop_is_bounded(action, [faulty, inner, *args], rounds_for(name))
    capfd.readouterr()


def expect_exactly(exc_type, fn, *args):
    """Calls fn(*args): it must raise exactly `exc_type`, or nothing when that is None.
    The traceback is dropped so that it keeps no frame (and no reference) alive."""
    try:
        fn(*args)
    except BaseException as exc:  # noqa: BLE001
        exc.__traceback__ = None
        assert type(exc) is exc_type
    else:
        assert exc_type is None, "no error"


def _zero_field(p):
    return np.zeros(len(p)), None


ARGUMENT_ERRORS = {
    "binding": (TypeError, lambda f, a: q.extract_mesh(f, *a, foo=1)),
    "missing": (TypeError, lambda f, a: q.build_octree_adaptive(f, *a)),
    "bbox-str": (TypeError, lambda f, a: q.extract_mesh(f, a[0], (0.0, "x", 1.0))),
    "bbox-length": (ValueError, lambda f, a: q.extract_mesh(f, a[0], (0.0, 1.0))),
    "bbox-not-sequence": (TypeError, lambda f, a: q.build_octree_uniform(f, a[0], 5, 2)),
    "depth-float": (TypeError, lambda f, a: q.build_octree_uniform(f, *a, 3.0)),
    "depth-negative": (OverflowError, lambda f, a: q.build_octree_uniform(f, *a, -1)),
    "depth-u32": (OverflowError, lambda f, a: q.extract_mesh(f, *a, max_depth=2**40)),
    "depth-order": (ValueError, lambda f, a: q.build_octree_adaptive(f, *a, 4, 3)),
    "depth-limit": (ValueError, lambda f, a: q.extract_mesh(f, *a, max_depth=32)),
    "adaptive-int": (TypeError, lambda f, a: q.extract_mesh(f, *a, adaptive=1)),
    "iso-none": (TypeError, lambda f, a: q.extract_mesh(f, *a, iso_value=None)),
    "points-str": (TypeError, lambda f, a: q.test_batch_eval(f, "abc")),
    "points-ragged": (ValueError, lambda f, a: q.test_fd_gradients(f, [(0, 0, 0), (1, 1)])),
    "step-none": (TypeError, lambda f, a: q.test_fd_gradients(f, [(0, 0, 0)], None)),
    "not-callable": (TypeError, lambda f, a: q.build_octree_uniform(None, *a, 1)),
    "first-batch-too-large": (MemoryError, lambda f, a: q.build_octree_uniform(f, *a, 31)),
}


@pytest.mark.parametrize("case", list(ARGUMENT_ERRORS))
def test_argument_error_loop(case):
    exc_type, call = ARGUMENT_ERRORS[case]
    field = _zero_field
    args = fresh_box()

    def action():
        expect_exactly(exc_type, call, field, args)

    loop_is_bounded(action, [field, *args])


def test_interrupt_from_the_field_loop(fields):
    """KeyboardInterrupt raised by the callable in the middle of an extraction."""
    inner = fields.sphere(0.5)
    faulty = Faulty(inner, 4, "raise")
    faulty.error = KeyboardInterrupt()
    args = fresh_box()

    def action():
        faulty.reset()
        try:
            q.extract_mesh(faulty, *args, min_depth=2, max_depth=3)
        except KeyboardInterrupt as exc:
            exc.__traceback__ = None
        else:
            raise AssertionError("no interrupt")

    loop_is_bounded(action, [faulty, inner, *args])
