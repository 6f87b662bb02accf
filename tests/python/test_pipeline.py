"""quarvel.mesh on the package's pipeline: no surface missed, clipping, every
vertex finite, capped batches and executors, normals, costs, a free interpreter."""

from __future__ import annotations

import math
import multiprocessing
import re
import threading
import warnings
from concurrent.futures import Future, ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest

import _quarvel_rs
import quarvel as qv
from test_quarvel_helpers import needs_engine

pytestmark = needs_engine

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


def ball(p, radius=0.5):
    """A ball's distance with its gradient (module level: worker processes pickle it)."""
    r = np.linalg.norm(p, axis=1)
    return r - radius, p / np.maximum(r, 1e-300)[:, None]


def ball_values(p):
    return np.linalg.norm(p, axis=1) - 0.5


def occupancy(p):
    return np.where(np.linalg.norm(p, axis=1) < 0.5, -np.inf, np.inf)


def sphere_volume(r):
    return 4 / 3 * math.pi * r**3


# The cases the engine's rules meshed wrongly: (field, bounds, options, volume, pieces).
CASES = {
    "hollow-ball": (qv.sphere(1.0) - qv.sphere(0.8), None, {}, sphere_volume(1.0) - sphere_volume(0.8), 2),
    "two-spheres": (
        qv.sphere(0.5).translate((-1, 0, 0)) | qv.sphere(0.3).translate((1, 0, 0)),
        None,
        {},
        sphere_volume(0.5) + sphere_volume(0.3),
        2,
    ),
    "hidden-ball": (
        qv.sphere(0.21, (0.125, 0.125, 0.125)) | qv.sphere(0.05, (0.7, -0.6, 0.5)),
        BOX,
        {},
        sphere_volume(0.21) + sphere_volume(0.05),
        2,
    ),
    "hidden-ball-adaptive": (
        qv.sphere(0.21, (0.125, 0.125, 0.125)) | qv.sphere(0.05, (0.7, -0.6, 0.5)),
        BOX,
        {"adaptive": True},
        sphere_volume(0.21) + sphere_volume(0.05),
        2,
    ),
    **{
        f"plate-min-depth-{d}": (qv.box((1, 1, 0.03), center=(0, 0, 0.1)), BOX, {"min_depth": d}, 0.03, 1)
        for d in range(1, 6)
    },
    "occupancy": (occupancy, BOX, {}, sphere_volume(0.5), 1),
    "gyroid-slab": (qv.gyroid(0.5, thickness=None), ((-1, -1, -0.2), (1, 1, 0.2)), {}, None, 1),
}


# Shapes twice: through NumPy with the Lipschitz guard, and compiled, with
# cells proven by interval bounds.
@pytest.mark.parametrize("native", [False, None])
@pytest.mark.parametrize("name", CASES)
def test_what_the_engine_lost_comes_out_whole(name, native):
    field, bounds, options, volume, pieces = CASES[name]
    if native is None and not isinstance(field, qv.Shape):
        pytest.skip("not a shape")
    mesh = qv.mesh(field, bounds, max_depth=7, native=native, **options)
    assert mesh.is_watertight
    assert mesh.component_count == mesh.stats["pieces"] == pieces
    assert np.isfinite(mesh.vertices).all()
    if volume is not None:
        # Occupancy gives positions only to 1/256 of an edge; a ball six cells
        # across is meshed less exactly than a large one.
        rel = {"occupancy": 0.03, "hidden-ball": 0.01, "hidden-ball-adaptive": 0.02}.get(name, 2e-3)
        assert mesh.volume == pytest.approx(volume, rel=rel)
    if name == "gyroid-slab":  # clipped to the slab, closed by its faces
        assert mesh.stats["clipped"] and mesh.bounds.hi[2] == pytest.approx(0.2, abs=0.1 * 2.2 / 2**7)
    expected_guard = "off: infinite values" if name == "occupancy" else "on"
    assert mesh.stats["guard"] == (expected_guard if native is False else "on: interval bounds")


def stretched_ball(p):
    """A ball stretched threefold along z, its values understating the distance (as a shape's)."""
    return qv.sphere(0.5).scale((1, 1, 3))(p)


