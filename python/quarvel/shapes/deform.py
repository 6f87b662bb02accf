"""Deformations of space: twist, bend and repetition.

Each evaluates its shape at warped points and carries the gradient back
through the warp's Jacobian.  A warp that stretches space would make the
values overstate the distance, so twist and bend divide them by the
largest stretch where the shape lies.
"""

from __future__ import annotations

import itertools
import math

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._bounds import Bounds, vec3
from ..shapes.base import Array, Pair, Shape, Walk, _Node, box_distance, finite


class _Twist(_Node):
    """Turns each slice z = c of the shape by ``rate`` * c radians about the z axis.

    Inside the cylinder K around the shape's bounds (radius ``radius``, the
    same z range) the warp stretches by at most ``stretch``, so the shape's
    values divided by it stay 1-Lipschitz there.  Outside K the value is
    sqrt(d_K^2 + h^2) with h that quotient at the nearest point of K:
    K is convex, so this never exceeds the distance either.
    """

    def __init__(self, shape: Shape, degrees_per_unit: float) -> None:
        box = shape.bounds
        if not all(math.isfinite(c) for c in (*box.lo[:2], *box.hi[:2])):
            raise ValueError("twist needs a shape bounded in x and y")
        self.shape = shape
        self.lipschitz = shape.lipschitz
        # Outside K the values are at least the distance of K.
        self.understatement = 1.0
        self.rate = math.radians(finite(degrees_per_unit, "twist rate"))
        self.radius = max(math.hypot(x, y) for x in (box.lo[0], box.hi[0]) for y in (box.lo[1], box.hi[1]))
        self.z_lo, self.z_hi = box.lo[2], box.hi[2]
        # Largest singular value of the warp's Jacobian at distance `radius` from the axis.
        m = abs(self.rate) * self.radius
        self.stretch = (m + math.sqrt(m * m + 4.0)) / 2.0
        r = self.radius
        self.bounds = Bounds.of((-r, -r, self.z_lo), (r, r, self.z_hi))

    def _walk(self, p: Array) -> Walk:
        x, y, z = p.T
        rho = np.hypot(x, y)
        far = rho > self.radius
        safe_rho = np.where(far, rho, 1.0)
        shrink = np.where(far, self.radius / safe_rho, 1.0)
        kx, ky, kz = x * shrink, y * shrink, np.clip(z, self.z_lo, self.z_hi)
        c, s = np.cos(self.rate * kz), np.sin(self.rate * kz)
        qx, qy = c * kx + s * ky, c * ky - s * kx
        values, g = yield self.shape, np.column_stack([qx, qy, kz])
        h = values / self.stretch
        gh = np.column_stack([
            c * g[:, 0] - s * g[:, 1],
            s * g[:, 0] + c * g[:, 1],
            self.rate * (qy * g[:, 0] - qx * g[:, 1]) + g[:, 2],
        ]) / self.stretch
        # Through the projection onto K: radial and clamped parts drop out.
        ux, uy = x / safe_rho, y / safe_rho
        along = gh[:, 0] * ux + gh[:, 1] * uy
        gk = np.column_stack([
            shrink * (gh[:, 0] - np.where(far, along * ux, 0.0)),
            shrink * (gh[:, 1] - np.where(far, along * uy, 0.0)),
            np.where(kz == z, gh[:, 2], 0.0),
        ])
        to_k = p - np.column_stack([kx, ky, kz])
        d_k = np.linalg.norm(to_k, axis=1)
        # Outside K (where d_k > 0) told by the point's own position, which
        # interval bounds over a box inside K can decide, unlike d_k > 0.
        out = far | (z < self.z_lo) | (z > self.z_hi)
        hp = np.maximum(h, 0.0)
        outer = np.sqrt(d_k**2 + hp**2)
        safe = np.where(outer > 0.0, outer, 1.0)[:, None]
        gradients = np.where(out[:, None], (to_k + hp[:, None] * gk) / safe, gh)
        return np.where(out, outer, h), gradients

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "twist", [self.shape, f"{math.degrees(self.rate):.12g}"]


