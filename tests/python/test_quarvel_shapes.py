"""Signed-distance shapes: values, gradients, bounds and composition."""

from __future__ import annotations

import math
import pickle

import numpy as np
import pytest

import quarvel as qv

RNG_SEED = 20240611

L_SHAPE = qv.polygon([(0, 0), (1, 0), (1, 0.4), (0.4, 0.4), (0.4, 1), (0, 1)])
BALL = [[-0.5] * 3, [0.5] * 3]
STRETCHED = qv.sphere(0.25).scale((4.0, 1.0, 1.0))  # values only a bound on the distance

EXACT = {
    "sphere": lambda: qv.sphere(0.8, center=(0.1, -0.2, 0.3)),
    "box": lambda: qv.box((1.0, 0.6, 0.4), center=(0.1, 0.0, -0.1)),
    "rounded_box": lambda: qv.rounded_box((1.0, 0.6, 0.4), 0.15),
    "torus": lambda: qv.torus(0.7, 0.2),
    "cylinder": lambda: qv.cylinder(0.4, 1.0),
    "capsule": lambda: qv.capsule((-0.3, 0.1, 0.0), (0.4, -0.2, 0.3), 0.25),
    "plane": lambda: qv.plane((1.0, 2.0, -1.0), 0.3),
    "translated": lambda: qv.torus(0.7, 0.2).translate((0.3, -0.1, 0.2)),
    "scaled": lambda: qv.box(0.5).scale(1.7),
    "rotated": lambda: qv.cylinder(0.4, 1.0).rotate(37.0, (1.0, 1.0, 0.0)),
    "cone": lambda: qv.cone(0.5, 1.0),
    "frustum": lambda: qv.cone(0.6, 0.8, top_radius=0.2),
    "oriented": lambda: qv.cylinder(0.3, 1.0).orient((1.0, -1.0, 2.0)),
    "offset": lambda: qv.box(0.8).offset(0.1),
    "shell": lambda: qv.sphere(0.6).shell(0.1),
    "repeated": lambda: qv.sphere(0.3).repeat(1.0, (3, 1, 2)),
    "extruded_polygon": lambda: L_SHAPE.extrude(0.4),
    "extruded_along_x": lambda: qv.circle(0.3, (0.1, 0.0)).extrude(0.8, centered=False, axis=(1, 0, 0)),
    "revolved": lambda: qv.rectangle((0.3, 0.2), radius=0.05).revolve(0.6),
    "mirror_folded": lambda: qv.torus(0.3, 0.1).translate((0.1, 0.5, 0.0)).mirror((1.0, 2.0, 0.0)),
    "mirror_image": lambda: qv.capsule((0.1, 0.0, 0.0), (0.4, 0.3, 0.2), 0.1).mirror("y", keep_original=False),
    "linear_array": lambda: qv.sphere(0.2).linear_array(3, (0.5, 0.3, 0.1)),
    "circular_array": lambda: qv.sphere(0.15, (0.5, 0.0, 0.2)).circular_array(7),
    "text": lambda: qv.text("a8", 0.8, center=True).extrude(0.2),
    "extruded_2d_moves": lambda: L_SHAPE.rotate(30.0).translate((0.1, -0.2)).mirror((0, 1), False).extrude(0.4),
}
APPROXIMATE = {
    "gyroid_sheet": lambda: qv.gyroid(0.9, 0.12),
    "gyroid_solid": lambda: qv.gyroid(1.3, None),
    "schwarz_p_sheet": lambda: qv.schwarz_p(0.8, 0.1),
    "schwarz_p_solid": lambda: qv.schwarz_p(1.1, None),
    "union": lambda: qv.sphere(0.5) | qv.box(0.7, center=(0.4, 0.0, 0.0)),
    "intersection": lambda: qv.sphere(0.6) & qv.box(0.9),
    "difference": lambda: qv.box(1.0) - qv.cylinder(0.3, 2.0),
    "smooth_union": lambda: qv.smooth_union(qv.sphere(0.4), qv.sphere(0.3, (0.5, 0.0, 0.0)), 0.3),
    "stretched": lambda: qv.sphere(0.5).scale((2.0, 1.0, 0.5)),
    "ellipsoid": lambda: qv.ellipsoid((0.8, 0.5, 0.3), (0.1, 0.0, 0.0)),
    "smooth_intersection": lambda: qv.smooth_intersection(qv.sphere(0.6), qv.box(0.9), 0.2),
    "smooth_difference": lambda: qv.smooth_difference(qv.box(0.9), qv.sphere(0.5), 0.2),
    "stretched_blend": lambda: qv.smooth_union(STRETCHED, STRETCHED, 0.4),
    "stretched_shell": lambda: STRETCHED.shell(0.1),
    "inner_shell": lambda: qv.box(0.9).shell(0.1, "inside"),
    "overlapping_repeat": lambda: qv.sphere(0.4).repeat(0.5, (3, 1, 2)),
    "endless_repeat": lambda: qv.torus(0.3, 0.1).repeat((0.9, 0.0, 0.5)),
    "twist": lambda: qv.box((1.0, 0.3, 1.5)).twist(60.0),
    "bend": lambda: qv.box((2.0, 0.3, 0.3)).bend(40.0),
    "bend_down": lambda: qv.box((2.0, 0.3, 0.3), center=(0.2, 0.0, 0.1)).bend(-40.0),
    "mirror_crossing": lambda: qv.box(0.5, center=(0.1, 0.0, 0.0)).mirror((1.0, 1.0, 1.0)),
    "overlapping_linear_array": lambda: qv.capsule((0, 0, 0), (0.5, 0.2, 0), 0.15).linear_array(4, (0.2, 0.1, 0.05)),
    "circular_array_round_an_axis": lambda: qv.box((0.8, 0.2, 0.3)).circular_array(3, "x", radius=0.1),
    "circular_array_of_a_bound": lambda: STRETCHED.translate((0.9, 0.0, 0.0)).circular_array(5, (1.0, 1.0, 0.0)),
    "fillet_union": lambda: qv.fillet_union(qv.box(0.6), qv.sphere(0.35, (0.3, 0.3, 0.0)), 0.1),
    "fillet_intersection": lambda: qv.fillet_intersection(qv.box(0.6), STRETCHED, 0.1),
    "fillet_difference": lambda: qv.fillet_difference(qv.box(0.8), qv.cylinder(0.2, 1.0), 0.05),
    "chamfer_union": lambda: qv.chamfer_union(STRETCHED, qv.box(0.4, center=(0.0, 0.3, 0.0)), 0.1),
    "chamfer_intersection": lambda: qv.chamfer_intersection(qv.box(0.6), qv.sphere(0.4), 0.1),
    "chamfer_difference": lambda: qv.chamfer_difference(qv.box(0.8), qv.cylinder(0.2, 1.0), 0.05),
    "extruded_2d_booleans": lambda: ((L_SHAPE.round(0.05) | qv.circle(0.2)) - qv.circle(0.1, (0.5, 0.2))).extrude(0.3),
    "revolved_2d_shell": lambda: (qv.circle(0.2, (0.5, 0.0)).scale((1.0, 2.0)) & qv.rectangle(0.6, (0.5, 0.1))).shell(0.05).revolve(),
    "helix": lambda: qv.helix(0.4, 0.25, 0.12, turns=1.7),
    "short_helix": lambda: qv.helix(0.3, 0.5, 0.1, height=0.3),
    "thread": lambda: qv.thread(0.3, 0.15, 0.5),
    "function": lambda: qv.Shape.from_function(lambda p: np.linalg.norm(p, axis=1) - 0.5, BALL),
}
ALL = EXACT | APPROXIMATE
BOUNDED = {name: make for name, make in ALL.items() if make().bounds.is_finite}


