"""The modelling library: distance bounds, warps, repetition, blends, 2D shapes, function shapes."""

from __future__ import annotations

import math

import numpy as np
import pytest

import quarvel as qv

RNG_SEED = 20240612
STRETCHED = qv.sphere(0.25).scale((4.0, 1.0, 1.0))

# Shapes whose values are claimed to be exact or a bound on the distance.
BOUNDED_BY_DISTANCE = {
    "ellipsoid": lambda: qv.ellipsoid((0.8, 0.5, 0.2)),
    "cone": lambda: qv.cone(0.5, 1.0, top_radius=0.1),
    "smooth_intersection": lambda: qv.smooth_intersection(qv.sphere(0.6), qv.box(0.9), 0.3),
    "smooth_difference": lambda: qv.smooth_difference(qv.box(0.9), qv.sphere(0.4, (0.4, 0.4, 0.4)), 0.3),
    "stretched_blend": lambda: qv.smooth_union(STRETCHED, STRETCHED.rotate(60.0), 0.4),
    "stretched_offset": lambda: STRETCHED.offset(0.1),
    "twist": lambda: qv.box((1.0, 0.3, 1.5)).twist(80.0),
    "polygon_revolved": lambda: qv.polygon([(0.2, -0.3), (0.6, 0.0), (0.2, 0.3), (0.35, 0.0)]).revolve(),
    "revolved_across_the_axis": lambda: qv.rectangle((1.0, 0.6), center=(0.25, 0.0)).revolve(),
    "overlapping_repeat": lambda: qv.capsule((0, 0, 0), (0.5, 0.3, 0), 0.15).repeat((0.4, 0.0, 0.0), 4),
}


def around(box: qv.Bounds, n: int, grow: float) -> np.ndarray:
    rng = np.random.default_rng(RNG_SEED)
    centre, size = np.asarray(box.center), np.asarray(box.size) * grow
    return centre + (rng.random((n, 3)) - 0.5) * size


def assert_bounded_by_surface(shape: qv.Shape, points: np.ndarray, surface: np.ndarray) -> None:
    """|f(p)| <= |p - x| + |f(x)| for every surface sample x: what 1-Lipschitz promises."""
    slack = np.abs(shape(surface)[0])
    gaps = np.linalg.norm(points[:, None, :] - surface[None, :, :], axis=2) + slack[None, :]
    assert np.all(np.abs(shape(points)[0]) <= gaps.min(axis=1) + 1e-9)


@pytest.mark.parametrize("name", BOUNDED_BY_DISTANCE)
def test_mesh_lies_in_the_bounds_and_values_never_exceed_the_distance(name):
    shape = BOUNDED_BY_DISTANCE[name]()
    vertices = qv.mesh(shape, max_depth=5).vertices
    assert len(vertices) > 100
    box = shape.bounds
    # Vertices on sharp edges settle to within a millionth of a unit, not exactly.
    assert np.all((vertices >= np.asarray(box.lo) - 1e-6) & (vertices <= np.asarray(box.hi) + 1e-6))
    assert_bounded_by_surface(shape, around(box, 300, 2.5), vertices)
    if name == "ellipsoid":  # a bound, but steeper than 1 far away
        return
    # 1-Lipschitz over random pairs, near and far.
    p = around(box, 2000, 4.0)
    q = p + np.random.default_rng(RNG_SEED).normal(size=p.shape) * np.repeat([0.01, 0.3], 1000)[:, None]
    assert np.all(np.abs(shape(p)[0] - shape(q)[0]) <= np.linalg.norm(p - q, axis=1) * (1 + 1e-9))


