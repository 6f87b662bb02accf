"""Mesh measures, mesh files read back exactly, and the mesh() call around the engine."""

from __future__ import annotations

import importlib
import io
import math
import os
import subprocess
import sys
import types

import numpy as np
import pytest

import quarvel as qv
from quarvel.meshing.progress import ProgressBar
from test_quarvel_helpers import cube_mesh

TETRA = (np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], dtype=float),
         np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]))  # fmt: skip


def random_mesh(seed: int = 3, n: int = 200, m: int = 400):
    rng = np.random.default_rng(seed)
    vertices = rng.normal(size=(n, 3)) * 10.0 ** rng.integers(-8, 8, size=(n, 1))
    return vertices, rng.integers(0, n, size=(m, 3))


# ---------------------------------------------------------------- measures


@pytest.mark.parametrize("edge", [1.0, 0.25, 3.0])
@pytest.mark.parametrize("offset", [(0.0, 0.0, 0.0), (1e6, -2e6, 5e5)])
def test_cube_measures(edge, offset):
    cube = qv.Mesh(*cube_mesh(edge, offset))
    assert cube.area == pytest.approx(6 * edge**2, rel=1e-12)
    assert cube.volume == pytest.approx(edge**3, rel=1e-9)
    assert cube.is_watertight
    np.testing.assert_allclose(cube.bounds.lo, offset)
    np.testing.assert_allclose(cube.bounds.hi, np.add(offset, edge))


def test_tetrahedron_measures():
    tetra = qv.Mesh(*TETRA)
    assert tetra.volume == pytest.approx(1 / 6, rel=1e-12)
    assert tetra.area == pytest.approx(1.5 + math.sqrt(3) / 2, rel=1e-12)
    assert tetra.is_watertight


def test_measures_in_the_core_agree_with_numpy_and_read_no_stray_index():
    # Many blocks of a jittered sphere far from the origin, a strided view
    # and int32 indices: the core's sums against NumPy's.
    sphere = qv.mesh(qv.sphere(0.5, (3.0, -2.0, 1.0)), max_depth=6, progress=False)
    vertices = np.repeat(sphere.vertices, 2, axis=0)[::2] + np.random.default_rng(5).normal(0, 1e-4, (len(sphere.vertices), 3))
    mesh = qv.Mesh(vertices, sphere.triangles.astype(np.int32))
    np.testing.assert_allclose(mesh._measures(), mesh._measures_in_numpy(), rtol=1e-12)
    mesh.triangles = mesh.triangles.copy()
    mesh.triangles[-1, 0] = len(vertices)
    with pytest.raises(ValueError, match="must lie in"):
        mesh.volume


def test_inverted_mesh_has_negative_volume():
    vertices, triangles = cube_mesh(2.0)
    inverted = qv.Mesh(vertices, triangles[:, ::-1])
    assert inverted.volume == pytest.approx(-8.0)
    assert inverted.is_watertight


@pytest.mark.parametrize(
    ("change", "closed"),
    [
        (lambda t: t[1:], False),  # a hole
        (lambda t: np.vstack([t[:1, ::-1], t[1:]]), False),  # one triangle turned over
        (lambda t: np.vstack([t, t[:1]]), False),  # a triangle twice
        (lambda t: np.vstack([t, [[0, 0, 1]]]), False),  # a degenerate triangle
        (lambda t: np.vstack([t, t + 8]), True),  # two separate cubes
        (lambda t: np.vstack([t, np.where(t == 0, 0, np.where(t == 1, 1, t + 8))]), False),  # sharing an edge
    ],
    ids=["hole", "flipped", "duplicate", "degenerate", "two-cubes", "non-manifold-edge"],
)
def test_watertightness_and_pieces(change, closed):
    vertices, triangles = cube_mesh()
    vertices = np.vstack([vertices, vertices - (1.0, 1.0, 0.0)])
    mesh = qv.Mesh(vertices, change(triangles))
    assert mesh.is_watertight == closed
    # Pieces are numbered in order of their first triangle.
    shuffled = qv.Mesh(vertices, np.vstack([triangles + 8, triangles, triangles[:1] + 8]))
    np.testing.assert_array_equal(shuffled.components(), [0] * 12 + [1] * 12 + [0])


