"""Calling a field in capped chunks, in order, optionally on an executor.

The core asks for a whole batch of points at once (every lattice point of a
level, every open crossing of a round).  A neural field on a GPU, or a field
sent to other processes, wants smaller pieces: :class:`Chunked` cuts the
batch into chunks of at most ``batch_size`` points, evaluates them (in
parallel on an executor when one is given) and joins the results in order,
so the mesh is the same whatever the chunking.
"""

from __future__ import annotations

import math
from concurrent.futures import Executor

import numpy as np

from .._bounds import Bounds
from ..meshing.fields import Field, FieldResult, Points, conform, first_call_error, unpacking_error

# Chunk size for an executor when no batch size is given: large enough that
# sending a chunk costs little beside evaluating it, small enough to spread
# a lattice over many workers.
EXECUTOR_CHUNK = 1 << 16
# Chunk size otherwise.  A stage may ask for millions of points at once, and
# a network's layers on that many points are arrays of gigabytes that run at
# the speed of memory: a 3-64-64-1 MLP takes 1.5x as long per point on 2.6M
# points as on 2^18.  Calls of 2^18 points cost nothing measurable on cheap
# fields, whose per-call overhead is microseconds.
DEFAULT_CHUNK = 1 << 18


class Chunked:
    """``field`` called on at most ``batch_size`` points at a time.

    With an ``executor`` the chunks are submitted together and evaluated in
    parallel; ``field`` is then sent to the workers, so a process pool needs
    it picklable.  Each chunk's result is taken from its own future, and
    checked as a field's own results are, naming the executor.  Counts the calls of ``field`` and keeps
    the least and greatest value it gave (NaN aside), and the number of points
    outside ``box``, when one is given, and the greatest value there.  A TypeError from the first call
    is raised again with what a field takes (see :func:`first_call_error`).
    """

    def __init__(
        self,
        field: Field,
        batch_size: int | None = None,
        executor: Executor | None = None,
        box: Bounds | None = None,
    ) -> None:
        self.field = field
        # A NumPy integer would wrap around in the chunks' offsets.
        self.batch_size = int(batch_size) if batch_size is not None else (EXECUTOR_CHUNK if executor else DEFAULT_CHUNK)
        self.executor = executor
        self.box = box
        self.calls = 0
        self.low = math.inf
        self.high = -math.inf
        self.high_outside = -math.inf
        self.points_outside = 0

    def __call__(self, points: Points) -> FieldResult:
        first = self.calls == 0
        try:
            result = self._evaluate(points)
        except TypeError as error:
            if first:
                raise first_call_error(self.field, error) from error
            raise
        except ValueError as error:
            hinted = unpacking_error(error) if first else None
            if hinted is not None:
                raise hinted from error
            raise
        values = result[0]
        if len(values):
            # fmin and fmax pass NaN over.
            self.low = min(self.low, float(np.fmin.reduce(values)))
            self.high = max(self.high, float(np.fmax.reduce(values)))
        if self.box is not None:
            # Column by column: a row-wise any over (N, 3) comparisons takes 4x as long.
            beyond = np.zeros(len(points), dtype=bool)
            for axis in range(3):
                column = points[:, axis]
                beyond |= column < self.box.lo[axis]
                beyond |= column > self.box.hi[axis]
            outside = values[beyond]
            if len(outside):
                self.points_outside += len(outside)
                self.high_outside = max(self.high_outside, float(np.fmax.reduce(outside)))
        return result

    def _evaluate(self, points: Points) -> FieldResult:
        size = self.batch_size
        if len(points) <= size and self.executor is None:
            self.calls += 1
            return self.field(points)
        chunks = [points[i : i + size] for i in range(0, len(points), size)]
        self.calls += len(chunks)
        if self.executor is None:
            return join(list(map(self.field, chunks)))
        # Futures in the chunks' order, not map's: an executor's map may yield
        # its results in any order, and what it returns has crossed a boundary.
        futures = [self.executor.submit(self.field, chunk) for chunk in chunks]
        source = f"the executor {type(self.executor).__name__}"
        return join([conform(f.result(), len(c), source) for f, c in zip(futures, chunks, strict=True)])


def join(results: list[FieldResult]) -> FieldResult:
    """Values and gradients of consecutive chunks, joined in order.

    Gradients are kept only when every chunk gave them."""
    values = np.concatenate([v for v, _ in results])
    gradients = [g for _, g in results if g is not None]
    if len(gradients) < len(results):
        return values, None
    return values, np.concatenate(gradients)
