"""The quarvel command line, run in a subprocess: outputs, messages and exit codes."""

from __future__ import annotations

import math
import os
import shutil
import stat
import subprocess
import sys

import numpy as np
import pytest

import quarvel as qv
from test_quarvel_helpers import FifoReader, cube_mesh, device_node, needs_engine, run_cli

FIELD_FILE = """\
import numpy as np
import quarvel

ring = quarvel.torus(0.8, 0.2)

def blob(points):
    return np.linalg.norm(points, axis=1) - 0.75

def broken(points):
    raise RuntimeError("this field is broken")

def field(points):
    return np.linalg.norm(points, axis=1) - 0.5
field.bounds = ((-0.5, -0.5, -0.5), (0.5, 0.5, 0.5))

not_a_field = 3
"""


@pytest.fixture
def fields(tmp_path):
    path = tmp_path / "fields.py"
    path.write_text(FIELD_FILE)
    return path


@pytest.mark.parametrize(
    ("args", "texts"),
    [
        (
            ["--help"],
            ["mesh", "shapes", "quarvel mesh torus -o torus.ply --preview torus.png", "exit status"],
        ),
        (
            ["mesh", "--help"],
            ["--max-depth", "--min-depth", "--adaptive", "--iso", "--preview", "FILE.py:NAME"],
        ),
    ],
)
def test_help_explains(args, texts):
    result = run_cli(*args)
    assert result.returncode == 0
    assert all(text in result.stdout for text in texts)


def test_shapes_lists_every_builtin():
    result = run_cli("shapes")
    assert result.returncode == 0
    listed = [line.split()[0] for line in result.stdout.splitlines()[1:]]
    assert listed == list(qv.BUILTINS)
    assert "bounds (-1.35, -1.35, -0.35) to (1.35, 1.35, 0.35)" in result.stdout


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        ([], 2, "the following arguments are required: COMMAND"),
        (["draw"], 2, "invalid choice: 'draw'"),
        (["mesh", "torus"], 2, "the following arguments are required: -o/--output"),
        (["mesh", "teapot", "-o", "{tmp}/t.ply"], 2, "unknown shape 'teapot' (built-in shapes: sphere, box"),
        (
            ["mesh", "torus", "-o", "{tmp}/t.ply", "--max-depth", "40"],
            2,
            "max_depth must be at most 31 (got 40)",
        ),
        (
            ["mesh", "torus", "-o", "{tmp}/t.ply", "--min-depth", "8"],
            2,
            "min_depth must not exceed max_depth (got 8 > 7)",
        ),
        (["mesh", "torus", "-o", "{tmp}/t.ply", "--max-depth", "seven"], 2, "invalid int value: 'seven'"),
        (
            ["mesh", "torus", "-o", "{tmp}/t.ply", "--min-depth", "-1"],
            2,
            "min_depth must be a non-negative integer",
        ),
        (["mesh", "torus", "-o", "{tmp}/t.ply", "--batch-size", "0"], 2, "batch_size must be a positive integer"),
        (["mesh", "torus", "-o", "{tmp}/t.ply", "--workers", "0"], 2, "--workers must be at least 1"),
        (["mesh", "torus", "-o", "{tmp}/t.ply", "--lipschitz", "nan"], 2, "lipschitz must be a positive number"),
        (["mesh", "torus", "-o", "{tmp}/t.ply", "--native", "--workers", "2"], 2, "apply to the NumPy path"),
        (["mesh", "torus", "-o", "{tmp}/t.ply", "--voxel-size", "0"], 2, "voxel_size must be a positive number"),
        (
            ["mesh", "torus", "-o", "{tmp}/t.ply", "--voxel-size", "0.1", "--max-depth", "5"],
            2,
            "argument --max-depth: not allowed with argument --voxel-size",
        ),
        (["mesh", "torus", "-o", "{tmp}/t.ply", "--bounds", "nan", "0", "0", "1", "1", "1"], 2, "hold NaN"),
        (["mesh", "torus", "-o", "{tmp}/t.xyz"], 2, "use a .ply, .obj or .stl file name"),
        (["mesh", "torus", "-o", "{tmp}/t.ply", "--preview", "{tmp}/t.txt"], 2, "cannot write a preview named"),
        (
            ["mesh", "torus", "-o", "{tmp}/missing/t.ply"],
            1,
            "cannot write '{tmp}/missing/t.ply': no directory",
        ),
        (
            ["mesh", "torus", "-o", "{tmp}/folder.ply"],
            1,
            "cannot write '{tmp}/folder.ply': it is a directory",
        ),
        (["mesh", "torus", "-o", "{tmp}/t.ply", "--preview", "{tmp}/no/t.png"], 1, "no directory '{tmp}/no'"),
        (["mesh", "{tmp}/nothing.py:f", "-o", "{tmp}/t.ply"], 2, "no such file: '{tmp}/nothing.py'"),
        (["mesh", "{fields}:missing", "-o", "{tmp}/t.ply"], 2, "defines no 'missing'"),
        (
            ["mesh", "{fields}:not_a_field", "-o", "{tmp}/t.ply"],
            2,
            "'not_a_field' in '{fields}' is a int, not a field",
        ),
        (["mesh", "{fields}:blob", "-o", "{tmp}/t.ply"], 2, "field 'blob' has no bounds: pass --bounds"),
        (
            ["mesh", "{fields}:blob", "-o", "{tmp}/t.ply", "--bounds", "1", "1", "1", "0", "0", "0"],
            2,
            "enclose no volume",
        ),
        (["mesh", "{tmp}/bad.py:f", "-o", "{tmp}/t.ply"], 1, "loading '{tmp}/bad.py' failed: SyntaxError"),
    ],
)
def test_bad_input_fails_with_a_clear_message(tmp_path, fields, args, status, message):
    (tmp_path / "bad.py").write_text("def f(:\n")
    (tmp_path / "folder.ply").mkdir()
    fill = {"tmp": str(tmp_path), "fields": str(fields)}
    result = run_cli(*[a.format(**fill) for a in args])
    assert result.returncode == status
    assert message.format(**fill) in result.stderr
    assert not (tmp_path / "t.ply").exists()