def test_empty_mesh():
    empty = qv.Mesh(np.zeros((0, 3)), np.zeros((0, 3), dtype=np.int64))
    assert (empty.area, empty.volume, empty.is_watertight) == (0.0, 0.0, False)
    assert empty.bounds.is_empty


@pytest.mark.parametrize("bad", [[[0, 1, 8]], [[-1, 0, 1]]])
def test_out_of_range_indices_are_refused(bad):
    with pytest.raises(ValueError, match=r"\[0, 8\)"):
        qv.Mesh(cube_mesh()[0], bad)


def test_summary_names_the_counts_and_closedness():
    text = qv.Mesh(*cube_mesh()).summary()
    assert text.startswith("8 vertices, 12 triangles, area 6, volume 1, watertight")


# ---------------------------------------------------------------- files


@pytest.mark.parametrize("suffix", [".ply", ".obj", ".PLY"])
@pytest.mark.parametrize("make", [cube_mesh, random_mesh], ids=["cube", "random"])
def test_ply_and_obj_read_back_identically(tmp_path, suffix, make):
    vertices, triangles = make()
    path = qv.Mesh(vertices, triangles).save(tmp_path / f"m{suffix}")
    back = qv.Mesh.load(path)
    np.testing.assert_array_equal(back.vertices, vertices)
    np.testing.assert_array_equal(back.triangles, triangles)
    assert back.vertices.dtype == np.float64 and back.triangles.dtype == np.int64


@pytest.mark.parametrize("make", [cube_mesh, random_mesh], ids=["cube", "random"])
def test_stl_reads_back_the_same_float32_triangles(tmp_path, make):
    vertices, triangles = make()
    path = qv.Mesh(vertices, triangles).save(tmp_path / "m.stl")
    assert path.stat().st_size == 84 + 50 * len(triangles)
    back = qv.Mesh.load(path)
    expected = vertices.astype(np.float32)[triangles]
    np.testing.assert_array_equal(back.vertices[back.triangles], expected)
    assert len(back.vertices) == len(np.unique(expected.reshape(-1, 3), axis=0))


def test_stl_normals_point_outward(tmp_path):
    path = qv.Mesh(*cube_mesh(offset=(-0.5, -0.5, -0.5))).save(tmp_path / "cube.stl")
    records = np.frombuffer(
        path.read_bytes()[84:], dtype=[("n", "<f4", 3), ("c", "<f4", (3, 3)), ("a", "<u2")]
    )
    centres = records["c"].mean(axis=1)
    np.testing.assert_allclose(np.linalg.norm(records["n"], axis=1), 1.0, rtol=1e-6)
    assert np.all(np.einsum("ij,ij->i", records["n"], centres) > 0.0)


def test_ply_header_is_standard(tmp_path):
    path = qv.Mesh(*cube_mesh()).save(tmp_path / "cube.ply")
    data = path.read_bytes()
    header = data[: data.index(b"end_header\n") + len(b"end_header\n")].decode()
    assert header.startswith("ply\nformat binary_little_endian 1.0\n")
    assert "element vertex 8\n" in header and "element face 12\n" in header
    assert "property list uchar int vertex_indices\n" in header
    assert len(data) == len(header) + 8 * 24 + 12 * 13


def test_obj_reader_takes_polygons_slashes_and_negative_indices(tmp_path):
    path = tmp_path / "quad.obj"
    path.write_text("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//1 3//1 -1//1\n")
    back = qv.Mesh.load(path)
    assert back.triangles.tolist() == [[0, 1, 2], [0, 2, 3]]
    assert back.area == pytest.approx(1.0)


@pytest.mark.parametrize("name", ["mesh.xyz", "mesh", "mesh.ply.gz"])
def test_unknown_formats_are_refused(tmp_path, name):
    with pytest.raises(ValueError, match=r"\.ply, \.obj or \.stl"):
        qv.Mesh(*cube_mesh()).save(tmp_path / name)