TALL = ((-0.5, -0.5, -1.5), (0.5, 0.5, 1.5))
UNIT = ((-0.5, -0.5, -0.5), (0.5, 0.5, 0.5))


@pytest.mark.parametrize(
    ("field", "options", "warning"),
    [
        (qv.sphere(0.5).scale((1, 1, 3)), {"iso": 0.1}, None),
        (qv.ellipsoid((0.2, 0.3, 0.6)), {"iso": 0.4}, None),
        (qv.sphere(0.5), {"bounds": UNIT, "iso": 0.3}, None),  # clipped to the bounds given
        (qv.Shape.from_function(ball, UNIT), {"iso": 0.1}, None),
        (qv.Shape.from_function(stretched_ball, TALL), {"iso": 0.1}, "mesh is cut flat"),
        (qv.Shape.from_function(stretched_ball, TALL), {"iso": 0.1, "clip": False}, r"mesh is open \(\d+"),
        (qv.sphere(0.5), {"bounds": UNIT, "iso": 0.3, "clip": False}, r"mesh is open \(\d+"),
    ],
    ids=["scaled", "ellipsoid", "given-bounds", "exact-function", "understating-function", "unclipped",
         "unclipped-given-bounds"],
)
def test_a_positive_iso_gives_a_closed_mesh_or_says_why_not(field, options, warning):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        mesh = qv.mesh(field, max_depth=5, **options)
    said = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
    if warning is None:
        assert said == [] and mesh.is_watertight
    else:
        assert len(said) == 1 and re.search(warning, said[0])
        assert mesh.is_watertight == ("clip" not in options)


def test_keep_largest_is_the_engines_rule():
    shape = CASES["two-spheres"][0]
    mesh = qv.mesh(shape, max_depth=6, keep="largest")
    assert mesh.component_count == 1
    assert mesh.volume == pytest.approx(sphere_volume(0.5), rel=5e-3)


def test_a_steep_field_is_meshed_by_signs():
    mesh = qv.mesh(lambda p: 10.0 * ball_values(p), BOX, max_depth=5)
    assert mesh.stats["guard"] == "off: steeper than the Lipschitz factor allows"
    assert mesh.stats["steepest"] == pytest.approx(10.0, rel=0.05)
    assert mesh.volume == pytest.approx(sphere_volume(0.5), rel=0.01)


def scaled_with_small_ball(scale):
    """A ball's distance and a small ball's, 1.2 finest cells across at depth 7, times `scale`."""
    radius = 1.2 * 2.2 / 2**7
    return lambda p: scale * np.minimum(ball_values(p), np.linalg.norm(p - (0.7, -0.6, 0.5), axis=1) - radius)


@pytest.mark.parametrize("scale", [1.5, 3.0])
def test_a_field_steeper_than_its_factor_keeps_a_small_ball(scale):
    # With a factor below the field's slope the corners' balls would cover the
    # small ball: the guard measures slopes and raises its factor first.
    mesh = qv.mesh(scaled_with_small_ball(scale), BOX, max_depth=7)
    assert mesh.component_count == 2 and mesh.is_watertight
    assert mesh.stats["guard"] == "on" and mesh.stats["steepest"] >= scale


def test_nan_where_the_mesh_needs_a_value_is_refused():
    def holed(p):
        return np.where(p[:, 0] > 0.75, np.nan, ball_values(p))

    with pytest.raises(ValueError, match=r"the field returned NaN at \d+ of \d+ points, for example at \(0\.8"):
        qv.mesh(holed, BOX, max_depth=4, clip=False)
    # Outside a clipping box the field's value is not needed.
    inside = qv.mesh(holed, ((-0.7, -0.7, -0.7), (0.7, 0.7, 0.7)), max_depth=4)
    assert inside.is_watertight


