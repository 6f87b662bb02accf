"""Shared helpers for the quarvel package tests (this module holds no tests)."""

from __future__ import annotations

import functools
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parents[2]


def cube_mesh(edge: float = 1.0, offset: tuple[float, float, float] = (0.0, 0.0, 0.0)):
    """An axis-aligned cube: 8 vertices, 12 triangles wound counter-clockwise from outside."""
    corners = np.array([[(i >> 0) & 1, (i >> 1) & 1, (i >> 2) & 1] for i in range(8)], dtype=float)
    vertices = corners * edge + np.asarray(offset)
    quads = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2), (1, 3, 7, 5)]
    triangles = [t for a, b, c, d in quads for t in ((a, b, c), (a, c, d))]
    return vertices, np.array(triangles, dtype=np.int64)


@functools.cache
def engine_ready() -> bool:
    """True when the extension is importable and its extract_mesh is implemented."""
    try:
        import _quarvel_rs
    except ImportError:
        return False

    def ball(p):
        return np.linalg.norm(p, axis=1) - 0.5, None

    try:
        _quarvel_rs.extract_mesh(ball, (-1, -1, -1), (1, 1, 1), 2, 3)
    except NotImplementedError:
        return False
    return True


# Skips a test while the extension's extract_mesh is missing or unimplemented.
needs_engine = pytest.mark.skipif(not engine_ready(), reason="extract_mesh not available")


def run_cli(*args: str, cwd: Path | None = None, env_extra: dict[str, str] | None = None):
    """Run ``python -m quarvel ARGS``; its output is decoded with carriage returns kept."""
    env = dict(os.environ)
    env.update(env_extra or {})
    done = subprocess.run(
        [sys.executable, "-m", "quarvel", *args], cwd=cwd, env=env, capture_output=True, timeout=600
    )
    return subprocess.CompletedProcess(done.args, done.returncode, done.stdout.decode(), done.stderr.decode())


def device_node(path: Path, kind: int, major: int, minor: int) -> Path:
    """A private device node at ``path`` (a test's own folder, never a system path),
    of type ``kind`` (stat.S_IFCHR or S_IFBLK); skips where mknod is not permitted."""
    try:
        os.mknod(path, kind | 0o666, os.makedev(major, minor))
    except OSError as error:
        pytest.skip(f"cannot make device nodes here: {error}")
    return path


class FifoReader:
    """A new FIFO at ``path`` and a thread that collects what is written into it.

    The read end is open before any writer comes, so a writer never waits; a
    writer that never comes (or writes elsewhere) leaves ``data()`` empty after
    ``patience`` seconds instead of hanging the test.
    """

    def __init__(self, path: Path, patience: float = 60.0) -> None:
        os.mkfifo(path)
        self._descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        self._data = bytearray()
        self._thread = threading.Thread(target=self._drain, args=(time.monotonic() + patience,), daemon=True)
        self._thread.start()

    def _drain(self, deadline: float) -> None:
        try:
            while time.monotonic() < deadline:
                try:
                    chunk = os.read(self._descriptor, 1 << 16)
                except BlockingIOError:  # a writer is there, with nothing new yet
                    chunk = None
                if chunk:
                    self._data += chunk
                elif chunk == b"" and self._data:
                    return  # the writer closed its end
                else:
                    time.sleep(0.01)  # no writer yet
        finally:
            os.close(self._descriptor)

    def data(self) -> bytes:
        self._thread.join()
        return bytes(self._data)