def test_missing_matplotlib_is_reported_before_meshing(tmp_path):
    blocker = tmp_path / "blocker" / "matplotlib"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('no matplotlib here')\n")
    path = os.pathsep.join([str(tmp_path / "blocker"), os.environ.get("PYTHONPATH", "")])
    result = run_cli(
        "mesh",
        "torus",
        "-o",
        str(tmp_path / "t.ply"),
        "--preview",
        str(tmp_path / "t.png"),
        env_extra={"PYTHONPATH": path},
    )
    assert result.returncode == 1
    assert "the preview needs matplotlib: pip install 'quarvel[preview]'" in result.stderr
    assert not (tmp_path / "t.ply").exists()


# ---------------------------------------------------------------- with the engine


@needs_engine
def test_main_command_writes_mesh_and_preview(tmp_path):
    pytest.importorskip("matplotlib")
    result = run_cli("mesh", "torus", "-o", "torus.ply", "--preview", "torus.png", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # no progress line when stderr is not a terminal
    mesh = qv.Mesh.load(tmp_path / "torus.ply")
    assert mesh.is_watertight
    assert mesh.volume == pytest.approx(2 * math.pi**2 * 0.35**2, rel=2e-3)
    assert f"{len(mesh.triangles):,} triangles" in result.stdout and "watertight" in result.stdout
    assert "wrote torus.ply" in result.stdout and "wrote torus.png" in result.stdout
    assert (tmp_path / "torus.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


@needs_engine
@pytest.mark.parametrize("suffix", [".obj", ".stl", ".glb"])
def test_options_reach_the_mesh(tmp_path, suffix):
    if suffix == ".glb":
        pytest.importorskip("trimesh")
    out = tmp_path / f"ball{suffix}"
    result = run_cli(
        "mesh",
        "sphere",
        "-o",
        str(out),
        "--max-depth",
        "5",
        "--min-depth",
        "2",
        "--iso",
        "0.5",
        "--adaptive",
        "--keep",
        "largest",
        "--lipschitz",
        "1.5",
        "--batch-size",
        "4096",
        "--progress",
    )
    assert result.returncode == 0, result.stderr
    mesh = qv.Mesh.load(out)
    assert mesh.is_watertight
    assert mesh.volume == pytest.approx(4 / 3 * math.pi * 1.5**3, rel=0.02)
    # A pipe gets one line per stage, no carriage return.
    stages = [line.split()[2] for line in result.stderr.splitlines()]
    assert stages == ["sampling", "refining", "crossings", "vertices", "faces"] and "\r" not in result.stderr
    assert "at depth 5 (cells 0.103)" in result.stdout  # a ball of radius 1.5, its box grown by 5%: 3.3 / 2**5


@needs_engine
@pytest.mark.parametrize("clip", [[], ["--no-clip"]], ids=["clipped", "not-clipped"])
def test_bounds_cut_a_field_from_a_file_in_worker_processes(tmp_path, fields, clip):
    out = tmp_path / "half.ply"
    bounds = ["--bounds", "-1", "-1", "0", "1", "1", "1"]
    result = run_cli("mesh", f"{fields}:blob", "-o", str(out), "--max-depth", "6", "--workers", "2", *bounds, *clip)
    assert result.returncode == 0, result.stderr
    mesh = qv.Mesh.load(out)
    # The ball of radius 0.75 cut at z = 0 is a closed half ball; uncut, the
    # box only crops the sampling and the mesh stays open.
    assert mesh.is_watertight == (clip == [])
    if not clip:
        assert mesh.volume == pytest.approx(2 / 3 * math.pi * 0.75**3, rel=0.01)


@needs_engine
@pytest.mark.parametrize(
    ("name", "extra", "volume"),
    [
        ("ring", [], 2 * math.pi**2 * 0.8 * 0.04),
        ("field", [], 4 / 3 * math.pi * 0.125),
        ("blob", ["--bounds", "-1", "-1", "-1", "1", "1", "1"], 4 / 3 * math.pi * 0.75**3),
    ],
)
def test_fields_from_a_python_file(tmp_path, fields, name, extra, volume):
    out = tmp_path / "f.ply"
    shape = str(fields) if name == "field" else f"{fields}:{name}"
    result = run_cli("mesh", shape, "-o", str(out), "--max-depth", "6", *extra)
    assert result.returncode == 0, result.stderr
    assert qv.Mesh.load(out).volume == pytest.approx(volume, rel=0.01)


@needs_engine
def test_field_errors_end_with_status_1(tmp_path, fields):
    result = run_cli(
        "mesh", f"{fields}:broken", "-o", str(tmp_path / "t.ply"), "--bounds", "-1", "-1", "-1", "1", "1", "1"
    )
    assert result.returncode == 1
    assert "meshing failed: RuntimeError: this field is broken" in result.stderr
    assert not (tmp_path / "t.ply").exists()


EXITING = """\
import sys
import numpy as np

class Bounds:
    def __iter__(self):
        raise RuntimeError("no bounds today")

class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no message either")

def field(points):
    {body}
field.bounds = {bounds}
"""


@needs_engine
@pytest.mark.parametrize(
    ("body", "bounds", "message"),
    [
        ("pass\nsys.exit(0)", "None", "loading '{path}' failed: SystemExit: 0"),
        ("raise SystemExit(0)", "((-1, -1, -1), (1, 1, 1))", "meshing failed: SystemExit: 0"),
        ("raise GeneratorExit", "((-1, -1, -1), (1, 1, 1))", "meshing failed: GeneratorExit\n"),
        ("return np.zeros(len(points))", "Bounds()", "reading the bounds failed: RuntimeError: no bounds today"),
        ("raise Unprintable()", "((-1, -1, -1), (1, 1, 1))", "meshing failed: Unprintable: <Unprintable whose"),
    ],
    ids=["exit-on-load", "system-exit", "generator-exit", "bounds-raise", "unprintable"],
)
def test_fields_that_exit_are_failures(tmp_path, body, bounds, message):
    """A field must not end the command as a success, nor in a traceback."""
    path = tmp_path / "f.py"
    path.write_text(EXITING.format(body=body, bounds=bounds))
    result = run_cli("mesh", str(path), "-o", str(tmp_path / "t.ply"))
    assert result.returncode == 1
    assert f"quarvel: error: {message.format(path=path)}" in result.stderr
    assert "Traceback" not in result.stderr and not (tmp_path / "t.ply").exists()


@needs_engine
def test_no_surface_is_an_error(tmp_path):
    result = run_cli("mesh", "sphere", "-o", str(tmp_path / "t.ply"), "--iso", "-5")
    assert result.returncode == 1 and "quarvel: error: no surface found within the bounds" in result.stderr


@needs_engine
def test_voxel_size_sets_the_depth(tmp_path):
    result = run_cli("mesh", "sphere", "-o", str(tmp_path / "t.ply"), "--voxel-size", "0.05")
    assert result.returncode == 0, result.stderr
    assert "at depth 6 (cells 0.05)" in result.stdout  # the first depth with cells <= 0.05, grown to 0.05


@needs_engine
def test_console_script_matches_module(tmp_path):
    script = shutil.which("quarvel") or shutil.which("quarvel", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("console script not installed")
    result = subprocess.run(
        [script, "mesh", "capsule", "-o", "c.stl", "--max-depth", "5"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    direct = qv.mesh(qv.builtin("capsule"), max_depth=5)
    np.testing.assert_allclose(qv.Mesh.load(tmp_path / "c.stl").volume, direct.volume, rtol=1e-5)


@needs_engine
@pytest.mark.parametrize("target", ["device", "fifo", "read-only", "block device"])
def test_outputs_that_are_not_plain_files(tmp_path, target):
    """A device or FIFO output is written into and kept; a read-only file, or a
    block device as the preview, is refused before meshing and left as it was."""
    out, args = tmp_path / "out.ply", []
    if target == "device":
        out.symlink_to(device_node(tmp_path / "null", stat.S_IFCHR, 1, 3))
    elif target == "fifo":
        reader = FifoReader(out)
    elif target == "read-only":
        out.write_bytes(b"keep me")
        os.chmod(out, 0o444)
    else:
        out = tmp_path / "t.ply"
        args = ["--preview", str(device_node(tmp_path / "out.png", stat.S_IFBLK, 240, 0))]
    result = run_cli("mesh", "sphere", "-o", str(out), "--max-depth", "4", *args)
    if target == "device":
        assert result.returncode == 0, result.stderr
        assert out.is_symlink() and os.stat(out).st_rdev == os.makedev(1, 3)
    elif target == "fifo":
        assert result.returncode == 0, result.stderr
        (tmp_path / "copy.ply").write_bytes(reader.data())
        assert qv.Mesh.load(tmp_path / "copy.ply").is_watertight
    else:
        refused, kind = (out, "a read-only file (mode 0444)") if target == "read-only" else (args[1], "a block device")
        assert result.returncode == 1
        assert f"cannot write '{refused}': it is {kind}" in result.stderr
        assert "wrote" not in result.stdout and not (tmp_path / "t.ply").exists()
        assert target != "read-only" or out.read_bytes() == b"keep me"


@needs_engine
def test_a_field_file_imports_the_modules_beside_it(tmp_path):
    (tmp_path / "parts").mkdir()
    (tmp_path / "parts" / "radii.py").write_text("R = 0.6\n")
    (tmp_path / "parts" / "part.py").write_text(
        "import numpy as np\nfrom radii import R\n\ndef field(p):\n    return np.linalg.norm(p, axis=1) - R\n"
        "field.bounds = ((-1, -1, -1), (1, 1, 1))\n"
    )
    out = tmp_path / "part.ply"
    result = run_cli("mesh", "parts/part.py", "-o", str(out), "--max-depth", "5", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert qv.Mesh.load(out).volume == pytest.approx(4 / 3 * math.pi * 0.6**3, rel=0.02)


@needs_engine
@pytest.mark.parametrize(("drop", "status", "verdict"), [(0, 0, "watertight"), (1, 1, "not watertight")])
def test_check_reports_and_fails_on_a_fault(tmp_path, drop, status, verdict):
    vertices, triangles = cube_mesh(1.0)
    path = qv.Mesh(vertices, triangles[drop:]).save(tmp_path / "cube.stl")
    result = run_cli("check", str(path))
    assert result.returncode == status, result.stderr
    assert f"{verdict}, 1 piece" in result.stdout
    assert ("boundary" in result.stdout) == bool(drop)


@needs_engine
def test_convert_keeps_the_mesh(tmp_path):
    vertices, triangles = cube_mesh(1.0)
    source = qv.Mesh(vertices, triangles).save(tmp_path / "cube.ply")
    result = run_cli("convert", str(source), str(tmp_path / "cube.obj"))
    assert result.returncode == 0, result.stderr
    back = qv.Mesh.load(tmp_path / "cube.obj")
    np.testing.assert_array_equal(back.vertices, vertices)
    np.testing.assert_array_equal(back.triangles, triangles)
    assert run_cli("convert", str(tmp_path / "missing.ply"), str(tmp_path / "x.obj")).returncode == 1
