"""A NumPy multilayer perceptron as a neural field, with and without gradients.

The network has one tanh hidden layer.  Its first layer is random and its
output layer is fitted by least squares to a torus's distance, which takes a
fraction of a second and gives a smooth learned-looking field.  Written by
hand, the network also gives its exact gradients, and the mesher then needs
fewer evaluations than with values alone.  ``batch_size`` caps the points
of one call, as a GPU's memory would.

    python examples/numpy_mlp.py [--fast]
"""

from __future__ import annotations

import sys
import time

import numpy as np

import quarvel as qv

BOUNDS = ((-1.5, -1.5, -0.6), (1.5, 1.5, 0.6))


class MLP:
    """tanh(p @ w1 + b1) @ w2 + b2, evaluated batch by batch."""

    def __init__(self, hidden: int, seed: int = 0) -> None:
        rng = np.random.default_rng(seed)
        self.w1 = rng.normal(scale=3.0, size=(3, hidden))
        self.b1 = rng.normal(scale=2.0, size=hidden)
        self.w2 = np.zeros(hidden)
        self.b2 = 0.0

    def hidden(self, p: np.ndarray) -> np.ndarray:
        return np.tanh(p @ self.w1 + self.b1)

    def fit(self, points: np.ndarray, targets: np.ndarray) -> float:
        """Fit the output layer by least squares; return the largest error."""
        h = np.hstack([self.hidden(points), np.ones((len(points), 1))])
        solution, *_ = np.linalg.lstsq(h, targets, rcond=None)
        self.w2, self.b2 = solution[:-1], float(solution[-1])
        return float(np.abs(h @ solution - targets).max())

    def values(self, p: np.ndarray) -> np.ndarray:
        return self.hidden(p) @ self.w2 + self.b2

    def values_and_gradients(self, p: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        h = self.hidden(p)
        # d/dp of tanh(p w1 + b1) w2 = ((1 - h^2) * w2) w1^T
        return h @ self.w2 + self.b2, ((1.0 - h * h) * self.w2) @ self.w1.T


def torus_distance(p: np.ndarray) -> np.ndarray:
    ring = np.hypot(p[:, 0], p[:, 1]) - 1.0
    return np.hypot(ring, p[:, 2]) - 0.35


def main() -> None:
    fast = "--fast" in sys.argv
    depth = 5 if fast else 7
    rng = np.random.default_rng(1)
    samples = rng.uniform(BOUNDS[0], BOUNDS[1], size=(20_000, 3))
    net = MLP(hidden=256)
    start = time.perf_counter()
    error = net.fit(samples, torus_distance(samples))
    print(f"fitted 256 hidden units in {time.perf_counter() - start:.2f} s, largest error {error:.3f}")

    for label, field in [("values only", net.values), ("with gradients", net.values_and_gradients)]:
        # A fitted network may overstate the distance a little: lipschitz 1.5
        # keeps the mesher's proof that empty cells are empty.
        mesh = qv.mesh(field, BOUNDS, max_depth=depth, batch_size=50_000, lipschitz=1.5, progress=False)
        stats = mesh.stats
        print(
            f"{label:>15}: {stats['evaluations']:>9,} evaluations in {stats['batches']} batches, "
            f"{stats['seconds']:.2f} s; {mesh.summary()}"
        )


if __name__ == "__main__":
    main()
