"""build_octree_uniform / build_octree_adaptive: statistics, batching and failures.

Expected tuples are (leaf, internal, outside, inside, max_leaf_depth, eval_count).
Hand-derived cases are explained where they appear.
"""

from __future__ import annotations

import gc
import math
import sys
import time

import numpy as np
import pytest

import _quarvel_rs as q

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
ORIGIN, SIZE = (-1.0, -1.0, -1.0), 2.0


def norm_field(gradients=True):
    """f(p) = |p| (no offset), for iso-value tests."""

    def field(p):
        r = np.sqrt(np.einsum("ij,ij->i", p, p))
        return r, (np.zeros((len(p), 3)) if gradients else None)

    return field


def values_field(fn, gradients=True):
    def field(p):
        return fn(p).astype(np.float64), (np.zeros((len(p), 3)) if gradients else None)

    return field


def _nan_centre(p):
    v = np.full(len(p), -1.0)
    v[np.all(p == 0.0, axis=1)] = np.nan
    return v


# --------------------------------------------------------------------------- exact statistics


@pytest.mark.parametrize(
    ("make", "depth", "expected"),
    [
        # Sphere |p| - 0.5 at depth 1: only the centre is below 0, it is a corner of all
        # eight cells, so each is a Leaf.
        pytest.param(lambda f: f.sphere(), 1, (8, 1, 0, 0, 1, 27), id="sphere-d1"),
        pytest.param(lambda f: f.sphere(gradients=False), 1, (8, 1, 0, 0, 1, 189),
                     id="sphere-d1-fd"),
        # Depth 2 (h = 0.5): again only the centre is below (the six points at distance
        # 0.5 are exactly on the iso value, hence not below): the 8 cells around the
        # centre are Leafs, the other 7 cells of each octant are Outside.
        pytest.param(lambda f: f.sphere(), 2, (8, 9, 56, 0, 2, 125), id="sphere-d2"),
        # Radius 0.6 at depth 2: the centre and its six face neighbours are below; every
        # cell touching one of them is a Leaf: 8 + 6 * 4 = 32, i.e. 4 per octant.
        pytest.param(lambda f: f.sphere(radius=0.6), 2, (32, 9, 32, 0, 2, 125),
                     id="sphere-r06-d2"),
        pytest.param(lambda f: f.constant(1.0), 3, (0, 0, 1, 0, 0, 729), id="outside-d3"),
        pytest.param(lambda f: f.constant(1.0, gradients=False), 3, (0, 0, 1, 0, 0, 7 * 729),
                     id="outside-d3-fd"),
        pytest.param(lambda f: f.constant(-1.0), 1, (0, 0, 0, 1, 0, 27), id="inside-d1"),
        pytest.param(lambda f: f.constant(-1.0), 3, (0, 0, 0, 1, 0, 729), id="inside-d3"),
        # Values equal to the iso value are not below it.
        pytest.param(lambda f: f.constant(0.0), 2, (0, 0, 1, 0, 0, 125), id="on-iso-d2"),
        pytest.param(lambda f: f.constant(math.nan), 1, (0, 0, 1, 0, 0, 27), id="nan-d1"),
        # All below except a NaN centre: every cell has one corner not below.
        pytest.param(lambda f: values_field(_nan_centre), 1, (8, 1, 0, 0, 1, 27),
                     id="nan-centre-d1"),
        # Depth 0: eight corner samples, the root itself.
        pytest.param(lambda f: f.plane(), 0, (1, 0, 0, 0, 0, 8), id="straddling-d0"),
        pytest.param(lambda f: f.plane(gradients=False), 0, (1, 0, 0, 0, 0, 56),
                     id="straddling-d0-fd"),
        pytest.param(lambda f: f.constant(2.0), 0, (0, 0, 1, 0, 0, 8), id="outside-d0"),
        pytest.param(lambda f: f.constant(-2.0), 0, (0, 0, 0, 1, 0, 8), id="inside-d0"),
        # Plane x = 0.25 at depth 2: the x = 0.5 and x = 1 lattice planes are not below;
        # the 16 cells of the slab 0 <= x <= 0.5 are Leafs; in each octant on the left the
        # 8 cells are Inside and merge, on the right the slab 0.5..1 is Outside.
        pytest.param(lambda f: f.plane(offset=0.25), 2, (16, 5, 16, 4, 2, 125),
                     id="plane-d2"),
    ],
)
def test_uniform_statistics(fields, make, depth, expected):
    stats = q.build_octree_uniform(make(fields), *BOX, depth)
    assert type(stats) is tuple and all(type(v) is int for v in stats)
    assert stats == expected