def test_nan_in_a_large_batch_is_counted_whole_and_shown_first():
    # Batches this large are checked in slices on the pool: the count must
    # sum them and the example must be the batch's first NaN point.
    batches = []

    def holed(p):
        batches.append(np.array(p))
        return np.where(p[:, 0] > 0.3, np.nan, ball_values(p))

    with pytest.raises(ValueError) as refused:
        qv.mesh(holed, BOX, max_depth=6, min_depth=5, clip=False)
    batch = batches[-1]
    nan = batch[:, 0] > 0.3
    assert len(batch) > 1 << 15
    assert f"returned NaN at {nan.sum()} of {len(batch)} points" in str(refused.value)
    shown = re.search(r"for example at \(([^)]*)\)", str(refused.value)).group(1)
    assert np.array_equal(np.array(shown.split(", "), dtype=float), batch[np.argmax(nan)])


# ---------------------------------------------------------------- calling the field


class Recorder:
    def __init__(self, field):
        self.field, self.sizes = field, []

    def __call__(self, p):
        self.sizes.append(len(p))
        return self.field(p)


@pytest.mark.parametrize(
    ("batch_size", "executor"), [(1000, None), (None, None), (None, "processes"), (777, "processes")], ids=str
)
def test_batches_and_executors_give_the_same_mesh(batch_size, executor, monkeypatch):
    plain = qv.mesh(ball, BOX, max_depth=6, batch_size=1 << 30)
    # Without batch_size the calls are capped all the same, at the default chunk.
    monkeypatch.setattr("quarvel.meshing.batching.DEFAULT_CHUNK", 1500)
    recorder = Recorder(ball)
    field = ball if executor else recorder
    if executor:
        # Not forked: Python warns about forking a process that runs threads.
        with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as pool:
            chunked = qv.mesh(field, BOX, max_depth=6, batch_size=batch_size, executor=pool)
    else:
        chunked = qv.mesh(field, BOX, max_depth=6, batch_size=batch_size)
        assert max(recorder.sizes) <= (batch_size or 1500) and len(recorder.sizes) == chunked.stats["batches"]
    np.testing.assert_array_equal(chunked.vertices, plain.vertices)
    np.testing.assert_array_equal(chunked.triangles, plain.triangles)
    assert chunked.stats["batches"] > plain.stats["batches"] or executor and batch_size is None


class Tampering(ThreadPoolExecutor):
    """An executor that alters what comes back, and whose map yields results in reverse."""

    def __init__(self, alter):
        super().__init__(2)
        self.alter = alter

    def submit(self, fn, /, *args, **kwargs):
        done = Future()
        done.set_result(self.alter(*super().submit(fn, *args, **kwargs).result()))
        return done

    def map(self, fn, *iterables, **kwargs):
        return reversed(list(super().map(fn, *iterables, **kwargs)))


@pytest.mark.parametrize(
    ("alter", "message"),
    [
        (lambda v, g: (v, g), None),
        (lambda v, g: (v.astype(np.float32).astype(np.float64), g), None),
        (lambda v, g: (v[:-1], g[:-1]), r"the executor Tampering returned values of shape \(\d+,\) for \d+ points"),
        (lambda v, g: (np.append(v, 0.0), g), r"returned values of shape"),
        (lambda v, g: (v, g[:, :2]), r"the executor Tampering returned gradients of shape \(\d+, 2\)"),
        (lambda v, g: None, "the executor Tampering returned None"),
    ],
    ids=["unaltered", "float32", "short", "long", "gradients", "none"],
)
def test_executor_results_are_checked_and_kept_in_order(alter, message):
    with Tampering(alter) as pool:
        if message is not None:
            with pytest.raises(ValueError, match=message):
                qv.mesh(ball, BOX, max_depth=4, batch_size=100, executor=pool)
            return
        chunked = qv.mesh(ball, BOX, max_depth=4, batch_size=100, executor=pool)
    plain = qv.mesh(lambda p: alter(*ball(p)), BOX, max_depth=4)
    np.testing.assert_array_equal(chunked.vertices, plain.vertices)
    np.testing.assert_array_equal(chunked.triangles, plain.triangles)


