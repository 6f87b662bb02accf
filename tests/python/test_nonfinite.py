"""Non-finite fields and degenerate boxes: NaN and infinity in places, constant
fields, zero gradients on the surface, zero-size, flat, inverted and non-finite
boxes. Each gives a well-formed result or the prescribed exception, never a
crash, a hang or a result that changes from one run to the next.

Every vertex is finite, whatever the samples: a normal that is not finite
counts as (0, 0, 1), a solve or projection step that is not finite is not
taken, and sums of squares that overflow are scaled; every coordinate lies in
its clamp box. Cell bounds that are inverted (a box with bbox_max < bbox_min) or
not finite stop the extraction at the clamp with PanicException "min > max, or
either was NaN. min = {min}, max = {max}".
"""

from __future__ import annotations

import math
import re

import numpy as np
import pytest

import _quarvel_rs as q
from hardening_support import BOX, box_field, outcome, same_result

nan, inf = math.nan, math.inf
CLAMP = "min > max, or either was NaN. min = {}, max = {}"

CONFIGS = {
    "uniform": {"min_depth": 3, "max_depth": 3},
    "band": {"min_depth": 2, "max_depth": 5},
    "balanced": {"min_depth": 1, "max_depth": 5, "adaptive": True},
}


def extract(field, box=BOX, **kw):
    return q.extract_mesh(field, *box, **kw)


def check_mesh(result, min_depth, lo=-1.0, hi=1.0):
    """Shapes, dtypes and indices; every coordinate finite and inside the domain
    grown by the widest sharp-vertex margin (a quarter of a min_depth cell)."""
    vertices, triangles = result
    assert vertices.dtype == np.float64 and vertices.ndim == 2 and vertices.shape[1] == 3
    assert triangles.dtype == np.int64 and triangles.ndim == 2 and triangles.shape[1] == 3
    assert np.all((triangles >= 0) & (triangles < len(vertices)))
    margin = 0.25 * (hi - lo) / 2**min_depth
    assert np.all((vertices >= lo - margin) & (vertices <= hi + margin))


def altered(base, values=None, gradients=None):
    """`base` with its values and/or gradients replaced where a condition holds."""

    def field(p):
        v, g = base(p)
        if values is not None:
            v = values(p, v.copy())
        if gradients is not None and g is not None:
            g = gradients(p, g.copy())
        return v, g

    return field


def _where(cond, value):
    return lambda p, a: np.where(cond(p) if a.ndim == 1 else cond(p)[:, None], value, a)


def _speckled(p):
    """A scattered, deterministic subset of the points (about a third)."""
    return np.abs(np.sin(p.sum(axis=1) * 1e3)) < 0.5


# ----------------------------------------------------------------------------- non-finite samples

NONFINITE = {
    "nan-values-half-space": (True, dict(values=_where(lambda p: p[:, 0] > 0.3, nan))),
    "nan-values-half-space-fd": (False, dict(values=_where(lambda p: p[:, 0] > 0.3, nan))),
    "inf-values-half-space": (True, dict(values=_where(lambda p: p[:, 0] > 0.3, inf))),
    "minus-inf-values-half-space-fd": (False, dict(values=_where(lambda p: p[:, 0] > 0.3, -inf))),
    "nan-values-speckled": (True, dict(values=_where(_speckled, nan))),
    "nan-values-speckled-fd": (False, dict(values=_where(_speckled, nan))),
    "mixed-inf-speckled": (True, dict(values=lambda p, v: np.where(
        _speckled(p), np.where(p[:, 1] > 0, inf, -inf), v))),
    "nan-gradients": (True, dict(gradients=lambda p, g: np.full_like(g, nan))),
    "inf-gradients": (True, dict(gradients=lambda p, g: np.full_like(g, inf))),
    "nan-gradients-half-space": (True, dict(gradients=_where(lambda p: p[:, 2] < 0.0, nan))),
    "huge-gradients": (True, dict(gradients=lambda p, g: g * 1e300)),
    "tiny-gradients": (True, dict(gradients=lambda p, g: g * 1e-300)),
    "huge-values": (True, dict(values=lambda p, v: v * 1e300)),
    "tiny-values-fd": (False, dict(values=lambda p, v: v * 1e-300)),
    # Faults that once returned NaN vertices as a successful mesh.
    "occupancy": (True, dict(values=lambda p, v: np.where(v < 0, -inf, inf))),
    "occupancy-fd": (False, dict(values=lambda p, v: np.where(v < 0, -inf, inf))),
    "scaled-1e160": (True, dict(values=lambda p, v: v * 1e160, gradients=lambda p, g: g * 1e160)),
    "inf-gradient-slice": (True, dict(gradients=_where(lambda p: np.abs(p[:, 0] - 0.1) < 0.05, inf))),
}