@pytest.mark.parametrize("suffix", [".ply", ".obj", ".stl"])
def test_trimesh_reads_our_files(tmp_path, suffix):
    trimesh = pytest.importorskip("trimesh")
    vertices, triangles = cube_mesh(2.0, (1.0, 2.0, 3.0))
    path = qv.Mesh(vertices, triangles).save(tmp_path / f"cube{suffix}")
    loaded = trimesh.load(path, process=suffix == ".stl")  # merge the corners STL repeats
    assert loaded.volume == pytest.approx(8.0)
    assert loaded.is_watertight
    if suffix != ".stl":  # STL keeps no shared vertices
        np.testing.assert_array_equal(loaded.vertices, vertices)
        np.testing.assert_array_equal(loaded.faces, triangles)


def test_to_trimesh(monkeypatch):
    pytest.importorskip("trimesh")
    converted = qv.Mesh(*TETRA).to_trimesh()
    assert converted.volume == pytest.approx(1 / 6)
    np.testing.assert_array_equal(converted.faces, TETRA[1])
    monkeypatch.setitem(sys.modules, "trimesh", None)
    with pytest.raises(ImportError, match="pip install trimesh"):
        qv.Mesh(*TETRA).to_trimesh()


# ---------------------------------------------------------------- mesh() around the engine


class RecordingEngine(types.ModuleType):
    """Stands in for quarvel._engine: calls the field twice, reports two stages
    and returns a tetrahedron."""

    def __init__(self):
        super().__init__("quarvel._engine")
        self.calls = []

    def extract(self, field, lo, hi, **options):
        self.calls.append(dict(bbox_min=lo, bbox_max=hi, **options))
        for n in (5, 7):
            values, gradients = field(np.zeros((n, 3)))
            assert type(values) is np.ndarray and values.dtype == np.float64 and values.shape == (n,)
            assert values.flags.c_contiguous
            assert gradients is None or (gradients.dtype == np.float64 and gradients.shape == (n, 3))
        progress = options.get("progress")
        if progress is not None:
            progress("sampling", 0, 2)
            progress("faces", 2, 2)
        stats = {"seconds": 0.5, "field_seconds": 0.2}
        vertices, triangles = TETRA[0].copy(), TETRA[1].astype(np.int64)
        return vertices, triangles, np.zeros((4, 3)), stats, self.summarize_mesh(vertices, triangles)  # noqa

    summarize_mesh = staticmethod(importlib.import_module("quarvel._engine").summarize_mesh)
    check_topology = staticmethod(importlib.import_module("quarvel._engine").check_topology)


@pytest.fixture
def engine(monkeypatch):
    """The stand-in engine, every field (shapes too) taking the NumPy path."""
    fake = RecordingEngine()
    monkeypatch.setattr("quarvel._core.engine", fake)
    monkeypatch.setattr("quarvel.meshing.pipeline.native_program", lambda *args: None)
    return fake


def test_mesh_passes_options_and_padded_bounds(engine):
    box = qv.box((2.0, 1.0, 1.0))
    with pytest.warns(DeprecationWarning, match="adaptive=True is deprecated: .* pass tolerance="):
        result = qv.mesh(box, max_depth=6, min_depth=2, adaptive=True, angle_threshold=20.0, margin=0.1,
                         keep="largest")
    (call,) = engine.calls
    np.testing.assert_allclose(call["bbox_min"], (-1.2, -0.7, -0.7))
    np.testing.assert_allclose(call["bbox_max"], (1.2, 0.7, 0.7))
    assert (call["min_depth"], call["max_depth"], call["angle_threshold"], call["adaptive"]) == (2, 6, 20.0, True)
    assert call["keep_largest"] is True and call["manifold"] is True
    assert isinstance(result, qv.Mesh) and result.volume == pytest.approx(1 / 6)
    assert result.normals is not None and result.normals.shape == (4, 3)


def test_positive_iso_grows_a_shapes_own_bounds(engine):
    qv.mesh(qv.sphere(1.0), iso=0.5, margin=0.0)
    np.testing.assert_allclose(engine.calls[0]["bbox_max"], (1.5, 1.5, 1.5))
    assert engine.calls[0]["iso"] == 0.5


def test_plain_functions_are_wrapped_and_need_bounds(engine):
    def values_only(p):
        return (np.linalg.norm(p, axis=1) - 1.0).astype(np.float32)

    qv.mesh(values_only, ((-1, -1, -1), (1, 1, 3)), margin=0.0)
    np.testing.assert_allclose(engine.calls[0]["bbox_max"], (1, 1, 3))
    with pytest.raises(ValueError, match="no bounds of its own"):
        qv.mesh(values_only)