def sample(shape: qv.Shape, n: int = 300, grow: float = 1.5) -> np.ndarray:
    """Seeded random points in the shape's bounds grown about their centre."""
    rng = np.random.default_rng(RNG_SEED)
    box = shape.bounds if shape.bounds.is_finite else qv.Bounds.of(-1.0, 1.0)
    centre, size = np.asarray(box.center), np.asarray(box.size) * grow + 0.2
    return centre + (rng.random((n, 3)) - 0.5) * size


def finite_difference_gradient(shape: qv.Shape, points: np.ndarray, h: float = 1e-6) -> np.ndarray:
    columns = []
    for axis in range(3):
        step = np.zeros(3)
        step[axis] = h
        columns.append((shape(points + step)[0] - shape(points - step)[0]) / (2 * h))
    return np.column_stack(columns)


@pytest.mark.parametrize("name", ALL)
def test_gradient_matches_central_differences(name):
    shape = ALL[name]()
    points = sample(shape)
    values, gradients = shape(points)
    assert values.shape == (len(points),) and values.dtype == np.float64
    assert gradients.shape == (len(points), 3) and gradients.dtype == np.float64
    np.testing.assert_allclose(gradients, finite_difference_gradient(shape, points), atol=2e-6)


@pytest.mark.parametrize("name", EXACT)
def test_exact_distance_steps_onto_the_surface(name):
    shape = EXACT[name]()
    points = sample(shape)
    values, gradients = shape(points)
    np.testing.assert_allclose(np.linalg.norm(gradients, axis=1), 1.0, atol=1e-12)
    # For a true distance, stepping by the value against the gradient lands on the surface.
    on_surface = points - values[:, None] * gradients
    np.testing.assert_allclose(shape(on_surface)[0], 0.0, atol=1e-9)


