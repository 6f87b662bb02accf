"""Designers' operators: mirrors, arrays, edge fillets and chamfers, 2D booleans, text, helices and threads."""

from __future__ import annotations

import math

import numpy as np
import pytest

import quarvel as qv

RNG_SEED = 20261209


def points_around(shape, n: int = 3000, grow: float = 1.6) -> np.ndarray:
    box = shape.bounds
    centre, size = np.asarray(box.center), np.asarray(box.size) * grow + 0.2
    return centre + (np.random.default_rng(RNG_SEED).random((n, 3)) - 0.5) * size


def reflect(points: np.ndarray, normal) -> np.ndarray:
    n = np.asarray(normal, dtype=float) / np.linalg.norm(normal)
    return points - 2.0 * (points @ n)[:, None] * n


BALL = qv.sphere(0.2, (0.35, 0.1, 0.05))
LONG = qv.capsule((0.0, 0.0, 0.0), (0.5, 0.2, 0.0), 0.12)  # longer than the spacings below


@pytest.mark.parametrize(
    ("shape", "normal"),
    [(BALL, (1, 0, 0)), (BALL, (-1, 2, 0.5)), (qv.box(0.4, center=(0.1, 0.2, 0)), (1, 1, 1))],
    ids=["folded", "folded_back", "crossing"],
)
def test_mirror_is_symmetric_and_keeps_the_original(shape, normal):
    both, image = shape.mirror(normal), shape.mirror(normal, keep_original=False)
    p = points_around(both)
    np.testing.assert_allclose(both(p)[0], both(reflect(p, normal))[0], atol=1e-12)
    np.testing.assert_allclose(image(p)[0], shape(reflect(p, normal))[0], atol=1e-12)
    # The union of the two, everywhere outside and where either holds the point.
    expected = np.minimum(shape(p)[0], image(p)[0])
    outside = expected > 0.0
    np.testing.assert_allclose(both(p)[0][outside], expected[outside], atol=1e-12)
    assert np.array_equal(both(p)[0] < 0.0, expected < 0.0)


@pytest.mark.parametrize("shape", [BALL, LONG], ids=["apart", "overlapping"])
@pytest.mark.parametrize("count", [1, 2, 5])
def test_arrays_are_the_union_of_exactly_count_copies(shape, count):
    step = np.array([0.3, -0.25, 0.1])
    row = qv.linear_array(shape, count, step)
    tilted = qv.circular_array(shape, count, axis=(0.2, 0.3, 1.0))
    ring = qv.circular_array(shape, count, axis="x", radius=0.1)  # moved out along y
    rows = qv.union(*(shape.translate(k * step) for k in range(count)))
    tilteds = qv.union(*(shape.rotate(360.0 * k / count, (0.2, 0.3, 1.0)) for k in range(count)))
    rings = qv.union(*(shape.translate((0, 0.1, 0)).rotate(360.0 * k / count, (1, 0, 0)) for k in range(count)))
    for made, expected in ((row, rows), (tilted, tilteds), (ring, rings)):
        p = points_around(expected, grow=2.5)
        np.testing.assert_allclose(made(p)[0], expected(p)[0], atol=1e-9)
    # The next copy along the row is absent: its centre lies as far out as the spacing goes.
    centre = np.asarray(shape.bounds.center)
    assert row(centre + count * step)[0] > 0.0 > row(centre + (count - 1) * step)[0]


R = 0.15
QUARTER = np.linspace(0.0, math.pi / 2.0, 9)
# Two half-spaces, x <= 0 and y <= 0, meeting along the z axis; where each
# edge's fillet (arc: centre and the signs it opens towards) and chamfer
# (from (sx r, 0) to (0, sy r)) lie.
EDGES = {"union": (1.0, 1.0), "intersection": (-1.0, -1.0), "difference": (-1.0, 1.0)}


@pytest.mark.parametrize("kind", EDGES)
def test_fillets_are_arcs_of_their_radius_and_chamfers_bevel_at_45_degrees(kind):
    sx, sy = EDGES[kind]
    a, b = qv.plane((1, 0, 0)), qv.plane((0, 1, 0))
    fillet = getattr(qv, f"fillet_{kind}")(a, b, R)
    chamfer = getattr(qv, f"chamfer_{kind}")(a, b, R)
    plain = {"union": qv.union, "intersection": qv.intersection, "difference": qv.difference}[kind](a, b)
    # The arc about (sx r, sy r) touches x = 0 at (0, sy r) and y = 0 at (sx r, 0).
    arc = np.column_stack([sx * R * (1 - np.cos(QUARTER)), sy * R * (1 - np.sin(QUARTER)), QUARTER])
    np.testing.assert_allclose(fillet(arc)[0], 0.0, atol=1e-12)
    bevel = np.column_stack([sx * R * QUARTER / QUARTER[-1], sy * R * (1 - QUARTER / QUARTER[-1]), QUARTER])
    np.testing.assert_allclose(chamfer(bevel)[0], 0.0, atol=1e-12)
    # Where one of the two (as the union of the kernel sees them) reaches 2r, the plain Boolean
    # (the fillet from r on, the bevel from r / (2 - sqrt 2)).
    p = (np.random.default_rng(RNG_SEED).random((500, 3)) - 0.5) * 2.0
    far = np.maximum(sx * p[:, 0], sy * p[:, 1]) >= 2.0 * R
    for made in (fillet, chamfer):
        np.testing.assert_allclose(made(p[far])[0], plain(p[far])[0], atol=1e-12)