@pytest.mark.parametrize("depth", [0, 1, 2, 3])
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda f: f.sphere(), id="sphere"),
        pytest.param(lambda f: f.sphere(radius=0.3, gradients=False), id="sphere-fd"),
        pytest.param(lambda f: f.plane(axis=1, offset=0.1), id="plane"),
        pytest.param(lambda f: f.constant(1.0), id="constant"),
    ],
)
def test_adaptive_with_equal_depths_is_uniform(fields, make, depth):
    uniform = fields.Recorder(make(fields))
    adaptive = fields.Recorder(make(fields))
    assert q.build_octree_adaptive(adaptive, *BOX, depth, depth) == q.build_octree_uniform(
        uniform, *BOX, depth
    )
    assert len(adaptive.calls) == len(uniform.calls)
    for a, b in zip(adaptive.calls, uniform.calls):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize(("min_depth", "max_depth"), [(2, 4), (2, 5), (1, 4), (0, 3)])
def test_adaptive_leaves_reach_max_depth(fields, min_depth, max_depth):
    stats = q.build_octree_adaptive(fields.sphere(radius=0.45), *BOX, min_depth, max_depth)
    leaves, internal, outside, inside, deepest, evals = stats
    assert deepest == max_depth
    assert leaves > 0 and internal > 0
    # Every node but the root belongs to exactly one group of eight.
    assert leaves + internal + outside + inside == 8 * internal + 1
    assert evals <= (2**max_depth + 1) ** 3


# --------------------------------------------------------------------------- iso value


@pytest.mark.parametrize("depth", [1, 2, 3])
@pytest.mark.parametrize("iso", [0.5, 1, np.float32(0.75), np.int64(1)])
def test_iso_value_shifts_the_field(fields, depth, iso):
    shifted = fields.sphere(radius=float(iso))
    expected = q.build_octree_uniform(shifted, *BOX, depth)
    assert q.build_octree_uniform(norm_field(), *BOX, depth, iso) == expected
    assert q.build_octree_uniform(norm_field(), *BOX, depth, iso_value=iso) == expected
    assert q.build_octree_adaptive(norm_field(), *BOX, depth, depth, iso) == expected


def test_iso_value_default_is_zero(fields):
    f = fields.sphere(radius=0.3)
    assert q.build_octree_uniform(f, *BOX, 2) == q.build_octree_uniform(f, *BOX, 2, 0.0)
    assert q.build_octree_adaptive(f, *BOX, 1, 3) == q.build_octree_adaptive(f, *BOX, 1, 3, 0.0)


def test_iso_value_changes_masks_not_samples(fields):
    # Same field, iso 0.0 vs 1.5: the samples are the same, the classification is not.
    rec_a = fields.Recorder(norm_field())
    rec_b = fields.Recorder(norm_field())
    a = q.build_octree_uniform(rec_a, *BOX, 1, 0.0)
    b = q.build_octree_uniform(rec_b, *BOX, 1, 1.5)
    np.testing.assert_array_equal(rec_a.calls[0], rec_b.calls[0])
    # iso 0: nothing is below 0 -> Outside root. iso 1.5: only the corners (sqrt 3) are
    # not below: each cell has one such corner -> 8 Leafs.
    assert a == (0, 0, 1, 0, 0, 27)
    assert b == (8, 1, 0, 0, 1, 27)


