"""The ``quarvel`` command line: mesh built-in shapes or fields from Python files."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib.util
import os
import stat
import sys
import time
from collections.abc import Iterator, Sequence
from concurrent.futures import Executor, ProcessPoolExecutor
from pathlib import Path
from typing import Any

from ._bounds import Bounds
from .shapes.builtins import BUILTINS, builtin
from .meshing.pipeline import (
    mesh_to_file,
    DEFAULT_MAX_DEPTH,
    MAX_DEPTH_LIMIT,
    NoSurfaceError,
    check_batch_size,
    check_depths,
    check_native,
    finest_depth,
    lipschitz_factor,
    mesh,
    search_box,
)
from .io.files import mesh_format, writable_target
from .meshes.mesh import Mesh
from .meshing.options import MeshOptions
from .io.preview import preview_format

USAGE_ERROR = 2
FAILURE = 1

DESCRIPTION = "Turn implicit surfaces into watertight triangle meshes (adaptive octree dual contouring)."

EPILOG = """\
examples:
  quarvel shapes
  quarvel mesh torus -o torus.ply --preview torus.png
  quarvel mesh csg --max-depth 8 -o csg.stl
  quarvel mesh torus --voxel-size 0.01 -o fine.ply
  quarvel mesh fields.py:blob --bounds -1 -1 -1 1 1 1 -o blob.obj
  quarvel mesh gyroid --bounds -1 -1 -0.2 1 1 0.2 -o slab.ply --keep largest
  quarvel check part.stl
  quarvel convert part.ply part.3mf

exit status: 0 on success, 1 when meshing, loading or writing fails or
'check' finds a fault, 2 when the command line is wrong (unknown shape,
bad option value).
"""

MESH_EPILOG = """\
SHAPE is a built-in name (see 'quarvel shapes') or FILE.py:NAME, where NAME
is a quarvel shape or a function in FILE.py: it takes an (N, 3) float64
array of points and returns N values (negative inside), or the pair
(values, gradients).  A plain function needs --bounds, or a 'bounds'
attribute such as f.bounds = ((-1, -1, -1), (1, 1, 1)).  NAME defaults to
'field'.

