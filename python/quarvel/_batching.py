"""Calling a field in capped chunks, in order, optionally on an executor.

The core asks for a whole batch of points at once (every lattice point of a
level, every open crossing of a round).  A neural field on a GPU, or a field
sent to other processes, wants smaller pieces: :class:`Chunked` cuts the
batch into chunks of at most ``batch_size`` points, evaluates them (in
parallel on an executor when one is given) and joins the results in order,
so the mesh is the same whatever the chunking.
"""

from __future__ import annotations

from collections.abc import Iterator
from concurrent.futures import Executor

import numpy as np

from ._field import Field, FieldResult, Points

# Chunk size for an executor when no batch size is given: large enough that
# sending a chunk costs little beside evaluating it, small enough to spread
# a lattice over many workers.
EXECUTOR_CHUNK = 1 << 16


class Chunked:
    """``field`` called on at most ``batch_size`` points at a time.

    With an ``executor`` the chunks are submitted together and evaluated in
    parallel (``executor.map``); ``field`` is then sent to the workers, so a
    process pool needs it picklable.  Counts the calls of ``field``.
    """

    def __init__(self, field: Field, batch_size: int | None = None, executor: Executor | None = None) -> None:
        self.field = field
        self.batch_size = batch_size if batch_size is not None else (EXECUTOR_CHUNK if executor else None)
        self.executor = executor
        self.calls = 0

    def __call__(self, points: Points) -> FieldResult:
        size = self.batch_size
        if size is None or (len(points) <= size and self.executor is None):
            self.calls += 1
            return self.field(points)
        chunks = [points[i : i + size] for i in range(0, len(points), size)]
        self.calls += len(chunks)
        results: Iterator[FieldResult]
        if self.executor is not None:
            results = self.executor.map(self.field, chunks)
        else:
            results = map(self.field, chunks)
        return join([*results])


def join(results: list[FieldResult]) -> FieldResult:
    """Values and gradients of consecutive chunks, joined in order.

    Gradients are kept only when every chunk gave them."""
    values = np.concatenate([v for v, _ in results])
    gradients = [g for _, g in results if g is not None]
    if len(gradients) < len(results):
        return values, None
    return values, np.concatenate(gradients)
