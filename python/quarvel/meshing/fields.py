"""Adapting user callables to the engine's field contract.

The engine calls a field with one float64 array of N query points, shape
(N, 3), and wants back ``(values, gradients)``: a contiguous float64 array of
N values and either None or an (N, 3) float64 array.  People write fields in
looser ways: returning values alone, returning float32 arrays, lists, or CPU
tensors of other array libraries.  :func:`as_field` accepts all of these.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

Points = NDArray[np.float64]
FieldResult = tuple[NDArray[np.float64], NDArray[np.float64] | None]
Field = Callable[[Points], FieldResult]


def as_field(fn: Callable[[Points], Any]) -> Field:
    """Wrap ``fn`` so that it follows the engine's field contract.

    ``fn`` takes an (N, 3) float64 array and returns either the pair
    ``(values, gradients_or_None)`` or the values alone.  Values and
    gradients may be any array-like with a NumPy conversion (other float
    dtypes, lists, CPU tensors); they are converted to float64 without a copy
    when they already are float64 and contiguous.  A pair is a tuple or list
    of two items whose second item is None or two-dimensional.

    The wrapper checks that there is exactly one value per point (a single
    number is refused, not spread over the points) and the gradient shape, and
    raises ValueError naming the expected count instead of letting the engine
    fault or mislead.
    """
    if not callable(fn):
        raise TypeError(f"a field must be callable (got {type(fn).__name__})")
    if isinstance(fn, _ContractField):
        return fn
    return _ContractField(fn)


class _ContractField:
    """A callable that turns the wrapped function's output into the contract."""

    def __init__(self, fn: Callable[[Points], Any]) -> None:
        self.__wrapped__ = fn
        bounds = getattr(fn, "bounds", None)
        if bounds is not None:
            self.bounds = bounds

    def __call__(self, points: Points) -> FieldResult:
        result = self.__wrapped__(points)
        if result is None:
            raise ValueError(
                f"the field returned None for {len(points)} points: does it forget to return its values?"
            )
        return conform(result, len(points), "field")

    def __repr__(self) -> str:
        return f"as_field({self.__wrapped__!r})"


def conform(result: Any, n: int, source: str) -> FieldResult:
    """A field's ``result`` for ``n`` points in the contract: values, or values and
    gradients, converted to float64; ValueError naming ``source`` when the shapes are wrong."""
    if result is None:
        raise ValueError(f"{source} returned None for {n} points")
    raw_values, raw_gradients = _split_result(result)
    values = _values_array(raw_values, n, source)
    gradients = None if raw_gradients is None else _gradients_array(raw_gradients, n, source)
    return values, gradients


def _split_result(result: Any) -> tuple[Any, Any]:
    """Tell a ``(values, gradients)`` pair from a bare values output."""
    if isinstance(result, (tuple, list)) and len(result) == 2:
        second = result[1]
        if second is None or np.ndim(_plain(second)) == 2:
            return result[0], second
    return result, None


def _plain(x: Any) -> Any:
    """Detach a tensor from an autograd graph so that NumPy can read it."""
    detach = getattr(x, "detach", None)
    return detach() if callable(detach) else x


def _values_array(raw: Any, n: int, source: str) -> NDArray[np.float64]:
    arr = np.asarray(_plain(raw), dtype=np.float64)
    if arr.ndim == 0 or arr.size != n:
        got = "a single value" if arr.ndim == 0 else f"values of shape {arr.shape}"
        hint = ""
        if arr.shape == (3,) or arr.ndim == 0:
            # p[0] is the first point, not the x column; a reduction without an
            # axis folds all points into one number.
            hint = f"; {COLUMNS_HINT}"
        raise ValueError(f"{source} returned {got} for {n} points; expected {n} values, one per point{hint}")
    return np.ascontiguousarray(arr.reshape(n))


def _gradients_array(raw: Any, n: int, source: str) -> NDArray[np.float64]:
    arr = np.asarray(_plain(raw), dtype=np.float64)
    if arr.shape != (n, 3):
        raise ValueError(f"{source} returned gradients of shape {arr.shape} for {n} points; expected ({n}, 3)")
    return arr


FIELD_FORM = (
    "a field takes one (N, 3) float64 array of points (x, y, z in its columns) and returns N values, "
    "computed with array operations"
)


COLUMNS_HINT = (
    "the coordinates are the columns p[:, 0], p[:, 1], p[:, 2] (or x, y, z = p.T); "
    "for a function of x, y and z, pass lambda p: f(p[:, 0], p[:, 1], p[:, 2])"
)


def unpacking_error(error: ValueError) -> ValueError | None:
    """The ValueError to raise instead of ``error`` when a field's first call
    failed unpacking the points as ``x, y, z = p``; None for other errors."""
    if "values to unpack" not in str(error):
        return None
    return ValueError(f"the field could not unpack its points ({error}): {FIELD_FORM}; {COLUMNS_HINT}")


def first_call_error(fn: Callable[..., Any], error: TypeError) -> TypeError:
    """The TypeError to raise when a field's first call raised ``error``:
    what a field takes, and how to adapt a function of x, y and z."""
    target = inspect.unwrap(fn)
    name = getattr(target, "__qualname__", type(target).__name__)
    try:
        signature = inspect.signature(target)
    except (TypeError, ValueError):
        signature = None  # none to read: a builtin, say
    if signature is not None:
        try:
            signature.bind(np.zeros((1, 3)))
        except TypeError:
            return TypeError(
                f"{name}{signature} cannot be called with one argument: {FIELD_FORM}; "
                "for a function of x, y and z, pass lambda p: f(p[:, 0], p[:, 1], p[:, 2])"
            )
    return TypeError(
        f"the field raised TypeError on its first call ({error}): {FIELD_FORM} "
        "(np.sqrt rather than math.sqrt, np.where rather than if)"
    )