def test_numpy_integer_options_do_not_wrap_around():
    recorder = Recorder(ball)
    mesh = qv.mesh(recorder, BOX, batch_size=np.int16(20_000), min_depth=np.int8(2), max_depth=np.int8(7))
    plain = qv.mesh(ball, BOX, min_depth=2, max_depth=7)
    assert max(recorder.sizes) <= 20_000 and mesh.stats["cell_size"] == plain.stats["cell_size"] > 0
    np.testing.assert_array_equal(mesh.vertices, plain.vertices)
    coarse = qv.mesh(ball, BOX, min_depth=np.int8(3), voxel_size=0.01)
    assert coarse.stats["max_depth"] == qv.mesh(ball, BOX, min_depth=3, voxel_size=0.01).stats["max_depth"] == 8


@pytest.mark.parametrize("field", [ball, ball_values], ids=["gradients", "values-only"])
def test_fewer_evaluations_than_the_engine_and_vertices_as_accurate(field):
    engine, pipeline = Recorder(field), Recorder(field)
    _quarvel_rs.extract_mesh(lambda p: qv.as_field(engine)(p), *BOX, 3, 7)
    mesh = qv.mesh(pipeline, BOX, max_depth=7, margin=0.0, clip=False)
    assert sum(pipeline.sizes) == mesh.stats["evaluations"] == sum(mesh.stats["evaluations_by_stage"].values())
    assert mesh.stats["evaluations"] < sum(engine.sizes) / (2 if field is ball else 6)
    # Without gradients, normals and projection steps come from the corner
    # values: a few evaluations per triangle, vertices within a thousandth of a cell.
    if field is ball_values:
        assert mesh.stats["evaluations"] < 4.5 * len(mesh.triangles)
    off = np.abs(np.linalg.norm(mesh.vertices, axis=1) - 0.5).max()
    assert off < (1e-9 if field is ball else 1e-3 * mesh.stats["cell_size"])


@pytest.mark.parametrize("depth", [5, 7])
def test_a_steep_field_clipped_by_the_search_box_keeps_exact_vertices_and_normals(depth):
    # The clip keeps the greater of the field and the wall's distance: deep
    # corners of a steep field take the wall's value, which no estimate from
    # corner values may be built on.
    steep = lambda p: 40.0 * (np.linalg.norm(p, axis=1) - 0.5)  # noqa: E731
    mesh = qv.mesh(steep, BOX, max_depth=depth)
    assert mesh.stats["field_kind"] == "distance"
    radial = mesh.vertices / np.linalg.norm(mesh.vertices, axis=1)[:, None]
    assert np.degrees(np.arccos(np.clip((mesh.normals * radial).sum(1), -1, 1))).max() < 0.5
    assert np.abs(np.linalg.norm(mesh.vertices, axis=1) - 0.5).max() < 0.01 * mesh.stats["cell_size"]


def test_normals_are_unit_gradients_and_reach_the_files(tmp_path):
    mesh = qv.mesh(ball, BOX, max_depth=5)
    radial = mesh.vertices / np.linalg.norm(mesh.vertices, axis=1)[:, None]
    np.testing.assert_allclose(mesh.normals, radial, atol=1e-9)
    trimesh = pytest.importorskip("trimesh")
    for suffix in (".ply", ".obj"):
        loaded = trimesh.load(mesh.save(tmp_path / f"m{suffix}"), process=False)
        np.testing.assert_allclose(loaded.vertex_normals, mesh.normals, atol=1e-6)


def test_pieces_split_into_meshes():
    mesh = qv.mesh(CASES["hollow-ball"][0], max_depth=5)
    outer, inner = sorted(mesh.split(), key=lambda m: -abs(m.volume))
    assert outer.is_watertight and inner.is_watertight
    assert outer.volume == pytest.approx(sphere_volume(1.0), rel=0.01)
    assert inner.volume == pytest.approx(-sphere_volume(0.8), rel=0.01)  # a cavity faces inwards
    assert len(outer.vertices) + len(inner.vertices) == len(mesh.vertices)
    np.testing.assert_array_equal(outer.normals, mesh.normals[np.isin(mesh.vertices, outer.vertices).all(1)])


