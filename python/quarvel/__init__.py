"""Implicit surfaces to watertight triangle meshes, by adaptive octree dual contouring.

>>> import quarvel
>>> shape = quarvel.torus(1.0, 0.3) | quarvel.sphere(0.5)
>>> m = quarvel.mesh(shape, max_depth=6)
>>> m.save("shape.ply")

The heavy lifting is done by the extension module ``_quarvel_rs``; this
package adds ready-made shapes, looser field conventions, mesh files,
previews and the ``quarvel`` command line.
"""

from ._bounds import Bounds
from .shapes.builtins import BUILTINS, builtin
from .meshes.check import MeshCheck
from .shapes.program import CompileError, Program
from .meshing.options import MeshOptions
from .meshing.pipeline import NoSurfaceError, mesh, mesh_to_file
from .meshing.fields import as_field
from .meshes.mesh import Mesh
from .shapes.primitives import (
    box,
    capsule,
    cone,
    cylinder,
    ellipsoid,
    gyroid,
    plane,
    rounded_box,
    schwarz_p,
    sphere,
    torus,
)
from .shapes.base import (
    Shape,
    circular_array,
    linear_array,
    mirror,
    bend,
    difference,
    intersection,
    offset,
    orient,
    repeat,
    rotate,
    scale,
    shell,
    smooth_difference,
    smooth_intersection,
    smooth_union,
    translate,
    twist,
    union,
)
from .shapes.planar import Shape2D, circle, polygon, rectangle
from .shapes.text import text
from .shapes.lattices import lattice
from .shapes.helix import helix, thread
from .shapes.edges import (
    chamfer_difference,
    chamfer_intersection,
    chamfer_union,
    fillet_difference,
    fillet_intersection,
    fillet_union,
)

__all__ = [
    "BUILTINS",
    "Bounds",
    "CompileError",
    "Mesh",
    "MeshCheck",
    "MeshOptions",
    "NoSurfaceError",
    "Program",
    "Shape",
    "Shape2D",
    "as_field",
    "bend",
    "box",
    "builtin",
    "capsule",
    "chamfer_difference",
    "chamfer_intersection",
    "chamfer_union",
    "circle",
    "circular_array",
    "cone",
    "cylinder",
    "difference",
    "ellipsoid",
    "fillet_difference",
    "fillet_intersection",
    "fillet_union",
    "gyroid",
    "helix",
    "intersection",
    "lattice",
    "linear_array",
    "mesh",
    "mesh_to_file",
    "mirror",
    "offset",
    "orient",
    "plane",
    "polygon",
    "rectangle",
    "repeat",
    "rotate",
    "rounded_box",
    "scale",
    "schwarz_p",
    "shell",
    "smooth_difference",
    "smooth_intersection",
    "smooth_union",
    "sphere",
    "text",
    "thread",
    "torus",
    "translate",
    "twist",
    "union",
]

__version__ = "0.1.0"