# --------------------------------------------------------------------------- the first batch


@pytest.mark.parametrize("depth", [0, 1, 2, 3])
@pytest.mark.parametrize("gradients", [True, False], ids=["gradients", "fd"])
def test_uniform_batches(fields, depth, gradients):
    rec = fields.Recorder(fields.sphere(radius=0.4, gradients=gradients))
    stats = q.build_octree_uniform(rec, *BOX, depth)
    first = fields.lattice(ORIGIN, SIZE, depth)
    assert rec.sizes[0] == (2**depth + 1) ** 3
    np.testing.assert_array_equal(rec.calls[0], first)  # z outermost, x fastest
    if gradients:
        assert len(rec.calls) == 1
    else:
        h = SIZE / 2**depth
        assert len(rec.calls) == 2
        np.testing.assert_array_equal(rec.calls[1], fields.fd_offsets(first, 0.01 * h))
    assert stats[5] == rec.total_points


@pytest.mark.parametrize(
    ("bbox_min", "bbox_max", "origin", "size"),
    [
        # Extents (4, 1, 1): the cube of edge 4 around the centre, beyond the box.
        ((-2.0, -0.5, -0.5), (2.0, 0.5, 0.5), (-2.0, -2.0, -2.0), 4.0),
        ((-1.0, -0.5, -0.5), (1.0, 0.5, 0.5), (-1.0, -1.0, -1.0), 2.0),
        ((1.0, 10.0, -3.0), (5.0, 11.0, -2.0), (1.0, 8.5, -4.5), 4.0),
        ((0.0, 0.0, -4.0), (1.0, 2.0, 4.0), (-3.5, -3.0, -4.0), 8.0),
    ],
)
def test_lattice_covers_the_cube_around_the_box(fields, bbox_min, bbox_max, origin, size):
    rec = fields.Recorder(fields.constant(1.0))
    q.build_octree_uniform(rec, bbox_min, bbox_max, 2)
    np.testing.assert_array_equal(rec.calls[0], fields.lattice(origin, size, 2))


# --------------------------------------------------------------------------- adaptive batching


def _lattice_keys(points, origin, h, max_depth):
    keys = (np.asarray(points) - np.asarray(origin)) / h
    rounded = np.rint(keys)
    np.testing.assert_array_equal(keys, rounded)  # every point lies on the finest lattice
    assert rounded.min() >= 0 and rounded.max() <= 2**max_depth
    return [tuple(int(v) for v in row) for row in rounded]


@pytest.mark.parametrize(
    ("make", "min_depth", "max_depth"),
    [
        pytest.param(lambda f, g: f.sphere(radius=0.45, gradients=g), 1, 4, id="sphere-1-4"),
        pytest.param(lambda f, g: f.sphere(radius=0.6, centre=(0.1, -0.2, 0.05), gradients=g),
                     2, 4, id="sphere-off-centre-2-4"),
        pytest.param(lambda f, g: f.plane(offset=0.3, gradients=g), 1, 3, id="plane-1-3"),
        pytest.param(lambda f, g: f.sphere(radius=0.5, gradients=g), 0, 3, id="sphere-0-3"),
    ],
)
@pytest.mark.parametrize("gradients", [True, False], ids=["gradients", "fd"])
def test_adaptive_batching(fields, make, min_depth, max_depth, gradients):
    rec = fields.Recorder(make(fields, gradients))
    stats = q.build_octree_adaptive(rec, *BOX, min_depth, max_depth)
    h = SIZE / 2**max_depth
    value_calls = rec.calls if gradients else rec.calls[0::2]
    if not gradients:
        # Every value batch is followed by one finite-difference batch on the same points.
        assert len(rec.calls) % 2 == 0
        for values_batch, fd_batch in zip(rec.calls[0::2], rec.calls[1::2]):
            np.testing.assert_array_equal(fd_batch, fields.fd_offsets(values_batch, 0.01 * h))
    np.testing.assert_array_equal(value_calls[0], fields.lattice(ORIGIN, SIZE, min_depth))
    assert len(value_calls) >= 2  # the surface forces at least one refinement step
    seen = set()
    for batch in value_calls:
        assert len(batch) > 0
        keys = _lattice_keys(batch, ORIGIN, h, max_depth)
        assert len(set(keys)) == len(keys)
        assert seen.isdisjoint(keys)  # no lattice point evaluated twice in one build
        seen.update(keys)
    assert stats[5] == rec.total_points
    assert stats[4] == max_depth


