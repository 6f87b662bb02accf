"""Helpers shared by the hardening tests (faults, leaks, fuzzing, threads).

Fields follow the callable contract of the module: one (N, 3) float64 array in,
``(values, gradients_or_None)`` out. The sphere, plane, constant and quadratic
fields live in conftest.py (the ``fields`` fixture); the ones here add sharp
features (a box) and two pieces (two spheres), which exercise the sharp-vertex
boxes and the largest-component filter.
"""

from __future__ import annotations

import gc
import hashlib
import os
import sys
import weakref
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

import _quarvel_rs as q

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
NOT_ARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"


def index_fault(length: int) -> str:
    """The message of reading index `length` of an array of that length."""
    return f"index out of bounds: the len is {length} but the index is {length}"


# ----------------------------------------------------------------------------- fields


def box_field(half=0.45, gradients=True):
    """max(|x|, |y|, |z|) - half: a cube with sharp edges and corners; the
    gradient is the unit axis vector of the largest coordinate."""

    def field(p):
        a = np.abs(p) - half
        values = np.max(a, axis=1)
        if not gradients:
            return values, None
        rows = np.arange(len(p))
        axis = np.argmax(a, axis=1)
        g = np.zeros_like(p)
        g[rows, axis] = np.where(p[rows, axis] < 0.0, -1.0, 1.0)
        return values, g

    return field


def two_spheres(gradients=True):
    """Union of a larger sphere (r 0.4 at x -0.45) and a smaller one (r 0.25 at x 0.5)."""

    def field(p):
        d1 = p - np.array([-0.45, 0.0, 0.0])
        d2 = p - np.array([0.5, 0.0, 0.0])
        r1 = np.sqrt(np.einsum("ij,ij->i", d1, d1))
        r2 = np.sqrt(np.einsum("ij,ij->i", d2, d2))
        v1, v2 = r1 - 0.4, r2 - 0.25
        first = v1 <= v2
        values = np.where(first, v1, v2)
        if not gradients:
            return values, None
        g1 = d1 / np.maximum(r1, 1e-300)[:, None]
        g2 = d2 / np.maximum(r2, 1e-300)[:, None]
        return values, np.where(first[:, None], g1, g2)

    return field


# ----------------------------------------------------------------------------- outcomes


@dataclass
class Outcome:
    """What one call of a module function did: its result, or the exception's
    type, message and the exception object itself (traceback removed)."""

    result: Any = None
    exc_type: type | None = None
    message: str | None = None
    exc: BaseException | None = None

    @property
    def ok(self) -> bool:
        return self.exc_type is None


def outcome(fn: Callable, *args, **kwargs) -> Outcome:
    """Calls fn and captures its result or its exception (any BaseException,
    PanicException and KeyboardInterrupt included). The traceback is dropped so
    that its frames do not keep the callable or the arguments alive."""
    try:
        return Outcome(result=fn(*args, **kwargs))
    except BaseException as exc:  # noqa: BLE001 - every kind is an outcome here
        exc.__traceback__ = None
        return Outcome(exc_type=type(exc), message=str(exc), exc=exc)