@pytest.mark.parametrize("degrees", [50.0, -70.0])
def test_bend_carries_the_shape_and_bounds_the_distance_in_its_band(degrees):
    straight = qv.box((1.6, 0.3, 0.4), center=(0.1, 0.0, 0.05))
    bent = straight.bend(degrees)
    k = math.radians(degrees)
    inner = np.asarray(straight.bounds.lo), np.asarray(straight.bounds.hi)
    local = inner[0] + np.random.default_rng(RNG_SEED).random((300, 3)) * (inner[1] - inner[0])
    # Where the bend takes (x, y, z): the x axis rolls onto a circle of radius 1/k.
    r = 1.0 / k - local[:, 2]
    angle = k * local[:, 0]
    placed = np.column_stack([r * np.sin(angle), local[:, 1], 1.0 / k - r * np.cos(angle)])
    z_top = max(np.sign(k) * inner[0][2], np.sign(k) * inner[1][2])  # nearest the bend's axis
    stretch = max(1.0, 1.0 / (1.0 - abs(k) * z_top))
    np.testing.assert_allclose(bent(placed)[0], straight(local)[0] / stretch, atol=1e-12)
    assert_bounded_by_surface(bent, placed, qv.mesh(bent, max_depth=5).vertices)


def test_twist_turns_slices_and_divides_by_its_stretch():
    straight = qv.box((1.0, 0.3, 1.5), center=(0.1, 0.0, 0.2))
    twisted = straight.twist(80.0)
    local = around(straight.bounds, 300, 1.0)
    turn = np.radians(80.0) * local[:, 2]
    c, s = np.cos(turn), np.sin(turn)
    x, y, z = local.T
    placed = np.column_stack([c * x - s * y, s * x + c * y, z])
    np.testing.assert_allclose(twisted(placed)[0] * twisted.stretch, straight(local)[0], atol=1e-12)


@pytest.mark.parametrize(
    ("shape", "spacing", "counts"),
    [
        (qv.sphere(0.3, (0.1, 0.0, 0.0)), (1.0, 0.8, 0.0), (3, 2, 1)),
        (qv.box((0.9, 0.2, 0.2)), (0.5, 0.0, 0.0), (4, 1, 1)),  # copies overlap
        (qv.torus(0.3, 0.1).rotate(30.0, (1, 0, 0)), (0.7, 0.0, 0.7), None),
    ],
)
def test_repeat_is_the_union_of_its_copies(shape, spacing, counts):
    repeated = shape.repeat(spacing, counts)
    spans = [range(c) if c else range(-4, 5) for c in counts or (None, None, None)]
    steps = np.asarray(spacing)
    copies = {tuple(np.multiply((i, j, k), steps)) for i in spans[0] for j in spans[1] for k in spans[2]}
    union = qv.union(*(shape.translate(c) for c in sorted(copies)))
    box = repeated.bounds if counts else qv.Bounds.of(-1.0, 1.0)
    points = around(box, 2000, 1.3)
    np.testing.assert_allclose(repeated(points)[0], union(points)[0], atol=1e-12)
    np.testing.assert_allclose(repeated(points)[1], union(points)[1], atol=1e-12)
    if counts:
        np.testing.assert_allclose(repeated.bounds.lo, union.bounds.lo, atol=1e-12)
        np.testing.assert_allclose(repeated.bounds.hi, union.bounds.hi, atol=1e-12)


@pytest.mark.parametrize(
    ("smooth", "plain", "direction"),
    [
        (qv.smooth_union, qv.union, -1.0),
        (qv.smooth_intersection, qv.intersection, 1.0),
        (qv.smooth_difference, qv.difference, 1.0),
    ],
)
def test_smooth_operations_move_at_most_a_quarter_k_and_only_where_values_are_close(smooth, plain, direction):
    a, b, k = qv.sphere(0.6), qv.box(0.8, center=(0.4, 0.1, 0.0)), 0.3
    points = around(a.bounds.union(b.bounds), 3000, 1.5)
    blended, exact = smooth(a, b, k)(points)[0], plain(a, b)(points)[0]
    shift = direction * (blended - exact)
    assert np.all(shift >= -1e-12) and np.all(shift <= k / 4 + 1e-12) and shift.max() > k / 8
    vb = -b(points)[0] if plain is qv.difference else b(points)[0]
    apart = np.abs(a(points)[0] - vb) >= k
    np.testing.assert_allclose(blended[apart], exact[apart], atol=1e-12)


