"""Type stubs for ``quarvel._engine``, the package's own module (private: use ``quarvel.mesh``)."""

import numpy as np
from numpy.typing import ArrayLike, NDArray

def thread_count() -> int:
    """Threads of the worker pool, the caller's included."""

def opcodes() -> tuple[str, ...]:
    """The names of the program opcodes, in the order of their numbers."""

def program(code: ArrayLike, constants: ArrayLike) -> object:
    """A program from its tape: code (N, 5) integers, constants float64; ValueError when malformed."""

def program_eval(
    program: object, points: ArrayLike, gradients: bool = True
) -> tuple[NDArray[np.float64], NDArray[np.float64] | None]:
    """(values (N,), gradients (N, 3) or None) of the program at (N, 3) points."""

def program_bounds(
    program: object, lo: ArrayLike, hi: ArrayLike
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Bounds (lower, upper) on the program's values over the boxes lo[i] to hi[i]; NaN when unknown."""