def same_result(a, b) -> bool:
    """Exact equality of two module results (tuples of arrays, lists, ints)."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (
            isinstance(a, np.ndarray)
            and isinstance(b, np.ndarray)
            and a.dtype == b.dtype
            and a.shape == b.shape
            and a.tobytes() == b.tobytes()
        )
    if isinstance(a, (tuple, list)):
        return (
            type(a) is type(b) and len(a) == len(b) and all(same_result(x, y) for x, y in zip(a, b))
        )
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (a != a and b != b)
    return type(a) is type(b) and a == b


def refcounts(objects) -> list[int]:
    return [sys.getrefcount(o) for o in objects]


def rss_bytes() -> int:
    """Resident set size of this process."""
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle() -> None:
    gc.collect()
    gc.collect()


# ----------------------------------------------------------------------------- calls

# Every public function with one set of arguments; the field comes first.
MODULE_CALLS: dict[str, tuple[Callable, tuple, dict]] = {
    "extract_uniform": (q.extract_mesh, BOX, {"min_depth": 3, "max_depth": 3}),
    "extract_band": (q.extract_mesh, BOX, {"min_depth": 2, "max_depth": 4}),
    "extract_balanced": (q.extract_mesh, BOX, {"min_depth": 1, "max_depth": 4, "adaptive": True}),
    "extract_balanced_deep": (
        q.extract_mesh, BOX, {"min_depth": 2, "max_depth": 5, "adaptive": True}),
    "build_uniform": (q.build_octree_uniform, (*BOX, 3), {}),
    "build_adaptive": (q.build_octree_adaptive, (*BOX, 2, 4), {}),
    "batch_eval": (q.test_batch_eval, ([(0.1 * i, -0.05 * i, 0.3) for i in range(7)],), {}),
    "fd_gradients": (q.test_fd_gradients, ([(0.2, 0.1, -0.3), (0.5, 0.0, 0.0)], 1e-3), {}),
}


def call_module(name: str, field, args=None):
    """Calls module function `name` with `field` and its standard arguments
    (or `args` in their place, which lets a test track their reference counts)."""
    fn, default_args, kwargs = MODULE_CALLS[name]
    return fn(field, *(default_args if args is None else args), **kwargs)


# ----------------------------------------------------------------------------- faults

MODES = [
    "raise",             # the callable raises an exception of its own
    "raise-panic",       # the callable raises PanicException (a nested fault)
    "short-values",      # values one entry short
    "short-gradients",   # gradients one row short (present even for a field without)
    "narrow-gradients",  # gradients with two columns
    "float32-values",    # values as float32
    "bare-values",       # the values array alone instead of a pair
    "none",              # None instead of a pair
    "list",              # [values, gradients]: accepted like the tuple
    "dict",              # {0: values, 1: gradients}: accepted, item access by int keys
]


class InjectedError(Exception):
    pass


class Faulty:
    """Delegates to `field`, but call number `k` (1-based) misbehaves as `mode`."""

    def __init__(self, field, k, mode):
        self.field = field
        self.k = k
        self.mode = mode
        self.count = 0
        self.error = None
        if mode == "raise":
            self.error = InjectedError(f"injected at call {k}")
        elif mode == "raise-panic":
            self.error = q.PanicException(f"nested fault at call {k}")
        self.returned = None
        self.query = None

    def reset(self):
        """Ready for another run: count from 1 again, forget the last one."""
        self.count = 0
        self.returned = None
        self.query = None
        if self.error is not None:
            self.error.__traceback__ = None  # raising it again would extend it

    def __call__(self, points):
        self.count += 1
        if self.count != self.k:
            return self.field(points)
        self.query = weakref.ref(points)
        if self.error is not None:
            raise self.error
        values, grads = self.field(points)
        n = len(points)
        mode = self.mode
        if mode == "short-values":
            values = values[:-1].copy()
        elif mode == "short-gradients":
            grads = (grads if grads is not None else np.zeros((n, 3)))[:-1].copy()
        elif mode == "narrow-gradients":
            grads = np.zeros((n, 2))
        elif mode == "float32-values":
            values = values.astype(np.float32)
        if mode == "bare-values":
            result = values
        elif mode == "none":
            result = None
        elif mode == "list":
            result = [values, grads]
        elif mode == "dict":
            result = {0: values, 1: grads}
        else:
            result = (values, grads)
        self.returned = result
        return result


# ----------------------------------------------------------------------------- shared with child processes
# The fork and thread-count tests run these in fresh interpreters too (they
# import this module), so that parent and child mesh the very same fields.


def unit_sphere_field(p):
    """|p| - 0.5 with its exact gradient."""
    r = np.sqrt(np.einsum("ij,ij->i", p, p))
    return r - 0.5, p / np.where(r > 0.0, r, 1.0)[:, None]


def cube_field(p):
    """A cube of half-edge 0.45, without gradients."""
    a = np.abs(p) - 0.45
    return np.max(a, axis=1), None


def short_values_field(p):
    """One value fewer than asked: reading the last one is an internal fault."""
    return np.zeros(len(p) - 1), None


def digest(result) -> str:
    """A hash of arrays' dtypes, shapes and bytes: equal only for identical results."""
    h = hashlib.sha256()
    for a in result:
        h.update(repr((a.dtype.str, a.shape)).encode())
        h.update(a.tobytes())
    return h.hexdigest()