The mesh format follows the output's suffix: .ply (binary), .obj or .stl
(binary); .glb, .gltf, .off, .3mf or .dae with trimesh installed.  The
preview's format follows its suffix too (.png, .jpg, .svg, .pdf, ...).  Each
extra depth level halves the finest cell size and roughly quadruples the
number of triangles.  --voxel-size H picks the smallest depth whose finest
cells are at most H and grows the box so that they are exactly H; the
summary line states the depth and cell size used.
"""


class CliError(Exception):
    """A failure to report as one line and an exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "shapes":
            return _list_shapes()
        if args.command == "check":
            return _check_command(args.file)
        if args.command == "convert":
            return _convert_command(args.input, args.output)
        return _mesh_command(args)
    except CliError as error:
        print(f"quarvel: error: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print("\nquarvel: interrupted", file=sys.stderr)
        return 130


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quarvel",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version="quarvel 0.1.0")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("shapes", help="list the built-in shapes", description="List the built-in shapes.")
    _add_mesh_parser(commands)
    _add_file_parsers(commands)
    return parser


def _add_file_parsers(commands: Any) -> None:
    check = commands.add_parser(
        "check",
        help="check a mesh file for faults (holes, bad orientation, self-intersections)",
        description="Load a mesh, print its check and summary; exit status 1 when it has a fault.",
    )
    check.add_argument("file", type=Path, metavar="FILE", help="mesh file: .ply, .obj, .stl (or .glb, .off, ...)")
    convert = commands.add_parser(
        "convert",
        help="convert a mesh file to another format",
        description="Load a mesh and write it in the format of OUT's suffix.",
    )
    convert.add_argument("input", type=Path, metavar="IN", help="mesh file to read")
    convert.add_argument("output", type=Path, metavar="OUT", help="mesh file to write")


def _add_mesh_parser(commands: Any) -> None:
    sub = commands.add_parser(
        "mesh",
        help="mesh a built-in shape or a field from a Python file",
        description="Mesh a shape and write it to a file, optionally with a PNG preview.",
        epilog=MESH_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.add_argument("shape", metavar="SHAPE", help="built-in shape name or FILE.py:NAME")
    sub.add_argument(
        "-o",
        "--output",
        required=True,
        type=Path,
        metavar="PATH",
        help="mesh file to write: .ply, .obj, .stl (or .glb, .off, ... with trimesh)",
    )
    sub.add_argument(
        "--preview", type=Path, metavar="PICTURE", help="also write a shaded picture (.png, .jpg, .svg, ...)"
    )
    sub.add_argument(
        "--bounds",
        type=float,
        nargs=6,
        metavar=("X0", "Y0", "Z0", "X1", "Y1", "Z1"),
        help="box to mesh in (default: the shape's own bounds)",
    )
    sub.add_argument(
        "--workers",
        type=int,
        metavar="N",
        help="evaluate the field in N processes (the field must be picklable)",
    )
    _add_option_flags(sub)


def _add_option_flags(parser: argparse.ArgumentParser) -> None:
    """A flag for every option of quarvel.mesh that has one, with its default."""
    groups: dict[str, Any] = {}
    for option in dataclasses.fields(MeshOptions):
        cli = option.metadata["cli"]
        if cli is None:
            continue
        target = parser
        if cli["group"] is not None:
            if cli["group"] not in groups:
                groups[cli["group"]] = parser.add_mutually_exclusive_group()
            target = groups[cli["group"]]
        flag = cli["flag"] or "--" + option.name.replace("_", "-")
        extra: dict[str, Any]
        if cli["type"] is not None:
            extra = {"type": cli["type"], "metavar": cli["metavar"]}
        elif cli["choices"] is not None:
            extra = {"choices": cli["choices"]}
        elif option.default is False:
            extra = {"action": "store_true"}
        else:
            extra = {"action": argparse.BooleanOptionalAction}
        target.add_argument(flag, dest=option.name, default=option.default, help=cli["help"], **extra)


def _list_shapes() -> int:
    print("built-in shapes (quarvel mesh NAME -o out.ply):")
    width = max(map(len, BUILTINS))
    text_width = max(len(entry.description) for entry in BUILTINS.values())
    for name, entry in BUILTINS.items():
        print(f"  {name:<{width}}  {entry.description:<{text_width}}  bounds {entry.make().bounds}")
    return 0


def _load_mesh(path: Path) -> Mesh:
    try:
        return Mesh.load(path)
    except (OSError, ValueError, ImportError) as error:
        raise CliError(f"cannot read '{path}': {error}", FAILURE) from None


def _check_command(path: Path) -> int:
    loaded = _load_mesh(path)
    with _failures_reported("checking"):
        report = loaded.check()
    print(report)
    print(loaded.summary())
    return 0 if report.ok else FAILURE


def _convert_command(source: Path, target: Path) -> int:
    # The output's format and place are checked before the input is read.
    try:
        mesh_format(target)
    except ValueError as error:
        raise CliError(str(error), USAGE_ERROR) from None
    except ImportError as error:
        raise CliError(str(error), FAILURE) from None
    _check_writable(target)
    loaded = _load_mesh(source)
    try:
        loaded.save(target)
    except (OSError, ImportError) as error:
        raise CliError(f"cannot write: {error}", FAILURE) from None
    print(f"wrote {target}: {loaded.summary()}")
    return 0


def _mesh_command(args: argparse.Namespace) -> int:
    _check_arguments(args)
    field, bounds = _resolve_field(args.shape, args.bounds)
    _check_bounds(field, bounds, args)
    start = time.perf_counter()
    if args.tiles is not None and args.preview is None and args.output.suffix.lower() in (".ply", ".stl"):
        stats = _stream_mesh(field, bounds, args)
        seconds = time.perf_counter() - start
        print(
            f"meshed {args.shape} in {seconds:.2f} s at depth {stats['max_depth']} (cells {stats['cell_size']:.3g}) "
            f"in {stats['tiles']:,} tiles: {stats['vertices']:,} vertices, {stats['triangles']:,} triangles, "
            f"area {stats['area']:.6g}, volume {stats['volume']:.6g}, {stats['pieces']:,} "
            f"{'piece' if stats['pieces'] == 1 else 'pieces'}"
        )
        print(f"wrote {args.output}")
        return 0
    result = _run_mesh(field, bounds, args)
    seconds = time.perf_counter() - start
    depth, cell = result.stats["max_depth"], result.stats["cell_size"]
    print(f"meshed {args.shape} in {seconds:.2f} s at depth {depth} (cells {cell:.3g}): {result.summary()}")
    _write(result, args.output, args.preview)
    return 0


def _check_arguments(args: argparse.Namespace) -> None:
    """Reject bad values before any work, so that mistakes cost no time."""
    try:
        # With --voxel-size the depth is known once the bounds are.
        finest = DEFAULT_MAX_DEPTH if args.max_depth is None else args.max_depth
        check_depths(args.min_depth, MAX_DEPTH_LIMIT if args.voxel_size is not None else finest)
        check_batch_size(args.batch_size)
        # With --tiles the workers mesh tiles, each evaluating its shape where it runs.
        check_native(args.native, args.batch_size, None if args.tiles else args.workers)
        if args.workers is not None and args.workers < 1:
            raise ValueError(f"--workers must be at least 1 (got {args.workers})")
        if args.lipschitz is not None:
            lipschitz_factor(None, args.lipschitz)
        mesh_format(args.output)
        if args.preview is not None:
            preview_format(args.preview)
    except ValueError as error:
        raise CliError(str(error), USAGE_ERROR) from None
    except ImportError as error:
        raise CliError(str(error), FAILURE) from None
    if args.preview is not None:
        _check_writable(args.preview)
    _check_writable(args.output)


def _check_writable(path: Path) -> None:
    """Refuses, before any work, an output that saving would refuse or fail on."""
    try:
        target, mode = writable_target(path)
    except OSError as error:
        raise CliError(f"cannot write '{path}': {error.strerror}", FAILURE) from None
    if mode is not None and not stat.S_ISREG(mode):
        # A device or FIFO is written into where it is: no new file beside it.
        if not os.access(target, os.W_OK):
            raise CliError(f"cannot write '{path}': permission denied", FAILURE)
        return
    if not target.parent.is_dir():
        raise CliError(f"cannot write '{path}': no directory '{target.parent}'", FAILURE)
    if not os.access(target.parent, os.W_OK):
        raise CliError(f"cannot write '{path}': permission denied", FAILURE)


def _resolve_field(shape: str, bounds: list[float] | None) -> tuple[Any, Bounds | None]:
    box = None if bounds is None else Bounds.of(bounds[:3], bounds[3:])
    if shape in BUILTINS:
        return builtin(shape), box
    path, _, name = shape.rpartition(":") if ".py:" in shape else (shape, "", "field")
    if not path.endswith(".py"):
        known = ", ".join(BUILTINS)
        raise CliError(
            f"unknown shape '{shape}' (built-in shapes: {known}; or give FILE.py:NAME)", USAGE_ERROR
        )
    field = _load_field(Path(path), name)
    if box is None:
        with _failures_reported("reading the bounds"):
            own = getattr(field, "bounds", None)
        if own is None:
            raise CliError(f"field '{name}' has no bounds: pass --bounds X0 Y0 Z0 X1 Y1 Z1", USAGE_ERROR)
    return field, box


def _check_bounds(field: Any, box: Bounds | None, args: argparse.Namespace) -> None:
    with _failures_reported("reading the bounds", usage_errors=(TypeError, ValueError)):
        searched = search_box(field, box, args.iso, args.margin)
        if args.voxel_size is not None:
            check_depths(args.min_depth, finest_depth(searched, None, args.voxel_size, args.min_depth))


def _load_field(path: Path, name: str) -> Any:
    if not path.is_file():
        raise CliError(f"no such file: '{path}'", USAGE_ERROR)
    module_source = importlib.util.spec_from_file_location(f"quarvel_user_{path.stem}", path)
    if module_source is None or module_source.loader is None:
        raise CliError(f"cannot load '{path}' as Python", USAGE_ERROR)
    module = importlib.util.module_from_spec(module_source)
    # Registered, so that pickle finds its functions by name (--workers).
    sys.modules[module_source.name] = module
    # As `python FILE` would, so that the file imports the modules beside it.
    folder = str(path.resolve().parent)
    if folder not in sys.path:
        sys.path.insert(0, folder)
    with _failures_reported(f"loading '{path}'"):
        module_source.loader.exec_module(module)
    field = getattr(module, name, None)
    if field is None:
        raise CliError(f"'{path}' defines no '{name}'", USAGE_ERROR)
    if not callable(field):
        raise CliError(f"'{name}' in '{path}' is a {type(field).__name__}, not a field", USAGE_ERROR)
    return field


def _run_mesh(field: Any, bounds: Bounds | None, args: argparse.Namespace) -> Mesh:
    with _failures_reported("meshing", plain_errors=(NoSurfaceError,)), _executor(args.workers) as executor:
        options = {f.name: getattr(args, f.name) for f in dataclasses.fields(MeshOptions) if f.metadata["cli"]}
        return mesh(field, bounds, executor=executor, **options)


def _stream_mesh(field: Any, bounds: Bounds | None, args: argparse.Namespace) -> dict[str, Any]:
    """Tiles streamed to the output as they are joined: the whole mesh is never held."""
    with _failures_reported("meshing", plain_errors=(NoSurfaceError,)), _executor(args.workers) as executor:
        options = {f.name: getattr(args, f.name) for f in dataclasses.fields(MeshOptions) if f.metadata["cli"]}
        return mesh_to_file(field, args.output, bounds, executor=executor, **options)


def _executor(workers: int | None) -> contextlib.AbstractContextManager[Executor | None]:
    """A process pool of ``workers`` processes, or none."""
    if workers is None:
        return contextlib.nullcontext()
    return ProcessPoolExecutor(workers)


@contextlib.contextmanager
def _failures_reported(
    action: str,
    usage_errors: tuple[type[Exception], ...] = (),
    plain_errors: tuple[type[Exception], ...] = (),
) -> Iterator[None]:
    """Ends the command with "{action} failed: ..." for any exception from the
    user's code, SystemExit and GeneratorExit included: a field must not end the
    command as a success, nor in a traceback.  Ctrl-C still interrupts.
    ``usage_errors`` end it with status 2 and ``plain_errors`` with status 1,
    each with the exception's own message."""
    try:
        yield
    except (CliError, KeyboardInterrupt):
        raise
    except usage_errors as error:
        raise CliError(_message(error), USAGE_ERROR) from None
    except plain_errors as error:
        raise CliError(_message(error), FAILURE) from None
    except BaseException as error:
        message = _message(error)
        if type(error).__name__ == "PanicException":
            raise CliError(f"internal error in the engine: {message}", FAILURE) from None
        text = f"{type(error).__name__}: {message}" if message else type(error).__name__
        raise CliError(f"{action} failed: {text}", FAILURE) from None


def _message(error: BaseException) -> str:
    """The exception's text; the user's exception may fail to give one, and
    that must not turn the report into a traceback."""
    try:
        return str(error)
    except Exception:
        return f"<{type(error).__name__} whose message could not be read>"


def _write(result: Mesh, output: Path, preview: Path | None) -> None:
    try:
        result.save(output)
        print(f"wrote {output}")
        if preview is not None:
            result.preview(preview)
            print(f"wrote {preview}")
    except (OSError, ImportError) as error:
        raise CliError(f"cannot write: {error}", FAILURE) from None
