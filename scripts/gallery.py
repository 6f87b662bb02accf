"""Render the built-in shapes into small PNG pictures for the README gallery.

    python scripts/gallery.py                 # all built-ins into docs/gallery/
    python scripts/gallery.py torus csg --depth 8 --size 320

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


def render(name: str, depth: int, size: int, out: Path) -> str:
    """Mesh and draw one built-in; return its Markdown table row."""
    start = time.perf_counter()
    mesh = quarvel.mesh(quarvel.builtin(name), max_depth=depth)
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
    parser.add_argument("names", nargs="*", default=list(quarvel.BUILTINS), help="built-in shapes to draw")
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
