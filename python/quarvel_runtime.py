"""The home of ``PanicException``, the exception of internal faults in ``_quarvel_rs``.

The extension creates the class under this module's name; importing it from
here lets pickle find it, so that a fault in a worker process (for example
of concurrent.futures.ProcessPoolExecutor) reaches the parent as the same class.
"""

from _quarvel_rs import PanicException

__all__ = ["PanicException"]