S2 = math.sqrt(0.5)
KNOWN = [
    (qv.sphere(1.0), (0, 0, 0), -1.0, None),
    (qv.sphere(1.0, (1, 0, 0)), (3, 0, 0), 1.0, (1, 0, 0)),
    (qv.box(2.0), (0, 0, 0.25), -0.75, (0, 0, 1)),
    (qv.box(2.0), (2, 0, 0), 1.0, (1, 0, 0)),
    (qv.box(2.0), (-2, 2, 0), math.sqrt(2.0), (-S2, S2, 0)),
    (qv.rounded_box(2.0, 0.5), (2, 2, 2), 1.5 * math.sqrt(3.0) - 0.5, (3**-0.5,) * 3),
    (qv.rounded_box(2.0, 0.5), (0, -0.5, 0), -0.5, (0, -1, 0)),
    (qv.torus(1.0, 0.25), (0, 1, 0), -0.25, None),
    (qv.torus(1.0, 0.25), (2, 0, 0), 0.75, (1, 0, 0)),
    (qv.torus(1.0, 0.25), (0, -1, 0.5), 0.25, (0, 0, 1)),
    (qv.cylinder(0.5, 2.0), (0, 0, 3), 2.0, (0, 0, 1)),
    (qv.cylinder(0.5, 2.0), (1.5, 0, -2), math.sqrt(2.0), (S2, 0, -S2)),
    (qv.cylinder(0.5, 2.0), (0, 0.25, 0.1), -0.25, (0, 1, 0)),
    (qv.capsule((0, 0, -1), (0, 0, 1), 0.5), (0, 0, 3), 1.5, (0, 0, 1)),
    (qv.capsule((0, 0, -1), (0, 0, 1), 0.5), (0, -2, 0.3), 1.5, (0, -1, 0)),
    (qv.plane((0, 0, 2), 1.0), (5, 5, 3), 2.0, (0, 0, 1)),
    (qv.gyroid(2 * math.pi, None), (0, 0, 0), 0.0, (1, 1, 1)),
    (qv.gyroid(2 * math.pi, None), (math.pi / 2, 0, 0), 1.0, (0, 1, 0)),
    (qv.gyroid(2 * math.pi, 0.5), (math.pi / 2, 0, 0), 0.75, (0, 1, 0)),
    (qv.schwarz_p(2 * math.pi, None), (0, 0, 0), 3.0, (0, 0, 0)),
    (qv.schwarz_p(2 * math.pi, None), (math.pi / 2,) * 3, 0.0, (-1, -1, -1)),
    (qv.schwarz_p(2 * math.pi, 0.5), (math.pi, 0, 0), 0.75, (0, 0, 0)),
    (qv.schwarz_p(4.0, 0.5), (1, 1, 1), -0.25, None),
    (qv.sphere(1.0) | qv.sphere(1.0, (3, 0, 0)), (1.4, 0, 0), 0.4, (1, 0, 0)),
    (qv.sphere(1.0) & qv.sphere(1.0, (1, 0, 0)), (0, 0, 0), 0.0, (-1, 0, 0)),
    (qv.box(2.0) - qv.sphere(0.5), (0, 0, 0.1), 0.4, (0, 0, -1)),
    (qv.smooth_union(qv.sphere(1.0), qv.sphere(1.0, (3, 0, 0)), 0.2), (-2, 0, 0), 1.0, (-1, 0, 0)),
    (qv.smooth_union(qv.sphere(1.0), qv.sphere(1.0, (2, 0, 0)), 0.4), (1, 0, 0), -0.1, (0, 0, 0)),
    (qv.sphere(1.0).scale(2.0), (3, 0, 0), 1.0, (1, 0, 0)),
    (qv.sphere(1.0).scale((2.0, 1.0, 1.0)), (2, 0, 0), 0.0, None),
    (qv.box((2.0, 1.0, 1.0)).rotate(90.0), (0, 1.5, 0), 0.5, (0, 1, 0)),
    (qv.box((2.0, 1.0, 1.0)).rotate(90.0, (0, 1, 0)), (0, 0, 1.5), 0.5, (0, 0, 1)),
    (qv.sphere(1.0).translate((1, 2, 3)), (1, 2, 3), -1.0, None),
    (qv.cone(0.5, 1.0), (0, 0, 1), 0.5, (0, 0, 1)),
    (qv.cone(0.5, 1.0), (0, 0, -0.75), 0.25, (0, 0, -1)),
    (qv.cone(0.5, 1.0), (0.25 + 0.2 / 5**0.5, 0, 0.1 / 5**0.5), 0.1, (2 / 5**0.5, 0, 1 / 5**0.5)),
    (qv.cone(0.6, 0.8, 0.2), (0, 0, 0.7), 0.3, (0, 0, 1)),
    (qv.ellipsoid((2.0, 1.0, 0.5)), (3, 0, 0), 1.0, (1, 0, 0)),
    (qv.ellipsoid((2.0, 1.0, 0.5)), (0, 0, 0), -0.5, None),
    (qv.sphere(1.0).shell(0.2), (2, 0, 0), 0.9, (1, 0, 0)),
    (qv.sphere(1.0).shell(0.2), (0.95, 0, 0), -0.05, (-1, 0, 0)),
    (qv.sphere(1.0).shell(0.2, "inside"), (0.9, 0, 0), -0.1, None),
    (qv.sphere(1.0).shell(0.2, "outside"), (0.9, 0, 0), 0.1, (-1, 0, 0)),
    (qv.box(1.0).offset(0.5), (2, 0, 0), 1.0, (1, 0, 0)),
    (qv.box(1.0).offset(-0.25), (0, 0, 0), -0.25, None),
    (qv.sphere(0.25).repeat(1.0), (10.2, -3.0, 0.1), -0.25 + math.hypot(0.2, 0.1), None),
    (L_SHAPE.extrude(1.0), (0.3, 0.3, 0), -math.hypot(0.1, 0.1), (S2, S2, 0)),
    (L_SHAPE.extrude(1.0), (0.1, 0.3, 0), -0.1, (-1, 0, 0)),
    (qv.circle(0.5).extrude(1.0, centered=False), (0, 0, -1), 1.0, (0, 0, -1)),
    (qv.box((1.0, 0.2, 2.0)).twist(90.0), (0.25, 0.25, 0.5), None, None),
    (qv.box((2.0, 0.2, 0.2)).bend(90.0), (2 / math.pi, 0, 2 / math.pi), 0.0, None),
]