@pytest.mark.parametrize(
    ("field", "bounds", "message"),
    [
        (qv.plane(), None, "unbounded"),
        (qv.sphere(), ((0, 0, 0), (0, 0, 0)), "enclose no volume"),
        (qv.sphere(), ((1, 0, 0), (0, 1, 1)), "enclose no volume"),
    ],
)
def test_unusable_bounds_are_refused(engine, field, bounds, message):
    with pytest.raises(ValueError, match=message):
        qv.mesh(field, bounds)
    assert engine.calls == []


@pytest.mark.parametrize(
    ("min_depth", "max_depth", "message"),
    [
        (3, 32, r"max_depth must be at most 31 \(got 32\)"),
        (8, 7, r"min_depth must not exceed max_depth \(got 8 > 7\)"),
        (-1, 7, "min_depth must be a non-negative integer"),
        (3, 7.0, "max_depth must be a non-negative integer"),
        (True, 7, "min_depth must be a non-negative integer"),
    ],
)
def test_bad_depths_are_refused_before_any_work(engine, min_depth, max_depth, message):
    with pytest.raises(ValueError, match=message):
        qv.mesh(qv.sphere(), min_depth=min_depth, max_depth=max_depth)
    assert engine.calls == []


class Terminal(io.StringIO):
    def isatty(self):
        return True


# A stage that ends is shown whole, reported so or not; the last one only on success.
REPORTS = [("sampling", 0, 1), ("sampling", 1, 1), ("refining", 2, 4), ("faces", 0, 0), ("faces", 6, 7)]


@pytest.mark.parametrize("stream", [io.StringIO, Terminal], ids=["pipe", "terminal"])
def test_progress_keeps_one_line_per_stage(monkeypatch, stream):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # the built-in bar
    out = stream()
    with pytest.raises(KeyboardInterrupt), ProgressBar(out) as bar:
        for report in REPORTS:
            bar(*report)
        raise KeyboardInterrupt
    text = out.getvalue()
    lines = [line.split("\r")[-1].split() for line in text.split("\n")[:-1]]
    assert [line[1:3] for line in lines] == [["[1/5]", "sampling"], ["[2/5]", "refining"], ["[5/5]", "faces"]]
    assert [line[-3] for line in lines] == ["1/1", "4/4", "6/7"]
    assert ("\r" in text) == (stream is Terminal)


def test_progress_on_a_terminal_uses_tqdm_when_installed(monkeypatch):
    bars = []

    class FakeTqdm:
        def __init__(self, total, desc, **options):
            self.total, self.desc, self.n, self.closed = total, desc, 0, False
            bars.append(self)

        def refresh(self):
            pass

        def close(self):
            self.closed = True

    monkeypatch.setitem(sys.modules, "tqdm", types.SimpleNamespace(tqdm=FakeTqdm))
    with ProgressBar(Terminal()) as bar:
        for report in REPORTS:
            bar(*report)
    assert [(b.desc, b.n, b.total, b.closed) for b in bars] == [
        ("quarvel [1/5] sampling", 1, 1, True),
        ("quarvel [2/5] refining", 4, 4, True),
        ("quarvel [5/5] faces", 7, 7, True),
    ]


def test_progress_hook_and_default(engine, capsys):
    reports = []
    qv.mesh(qv.sphere(), progress=lambda *report: reports.append(report))
    assert reports == [("sampling", 0, 2), ("faces", 2, 2)]
    qv.mesh(qv.sphere())  # standard error is no terminal here
    assert capsys.readouterr().err == ""
    assert engine.calls[-1]["keep_largest"] is False


