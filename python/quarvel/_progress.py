"""Progress of a meshing call: a bar on standard error, one stage at a time.

:func:`quarvel.mesh` reports each stage as ``(stage, done, total)``, with the
stages ``sampling``, ``refining``, ``crossings``, ``vertices`` and ``faces``
in that order; ``total`` is 0 where it is not known ahead.  Any callable of
that form can take the reports instead of :class:`ProgressBar`.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from types import TracebackType
from typing import TextIO

ProgressHook = Callable[[str, int, int], object]


class ProgressBar:
    """Draws ``quarvel: refining [#####     ] 3/6  1.2 s`` in place on a stream.

    Use as a context manager around the meshing call; the line is finished
    with a newline on exit.  The core already limits its reports to about ten
    a second.
    """

    def __init__(self, stream: TextIO | None = None, width: int = 24, label: str = "quarvel") -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.width = width
        self.label = label
        self.start = time.perf_counter()
        self._shown = 0

    def __call__(self, stage: str, done: int, total: int) -> None:
        self._draw(self.status(stage, done, total))

    def __enter__(self) -> ProgressBar:
        self.start = time.perf_counter()
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        if self._shown:
            self.stream.write("\n")
            self.stream.flush()

    def status(self, stage: str, done: int, total: int) -> str:
        """The line for one report, without line control characters."""
        elapsed = time.perf_counter() - self.start
        if total > 0:
            filled = min(self.width, self.width * done // total)
            bar = f"[{'#' * filled}{' ' * (self.width - filled)}] {done:,}/{total:,}"
        else:
            bar = "..."
        return f"{self.label}: {stage:<9} {bar}  {elapsed:.1f} s"

    def _draw(self, text: str) -> None:
        # Pad with spaces so that a shorter line fully covers the previous one.
        self.stream.write("\r" + text.ljust(self._shown))
        self.stream.flush()
        self._shown = len(text)