def _first_seen_children_corners(max_depth, level, cell=(0, 0, 0)):
    """Lattice keys of the children's corners of one cell, in child then corner order."""
    t = 2 ** (max_depth - level - 1)
    base = [c * 2 * t for c in cell]
    out = []
    for c in range(8):
        child = [base[0] + t * (c & 1), base[1] + t * ((c >> 1) & 1), base[2] + t * ((c >> 2) & 1)]
        for i in range(8):
            key = (child[0] + t * (i & 1), child[1] + t * ((i >> 1) & 1),
                   child[2] + t * ((i >> 2) & 1))
            if key not in out:
                out.append(key)
    return out


def test_refinement_batch_is_in_first_seen_order(fields):
    # Plane x = 0.3 from depth 0 to 1: the root is a Leaf whose corner normals agree, so
    # level refinement stops at once; the band pass refines the root with one batch of
    # the 19 lattice points of level 1 that are not root corners, in first-seen order.
    rec = fields.Recorder(fields.plane(offset=0.3))
    stats = q.build_octree_adaptive(rec, *BOX, 0, 1)
    assert rec.sizes == [8, 19]
    corners = {(x, y, z) for x in (0, 2) for y in (0, 2) for z in (0, 2)}
    expected = [k for k in _first_seen_children_corners(1, 0) if k not in corners]
    h = SIZE / 2
    np.testing.assert_array_equal(
        rec.calls[1], np.array([[ORIGIN[i] + k[i] * h for i in range(3)] for k in expected])
    )
    # The four children with x <= 0 have all corners below 0.3 (Inside); the four on the
    # right have corners x = 0 (below) and x = 1 (not): Leafs.
    assert stats == (4, 1, 0, 4, 1, 27)


# Plane f = x over [-1, 1]^3, depths 1 to 3, worked out by hand:
#  phase 1 (27 points): left level-1 cells are Leafs (x = -1 below, x = 0 not), right are
#   Outside. Phase 3, level 1: Leafs have equal normals and lengths -> not selected; the
#   right cells have F = 0 -> selected: 57 new points. Level 2: their 32 Outside children
#   (F = 0 or 0.5 < 0.866 * 1.5) are all selected: 330 new points. Band pass 1 refines the
#   4 left Leafs (41 points), pass 2 the 16 Leafs of level 2 (137 points); pass 3 finds the
#   finest Leafs' neighbours already at level 3.
#  Final: 64 Leafs, internal 1 + 8 + 16 + 32 = 57, Outside 256, Inside 16 + 64 = 80.
PLANE_SIZES = [27, 57, 330, 41, 137]
PLANE_STATS = (64, 57, 256, 80, 3)


@pytest.mark.parametrize("gradients", [True, False], ids=["gradients", "fd"])
def test_planar_field(fields, gradients):
    rec = fields.Recorder(fields.plane(gradients=gradients))
    stats = q.build_octree_adaptive(rec, *BOX, 1, 3)
    assert stats[:5] == PLANE_STATS
    if gradients:
        assert rec.sizes == PLANE_SIZES
        assert stats[5] == 592
    else:
        assert rec.sizes == [n * k for n in PLANE_SIZES for k in (1, 6)]
        assert stats[5] == 7 * 592