@pytest.mark.parametrize(
    ("field", "bounds", "clip", "expected"),
    [
        (qv.sphere(1.0), None, None, None),
        (qv.sphere(1.0), ((-2, -2, -2), (2, 2, 2)), None, None),  # the shape lies inside
        (qv.sphere(1.0), ((-1, -1, 0), (1, 1, 1)), None, ((-1, -1, 0), (1, 1, 1))),
        (qv.sphere(1.0), ((-1, -1, 0), (1, 1, 1)), False, None),
        (qv.sphere(1.0), None, True, ((-1, -1, -1), (1, 1, 1))),
        (lambda p: p[:, 0], ((-1, -1, -1), (1, 1, 1)), None, ((-1, -1, -1), (1, 1, 1))),  # no bounds of its own
    ],
    ids=["own-bounds", "bounds-around", "bounds-cut", "clip-off", "clip-own", "plain-function"],
)
def test_clipping_by_default_only_where_the_bounds_cut(engine, field, bounds, clip, expected):
    qv.mesh(field, bounds, clip=clip)
    got = engine.calls[0]["clip"]
    assert got == (None if expected is None else qv.Bounds.of(*expected))


@pytest.mark.parametrize(
    ("field", "lipschitz", "expected"),
    [
        (qv.sphere(), None, 1.0),
        (qv.gyroid() & qv.sphere(), None, math.sqrt(3.0)),
        (qv.box(1.0).bend(30.0) | qv.sphere(), None, 2.0),
        (qv.gyroid() & qv.sphere(), 1.25, 1.25),
        (qv.Shape.from_function(lambda p: p[:, 0], ((-1, -1, -1), (1, 1, 1)), lipschitz=3.0), None, 3.0),
    ],
    ids=["exact", "gyroid", "bend", "given", "from-function"],
)
def test_the_guard_takes_the_shapes_lipschitz_factor(engine, field, lipschitz, expected):
    qv.mesh(field, lipschitz=lipschitz)
    assert engine.calls[0]["lipschitz"] == pytest.approx(expected)


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"keep": "biggest"}, "keep must be 'all' or 'largest'"),
        ({"batch_size": 0}, "batch_size must be a positive integer"),
        ({"lipschitz": -1.0}, "lipschitz must be a positive number"),
        ({"lipschitz": math.inf}, "lipschitz must be a positive number"),
        ({"batch_size": 2**62 + 1}, r"batch_size must be a positive integer, at most 2\*\*62"),
        ({"iso": math.nan}, r"iso must be a finite number.*\(got nan\)"),
        ({"iso": -math.inf}, r"iso must be a finite number.*\(got -inf\)"),
        ({"bounds": ((-9e307,) * 3, (9e307,) * 3)}, "reach beyond the range of floating-point numbers"),
        ({"bounds": ((1e308, 0, 0), (1.5e308, 1, 1))}, "reach beyond the range of floating-point numbers"),
    ],
)
def test_bad_options_are_refused_before_any_work(engine, options, message):
    with pytest.raises(ValueError, match=message):
        qv.mesh(qv.sphere(), **options)
    assert engine.calls == []


def test_stats_add_the_package_side(engine):
    stats = qv.mesh(qv.sphere(), batch_size=3, keep="largest").stats
    assert (stats["batches"], stats["keep"], stats["clipped"]) == (5, "largest", False)  # 5 and 7 points, by 3
    assert stats["module_seconds"] == pytest.approx(0.3)


# ---------------------------------------------------------------- mistakes people make


def xyz_field(x, y, z):
    return x * x + y * y + z * z - 0.25


@pytest.mark.parametrize(
    ("field", "error", "message", "cause"),
    [
        (xyz_field, TypeError, r"xyz_field\(x, y, z\) cannot be called with one argument: a field takes one \(N, 3\)",
         TypeError),
        (lambda p: math.sqrt(p[:, 0] ** 2) - 0.5, TypeError,
         r"raised TypeError on its first call \(.*\): a field takes one \(N, 3\).*np.sqrt", TypeError),
        (lambda p: None, ValueError, "returned None for 5 points: does it forget to return", type(None)),
    ],
    ids=["signature", "math-sqrt", "no-return"],
)  # fmt: skip
def test_common_field_mistakes_say_what_a_field_takes(engine, field, error, message, cause):
    with pytest.raises(error, match=message) as caught:
        qv.mesh(field, ((-1, -1, -1), (1, 1, 1)))
    assert type(caught.value.__cause__) is cause


