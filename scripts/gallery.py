"""Render the built-in shapes and the lattice kinds into small PNG pictures for the README gallery.

    python scripts/gallery.py                 # all built-ins and lattices into docs/gallery/
    python scripts/gallery.py torus csg lattice_iwp --depth 8 --size 320

Each picture is meshed with quarvel.mesh, drawn with Mesh.preview and then
reduced to a 256-colour palette so that it stays a few tens of kilobytes.
Prints a Markdown table of the pictures with their mesh figures.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

from PIL import Image

import quarvel

OUT = Path(__file__).resolve().parents[1] / "docs" / "gallery"

# Each lattice kind as a sheet, two cells across a cube.
LATTICES = {
    f"lattice_{kind}": (lambda kind=kind: quarvel.lattice(kind, 0.8, 0.06) & quarvel.box(1.6))
    for kind in ("gyroid", "schwarz_p", "schwarz_d", "neovius", "lidinoid", "frd", "iwp")
}


def shape_of(name: str) -> quarvel.Shape:
    """A built-in, or one of the lattice pictures."""
    return LATTICES[name]() if name in LATTICES else quarvel.builtin(name)


def render(name: str, depth: int, size: int, out: Path) -> str:
    """Mesh and draw one picture; return its Markdown table row."""
    start = time.perf_counter()
    mesh = quarvel.mesh(shape_of(name), max_depth=depth)
    seconds = time.perf_counter() - start
    path = mesh.preview(out / f"{name}.png", size=size)
    shrink(path)
    closed = "yes" if mesh.is_watertight else "no"
    picture = f"![{name}](docs/gallery/{name}.png)"
    return f"| {picture} | `{name}` | {len(mesh.triangles):,} | {closed} | {seconds:.1f} s |"


def shrink(path: Path) -> None:
    """Re-save the PNG with a 256-colour palette: a fraction of the size, same look."""
    with Image.open(path) as image:
        palette = image.convert("RGB").quantize(colors=256, dither=Image.Dither.NONE)
    palette.save(path, optimize=True)


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "names", nargs="*", default=[*quarvel.BUILTINS, *LATTICES], help="built-in shapes and lattices to draw"
    )
    parser.add_argument("--depth", type=int, default=7, help="max_depth of the meshes (default 7)")
    parser.add_argument("--size", type=int, default=240, help="picture width and height in pixels")
    parser.add_argument("--out", type=Path, default=OUT, help="folder for the pictures")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    print("| picture | shape | triangles | watertight | meshing time |")
    print("|---|---|---:|---|---:|")
    for name in args.names:
        print(render(name, args.depth, args.size, args.out), flush=True)


if __name__ == "__main__":
    main()