CORNERS = [(-0.3, -0.2), (0.3, -0.2), (0.3, 0.2), (-0.3, 0.2)]


@pytest.mark.parametrize(
    ("same", "reference"),
    [
        (qv.circle(0.25).revolve(1.0), qv.torus(1.0, 0.25)),
        (qv.circle(0.4).extrude(1.0), qv.cylinder(0.4, 1.0)),
        (qv.polygon(CORNERS).extrude(0.8), qv.box((0.6, 0.4, 0.8))),
        (qv.polygon(CORNERS[::-1]).extrude(0.8), qv.box((0.6, 0.4, 0.8))),
        (qv.rectangle((0.6, 0.4)).revolve(axis=(0, 1, 0)), qv.cylinder(0.3, 0.4).rotate(-90.0, (1, 0, 0))),
        (qv.cylinder(0.3, 1.0).orient((1, 0, 0)), qv.cylinder(0.3, 1.0).rotate(90.0, (0, 1, 0))),
        (qv.cylinder(0.3, 1.0).orient((0, 0, -2)), qv.cylinder(0.3, 1.0)),
        (qv.ellipsoid(0.7), qv.sphere(0.7)),
        (qv.sphere(0.5).translate((0.1, 0.0, 0.0)).offset(0.2), qv.sphere(0.7, (0.1, 0.0, 0.0))),
        (qv.plane((0, 0, 1), 0.2).offset(0.1), qv.plane((0, 0, 1), 0.3)),
        (qv.sphere(0.5).shell(0.2, "outside"), qv.sphere(0.7) - qv.sphere(0.5)),
    ],
)
def test_shapes_built_two_ways_agree(same, reference):
    points = around(qv.Bounds.of(-1.2, 1.2), 2000, 1.0)
    np.testing.assert_allclose(same(points)[0], reference(points)[0], atol=1e-12)


def test_polygon_distance_is_exact_and_independent_of_orientation():
    corners = np.array([(0, 0), (1.2, 0), (1.2, 0.3), (0.4, 0.5), (1.0, 1.0), (0.1, 0.9)])
    shapes = [qv.polygon(corners), qv.polygon(corners[::-1]), qv.polygon(np.vstack([corners, corners[:1]]))]
    t = np.linspace(0.0, 1.0, 4001)[:, None]
    dense = np.vstack([a + t * (b - a) for a, b in zip(corners, np.roll(corners, -1, axis=0), strict=True)])
    points = np.random.default_rng(RNG_SEED).random((500, 2)) * 1.6 - 0.2
    brute = np.linalg.norm(points[:, None, :] - dense[None, :, :], axis=2).min(axis=1)
    for shape in shapes:
        values = shape(points)[0]
        np.testing.assert_allclose(np.abs(values), brute, atol=2e-4)  # half the sample spacing
        np.testing.assert_allclose(values, shapes[0](points)[0], atol=1e-14)
    assert shapes[0]([(0.3, 0.3)])[0][0] < 0 < shapes[0]([(0.9, 0.5)])[0][0]  # the notch is outside


