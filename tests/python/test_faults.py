"""Fault injection over every call of the field.

For each public function and a representative set of fields, a clean run counts
the field's calls K and records their sizes. Then, for every k in 1..K, the
k-th call misbehaves in one way (raises, returns short or narrow arrays, the
wrong dtype, or something other than a pair). Each run must end with the exact
exception the calling stage prescribes, or, where that stage ignores the broken
part, with a result identical to the clean one. After every run the reference
counts of the callable, the field, the arguments, the exception and the objects
the callable returned are unchanged, and the query array is gone.

The stage that makes a call decides what it reads:

- ``sample``: corner samples of the build and the balance (values and gradients);
- ``fd``: the 6N offset points of central differences (values only);
- ``bisect``: the 8 crossing-search rounds (values only);
- ``normal``: the normal batch at the crossings (gradients only; values discarded);
- ``project``: the surface projection passes (values and gradients);
- ``report``: ``test_batch_eval`` (reports values and whether gradients came).
"""

from __future__ import annotations

import sys

import numpy as np
import pytest

import _quarvel_rs as q
from hardening_support import (
    BOX,
    MODES,
    MODULE_CALLS,
    NOT_ARRAY,
    Faulty,
    InjectedError,
    box_field,
    call_module,
    index_fault,
    outcome,
    rss_bytes,
    same_result,
    settle,
    two_spheres,
)

# Field factories by name; the conftest ones come through the `fields` fixture.
FIELD_MAKERS = {
    "sphere": lambda F: F.sphere(0.5, gradients=True),
    "sphere-fd": lambda F: F.sphere(0.5, gradients=False),
    "box": lambda F: box_field(gradients=True),
    "box-fd": lambda F: box_field(gradients=False),
    "two-spheres": lambda F: two_spheres(gradients=True),
    # Wider: at depths 1 to 4 the balanced tree needs batches of its own.
    "wide-box": lambda F: box_field(0.6, gradients=True),
    "offset-sphere-fd": lambda F: F.sphere(0.4, (0.1, 0.2, 0.3), gradients=False),
}
FIELD_HAS_GRADIENTS = {"sphere": True, "sphere-fd": False, "box": True, "box-fd": False,
                       "two-spheres": True, "wide-box": True, "offset-sphere-fd": False}

# (function, field) pairs swept: every function with a field with and without
# gradients; the sharp box and the two-piece field on the extraction paths.
SWEEPS = [
    ("extract_uniform", "sphere"),
    ("extract_uniform", "box-fd"),
    ("extract_band", "sphere-fd"),
    ("extract_band", "box"),
    ("extract_band", "two-spheres"),
    ("extract_balanced", "wide-box"),
    ("extract_balanced_deep", "offset-sphere-fd"),
    ("build_uniform", "sphere"),
    ("build_uniform", "sphere-fd"),
    ("build_adaptive", "box"),
    ("build_adaptive", "box-fd"),
    ("batch_eval", "sphere"),
    ("batch_eval", "sphere-fd"),
    ("fd_gradients", "sphere"),
    ("fd_gradients", "box-fd"),
]

READS_VALUES = {"sample", "fd", "bisect", "project"}
READS_GRADIENTS = {"sample", "normal", "project"}


# ----------------------------------------------------------------------------- the clean runs

_clean_cache: dict = {}


def clean_run(call, field_name, fields):
    """Result and call sizes of the run without faults (once per pair)."""
    key = (call, field_name)
    if key not in _clean_cache:
        rec = fields.Recorder(FIELD_MAKERS[field_name](fields))
        result = call_module(call, rec)
        _clean_cache[key] = (result, rec.sizes)
    return _clean_cache[key]