class _Bend(_Node):
    """Bends the shape's x axis into an arc of radius 1 / ``curvature`` about (0, y, 1/curvature).

    A point at angle theta and distance r from the bend's axis comes from
    (theta / k, y, 1/k - r).  Radial lines keep their length; arcs are
    stretched by 1 / (k r), most on the band's inner side, so the values
    are divided by that there.  A negative curvature bends towards -z: the
    warp is mirrored in z.
    """

    def __init__(self, shape: Shape, degrees_per_unit: float) -> None:
        rate = math.radians(finite(degrees_per_unit, "bend rate"))
        if rate == 0.0:
            raise ValueError("bend rate must not be zero")
        box = shape.bounds
        if not all(math.isfinite(c) for c in (box.lo[0], box.hi[0], box.lo[2], box.hi[2])):
            raise ValueError("bend needs a shape bounded in x and z")
        self.shape, self.curvature = shape, rate
        # Outside the band the values may overstate the distance: beyond the
        # ends of a quarter-turn bend of a bar by two thirds, measured.  Twice
        # the shape's factor covers the bends this allows.
        self.lipschitz = 2.0 * shape.lipschitz
        k = abs(rate)
        self.flip = 1.0 if rate > 0.0 else -1.0
        z_lo, z_hi = sorted((self.flip * box.lo[2], self.flip * box.hi[2]))
        self.r_in, self.r_out = 1.0 / k - z_hi, 1.0 / k - z_lo
        if not self.r_in > 0.0:
            raise ValueError(f"bend too tight: the shape reaches the bend's axis, {1.0 / k:g} from x")
        self.theta_lo, self.theta_hi = k * box.lo[0], k * box.hi[0]
        if max(-self.theta_lo, self.theta_hi) >= math.pi:
            raise ValueError("bend too tight: the shape would wrap more than half a turn either way")
        self.stretch = max(1.0, 1.0 / (k * self.r_in))
        # From a point, the band is at most |dy| + |dr| + r_out |dtheta| away,
        # and those are the shape's own gaps, |dtheta| / k along x.
        if shape.understatement is not None:
            self.understatement = shape.understatement * self.stretch * (2.0 + k * self.r_out)
        self.bounds = self._band_bounds(box)

    def _band_bounds(self, box: Bounds) -> Bounds:
        """The box around the bent band: corners plus the outer arc's turning points."""
        k = abs(self.curvature)
        angles = [self.theta_lo, self.theta_hi]
        angles += [a for a in (-math.pi / 2, 0.0, math.pi / 2) if self.theta_lo < a < self.theta_hi]
        radii = (self.r_in, self.r_out)
        points = [(r * math.sin(a), 1.0 / k - r * math.cos(a)) for a in angles for r in radii]
        xs = [x for x, _ in points]
        zs = sorted(self.flip * z for _, z in points)
        return Bounds.of((min(xs), box.lo[1], zs[0]), (max(xs), box.hi[1], zs[-1]))

    def _walk(self, p: Array) -> Walk:
        k = abs(self.curvature)
        x, y, z = p.T
        dz = 1.0 / k - self.flip * z
        r = np.hypot(x, dz)
        theta = np.arctan2(x, dz)
        values, g = yield self.shape, np.column_stack([theta / k, y, self.flip * (1.0 / k - r)])
        safe_r = np.where(r > 0.0, r, 1.0)
        g0, g2 = g[:, 0], self.flip * g[:, 2]
        # Chain rule through theta = atan2(x, dz) and r = |(x, dz)|, dz = 1/k - flip * z.
        gx = g0 * dz / (k * safe_r**2) - g2 * x / safe_r
        gz = self.flip * (g0 * x / (k * safe_r**2) + g2 * dz / safe_r)
        gradients = np.column_stack([gx, g[:, 1], gz]) / self.stretch
        return values / self.stretch, gradients

    def _repr_parts(self) -> tuple[str, list[object]]:
        return "bend", [self.shape, f"{math.degrees(self.curvature):.12g}"]