@pytest.mark.parametrize("config", list(CONFIGS))
@pytest.mark.parametrize("case", list(NONFINITE))
def test_nonfinite_samples_give_a_stable_wellformed_mesh(fields, case, config):
    gradients, change = NONFINITE[case]
    field = altered(fields.sphere(0.5, gradients=gradients), **change)
    kw = CONFIGS[config]
    with np.errstate(all="ignore"):
        first = extract(field, **kw)
        second = extract(field, **kw)
    check_mesh(first, kw["min_depth"])
    assert same_result(first, second)


@pytest.mark.parametrize("config", list(CONFIGS))
@pytest.mark.parametrize(
    "case", ["huge-gradients", "tiny-gradients", "huge-values", "tiny-values-fd"]
)
def test_finite_extremes_give_finite_vertices(fields, case, config):
    gradients, change = NONFINITE[case]
    field = altered(fields.sphere(0.5, gradients=gradients), **change)
    vertices, triangles = extract(field, **CONFIGS[config])
    assert np.isfinite(vertices).all() and len(triangles) > 0


# ----------------------------------------------------------------------------- constant fields


@pytest.mark.parametrize("gradients", [True, False], ids=["gradients", "fd"])
@pytest.mark.parametrize(
    ("value", "inside"),
    [(0.0, False), (1.0, False), (-1.0, True), (nan, False), (inf, False), (-inf, True)],
    ids=["iso", "above", "below", "nan", "inf", "minus-inf"],
)
@pytest.mark.parametrize("config", list(CONFIGS))
def test_constant_field_gives_an_empty_mesh(fields, value, inside, gradients, config):
    """No sign change: only the first lattice is sampled (no cell is selected for
    refinement), the dual contouring never calls the field, both arrays are (0, 3)."""
    rec = fields.Recorder(fields.constant(value, gradients=gradients))
    kw = CONFIGS[config]
    vertices, triangles = extract(rec, **kw)
    assert vertices.shape == (0, 3) and vertices.dtype == np.float64
    assert triangles.shape == (0, 3) and triangles.dtype == np.int64
    first = (2 ** kw["min_depth"] + 1) ** 3
    assert rec.sizes == ([first] if gradients else [first, 6 * first])
    stats = q.build_octree_uniform(fields.constant(value, gradients=gradients), *BOX, 3)
    evaluations = 729 if gradients else 7 * 729
    assert stats == ((0, 0, 0, 1, 0, evaluations) if inside else (0, 0, 1, 0, 0, evaluations))


# ----------------------------------------------------------------------------- zero gradients


def cubic(gradients):
    """(|p| - 0.5)^3: the sphere's zero set, with a zero gradient on it."""

    def field(p):
        r = np.sqrt(np.einsum("ij,ij->i", p, p))
        d = r - 0.5
        if not gradients:
            return d**3, None
        return d**3, (3.0 * d * d / np.where(r > 0.0, r, 1.0))[:, None] * p

    return field


@pytest.mark.parametrize("gradients", [True, False], ids=["gradients", "fd"])
def test_zero_gradient_on_the_surface(fields, gradients):
    """Same signs as the sphere, so on a uniform tree the same cells, vertices
    and number of faces (the split of each quad follows the vertex positions);
    the vertices stay finite and in their cells."""
    kw = {"min_depth": 4, "max_depth": 4}
    vertices, triangles = extract(cubic(gradients), **kw)
    sphere_vertices, sphere_triangles = extract(fields.sphere(0.5, gradients=gradients), **kw)
    assert vertices.shape == sphere_vertices.shape
    assert triangles.shape == sphere_triangles.shape
    assert np.isfinite(vertices).all()
    check_mesh((vertices, triangles), 4)
    for config in CONFIGS.values():
        result = extract(cubic(gradients), **config)
        assert np.isfinite(result[0]).all() and len(result[1]) > 0
        check_mesh(result, config["min_depth"])