@pytest.mark.parametrize(("shape", "point", "value", "gradient"), KNOWN, ids=[repr(k[0])[:40] for k in KNOWN])
def test_known_values(shape, point, value, gradient):
    values, gradients = shape(np.array([point], dtype=float))
    if value is None:  # inside
        assert values[0] < 0.0
    else:
        assert values[0] == pytest.approx(value, abs=1e-12)
    if gradient is not None:
        np.testing.assert_allclose(gradients[0], gradient, atol=1e-12)


@pytest.mark.parametrize("name", BOUNDED)
def test_values_are_positive_outside_the_bounds(name):
    shape = BOUNDED[name]()
    box = shape.bounds
    points = sample(shape, n=4000, grow=2.0)
    outside = np.any((points < box.lo) | (points > box.hi), axis=1)
    assert outside.sum() > 1000
    assert np.all(shape(points[outside])[0] > 0.0)
    assert np.any(shape(points[~outside])[0] < 0.0)


@pytest.mark.parametrize(
    ("shape", "lo", "hi"),
    [
        (qv.sphere(0.5, (1, 2, 3)), (0.5, 1.5, 2.5), (1.5, 2.5, 3.5)),
        (qv.torus(1.0, 0.25), (-1.25, -1.25, -0.25), (1.25, 1.25, 0.25)),
        (qv.cylinder(0.5, 3.0), (-0.5, -0.5, -1.5), (0.5, 0.5, 1.5)),
        (qv.capsule((0, 0, 0), (1, 2, 0), 0.5), (-0.5, -0.5, -0.5), (1.5, 2.5, 0.5)),
        (qv.box((2.0, 1.0, 4.0)).rotate(90.0, (1, 0, 0)), (-1.0, -2.0, -0.5), (1.0, 2.0, 0.5)),
        (qv.box(1.0).scale((1.0, 2.0, 3.0)), (-0.5, -1.0, -1.5), (0.5, 1.0, 1.5)),
        (qv.sphere(1.0) | qv.sphere(1.0, (3, 0, 0)), (-1, -1, -1), (4, 1, 1)),
        (qv.sphere(1.0) & qv.plane(), (-1, -1, -1), (1, 1, 1)),
        (qv.box(2.0) - qv.sphere(5.0), (-1, -1, -1), (1, 1, 1)),
        (qv.smooth_union(qv.sphere(1.0), qv.sphere(1.0), 0.4), (-1.1, -1.1, -1.1), (1.1, 1.1, 1.1)),
    ],
)
def test_bounds(shape, lo, hi):
    np.testing.assert_allclose(shape.bounds.lo, lo, atol=1e-12)
    np.testing.assert_allclose(shape.bounds.hi, hi, atol=1e-12)


