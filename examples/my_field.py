"""A field file for the command line, as the README shows:

    quarvel mesh examples/my_field.py:field -o field.stl
    quarvel mesh examples/my_field.py:field --voxel-size 0.01 -o fine.ply --preview fine.png
    quarvel mesh examples/my_field.py:rounded -o rounded.ply

``field`` is a plain function: it takes one (N, 3) float64 array of points
and returns N values, negative inside.  Its ``bounds`` attribute tells the
command line where to look (else pass ``--bounds X0 Y0 Z0 X1 Y1 Z1``).
``rounded`` is a quarvel shape, which knows its bounds and gradients.
"""

from __future__ import annotations

import numpy as np

import quarvel as qv


def field(points: np.ndarray) -> np.ndarray:
    """A blob: a ball of radius 0.7 whose radius swells by 0.1 along a wave.

    Array operations only (np.sin, not math.sin): the whole batch at once."""
    x, y, z = points[:, 0], points[:, 1], points[:, 2]
    radius = 0.7 + 0.1 * np.sin(4.0 * x) * np.sin(4.0 * y) * np.sin(4.0 * z)
    # Scaled down by the steepest the wave can make it, so that the values
    # never overstate the distance (the mesher proves cells empty with them).
    return (np.sqrt(x * x + y * y + z * z) - radius) / 1.7


field.bounds = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))

rounded = qv.rounded_box((1.6, 1.0, 0.6), 0.15) - qv.cylinder(0.3, 2.0)