class _Repeat(_Node):
    """Copies of a shape at integer multiples of ``spacing``, by evaluating nearby copies.

    Along a repeated axis, the copy nearest to a point of the shape is
    among the ``window`` copies whose index lies in
    [u - 1/2 - reach, u + 1/2 + reach), where u is the point's position in
    spacings from the shape's centre and ``reach`` the shape's half width
    in spacings.  The value is the minimum over those copies of each copy's
    value raised to the signed distance of its box: no point of a copy is
    nearer than its box, so this is still a bound, it equals the union
    wherever the shape's values never undercut its box's, and a copy whose
    box is farther than the best value so far need not be evaluated.  Ties
    go to the first copy in window order, whichever is visited first.
    Along an axis whose copies all fit in the window (``whole``), the
    window is those copies, each once.
    """

    def __init__(self, shape: Shape, spacing: ArrayLike, count: ArrayLike | None) -> None:
        self.shape = shape
        self.lipschitz = shape.lipschitz
        # Each copy's value is at least the distance of its box.
        self.understatement = 1.0
        self.spacing = np.asarray(vec3(spacing, "spacing"))
        repeated = self.spacing > 0.0
        if not np.all((self.spacing >= 0.0) & np.isfinite(self.spacing)) or not np.any(repeated):
            raise ValueError(
                f"spacing must be finite, not negative, and positive along some axis "
                f"(got {tuple(self.spacing.tolist())})"
            )
        count = _counts(count, repeated)
        lo, hi = np.asarray(shape.bounds.lo), np.asarray(shape.bounds.hi)
        if not np.all(np.isfinite(lo[repeated]) & np.isfinite(hi[repeated])):
            raise ValueError("repeat needs a shape bounded along the repeated axes")
        endless = np.isinf(count)
        # Copy indices run over [first, last] per axis: 0..0 where unrepeated.
        self.first = np.where(endless, -np.inf, 0.0)
        self.last = count - 1.0
        lo_r, hi_r = np.where(repeated, lo, 0.0), np.where(repeated, hi, 0.0)
        self.center = (lo_r + hi_r) / 2.0
        self.reach = (hi_r - lo_r) / 2.0 / np.where(repeated, self.spacing, 1.0)
        window = np.ceil(1.0 + 2.0 * self.reach)
        self.whole = ~endless & (window >= count)
        self.window = np.where(self.whole, count, window).astype(int)
        span = np.where(endless, 0.0, self.last) * self.spacing
        self.bounds = Bounds.of(np.where(endless, -np.inf, lo), np.where(endless, np.inf, hi + span))

    def _walk(self, p: Array) -> Walk:
        u = (p - self.center) / np.where(self.spacing > 0.0, self.spacing, 1.0)
        first = np.where(self.whole, 0.0, np.ceil(u - 0.5 - self.reach))
        offsets = np.array(list(itertools.product(*(range(w) for w in self.window))), dtype=np.float64)
        shifts = np.clip(first[None, :, :] + offsets[:, None, :], self.first, self.last) * self.spacing
        gaps = [self._box_gap(p, s) for s in shifts]
        gap_values = np.stack([g for g, _ in gaps])
        # Start from the copy whose box is nearest: it prunes the most.
        rows = np.arange(len(p))
        nearest = gap_values.argmin(axis=0)
        value, gradient = yield self.shape, p - shifts[nearest, rows]
        gap_gradients = np.stack([g for _, g in gaps])[nearest, rows]
        values, gradients = _raised(value, gradient, gap_values[nearest, rows], gap_gradients)
        chosen = nearest.copy()
        for k, shift in enumerate(shifts):
            gap, gap_gradients = gaps[k]
            # A copy's value is at least its gap: it can win only where its gap does.
            (todo,) = np.nonzero((nearest != k) & ((gap < values) | ((gap == values) & (k < chosen))))
            if len(todo):
                v, g = yield self.shape, p[todo] - shift[todo]
                v, g = _raised(v, g, gap[todo], gap_gradients[todo])
                better = (v < values[todo]) | ((v == values[todo]) & (k < chosen[todo]))
                values[todo[better]] = v[better]
                gradients[todo[better]] = g[better]
                chosen[todo[better]] = k
        return values, gradients

    def _box_gap(self, p: Array, shift: Array) -> Pair:
        """Signed distance (N,) and gradient (N, 3) of the copy's box moved by ``shift``."""
        lo, hi = np.asarray(self.shape.bounds.lo), np.asarray(self.shape.bounds.hi)
        above, below = p - hi - shift, lo + shift - p
        dist, dq = box_distance(np.maximum(above, below))
        return dist, dq * np.where(above >= below, 1.0, -1.0)

    def _repr_parts(self) -> tuple[str, list[object]]:
        count = tuple(int(c) + 1 if math.isfinite(c) else None for c in self.last.tolist())
        return "repeat", [self.shape, repr(tuple(self.spacing.tolist())), f"count={count}"]


