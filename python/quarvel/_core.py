"""The package's one door to the C++ core.

The core is one extension file, ``_quarvel_rs``, holding both front doors:
the engine, and the package's own module, loaded from that same file as
``quarvel._engine``.  A process so holds one copy of the core and one worker
pool, whichever door it came in by.  Everything in the package reaches the
core through :data:`engine` or :func:`extract`.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from .meshing.options import MeshOptions

if TYPE_CHECKING:
    from . import _engine as engine
else:

    def _load() -> Any:
        name = "quarvel._engine"
        if name in sys.modules:
            return sys.modules[name]
        import _quarvel_rs

        path = _quarvel_rs.__file__
        loader = importlib.machinery.ExtensionFileLoader(name, path)
        found = importlib.util.spec_from_file_location(name, path, loader=loader)
        module = importlib.util.module_from_spec(found)
        sys.modules[name] = module
        loader.exec_module(module)
        setattr(sys.modules["quarvel"], "_engine", module)  # as an import of the submodule would
        return module

    engine = _load()


__all__ = ["Extracted", "core_values", "engine", "extract"]


class Extracted(NamedTuple):
    """What the core's meshing call returns."""

    vertices: NDArray[np.float64]
    triangles: NDArray[np.int64]
    normals: NDArray[np.float64]
    stats: dict[str, Any]
    measures: dict[str, Any]  # area, volume, pieces: the mesh's own, measured in the core


def extract(
    field: Any,
    lo: Sequence[float],
    hi: Sequence[float],
    options: MeshOptions,
    *,
    max_depth: int,
    lipschitz: float | None,
    keep_largest: bool,
    clip: tuple[Sequence[float], Sequence[float]] | None,
    progress: Callable[[str, int, int], object] | None,
) -> Extracted:
    """Mesh ``field`` (a program or a batch function) in the box (lo, hi):
    the options the core reads unchanged by name, the resolved ones given here."""
    vertices, triangles, normals, stats, measures = engine.extract(
        field, lo, hi, max_depth=max_depth, lipschitz=lipschitz, keep_largest=keep_largest, clip=clip,
        progress=progress, **core_values(options),
    )
    return Extracted(vertices, triangles, normals, stats, measures)


def core_values(options: MeshOptions) -> dict[str, Any]:
    """The options the core reads unchanged, each as the type of its default."""
    defaults = MeshOptions()
    return {name: type(getattr(defaults, name))(value) for name, value in options.core_options().items()}
