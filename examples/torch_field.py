"""A torch module as a field, its gradients from autograd.

The mesher hands the field a NumPy (N, 3) float64 array; the wrapper turns it
into a tensor, runs the module without building a graph for the values it
only reads, and returns values and gradients, which quarvel converts back
(CPU tensors convert directly; move GPU results with ``.cpu()``).
``batch_size`` keeps each call within the device's memory.

Without torch installed the script says so and exits cleanly:

    pip install torch        # optional
    python examples/torch_field.py [--fast]
"""

from __future__ import annotations

import sys


def main() -> None:
    try:
        import torch
    except ImportError:
        print("torch is not installed (pip install torch): skipping this example")
        return

    import quarvel as qv

    class Capsule(torch.nn.Module):
        """A capsule's distance; any network taking (N, 3) points works alike."""

        def __init__(self, radius: float, half_length: float) -> None:
            super().__init__()
            self.radius = radius
            self.half_length = half_length

        def forward(self, p: torch.Tensor) -> torch.Tensor:
            axis = torch.clamp(p[:, 2], -self.half_length, self.half_length)
            nearest = torch.stack([torch.zeros_like(axis), torch.zeros_like(axis), axis], dim=1)
            return torch.linalg.norm(p - nearest, dim=1) - self.radius

    model = Capsule(0.3, 0.5).double()

    def field(points):
        p = torch.tensor(points, requires_grad=True)  # a copy: the batch is the mesher's
        values = model(p)
        (gradients,) = torch.autograd.grad(values.sum(), p)
        return values.detach(), gradients

    depth = 5 if "--fast" in sys.argv else 7
    mesh = qv.mesh(field, ((-0.4, -0.4, -0.9), (0.4, 0.4, 0.9)), max_depth=depth, batch_size=100_000, progress=False)
    print(f"torch capsule at depth {depth}: {mesh.summary()}")
    print(f"  {mesh.stats['evaluations']:,} evaluations in {mesh.stats['batches']} batches")


if __name__ == "__main__":
    main()
