"""Type stubs for ``quarvel._engine``, the package's own module (private: use ``quarvel.mesh``)."""

def thread_count() -> int:
    """Threads of the worker pool, the caller's included."""