@pytest.mark.parametrize("config", list(CONFIGS))
def test_field_returning_zero_gradients(fields, config):
    """Zero gradients: unit normal (0, 0, 1) for the Hermite samples, no
    projection move; the mesh is still complete and finite."""
    field = altered(fields.sphere(0.5), gradients=lambda p, g: np.zeros_like(g))
    kw = CONFIGS[config]
    vertices, triangles = extract(field, **kw)
    assert np.isfinite(vertices).all() and len(triangles) > 0
    check_mesh((vertices, triangles), kw["min_depth"])


# ----------------------------------------------------------------------------- degenerate boxes


def blind(p):
    """A field that ignores its points: every third value below zero, normals +z.
    It has a surface in any box, whatever the box's coordinates."""
    values = np.where(np.arange(len(p)) % 3 == 0, -1.0, 1.0)
    return values, np.tile([0.0, 0.0, 1.0], (len(p), 1))


@pytest.mark.parametrize("config", list(CONFIGS))
def test_zero_size_box(fields, config):
    kw = CONFIGS[config]
    # Every lattice point is the centre: inside the sphere, or on its surface.
    for centre, inside in [((0.0, 0.0, 0.0), True), ((0.5, 0.0, 0.0), False)]:
        rec = fields.Recorder(fields.sphere(0.5))
        vertices, triangles = extract(rec, (centre, centre), **kw)
        assert vertices.shape == (0, 3) and triangles.shape == (0, 3)
        assert all(np.all(c == centre) for c in rec.calls)
        stats = q.build_octree_uniform(fields.sphere(0.5), centre, centre, 3)
        assert stats == ((0, 0, 0, 1, 0, 729) if inside else (0, 0, 1, 0, 0, 729))
    # A field with a surface anyway: every cell, and so every vertex, is the centre.
    centre = (0.25, -0.5, 2.0)
    vertices, triangles = extract(blind, (centre, centre), **kw)
    assert len(vertices) > 0
    assert np.all(vertices == np.array(centre))
    check_mesh((vertices, triangles), kw["min_depth"], lo=-0.5, hi=2.0)


HALF = ((-0.5,) * 3, (0.5,) * 3)


@pytest.mark.parametrize(
    ("box", "cube", "radius"),
    [
        (((-1.0, -1.0, 0.0), (1.0, 1.0, 0.0)), BOX, 0.5),
        (((0.0, -1.0, 0.0), (0.0, 1.0, 0.0)), BOX, 0.5),
        # One axis inverted; the widest extent is positive.
        (((-1.0, 1.0, -1.0), (1.0, -1.0, 1.0)), BOX, 0.5),
        # x inverted (extent -2), y inverted (-1), z extent 1: the cube is HALF.
        (((1.0, 0.5, -0.5), (-1.0, -0.5, 0.5)), HALF, 0.25),
    ],
    ids=["flat-z", "line-y", "inverted-y", "inverted-xy-narrow"],
)
@pytest.mark.parametrize("config", list(CONFIGS))
def test_boxes_widened_to_the_same_cube(fields, box, cube, radius, config):
    """The cube is the widest extent (a negative one loses) about the centre."""
    field = fields.sphere(radius)
    kw = CONFIGS[config]
    got = extract(field, box, **kw)
    assert same_result(got, extract(field, cube, **kw))
    assert len(got[1]) > 0


@pytest.mark.parametrize("config", list(CONFIGS))
def test_inverted_box_is_a_clamp_fault(fields, config, capfd):
    """bbox_max < bbox_min on every axis gives a negative cube edge, so every
    cell box is inverted: the first vertex job stops the extraction."""
    kw = CONFIGS[config]
    got = outcome(extract, fields.sphere(0.5), ((1.0,) * 3, (-1.0,) * 3), **kw)
    assert got.exc_type is q.PanicException
    match = re.fullmatch(CLAMP.format(r"(\S+)", r"(\S+)"), got.message)
    assert match, got.message
    lo, hi = float(match[1]), float(match[2])
    # A cell's lower bound against lower bound plus its (negative) edge.
    assert lo > hi and -1.0 <= hi < lo <= 1.0
    edge = lo - hi
    assert any(edge == 2.0 / 2**level for level in range(kw["min_depth"], kw["max_depth"] + 1))
    assert got.message in capfd.readouterr().err


