"""A live status line on standard error while the engine samples a field."""

from __future__ import annotations

import sys
import time
from types import TracebackType
from typing import TextIO

from ._field import Field, FieldResult, Points


class Progress:
    """Wrap a field and report points, batches and elapsed time as it is called.

    Use as a context manager around the extraction; the line is redrawn in
    place (carriage return) at most every ``interval`` seconds and finished
    with a newline on exit.
    """

    def __init__(
        self, field: Field, stream: TextIO | None = None, interval: float = 0.2, label: str = "quarvel"
    ) -> None:
        self.field = field
        self.stream = stream if stream is not None else sys.stderr
        self.interval = interval
        self.label = label
        self.points = 0
        self.batches = 0
        self.start = time.perf_counter()
        self._last_draw = -float("inf")
        self._width = 0

    def __call__(self, points: Points) -> FieldResult:
        result = self.field(points)
        self.points += len(points)
        self.batches += 1
        now = time.perf_counter()
        if now - self._last_draw >= self.interval:
            self._draw(now)
        return result

    def __enter__(self) -> Progress:
        self.start = time.perf_counter()
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self._draw(time.perf_counter())
        self.stream.write("\n")
        self.stream.flush()

    def status(self, now: float | None = None) -> str:
        """The current status text, without line control characters."""
        elapsed = (now if now is not None else time.perf_counter()) - self.start
        batches = "batch" if self.batches == 1 else "batches"
        return f"{self.label}: {self.points:,} points in {self.batches:,} {batches}, {elapsed:.1f} s"

    def _draw(self, now: float) -> None:
        text = self.status(now)
        # Pad with spaces so that a shorter line fully covers the previous one.
        self.stream.write("\r" + text.ljust(self._width))
        self.stream.flush()
        self._width = len(text)
        self._last_draw = now