def test_a_type_error_after_the_first_call_travels_unchanged(engine):
    calls = []

    def fails_second(p):
        calls.append(len(p))
        if len(calls) == 2:
            raise TypeError("late")
        return p[:, 0]

    with pytest.raises(TypeError, match="^late$"):
        qv.mesh(fails_second, ((-1, -1, -1), (1, 1, 1)))


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"margin": math.nan}, "margin must be a finite number >= 0"),
        ({"margin": math.inf}, "margin must be a finite number >= 0"),
        ({"margin": -0.6}, "margin must be a finite number >= 0"),
        ({"bounds": ((math.nan, 0, 0), (1, 1, 1))}, r"hold NaN: pass bounds as \(lo, hi\)"),
        ({"bounds": (-1, -1, -1, 1, 1)}, r"bounds of shape \(5,\): pass bounds as \(lo, hi\)"),
        ({"bounds": ((-1, -1), (1, 1, 1))}, r"cannot read bounds .*: pass bounds as \(lo, hi\)"),
        ({"bounds": ((-1, -1, 0), (1, 1, 0))}, "enclose no volume"),
        ({"voxel_size": 0.0}, "voxel_size must be a positive number"),
        ({"voxel_size": 0.1, "max_depth": 5}, "give max_depth or voxel_size, not both"),
        ({"voxel_size": 1e-12}, "finer than the finest cell reachable"),
    ],
)
def test_bad_margins_bounds_and_voxel_sizes_are_refused(engine, options, message):
    with pytest.raises(ValueError, match=message):
        qv.mesh(qv.sphere(), **options)
    assert engine.calls == []


def test_six_numbers_are_bounds(engine):
    qv.mesh(qv.sphere(), (-1, -2, -3, 1, 2, 3), margin=0.0)
    assert (engine.calls[0]["bbox_min"], engine.calls[0]["bbox_max"]) == ((-1, -2, -3), (1, 2, 3))


@pytest.mark.parametrize(
    ("voxel_size", "depth"),
    [(2.2 / 128, 7), (2.2 / 128 * 0.999, 8), (2.2 / 100, 7), (10.0, 3)],
    ids=["exact", "just-below", "between", "coarser-than-min-depth"],
)
def test_voxel_size_picks_the_smallest_depth_that_gives_it(engine, voxel_size, depth):
    stats = qv.mesh(qv.sphere(1.0), voxel_size=voxel_size).stats  # a box of edge 2.2 with the margin
    assert engine.calls[0]["max_depth"] == stats["max_depth"] == depth
    # The box grows about its centre to give cells of exactly voxel_size, unless
    # min_depth asked for finer ones.
    cell = voxel_size if depth > 3 else min(voxel_size, 2.2 / 2**depth)
    assert stats["cell_size"] == pytest.approx(cell, rel=1e-12)
    lo, hi = np.array(engine.calls[0]["bbox_min"]), np.array(engine.calls[0]["bbox_max"])
    np.testing.assert_allclose((lo + hi) / 2, 0.0, atol=1e-12)
    assert (hi - lo).max() == pytest.approx(cell * 2**depth, rel=1e-12)


@pytest.mark.parametrize(("max_depth", "progress", "shown"), [(10, None, True), (10, False, False), (8, True, False)])
def test_long_runs_announce_their_cost(engine, capsys, max_depth, progress, shown):
    qv.mesh(qv.sphere(), max_depth=max_depth, progress=progress)
    err = capsys.readouterr().err
    assert ("million field evaluations and" in err) == shown


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's allocator keeps freed memory")
def test_a_large_call_hands_its_memory_back():
    # A call keeps freed buffers in the heap while it runs; afterwards they
    # must go back to the system, not stay resident in the caller's process.
    script = (
        "import os, resource, quarvel\n"
        "rss = lambda: int(open('/proc/self/statm').read().split()[1]) * os.sysconf('SC_PAGE_SIZE')\n"
        "quarvel.mesh(quarvel.builtin('sphere'), max_depth=5, progress=False)\n"
        "base = rss()\n"
        "m = quarvel.mesh(quarvel.builtin('sphere'), max_depth=8, progress=False)\n"
        "peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024\n"
        "print(rss() - base - m.vertices.nbytes - m.triangles.nbytes - m.normals.nbytes, peak - base)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    kept, grown = map(int, out.stdout.split())
    assert kept < grown / 3