L_SHAPE = qv.polygon([(0, 0), (0.6, 0), (0.6, 0.2), (0.2, 0.2), (0.2, 0.5), (0, 0.5)])
PLANAR = {  # made with the 2D operations, and the same shape made directly
    "translate": (qv.circle(0.1).translate((0.4, -0.2)), qv.circle(0.1, (0.4, -0.2))),
    "rotate": (qv.rectangle((0.6, 0.2), center=(0.3, 0.0)).rotate(90.0), qv.rectangle((0.2, 0.6), center=(0.0, 0.3))),
    "scale": (qv.circle(0.2, (0.1, 0.1)).scale(1.5), qv.circle(0.3, (0.15, 0.15))),
    "mirror_image": (L_SHAPE.mirror((1, 1), keep_original=False),
                     qv.polygon([(0, 0), (0, -0.6), (-0.2, -0.6), (-0.2, -0.2), (-0.5, -0.2), (-0.5, 0)])),
    "mirror": (L_SHAPE.mirror((1, 0)), qv.polygon([(-0.6, 0), (0.6, 0), (0.6, 0.2), (0.2, 0.2), (0.2, 0.5),
                                                   (-0.2, 0.5), (-0.2, 0.2), (-0.6, 0.2)])),
    "offset": (qv.rectangle((0.6, 0.2)).offset(0.05), qv.rectangle((0.7, 0.3), radius=0.05)),
    # Arcs are drawn as chords turning by 3 degrees: r (1 - cos 1.5 degrees) inside.
    "round": (qv.polygon([(-0.3, -0.15), (0.3, -0.15), (0.3, 0.15), (-0.3, 0.15)]).rotate(20).round(0.1),
              qv.rectangle((0.6, 0.3), radius=0.1).rotate(20)),
    "booleans": ((qv.rectangle(0.4) | qv.circle(0.1, (0.3, 0))) - qv.circle(0.05) & qv.rectangle((0.8, 0.3)), None),
    "shell": (qv.circle(0.3).shell(0.04), None),
}


@pytest.mark.parametrize("name", PLANAR)
def test_2d_operations_move_and_combine_the_shape(name):
    made, expected = PLANAR[name]
    p = (np.random.default_rng(RNG_SEED).random((2000, 2)) - 0.5) * 1.6
    if name == "booleans":
        parts = [s(p)[0] for s in (qv.rectangle(0.4), qv.circle(0.1, (0.3, 0)), qv.circle(0.05), qv.rectangle((0.8, 0.3)))]
        want = np.maximum(np.maximum(np.minimum(parts[0], parts[1]), -parts[2]), parts[3])
    elif name == "shell":
        want = np.abs(qv.circle(0.3)(p)[0]) - 0.02
    else:
        want = expected(p)[0]
    # Touching its mirror line, the L merges with its image: inside, a bound.
    exact = want > 0.0 if name == "mirror" else np.full(len(p), True)
    atol = 0.1 * (1 - math.cos(math.radians(1.5))) if name == "round" else 1e-12
    np.testing.assert_allclose(made(p)[0][exact], want[exact], atol=atol)
    assert np.mean((made(p)[0] < 0.0) == (want < 0.0)) > 0.999
    lo, hi = np.asarray(made.extent)
    outside = np.any((p < lo) | (p > hi), axis=1)
    assert outside.any() and np.all(made(p[outside])[0] > 0.0)
    with pytest.raises(TypeError, match="2D"):
        made | qv.sphere(0.5)


@pytest.mark.parametrize(("letters", "crossings"), [("o", 4), ("B", 6), ("8", 6), ("Hi@", None)])
def test_text_follows_its_glyphs_with_their_holes(letters, crossings):
    pytest.importorskip("matplotlib")
    from matplotlib.path import Path

    shape = qv.text(letters, size=1.0)
    (x0, y0), (x1, y1) = shape.extent
    p = np.random.default_rng(RNG_SEED).random((20_000, 2)) * [x1 - x0 + 0.2, y1 - y0 + 0.2] + [x0 - 0.1, y0 - 0.1]
    values = shape(p)[0]
    # Inside where an odd number of contours hold the point (matplotlib's own test, contour by contour).
    odd = sum(Path(c.vertices).contains_points(p).astype(int) for c in shape.contours) % 2 == 1
    clear = np.abs(values) > 1e-9
    assert np.array_equal(values[clear] < 0.0, odd[clear])
    if crossings is not None:  # up the middle: out, stroke, hole, stroke, ... out
        line = np.column_stack([np.full(2001, (x0 + x1) / 2.0), np.linspace(y0 - 0.1, y1 + 0.1, 2001)])
        assert np.count_nonzero(np.diff(np.sign(shape(line)[0]))) == crossings