def _raised(v: Array, g: Array, gap: Array, gap_gradients: Array) -> Pair:
    """A copy's values and gradients, raised to ``gap`` where that is higher (as new arrays)."""
    keep = v >= gap
    return np.where(keep, v, gap), np.where(keep[:, None], g, gap_gradients)


def _counts(count: ArrayLike | None, repeated: NDArray[np.bool_]) -> Array:
    """Copies per axis as floats: inf for endless repetition, 1 along unrepeated axes."""
    if count is None:
        return np.where(repeated, np.inf, 1.0)
    arr = np.asarray(count)
    if arr.ndim == 0:
        arr = np.where(repeated, arr, 1)
    whole = all(isinstance(c, int) and not isinstance(c, bool) for c in arr.reshape(-1).tolist())
    if arr.shape != (3,) or not whole:
        raise ValueError(f"count must be None, a whole number or three (got {count!r})")
    counts = arr.astype(np.float64)
    if np.any(counts < 1.0):
        raise ValueError(f"counts must be at least 1 (got {count!r})")
    if np.any((counts > 1.0) & ~repeated):
        raise ValueError("a count above 1 needs a positive spacing along that axis")
    return counts


def twist(shape: Shape, degrees_per_unit: float) -> Shape:
    """``shape`` twisted about the z axis by ``degrees_per_unit`` for each unit of z.

    The slice at height z turns by ``degrees_per_unit * z`` degrees
    (counter-clockwise seen from +z for a positive rate).  The values are a
    bound on the distance everywhere: the shape's values divided by the
    largest stretch of the twist within its bounding cylinder.  A fast
    twist of a wide shape thus gives small values far from the surface,
    and the mesher samples more finely there.  The shape must be bounded in
    x and y.
    """
    return _Twist(shape, degrees_per_unit)


def bend(shape: Shape, degrees_per_unit: float) -> Shape:
    """``shape`` with its x axis bent into a circular arc in the xz plane.

    The bend turns by ``degrees_per_unit`` for each unit of length along x,
    so the arc's radius is ``180 / (pi * degrees_per_unit)``; the origin
    stays put and a positive rate lifts both ends towards +z.  Lengths
    along the arc at z = 0 are kept.  The shape must be bounded in x and z,
    lie on the near side of the bend's axis, and turn less than half a turn
    either way.

    The values are the shape's values divided by the largest stretch of the
    bend within the bent shape's band, a bound on the distance (gradient of
    length at most 1) inside that band; farther from the shape, between the
    band and the bend's axis or beyond its ends, they keep their sign but
    may exceed the distance; its :attr:`~Shape.lipschitz` is therefore twice
    the shape's.
    """
    return _Bend(shape, degrees_per_unit)


def repeat(shape: Shape, spacing: ArrayLike, count: ArrayLike | None = None) -> Shape:
    """Copies of ``shape`` at every multiple of ``spacing`` along each axis.

    ``spacing`` is one number or three; 0 leaves that axis unrepeated.
    With ``count=None`` the copies go on forever both ways (mesh them
    within explicit bounds, or intersect with a bounded shape); otherwise
    ``count`` (one whole number or three) copies per repeated axis, placed
    at 0, spacing, 2 * spacing, ... from the original, and the bounds cover
    them all.

    The values are those of the union of the copies, exact outside where
    the shape's are.  Each evaluation looks at the copies that can be
    nearest (two per repeated axis when the shape is no wider than the
    spacing, more when copies overlap), and skips those whose box is
    farther away than the best value found; for a shape whose values are
    only a bound the result may then lie above the union's, still a bound.
    The shape must be bounded along the repeated axes.
    """
    return _Repeat(shape, spacing, count)