# --------------------------------------------------------------------------- level refinement
#
# Depths 0 to 2. The field is -1 at the corner (-1, -1, -1) and 1 elsewhere; its gradient
# is (1, 0, 0) everywhere except at the corner (1, 1, 1), where the case sets it. The root
# is a Leaf. If level refinement selects it, its seven Outside children (F = 1 < sqrt 3 *
# 1.5) are refined at level 1 as well: (1, 9, 63, 0, 2, 125). If not, the band pass
# refines only the Leaf chain: (1, 2, 14, 0, 2, 46).

SELECTED = (1, 9, 63, 0, 2, 125)
NOT_SELECTED = (1, 2, 14, 0, 2, 46)


def _corner_leaf_field(corner_gradient):
    odd = np.asarray(corner_gradient, dtype=np.float64)

    def field(p):
        at_min = np.all(p == -1.0, axis=1)
        at_max = np.all(p == 1.0, axis=1)
        values = np.where(at_min, -1.0, 1.0)
        grads = np.zeros((len(p), 3))
        grads[:, 0] = 1.0
        grads[at_max] = odd
        return values, grads

    return field


def _rotated(deg):
    r = math.radians(deg)
    return (math.cos(r), math.sin(r), 0.0)


@pytest.mark.parametrize(
    ("odd", "expected"),
    [
        pytest.param((1.0, 0.0, 0.0), NOT_SELECTED, id="all-parallel"),
        pytest.param(_rotated(31.0), SELECTED, id="angle-31"),
        pytest.param(_rotated(29.0), NOT_SELECTED, id="angle-29"),
        pytest.param((-1.0, 0.0, 0.0), SELECTED, id="opposite"),
        pytest.param((4.5, 0.0, 0.0), SELECTED, id="ratio-4.5"),
        pytest.param((4.0, 0.0, 0.0), NOT_SELECTED, id="ratio-4"),
        pytest.param((0.0, 0.0, 0.0), NOT_SELECTED, id="zero-length-corner"),
        pytest.param((1e-13, 0.0, 0.0), NOT_SELECTED, id="tiny-corner"),
        pytest.param((0.0, 1e-13, 0.0), NOT_SELECTED, id="tiny-orthogonal-corner"),
        pytest.param((math.nan, 0.0, 0.0), NOT_SELECTED, id="nan-corner"),
    ],
)
def test_leaf_selection(odd, expected):
    assert q.build_octree_adaptive(_corner_leaf_field(odd), *BOX, 0, 2) == expected


# Depths 0 to 1, field 10 everywhere: the root is Outside and is refined when
# 10 < (2 * sqrt 3) * (G * 1.5), i.e. when the largest gradient length G > 1.92450.
@pytest.mark.parametrize(
    ("g", "expected"),
    [
        (1.93, (0, 1, 8, 0, 0, 27)),
        (1.92, (0, 0, 1, 0, 0, 8)),
        (0.0, (0, 0, 1, 0, 0, 8)),
    ],
)
def test_uniform_cell_distance_test(g, expected):
    def field(p):
        grads = np.zeros((len(p), 3))
        grads[:, 2] = g
        return np.full(len(p), 10.0), grads

    assert q.build_octree_adaptive(field, *BOX, 0, 1) == expected


# --------------------------------------------------------------------------- failures


class FieldError(Exception):
    pass


class FailingField:
    """A field that raises a new FieldError on call number `index`."""

    def __init__(self, field, index):
        self.field = field
        self.index = index
        self.count = 0

    def __call__(self, p):
        n = self.count
        self.count += 1
        if n == self.index:
            raise FieldError(f"call {n}")
        return self.field(p)