def test_polygon_gradient_near_an_edge_is_the_edge_normal():
    # Rounding leaves the direction to an edge meaningless within 1e-15 of it,
    # where meshing samples: the gradient must still be the edge's normal.
    corners = np.array([(0, 0), (1.2, 0), (1.2, 0.3), (0.4, 0.5), (1.0, 1.0), (0.1, 0.9)])
    edges = np.roll(corners, -1, axis=0) - corners
    outward = np.column_stack([edges[:, 1], -edges[:, 0]]) / np.linalg.norm(edges, axis=1)[:, None]
    t = np.linspace(0.05, 0.95, 7)[:, None, None]
    gaps = np.array([-1e-9, -1e-15, 0.0, 1e-15, 1e-9])[None, :, None]
    points, normals = [], []
    for a, e, n in zip(corners, edges, outward, strict=True):
        points.append((a + t * e + gaps * n).reshape(-1, 2))
        normals.append(np.broadcast_to(n, points[-1].shape))
    xyz = np.column_stack([np.vstack(points), np.zeros(len(np.vstack(points)))])
    expected = np.column_stack([np.vstack(normals), np.zeros(len(xyz))])
    shape = qv.polygon(corners).extrude(4.0)
    for gradients in (shape(xyz)[1], shape.compile()(xyz)[1]):
        np.testing.assert_allclose(gradients, expected, atol=1e-12)


def ball(points):
    return np.linalg.norm(points, axis=1) - 0.5


def ball_with_gradients(points):
    r = np.linalg.norm(points, axis=1)
    return r - 0.5, points / r[:, None]


def test_function_shapes_take_or_make_gradients():
    calls = []

    def counted(points):
        calls.append(len(points))
        return ball(points).astype(np.float32)  # any dtype the field contract accepts

    made = qv.Shape.from_function(counted, ((-0.5,) * 3, (0.5,) * 3))
    given = qv.Shape.from_function(ball_with_gradients, qv.Bounds.of(-0.5, 0.5))
    points = around(qv.Bounds.of(-1.0, 1.0), 200, 1.0)
    # float32 values: differences within rounding of the values, not exact.
    np.testing.assert_allclose(made(points)[1], ball_with_gradients(points)[1], atol=0.1)
    assert calls == [200, 1200]  # values, then all six probes per point in one call
    exact = qv.Shape.from_function(ball, qv.Bounds.of(-0.5, 0.5))
    np.testing.assert_allclose(exact(points)[1], ball_with_gradients(points)[1], atol=1e-8)
    np.testing.assert_array_equal(given(points)[1], ball_with_gradients(points)[1])
    assert qv.mesh(made | qv.sphere(0.3, (0.6, 0, 0)), max_depth=5).is_watertight


@pytest.mark.parametrize(
    ("combine", "expected"),
    [
        (lambda s, f: s | f, np.minimum),
        (lambda s, f: f | s, np.minimum),
        (lambda s, f: s & f, np.maximum),
        (lambda s, f: f & s, np.maximum),
        (lambda s, f: s - f, lambda a, b: np.maximum(a, -b)),
        (lambda s, f: f - s, lambda a, b: np.maximum(b, -a)),
    ],
)
def test_functions_with_bounds_combine_with_shapes_either_side(combine, expected):
    def field(points):
        return ball_with_gradients(points)

    field.bounds = ((-0.5,) * 3, (0.5,) * 3)
    shape = qv.box(0.6, center=(0.4, 0.0, 0.0))
    points = around(qv.Bounds.of(-1.0, 1.0), 300, 1.0)
    np.testing.assert_array_equal(combine(shape, field)(points)[0], expected(shape(points)[0], ball(points)))


@pytest.mark.parametrize(
    ("combine", "message"),
    [
        (lambda: qv.sphere() | ball, r"Shape\.from_function\(ball, bounds\)"),
        (lambda: (lambda p: ball(p)) - qv.sphere(), r"from_function\(f, bounds\)"),
        (lambda: qv.smooth_union(qv.sphere(), ball), "no bounds"),
        (lambda: qv.sphere() & qv.circle(), "extrude or revolve"),
        (lambda: qv.sphere() | 2.0, "unsupported operand"),
        (lambda: qv.union(qv.sphere(), "box"), "expected a Shape"),
        (lambda: qv.circle()(np.zeros((3, 3))), r"\(N, 2\)"),
    ],
)
def test_what_cannot_be_combined_says_how_to_fix_it(combine, message):
    with pytest.raises(TypeError if "N, 2" not in message else ValueError, match=message):
        combine()
