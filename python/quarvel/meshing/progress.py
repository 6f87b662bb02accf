"""Progress of a meshing call: its stages on standard error.

:func:`quarvel.mesh` reports each stage as ``(stage, done, total)``, with the
stages ``sampling``, ``refining``, ``crossings``, ``vertices`` and ``faces``
in that order; ``total`` is 0 where it is not known ahead.  Any callable of
that form can take the reports instead of :class:`ProgressBar`.
"""

from __future__ import annotations

import importlib
import sys
import time
from collections.abc import Callable
from types import TracebackType
from typing import Any, TextIO

ProgressHook = Callable[[str, int, int], object]

STAGES = ("sampling", "refining", "crossings", "vertices", "faces")


class ProgressBar:
    """Shows each stage of a meshing call as one line on ``stream``.

    On a terminal the current stage's line is redrawn in place
    (``quarvel [2/5] refining [#####     ] 3/6  1.2 s``), drawn by tqdm when it
    is installed (``use_tqdm=False`` declines it); each finished stage keeps
    its line.  Elsewhere (a pipe, a file, a notebook's captured stream) each
    stage is written once, when it ends, and no carriage return is ever
    written.  Use as a context manager around the meshing call, which ends the
    last stage.  The core already limits its reports to about ten a second.
    """

    def __init__(
        self,
        stream: TextIO | None = None,
        width: int = 24,
        label: str = "quarvel",
        live: bool | None = None,
        use_tqdm: bool = True,
    ) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.width = width
        self.label = label
        isatty = getattr(self.stream, "isatty", None)
        self.live = live if live is not None else bool(isatty and isatty())
        self._tqdm = _tqdm_class() if self.live and use_tqdm else None
        self._bar: Any = None  # the current stage's tqdm bar
        self._stage: str | None = None
        self._stage_start = time.perf_counter()
        self._done = self._total = 0
        self._shown = 0

    def __call__(self, stage: str, done: int, total: int) -> None:
        if stage != self._stage:
            self._end_stage(complete=True)
            self._stage, self._stage_start = stage, time.perf_counter()
        self._done, self._total = done, total
        if self._tqdm is not None:
            self._update_tqdm()
        elif self.live:
            self._draw(self.status(stage, done, total))

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self._end_stage(complete=error is None)

    def status(self, stage: str, done: int, total: int) -> str:
        """The line for one report, without line control characters."""
        elapsed = time.perf_counter() - self._stage_start
        if total > 0:
            filled = min(self.width, self.width * done // total)
            bar = f"[{'#' * filled}{' ' * (self.width - filled)}] {done:,}/{total:,}"
        else:
            bar = f"{done:,}" if done else "..."
        return f"{self.label} {stage_number(stage)} {stage:<9} {bar}  {elapsed:.1f} s"

    def _end_stage(self, complete: bool) -> None:
        """Leave the stage's line on the stream, showing it whole when it is
        ``complete`` (the core need not report a stage's last step)."""
        if self._stage is None:
            return
        if complete:
            self._done = max(self._done, self._total)
        if self._bar is not None:
            self._bar.n = self._done
            self._bar.close()
            self._bar = None
        else:
            line = self.status(self._stage, self._done, self._total)
            if self.live:
                self._draw(line)
                self.stream.write("\n")
            else:
                self.stream.write(line + "\n")
            self.stream.flush()
        self._stage, self._shown = None, 0

    def _update_tqdm(self) -> None:
        assert self._tqdm is not None and self._stage is not None
        total = self._total or None
        if self._bar is None:
            self._bar = self._tqdm(
                total=total,
                desc=f"{self.label} {stage_number(self._stage)} {self._stage}",
                file=self.stream,
                leave=True,
                dynamic_ncols=True,
            )
        if self._bar.total != total:
            self._bar.total = total
        self._bar.n = self._done
        self._bar.refresh()

    def _draw(self, text: str) -> None:
        # Pad with spaces so that a shorter line fully covers the previous one.
        self.stream.write("\r" + text.ljust(self._shown))
        self.stream.flush()
        self._shown = len(text)


def stage_number(stage: str) -> str:
    """``[k/5]`` for a known stage, so that a reader sees how far along the call is;
    meshing in tiles reports its tiles as its one stage."""
    if stage == "tiles":
        return "[1/1]"
    return f"[{STAGES.index(stage) + 1}/{len(STAGES)}]" if stage in STAGES else "[?]"


def _tqdm_class() -> Any:
    """tqdm's bar class when tqdm is installed, else None (it is optional)."""
    try:
        return importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