@pytest.mark.parametrize("shape", [qv.plane(), qv.gyroid(), qv.sphere(1.0) | qv.plane()])
def test_unbounded_shapes_say_so(shape):
    assert not shape.bounds.is_finite


def test_combinations_follow_min_and_max():
    a, b = qv.sphere(0.6), qv.box(0.9, center=(0.3, 0.0, 0.0))
    points = sample(a)
    va, vb = a(points)[0], b(points)[0]
    np.testing.assert_array_equal((a | b)(points)[0], np.minimum(va, vb))
    np.testing.assert_array_equal((a & b)(points)[0], np.maximum(va, vb))
    np.testing.assert_array_equal((a - b)(points)[0], np.maximum(va, -vb))
    blended = qv.smooth_union(a, b, 0.2)(points)[0]
    assert np.all(blended <= np.minimum(va, vb) + 1e-15)
    assert np.all(blended >= np.minimum(va, vb) - 0.2 / 4 - 1e-15)


def test_union_of_many_shapes_is_their_minimum():
    balls = [qv.sphere(0.3, (x, 0.0, 0.0)) for x in (-1.0, 0.0, 1.0, 2.0)]
    points = sample(balls[0] | balls[-1])
    expected = np.min([b(points)[0] for b in balls], axis=0)
    np.testing.assert_array_equal(qv.union(*balls)(points)[0], expected)


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: qv.sphere(-1.0), "radius"),
        (lambda: qv.sphere(float("nan")), "radius"),
        (lambda: qv.box(0.0), "size"),
        (lambda: qv.box((1.0, 2.0)), "three numbers"),
        (lambda: qv.rounded_box(1.0, 0.6), "rounding radius"),
        (lambda: qv.torus(0.5, 1.0), "exceeds"),
        (lambda: qv.cylinder(0.5, 0.0), "height"),
        (lambda: qv.plane((0, 0, 0)), "normal"),
        (lambda: qv.sphere().scale(-1.0), "positive"),
        (lambda: qv.sphere().rotate(10.0, (0, 0, 0)), "axis"),
        (lambda: qv.smooth_union(qv.sphere(), qv.box(), 0.0), "blend radius"),
        (lambda: qv.union(), "at least one"),
        (lambda: qv.cone(0.5, 1.0, -0.1), "top radius"),
        (lambda: qv.ellipsoid((1.0, 0.0, 1.0)), "radii"),
        (lambda: qv.smooth_difference(qv.sphere(), qv.box(), math.inf), "blend radius"),
        (lambda: qv.sphere().shell(0.0), "thickness"),
        (lambda: qv.sphere().shell(0.1, "middle"), "side"),
        (lambda: qv.sphere().offset(math.nan), "finite"),
        (lambda: qv.sphere().orient((0, 0, 0)), "direction"),
        (lambda: qv.sphere().repeat(0.0), "spacing"),
        (lambda: qv.sphere().repeat(1.0, 0), "at least 1"),
        (lambda: qv.sphere().repeat(1.0, 2.5), "whole number"),
        (lambda: qv.sphere().repeat((1, 0, 0), (2, 2, 1)), "positive spacing"),
        (lambda: qv.plane().repeat(1.0), "bounded"),
        (lambda: qv.gyroid().twist(10.0), "bounded"),
        (lambda: qv.box().bend(0.0), "not be zero"),
        (lambda: qv.box(1.0).bend(120.0), "axis"),
        (lambda: qv.box((4.0, 0.2, 0.2)).bend(100.0), "half a turn"),
        (lambda: qv.polygon([(0, 0), (1, 0), (0, 0)]), "three distinct"),
        (lambda: qv.polygon([(0, 0), (1, 1), (2, 2)]), "folds back"),
        (lambda: qv.polygon([(0, 0), (1, 1), (1, 0), (0, 1)]), "not simple"),
        (lambda: qv.polygon([(0, 0), (2, 0), (2, 1), (1, 0), (0, 1)]), "not simple"),
        (lambda: qv.polygon([(0, 0), (1, 0), (1, 1), (1, -1)]), "not simple"),
        (lambda: qv.polygon([(0, 0), (1, math.inf), (1, 1)]), r"finite numbers \(corner 1 is \(1.0, inf\)\)"),
        (lambda: qv.polygon([(-1e308, 0), (1e308, 0), (0, 1e308)]), "edge lengths or area overflow"),
        (lambda: qv.circle(0.2, (-1.0, 0.0)).revolve(), "nothing to revolve"),
        (lambda: qv.rectangle(1.0, radius=0.6), "rounding radius"),
        (lambda: qv.circle().extrude(0.0), "height"),
        (lambda: qv.Shape.from_function(abs, (-1, -1, -1, 1, 1, 1)), "bounds must be"),
        (lambda: qv.Shape.from_function(abs, ((1, 0, 0), (0, 1, 1))), "lo <= hi"),
        (lambda: qv.Shape.from_function(abs, ((0, 0, 0), (1, 1, 1)), step=-1.0), "step"),
    ],
)
def test_bad_parameters_are_refused(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_points_may_be_one_point_or_a_list():
    shape = qv.sphere(1.0)
    assert shape((3.0, 0.0, 0.0))[0].tolist() == [2.0]
    assert shape([[0, 0, 2], [0, 0, 0.5]])[0].tolist() == [1.0, -0.5]
    with pytest.raises(ValueError, match=r"shape \(N, 3\)"):
        shape(np.zeros((4, 2)))


def test_rotation_keeps_distances_and_turns_gradients():
    base = qv.box((1.0, 0.5, 0.25), center=(0.3, 0.0, 0.1))
    turned = base.rotate(120.0, (1.0, 1.0, 1.0))  # permutes the axes x -> y -> z -> x
    points = sample(turned)
    cycled = points[:, [1, 2, 0]]
    np.testing.assert_allclose(turned(points)[0], base(cycled)[0], atol=1e-12)
    np.testing.assert_allclose(turned(points)[1], base(cycled)[1][:, [2, 0, 1]], atol=1e-12)



# Deformations and bounds whose factor is not 1 or whose slopes vary most.
STEEP = {
    "flat_ellipsoid": lambda: qv.ellipsoid((1.0, 0.2, 0.05)),
    "fast_twist": lambda: qv.box((1.0, 0.3, 2.0)).twist(150.0),
    "tight_bend": lambda: qv.box((2.0, 0.3, 0.5)).bend(80.0),
    "quarter_bend": lambda: qv.box((1.5, 0.3, 0.3), center=(0.75, 0.0, 0.0)).bend(60.0),
    "far_stretch": lambda: qv.sphere(0.5).scale((4.0, 1.0, 0.25)),
    "bent_gyroid": lambda: (qv.gyroid(0.5) & qv.box((2.0, 0.4, 0.4))).bend(45.0),
}


@pytest.mark.parametrize("name", [n for n in ALL if n != "function"] + list(STEEP))
def test_values_change_no_faster_than_the_declared_lipschitz_factor(name):
    # Pairs of points within boxes of many sizes around the shape: from the
    # local slope to slopes across the shape and far beyond it.
    shape = (ALL | STEEP)[name]()
    rng = np.random.default_rng(RNG_SEED)
    box = shape.bounds if shape.bounds.is_finite else qv.Bounds.of(-1.0, 1.0)
    centre, size = np.asarray(box.center), np.asarray(box.size) + 0.2
    slopes = []
    for half in (1e-4, 1e-2, 0.1, 0.5, 2.0):
        centres = centre + (rng.random((20_000, 3)) - 0.5) * 4.0 * size
        a, b = (centres + (rng.random((20_000, 3)) - 0.5) * 2.0 * half * size.max() for _ in range(2))
        slopes.append(np.abs(shape(a)[0] - shape(b)[0]) / np.linalg.norm(a - b, axis=1))
    assert np.max(slopes) <= shape.lipschitz * (1.0 + 1e-9)


@pytest.mark.parametrize("name", BOUNDED)
def test_values_outside_the_bounds_understate_gaps_by_at_most_the_declared_factor(name):
    shape = BOUNDED[name]()
    if name == "function":
        assert shape.understatement is None  # a function's values say nothing
        return
    box = shape.bounds
    points = sample(shape, n=4000, grow=4.0)
    gap = np.maximum(np.subtract(box.lo, points), np.subtract(points, box.hi)).max(axis=1)
    outside = gap > 0.0
    assert outside.sum() > 2000
    assert np.all(shape(points[outside])[0] * shape.understatement >= gap[outside] * (1 - 1e-12))


def test_deep_trees_pickle_print_and_evaluate_without_recursion():
    deep = qv.sphere(0.5)
    for _ in range(20_000):
        deep = deep.translate((1e-5, 0.0, 0.0))
    shared = qv.sphere(0.3)
    for _ in range(40):
        shared = shared | shared  # 2**40 paths through one ball
    points = sample(deep, n=50)
    expected = qv.sphere(0.5, (0.2, 0.0, 0.0))(points)
    copy = pickle.loads(pickle.dumps(deep))
    for values, gradients in (deep(points), copy(points)):
        np.testing.assert_allclose(values, expected[0], atol=1e-9)
        np.testing.assert_allclose(gradients, expected[1], atol=1e-9)
    again = pickle.loads(pickle.dumps(shared))
    assert again.shapes[0] is again.shapes[1] and again.bounds == shared.bounds
    for text in (repr(deep), repr(shared)):
        assert len(text) < 20_000 and "cut short" in text
    assert repr(deep).startswith("translate(translate(") and repr(shared).startswith("union(union(")
