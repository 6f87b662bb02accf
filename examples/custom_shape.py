"""A custom Shape: a superellipsoid-like "squircle" ball with exact bounds.

Subclass :class:`quarvel.Shape`, set ``bounds`` (and ``lipschitz`` when the
values may overstate the distance), and compute values and gradients for an
(N, 3) array in ``_eval``.  The shape then combines, moves and meshes like
the built-in ones.

    python examples/custom_shape.py [--fast]
"""

from __future__ import annotations

import math
import sys

import numpy as np

import quarvel as qv


class Squircle(qv.Shape):
    """The set |x|^4 + |y|^4 + |z|^4 <= r^4, by the distance-like field
    f = (sum |p_i|^4)^(1/4) - r.

    f is the 4-norm of p minus r.  The 4-norm is at most the 2-norm, and
    changes by at most 1 per unit of distance (its gradient has 4/3-norm 1,
    so 2-norm at most 1), so |f| never overstates the distance: lipschitz 1.
    """

    def __init__(self, radius: float) -> None:
        self.radius = float(radius)
        self.bounds = qv.Bounds.of(-self.radius, self.radius)
        self.lipschitz = 1.0

    def _eval(self, p: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        norm = np.sum(p**4, axis=1) ** 0.25
        safe = np.maximum(norm, 1e-100)[:, None]  # its cube must not underflow
        gradients = p**3 / safe**3  # d/dp of the 4-norm
        return norm - self.radius, gradients

    def __repr__(self) -> str:
        return f"Squircle({self.radius})"


def main() -> None:
    depth = 5 if "--fast" in sys.argv else 7
    squircle = Squircle(0.8)
    mesh = qv.mesh(squircle, max_depth=depth, progress=False)
    exact = 8 * 0.8**3 * math.gamma(1.25) ** 3 / math.gamma(1.75)
    print(f"{squircle!r} at depth {depth}: {mesh.summary()}")
    print(f"  volume {mesh.volume:.5f}, exact {exact:.5f}")
    # It combines like any shape: a squircle with a round hole through it.
    drilled = squircle - qv.cylinder(0.3, 2.0).rotate(90, (1, 0, 0))
    print(f"{drilled!r}: {qv.mesh(drilled, max_depth=depth, progress=False).summary()}")


if __name__ == "__main__":
    main()
