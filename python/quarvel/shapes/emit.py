"""The nodes of the modelling library as program instructions.

Each emitter writes the arithmetic of its node's NumPy path, operation for
operation, so that both give the same values; the core differentiates the
tape for the gradients.  Where NumPy picks a gradient by hand (a unit
vector's fallback direction, the first of equal minima), the instructions
follow the same convention (see ``Tape.length`` and ``Tape.min``).

An emitter takes the tape, the node and the registers of the point in the
node's frame.  A leaf returns its value's register; a node with children is
a generator that yields ``(child, coordinates)`` and receives the child's
value (see ``compile_tape``).
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Generator, Sequence

import numpy as np

from .._bounds import Bounds
from ..shapes.program import Coords, Num, Reg, Request, Tape, emits
from ..shapes.deform import _Bend, _Repeat, _Twist
from ..shapes.primitives import _Box, _Capsule, _Cylinder, _Ellipsoid, _Gyroid, _Plane, _Sphere, _Torus
from ..shapes.base import _Difference, _Extremum, _Offset, _Rotate, _Scale, _Shell, _Smooth, _Translate
from ..shapes.planar import _Circle, _Extrude, _Polygon, _Rectangle, _Revolve

Walk = Generator[Request, Reg, Reg]


# ---------------------------------------------------------------- helpers of _sdf


def box_distance(t: Tape, q: Sequence[Num]) -> Reg:
    """``box_distance``: outer length plus min(largest q, 0)."""
    outer = t.length([t.max(x, 0.0) for x in q], None)
    largest = q[0]
    for x in q[1:]:
        largest = t.max(largest, x)
    return t.add(outer, t.min(largest, 0.0))


def rounded_box_distance(t: Tape, d: Sequence[Num], half: np.ndarray, radius: float) -> Reg:
    """``rounded_box_distance`` at offsets ``d`` from the centre."""
    q = [t.sub(t.abs(x), float(h) - radius) for x, h in zip(d, half)]
    return t.sub(box_distance(t, q), radius)


def clip_to_bounds(t: Tape, value: Reg, p: Coords, box: Bounds) -> Reg:
    """``clip_to_bounds``: max(value, distance of the box); the value on ties."""
    lo, hi = box.lo, box.hi
    if not any(math.isfinite(c) for c in (*lo, *hi)):
        return value
    # p - hi first: on ties its side gives the gradient, as in NumPy.
    q: list[Num] = [t.max(t.sub(x, h), t.sub(l, x)) for x, l, h in zip(p, lo, hi)]
    return t.max(value, box_distance(t, q))


def offsets(t: Tape, p: Sequence[Num], center: np.ndarray) -> list[Reg]:
    """p - center, coordinate by coordinate."""
    return [t.sub(x, float(c)) for x, c in zip(p, center)]


def radial(t: Tape, p: Coords) -> Reg:
    """The distance from the z axis; its direction falls back to +x on the axis."""
    return t.length(p[:2], 0)


def dot(t: Tape, p: Sequence[Num], v: Sequence[float] | np.ndarray) -> Reg:
    """p . v summed left to right, skipping zero weights."""
    terms = [t.mul(x, float(w)) for x, w in zip(p, v) if w != 0.0]
    total: Num = terms[0] if terms else 0.0
    for term in terms[1:]:
        total = t.add(total, term)
    return t.reg(total)


# ---------------------------------------------------------------- Booleans and thickness


@emits(_Extremum)
def _extremum(t: Tape, node: _Extremum, p: Coords) -> Walk:
    combine = t.max if node.take_max else t.min
    result = yield node.shapes[0], p
    for shape in node.shapes[1:]:
        result = combine(result, (yield shape, p))
    return result


@emits(_Difference)
def _difference(t: Tape, node: _Difference, p: Coords) -> Walk:
    a = yield node.a, p
    b = yield node.b, p
    return t.max(a, t.neg(b))


@emits(_Smooth)
def _smooth(t: Tape, node: _Smooth, p: Coords) -> Walk:
    a = yield node.a, p
    b = yield node.b, p
    if node.kind == "union":
        return clip_to_bounds(t, t.smooth_min(a, b, node.k), p, node.bounds)
    # -smin(-a, -b) and -smin(-a, b).
    sb = t.neg(b) if node.kind == "intersection" else b
    return t.neg(t.smooth_min(t.neg(a), sb, node.k))


@emits(_Offset)
def _offset(t: Tape, node: _Offset, p: Coords) -> Walk:
    value = t.sub((yield node.shape, p), node.distance)
    return clip_to_bounds(t, value, p, node.bounds) if node.distance > 0.0 else value


@emits(_Shell)
def _shell(t: Tape, node: _Shell, p: Coords) -> Walk:
    d = t.sub((yield node.shape, p), node.middle)
    value = t.sub(t.abs(d), node.thickness / 2.0)
    return clip_to_bounds(t, value, p, node.bounds) if node.middle + node.thickness / 2.0 > 0.0 else value


# ---------------------------------------------------------------- transforms


@emits(_Translate)
def _translate(t: Tape, node: _Translate, p: Coords) -> Walk:
    return (yield node.shape, offsets(t, p, node.shift))


@emits(_Scale)
def _scale(t: Tape, node: _Scale, p: Coords) -> Walk:
    value = yield node.shape, [t.div(x, float(f)) for x, f in zip(p, node.factor)]
    return t.mul(float(node.factor.min()), value)


@emits(_Rotate)
def _rotate(t: Tape, node: _Rotate, p: Coords) -> Walk:
    # p @ matrix: column j weighs the point's coordinates.
    return (yield node.shape, [dot(t, p, node.matrix[:, j]) for j in range(3)])


# ---------------------------------------------------------------- primitives


@emits(_Sphere, _Circle)
def _ball(t: Tape, node: _Sphere | _Circle, p: Coords) -> Reg:
    # At the centre the gradient is +z for a sphere, +x for a circle, as in NumPy.
    return t.sub(t.length(offsets(t, p, node.center), 2 if len(p) == 3 else 0), node.radius)


@emits(_Box, _Rectangle)
def _rounded_box(t: Tape, node: _Box | _Rectangle, p: Coords) -> Reg:
    return rounded_box_distance(t, offsets(t, p, node.center), node.half, node.radius)


@emits(_Torus)
def _torus(t: Tape, node: _Torus, p: Coords) -> Reg:
    q = [t.sub(radial(t, p), node.major), p[2]]
    return t.sub(t.length(q, 1), node.minor)


@emits(_Cylinder)
def _cylinder(t: Tape, node: _Cylinder, p: Coords) -> Reg:
    q = [t.sub(radial(t, p), node.radius), t.sub(t.abs(p[2]), node.height / 2.0)]
    return box_distance(t, q)


@emits(_Capsule)
def _capsule(t: Tape, node: _Capsule, p: Coords) -> Reg:
    ab = node.b - node.a
    length2 = float(ab @ ab)
    nearest: list[Num] = [float(a) for a in node.a]
    if length2 > 0.0:
        along = t.div(dot(t, offsets(t, p, node.a), ab), length2)
        # The nearest point moves with p, but d stays normal to the segment: the
        # gradient is d / |d|, as NumPy's unit vector, with its fallback.
        along = t.detach(t.clip(along, 0.0, 1.0))
        nearest = [t.add(float(a), t.mul(along, float(e))) for a, e in zip(node.a, ab)]
    d = [t.sub(x, n) for x, n in zip(p, nearest)]
    return t.sub(t.length(d, 2), node.radius)


@emits(_Plane)
def _plane(t: Tape, node: _Plane, p: Coords) -> Reg:
    return t.sub(dot(t, p, node.normal), node.level)


@emits(_Gyroid)
def _gyroid(t: Tape, node: _Gyroid, p: Coords) -> Reg:
    k = 2.0 * math.pi / node.period
    kp = [t.mul(k, x) for x in p]
    (sx, sy, sz), (cx, cy, cz) = [t.sin(x) for x in kp], [t.cos(x) for x in kp]
    g = t.div(t.add(t.add(t.mul(sx, cy), t.mul(sy, cz)), t.mul(sz, cx)), k)
    if node.thickness is None:
        return g
    return t.sub(t.abs(g), node.thickness / 2.0)


@emits(_Ellipsoid)
def _ellipsoid(t: Tape, node: _Ellipsoid, p: Coords) -> Reg:
    d = offsets(t, p, node.center)
    radii = [float(r) for r in node.radii]
    # At the centre the gradient falls back to the shortest axis.
    k0 = t.length([t.div(x, r) for x, r in zip(d, radii)], int(node.radii.argmin()))
    k1 = t.length([t.div(x, r * r) for x, r in zip(d, radii)], None)
    safe_k1 = t.select(t.less(0.0, k1), k1, 1.0)
    outer = t.div(t.mul(k0, t.sub(k0, 1.0)), safe_k1)
    inner = t.mul(float(node.radii.min()), t.sub(k0, 1.0))
    return t.select(t.less(1.0, k0), outer, inner)


# ---------------------------------------------------------------- solids from the plane


@emits(_Polygon)
def _polygon(t: Tape, node: _Polygon, q: Coords) -> Reg:
    return t.polygon(q[0], q[1], node.vertices, node.normals)


@emits(_Extrude)
def _extrude(t: Tape, node: _Extrude, p: Coords) -> Walk:
    d2 = yield node.profile, p[:2]
    dz = t.sub(p[2], node.middle)
    return box_distance(t, [d2, t.sub(t.abs(dz), node.height / 2.0)])


@emits(_Revolve)
def _revolve(t: Tape, node: _Revolve, p: Coords) -> Walk:
    return (yield node.profile, [t.sub(radial(t, p), node.radius_offset), p[2]])


# ---------------------------------------------------------------- deformations


@emits(_Twist)
def _twist(t: Tape, node: _Twist, p: Coords) -> Walk:
    x, y, z = p
    rho = radial(t, p)
    shrink = t.select(t.less(node.radius, rho), t.div(node.radius, rho), 1.0)
    kx, ky, kz = t.mul(x, shrink), t.mul(y, shrink), t.clip(z, node.z_lo, node.z_hi)
    angle = t.mul(node.rate, kz)
    c, s = t.cos(angle), t.sin(angle)
    qx = t.add(t.mul(c, kx), t.mul(s, ky))
    qy = t.sub(t.mul(c, ky), t.mul(s, kx))
    h = t.div((yield node.shape, [qx, qy, kz]), node.stretch)
    # Outside the cylinder K: sqrt(d_K^2 + max(h, 0)^2) from the nearest point of K.
    d_k = t.length([t.sub(x, kx), t.sub(y, ky), t.sub(z, kz)], None)
    outer = t.length([d_k, t.max(h, 0.0)], None)
    outside = t.less(node.radius, rho)
    if node.z_lo > -math.inf:
        outside = t.max(outside, t.less(z, node.z_lo))
    if node.z_hi < math.inf:
        outside = t.max(outside, t.less(node.z_hi, z))
    return t.select(outside, outer, h)


@emits(_Bend)
def _bend(t: Tape, node: _Bend, p: Coords) -> Walk:
    x, y, z = p
    k = abs(node.curvature)
    dz = t.sub(1.0 / k, t.mul(node.flip, z))
    r = t.length([x, dz], None)
    theta = t.atan2(x, dz)
    values = yield node.shape, [t.div(theta, k), y, t.mul(node.flip, t.sub(1.0 / k, r))]
    return t.div(values, node.stretch)


@emits(_Repeat)
def _repeat(t: Tape, node: _Repeat, p: Coords) -> Walk:
    repeated = [bool(s > 0.0) for s in node.spacing]
    starts: list[Num] = []
    for x, c, s, reach, on, whole in zip(p, node.center, node.spacing, node.reach, repeated, node.whole):
        if whole or not on:
            starts.append(0.0)
            continue
        u = t.div(t.sub(x, float(c)), float(s))
        # ceil(v) = -floor(-v)
        starts.append(t.neg(t.floor(t.neg(t.sub(t.sub(u, 0.5), float(reach))))))
    lo, hi = node.shape.bounds
    best: Reg | None = None
    for offsets in itertools.product(*(range(w) for w in node.window)):
        shift: list[Num] = []
        for start, o, first, last, s, on in zip(starts, offsets, node.first, node.last, node.spacing, repeated):
            shift.append(t.mul(t.clip(t.add(start, float(o)), first, last), float(s)) if on else 0.0)
        q: list[Num] = [
            t.max(t.sub(t.sub(x, h), d), t.sub(t.add(l, d), x)) for x, l, h, d in zip(p, lo, hi, shift)
        ]
        value = yield node.shape, [t.sub(x, d) for x, d in zip(p, shift)]
        candidate = t.max(value, box_distance(t, q))
        best = candidate if best is None else t.min(best, candidate)
    assert best is not None
    return best