def test_text_names_the_extra_it_needs(monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "matplotlib.textpath", None)
    with pytest.raises(ImportError, match=r"pip install 'quarvel\[preview\]'"):
        qv.text("x")


@pytest.mark.parametrize("turns", [0.6, 2.5])
def test_helix_follows_its_turns_and_pitch_and_stops(turns):
    radius, pitch, thickness = 0.5, 0.3, 0.1
    coil = qv.helix(radius, pitch, thickness, turns)
    assert qv.helix(radius, pitch, thickness, height=pitch * turns).bounds == coil.bounds

    def along(s, rho=radius, dz=0.0):  # the wire's middle after s turns, moved out or up
        angle = 2.0 * np.pi * np.asarray(s)
        return np.column_stack([rho * np.cos(angle), rho * np.sin(angle), pitch * np.asarray(s) + dz])

    s = np.linspace(0.0, turns, 200)
    assert np.all(coil(along(s))[0] < 0.0)
    # Every half-plane through the axis cuts the wire in a disc of the thickness.
    half = thickness / 2.0
    for rho, dz in ((radius + 0.98 * half, 0.0), (radius - 0.98 * half, 0.0), (radius, 0.98 * half)):
        assert np.all(coil(along(s[1:-1], rho, dz))[0] < 0.0)
    for rho, dz in ((radius + 1.02 * half, 0.0), (radius - 1.02 * half, 0.0), (radius, 1.02 * half)):
        assert np.all(coil(along(s, rho, dz))[0] > 0.0)
    # Nothing before the start, after the end, or a turn on.
    beyond = 1.05 * half / (2.0 * np.pi * radius)
    assert np.all(coil(along([-beyond, turns + beyond, turns + 1.0, -1.0]))[0] > 0.0)


def test_thread_is_a_right_handed_screw_of_its_pitch_and_depth():
    major, pitch, length = 0.3, 0.1, 0.8
    depth = 0.6134 * pitch
    rod = qv.thread(major, pitch, length)
    rng = np.random.default_rng(RNG_SEED)
    rho = major - depth + rng.random(500) * depth * 1.2
    z, angle = 0.2 + rng.random(500) * 0.3, rng.random(500) * 2.0 * np.pi
    at_zero = rod(np.column_stack([rho, np.zeros(500), z]))[0]
    # Turned by an angle, the same section rises by that share of the pitch.
    turned = np.column_stack([rho * np.cos(angle), rho * np.sin(angle), z + pitch * angle / (2.0 * np.pi)])
    np.testing.assert_allclose(rod(turned)[0], at_zero, atol=1e-12)
    np.testing.assert_allclose(rod(np.column_stack([rho, np.zeros(500), z + pitch]))[0], at_zero, atol=1e-12)
    # Crests at z = k pitch reach the major radius; the grooves between cut down to the core.
    k = np.arange(1, 7) * pitch
    crest, groove = k[:, None] * [0, 0, 1], (k[:, None] + pitch / 2.0) * [0, 0, 1]
    assert np.all(rod(crest + [0.999 * major, 0, 0])[0] < 0.0) and np.all(rod(crest + [1.001 * major, 0, 0])[0] > 0.0)
    core = major - depth
    assert np.all(rod(groove + [1.001 * core, 0, 0])[0] > 0.0) and np.all(rod(groove + [0.999 * core, 0, 0])[0] < 0.0)


CLOSED = {
    "mirror": lambda: qv.torus(0.3, 0.1).translate((0.2, 0.3, 0.0)).mirror((1, 1, 0)),
    "linear_array": lambda: qv.cylinder(0.1, 0.4).linear_array(4, (0.3, 0.0, 0.1)),
    "circular_array": lambda: qv.box(0.15).circular_array(6, radius=0.5),
    "fillet_union": lambda: qv.fillet_union(qv.box((1.0, 0.2, 0.6)), qv.cylinder(0.15, 1.0), 0.08),
    "chamfer_difference": lambda: qv.chamfer_difference(qv.box(0.8), qv.cylinder(0.2, 1.0), 0.06),
    "planar": lambda: (qv.rectangle((0.8, 0.5)).round(0.1) - qv.circle(0.1).mirror()).shell(0.04).extrude(0.3),
    "text": lambda: qv.text("B8", center=True).extrude(0.2),
    "helix": lambda: qv.helix(0.4, 0.2, 0.08, turns=2.0),
    "thread": lambda: qv.thread(0.25, 0.1, 0.5),
}


@pytest.mark.parametrize("name", CLOSED)
def test_new_shapes_mesh_closed(name):
    found = qv.mesh(CLOSED[name](), max_depth=6).check()
    assert found.ok, found