def call_roles(call, sizes, has_gradients):
    """The stage behind each call, from the documented call order; the sizes are
    checked against it so that a change in the order cannot go unnoticed."""
    if call == "batch_eval":
        assert len(sizes) == 1
        return ["report"]
    if call == "fd_gradients":
        assert len(sizes) == 1
        return ["fd"]
    if call.startswith("extract"):
        build, dc = sizes[:-12], sizes[-12:]
        e, v = dc[0], dc[-1] if has_gradients else dc[-2]
        if has_gradients:
            assert dc == [e] * 9 + [v] * 3
            dc_roles = ["bisect"] * 8 + ["normal"] + ["project"] * 3
        else:
            assert dc == [e] * 9 + [6 * e, v, 6 * v]
            dc_roles = ["bisect"] * 8 + ["normal", "fd", "project", "fd"]
    else:
        build, dc_roles = sizes, []
    if has_gradients:
        build_roles = ["sample"] * len(build)
    else:
        assert len(build) % 2 == 0
        assert all(b == 6 * a for a, b in zip(build[::2], build[1::2]))
        build_roles = ["sample", "fd"] * (len(build) // 2)
    return build_roles + dc_roles


def expected_outcome(mode, role, n, clean, faulty):
    """("raises", type, message) or ("returns", result)."""
    if mode == "raise":
        return ("raises", InjectedError, str(faulty.error))
    if mode == "raise-panic":
        return ("raises", q.PanicException, str(faulty.error))
    if mode == "float32-values":
        return ("raises", TypeError, NOT_ARRAY.format("ndarray"))
    if mode == "none":
        return ("raises", TypeError, "'NoneType' object is not subscriptable")
    if mode == "bare-values":
        if n == 1:
            return ("raises", IndexError, "index 1 is out of bounds for axis 0 with size 1")
        return ("raises", TypeError, NOT_ARRAY.format("float64"))
    if mode == "narrow-gradients":
        return ("raises", q.PanicException, "ndarray: index out of bounds")
    if mode in ("list", "dict"):
        return ("returns", clean)
    if role == "report":
        values, has_gradients, count = clean
        if mode == "short-values":
            return ("returns", (values[:-1], has_gradients, count - 1))
        return ("returns", (values, True, count))  # short-gradients
    reads = READS_VALUES if mode == "short-values" else READS_GRADIENTS
    if role in reads:
        return ("raises", q.PanicException, index_fault(n - 1))
    return ("returns", clean)


def describe(o):
    return f"returned {o.result!r:.80}" if o.ok else f"raised {o.exc_type.__name__}({o.message!r})"


def run_sweep(call, field_name, mode, fields):
    """Runs every k for one mode; returns the list of discrepancies."""
    clean, sizes = clean_run(call, field_name, fields)
    roles = call_roles(call, sizes, FIELD_HAS_GRADIENTS[field_name])
    inner = FIELD_MAKERS[field_name](fields)
    _, default_args, _ = MODULE_CALLS[call]
    problems = []
    for k, (n, role) in enumerate(zip(sizes, roles), start=1):
        faulty = Faulty(inner, k, mode)
        # Fresh argument objects, so that their counts belong to this case.
        args = tuple(list(a) if isinstance(a, tuple) else a for a in default_args)
        if call == "batch_eval" or call == "fd_gradients":
            args = ([tuple(p) for p in args[0]], *args[1:])
        tracked = [faulty, inner, *[a for a in args if not isinstance(a, (int, float))]]
        if isinstance(args[0], list) and args[0] and isinstance(args[0][0], tuple):
            tracked += args[0]
        before = [sys.getrefcount(o) for o in tracked]
        error_before = sys.getrefcount(faulty.error) if faulty.error is not None else None

        got = outcome(call_module, call, faulty, args)
        want = expected_outcome(mode, role, n, clean, faulty)
        where = f"k={k} ({role}, n={n})"
        if want[0] == "raises":
            if got.ok or got.exc_type is not want[1] or got.message != want[2]:
                problems.append(f"{where}: expected {want[1].__name__}({want[2]!r}), {describe(got)}")
            if mode == "raise" and got.exc is not faulty.error:
                problems.append(f"{where}: the callable's exception was not passed on unchanged")
            # A short array is found when the stage reads it, which a refinement
            # batch or a projection pass does after the finite differences of
            # that batch (the first lattice reads its values before them).
            late_reader = want[2].startswith("index out of bounds") and k > 1 and \
                k < len(roles) and roles[k] == "fd"
            if faulty.count != k and not (late_reader and faulty.count == k + 1):
                problems.append(f"{where}: the field was called {faulty.count} times after failing")
        elif not got.ok or not same_result(got.result, want[1]):
            problems.append(f"{where}: expected {want[1]!r:.80}, {describe(got)}")
        del got
        if faulty.error is not None:
            faulty.error.__traceback__ = None  # its frames hold the callable
        after = [sys.getrefcount(o) for o in tracked]
        if after != before:
            problems.append(f"{where}: reference counts {before} -> {after}")
        if error_before is not None and sys.getrefcount(faulty.error) != error_before:
            problems.append(f"{where}: the raised exception's count changed")
        if faulty.query is None or faulty.query() is not None:
            problems.append(f"{where}: the query array outlived the call")
        returned = faulty.returned
        if returned is not None:
            # Held by the attribute and the local name only (plus the call's argument).
            if sys.getrefcount(returned) != 3:
                problems.append(f"{where}: the returned object is still referenced")
            items = returned.values() if isinstance(returned, dict) else (
                returned if isinstance(returned, (tuple, list)) else ())
            for item in items:
                if isinstance(item, np.ndarray) and sys.getrefcount(item) != 3:
                    problems.append(f"{where}: a returned array is still referenced")
        del returned
    return problems


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(("call", "field_name"), SWEEPS, ids=[f"{c}-{f}" for c, f in SWEEPS])
def test_fault_on_every_call(call, field_name, mode, fields, capfd):
    problems = run_sweep(call, field_name, mode, fields)
    capfd.readouterr()  # the diagnostics of the internal faults
    assert problems == []


def test_balanced_sweeps_include_balance_batches(fields):
    """The balanced configuration asks for batches the band refinement does not."""
    for call, field_name in [("extract_balanced", "wide-box"),
                             ("extract_balanced_deep", "offset-sphere-fd")]:
        _, balanced = clean_run(call, field_name, fields)
        _, _, kwargs = MODULE_CALLS[call]
        band = fields.Recorder(FIELD_MAKERS[field_name](fields))
        q.extract_mesh(band, *BOX, min_depth=kwargs["min_depth"], max_depth=kwargs["max_depth"])
        assert balanced[:-12] != band.sizes[:-12]


@pytest.mark.parametrize(("call", "field_name"), SWEEPS, ids=[f"{c}-{f}" for c, f in SWEEPS])
def test_clean_run_is_repeatable(call, field_name, fields):
    """The reference the sweeps compare with: a second clean run gives the same."""
    clean, sizes = clean_run(call, field_name, fields)
    rec = fields.Recorder(FIELD_MAKERS[field_name](fields))
    assert same_result(call_module(call, rec), clean)
    assert rec.sizes == sizes
    if call.startswith("extract"):
        assert len(clean[1]) > 0  # a mesh with triangles: every stage ran


def test_sweeps_keep_memory_stable(fields, capfd):
    """Repeating a whole sweep (every mode, every k) does not grow the process:
    the largest batches here are tens of thousands of points, so a query array
    or a result array kept per case would add megabytes per round."""
    call, field_name = "extract_band", "sphere-fd"

    def sweep():
        for mode in MODES:
            assert run_sweep(call, field_name, mode, fields) == []
        capfd.readouterr()

    sweep()
    settle()
    start = rss_bytes()
    for _ in range(3):
        sweep()
    settle()
    assert rss_bytes() - start < 16 * 2**20


@pytest.mark.parametrize(
    "call",
    [
        lambda f: q.extract_mesh(f, *BOX, min_depth=1, max_depth=2),
        lambda f: q.build_octree_uniform(f, *BOX, 3),
        lambda f: call_module("batch_eval", f),
    ],
    ids=["extract", "build", "batch_eval"],
)
@pytest.mark.skipif(
    sys.version_info < (3, 12),
    reason="NumPy's ufunc buffers report a refused allocation without a thread state, which older interpreters "
    "crash on inside PyErr_NoMemory",
)
def test_refused_interpreter_allocation_is_memory_error(call, fields):
    """An allocation the interpreter refuses anywhere in a call (the query and
    result arrays, numbers, tuples, the callable's own work) ends the call with
    that MemoryError or the callable's own error, never as an internal fault."""
    testcapi = pytest.importorskip("_testcapi")
    field = FIELD_MAKERS["sphere"](fields)
    call(field)  # NumPy's table is loaded before allocations start to fail
    memory_errors = 0
    for n in range(400):  # past the last allocation of each call
        testcapi.set_nomemory(n, n + 1)
        try:
            call(field)
        except BaseException as error:
            assert not isinstance(error, q.PanicException), f"allocation {n}: {error!r}"
            memory_errors += isinstance(error, MemoryError)
        finally:
            testcapi.remove_mem_hooks()
    assert memory_errors > 0