FAILURE_POINTS = [
    pytest.param(True, 0, id="first-batch"),
    pytest.param(True, 1, id="level-refinement"),
    pytest.param(True, 2, id="level-refinement-2"),
    pytest.param(True, 3, id="band-pass"),
    pytest.param(True, 4, id="band-pass-2"),
    pytest.param(False, 1, id="fd-first-batch"),
    pytest.param(False, 2, id="fd-level-refinement-values"),
    pytest.param(False, 7, id="fd-band-pass"),
]


@pytest.mark.parametrize(("gradients", "index"), FAILURE_POINTS)
def test_field_exception_reaches_caller_unchanged(fields, gradients, index):
    error = FieldError(f"call {index}")
    failing = fields.FailOnCall(fields.plane(gradients=gradients), index, error)
    with pytest.raises(FieldError) as info:
        q.build_octree_adaptive(failing, *BOX, 1, 3)
    assert info.value is error
    assert failing.count == index + 1  # nothing is called after the failure


@pytest.mark.parametrize(("gradients", "index"), FAILURE_POINTS)
def test_field_exception_leaks_no_references(fields, gradients, index):
    inner = fields.plane(gradients=gradients)
    failing = FailingField(inner, index)
    bmin, bmax = list(BOX[0]), list(BOX[1])
    tracked = [failing, inner, bmin, bmax]
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(20):
        failing.count = 0
        with pytest.raises(FieldError):
            q.build_octree_adaptive(failing, bmin, bmax, 1, 3)
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before


def _shorten_call(field, index, which):
    state = {"n": 0}

    def wrapped(p):
        n = state["n"]
        state["n"] += 1
        values, grads = field(p)
        if n == index:
            if which == "values":
                values = values[:-1].copy()
            elif which == "gradients":
                grads = grads[:-1].copy()
            elif which == "narrow":
                grads = np.ascontiguousarray(grads[:, :2])
            elif which == "empty-narrow":
                grads = np.zeros((0, 2))
        return values, grads

    return wrapped


@pytest.mark.parametrize(
    ("gradients", "index", "which", "message"),
    [
        (True, 0, "values", "index out of bounds: the len is 26 but the index is 26"),
        (True, 0, "gradients", "index out of bounds: the len is 26 but the index is 26"),
        (True, 0, "empty-narrow", "index out of bounds: the len is 0 but the index is 0"),
        (True, 0, "narrow", "ndarray: index out of bounds"),
        (True, 1, "values", "index out of bounds: the len is 56 but the index is 56"),
        (True, 2, "gradients", "index out of bounds: the len is 329 but the index is 329"),
        (True, 3, "values", "index out of bounds: the len is 40 but the index is 40"),
        (True, 4, "narrow", "ndarray: index out of bounds"),
        (False, 1, "values", "index out of bounds: the len is 161 but the index is 161"),
        (False, 2, "values", "index out of bounds: the len is 56 but the index is 56"),
        (False, 9, "values", "index out of bounds: the len is 821 but the index is 821"),
    ],
)
def test_short_results_are_internal_faults(fields, capfd, gradients, index, which, message):
    field = _shorten_call(fields.plane(gradients=gradients), index, which)
    with pytest.raises(q.PanicException) as info:
        q.build_octree_adaptive(field, *BOX, 1, 3)
    assert info.value.args == (message,)
    assert message in capfd.readouterr().err


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda f: q.build_octree_uniform(f, *BOX, 12), id="uniform-12"),
        pytest.param(lambda f: q.build_octree_uniform(f, *BOX, 31), id="uniform-31"),
        pytest.param(lambda f: q.build_octree_adaptive(f, *BOX, 14, 20), id="adaptive-14-20"),
    ],
)
def test_first_batch_too_large_is_memory_error(fields, call):
    rec = fields.Recorder(fields.constant(1.0))
    start = time.monotonic()
    with pytest.raises(MemoryError):
        call(rec)
    assert time.monotonic() - start < 5.0
    assert rec.calls == []
    assert q.build_octree_uniform(rec, *BOX, 1) == (0, 0, 1, 0, 0, 27)