@pytest.mark.parametrize(
    ("box", "depths", "message"),
    [
        # Origin 1.0 and edge -2/2^d: the first cell of the list, the one at the
        # origin (a surface cell: its corner 0 is the first point, below zero),
        # runs from 1.0 to 1.0 - 2/2^d.
        (((1.0,) * 3, (-1.0,) * 3), (2, 2), CLAMP.format("1.0", "0.5")),
        (((1.0,) * 3, (-1.0,) * 3), (3, 3), CLAMP.format("1.0", "0.75")),
        # A NaN centre: NaN bounds.
        (((nan, -1.0, -1.0), (1.0, 1.0, 1.0)), (2, 2), CLAMP.format("NaN", "NaN")),
        (((nan,) * 3, (nan,) * 3), (1, 3), CLAMP.format("NaN", "NaN")),
        # An infinite edge: origin -inf, and -inf + inf is NaN.
        (((-inf, -1.0, -1.0), (1.0, 1.0, 1.0)), (2, 2), CLAMP.format("-inf", "NaN")),
        (((-1e308,) * 3, (1e308,) * 3), (1, 3), CLAMP.format("-inf", "NaN")),
    ],
    ids=["inverted-2", "inverted-3", "nan-x", "nan-all", "inf-x", "overflowing-extent"],
)
def test_nonfinite_or_inverted_cell_bounds_exact_fault(box, depths, message, capfd):
    for adaptive in (False, True):
        got = outcome(extract, blind, box, min_depth=depths[0], max_depth=depths[1],
                      adaptive=adaptive)
        assert (got.exc_type, got.message) == (q.PanicException, message)
    assert message in capfd.readouterr().err


@pytest.mark.parametrize(
    "box",
    [((nan, -1.0, -1.0), (1.0, 1.0, 1.0)), ((-inf,) * 3, (inf,) * 3), ((-1e308,) * 3, (1e308,) * 3)],
    ids=["nan", "inf", "overflowing"],
)
def test_nonfinite_box_with_a_real_field_gives_an_empty_mesh(fields, box):
    """Every lattice point has a NaN coordinate (or an infinite one), the sphere
    is NaN or positive there, nothing is below zero."""
    for config in CONFIGS.values():
        vertices, triangles = extract(fields.sphere(0.5), box, **config)
        assert vertices.shape == (0, 3) and triangles.shape == (0, 3)


def test_inverted_box_builds_the_mirrored_tree(fields):
    """The build does not clamp: an inverted box samples the mirrored lattice,
    which for the (symmetric) sphere gives the same counts."""
    sphere = fields.sphere(0.5)
    inverted = ((1.0,) * 3, (-1.0,) * 3)
    for depth in (1, 2, 3, 4):
        assert q.build_octree_uniform(sphere, *inverted, depth) == q.build_octree_uniform(
            sphere, *BOX, depth)


# ----------------------------------------------------------------------------- iso and angle


@pytest.mark.parametrize("iso", [nan, inf, -inf])
@pytest.mark.parametrize("config", list(CONFIGS))
def test_nonfinite_iso_value_gives_an_empty_mesh(fields, iso, config):
    """Nothing is below NaN or -inf; everything finite is below +inf."""
    vertices, triangles = extract(fields.sphere(0.5), iso_value=iso, **CONFIGS[config])
    assert vertices.shape == (0, 3) and triangles.shape == (0, 3)


@pytest.mark.parametrize("angle", [nan, inf, -inf, -1e308, 0.0, 1e308])
@pytest.mark.parametrize("config", list(CONFIGS))
def test_any_angle_threshold_gives_a_mesh(angle, config):
    kw = CONFIGS[config]
    with np.errstate(all="ignore"):
        first = extract(box_field(), angle_threshold_deg=angle, **kw)
    check_mesh(first, kw["min_depth"])
    assert np.isfinite(first[0]).all() and len(first[1]) > 0
    assert same_result(first, extract(box_field(), angle_threshold_deg=angle, **kw))
