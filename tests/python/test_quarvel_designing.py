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