def test_other_threads_run_while_the_core_works():
    """Another thread counts; the field notes the count as it starts and ends.
    Counting between two calls of the field, while the core works in C++, is
    possible only when the core has let the interpreter lock go."""
    count, stop, marks = [0], threading.Event(), []

    def counter():
        while not stop.is_set():
            count[0] += 1

    def noted(p):
        marks.append(("start", count[0]))
        result = ball(p)
        marks.append(("end", count[0]))
        return result

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        qv.mesh(noted, BOX, max_depth=7)
    finally:
        stop.set()
        thread.join()
    between = [b - a for (_, a), (_, b) in zip(marks[1::2], marks[2::2], strict=False)]
    assert sum(between) > 0


@pytest.mark.parametrize(
    ("bounds", "options", "seen"),
    [
        (((2, 2, 2), (3, 3, 3)), {}, "above iso=0 at every point sampled (least value 2.87"),
        (((-0.1, -0.1, -0.1), (0.1, 0.1, 0.1)), {"clip": False}, "below iso=0 at every point sampled (greatest "),
        (None, {"iso": -1.0}, "above iso=-1 at every point sampled (least value -0.5"),
    ],
    ids=["bounds-miss", "bounds-inside", "iso-below-the-field"],
)
def test_no_surface_is_an_error_saying_what_to_check(bounds, options, seen):
    shape = qv.sphere(0.5)
    with pytest.raises(qv.NoSurfaceError, match="no surface found within the bounds") as caught:
        qv.mesh(shape, bounds, max_depth=4, **options)
    assert seen in str(caught.value) and "allow_empty=True" in str(caught.value)
    empty = qv.mesh(shape, bounds, max_depth=4, allow_empty=True, **options)
    assert len(empty.triangles) == 0


@pytest.mark.parametrize("compiled", [True, False], ids=["shape", "function"])
def test_a_plate_thinner_than_a_cell_is_blamed_on_the_resolution(compiled):
    # Half a cell thick, between two lattice planes: no corner lies inside.
    h = 2.0 / 2**6
    plate = qv.box((1.5, 1.5, 0.5 * h)).translate((0, 0, 0.5 * h))
    field = plate if compiled else (lambda p: plate(p))
    with pytest.raises(qv.NoSurfaceError, match="thinner than the resolution") as caught:
        qv.mesh(field, BOX, max_depth=6, margin=0.0, clip=False, progress=False)
    assert "max_depth (it was 6)" in str(caught.value) and "voxel_size" in str(caught.value)
    # Three cells thick, the same plate comes out.
    thick = qv.box((1.5, 1.5, 3 * h))
    assert qv.mesh(thick if compiled else (lambda p: thick(p)), BOX, max_depth=6, margin=0.0, clip=False).volume > 0


@pytest.mark.parametrize("clip", [False, None], ids=["closed", "clipped"])
def test_a_field_positive_inside_is_flagged(clip):
    with pytest.warns(UserWarning, match="the field looks positive inside"):
        qv.mesh(lambda p: -ball_values(p), BOX, max_depth=4, clip=clip)


def test_fields_the_right_way_round_are_not_flagged():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        qv.mesh(ball, BOX, max_depth=4)  # clipped to BOX, outside all around it
        qv.mesh(ball, ((-1, -1, 0), (1, 1, 1)), max_depth=4, margin=0.0)  # cut, hardly any point around it
        qv.mesh(*CASES["gyroid-slab"][:2], max_depth=4)  # clipped, inside and outside around it


@pytest.mark.parametrize(
    "shape",
    [qv.sphere(1.0), (qv.box((6.0, 4.0, 0.6)) - qv.cylinder(0.5, 2.0).translate((1.5, 0.8, 0))) | qv.torus(1.0, 0.3)],
    ids=["ball", "flat plate"],
)
def test_the_long_run_estimate_is_near_the_evaluations_made(shape):
    from quarvel.meshing.pipeline import estimate_cost, level_box, search_box, surface_estimate

    mesh = qv.mesh(shape, max_depth=8, progress=False)
    box = search_box(shape, None, 0.0, 0.05)
    estimated, _ = estimate_cost(8, max(box.size), surface_estimate(box, level_box(shape, 0.0)))
    assert 0.5 < estimated / mesh.stats["evaluations"] < 2.0
