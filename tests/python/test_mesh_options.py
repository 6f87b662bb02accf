"""The options of quarvel.mesh, declared once: the signature, the command line and the core agree."""

from __future__ import annotations

import ast
import dataclasses
import inspect

import numpy as np
import pytest

import quarvel as qv
from quarvel.meshing.options import MeshOptions
from test_quarvel_helpers import REPO, run_cli

ENGINE_STUB = REPO / "python" / "quarvel" / "_engine.pyi"


def test_mesh_takes_every_option_with_its_default():
    parameters = inspect.signature(qv.mesh).parameters
    keywords = {n: p.default for n, p in parameters.items() if p.kind is inspect.Parameter.KEYWORD_ONLY}
    assert keywords == {f.name: f.default for f in dataclasses.fields(MeshOptions)}


def test_mesh_refuses_an_unknown_keyword_as_python_does():
    with pytest.raises(TypeError) as raised:
        qv.mesh(qv.sphere(0.5), max_dept=4)
    # Newer interpreters go on to suggest the nearest name.
    assert str(raised.value).startswith("mesh() got an unexpected keyword argument 'max_dept'")
    assert raised.value.__cause__ is None and raised.value.__suppress_context__


def test_the_options_the_core_reads_agree_in_python_the_core_and_the_stub():
    """MeshOptions' core fields are the core's keywords that the stub leaves to its
    **options, with the same defaults; the stub's own keywords are the core's too."""
    engine = pytest.importorskip("quarvel._engine")
    # The last overload is the general one.
    stub = [n for n in ast.parse(ENGINE_STUB.read_text()).body
            if isinstance(n, ast.FunctionDef) and n.name == "extract"][-1]  # fmt: skip
    named = {a.arg: ast.literal_eval(d) for a, d in zip(stub.args.kwonlyargs, stub.args.kw_defaults, strict=True)}
    runtime = {n: p.default for n, p in inspect.signature(engine.extract).parameters.items()}
    core = {f.name: f.default for f in dataclasses.fields(MeshOptions) if f.metadata["core"]}
    assert stub.args.kwarg is not None
    assert {n: runtime.get(n) for n in named} == named
    assert {n: d for n, d in runtime.items() if n not in named and n not in ("field", "lo", "hi")} == core


def test_every_flagged_option_is_on_the_command_line():
    text = run_cli("mesh", "--help").stdout
    for option in dataclasses.fields(MeshOptions):
        if option.metadata["cli"]:
            assert (option.metadata["cli"]["flag"] or "--" + option.name.replace("_", "-")) in text


def balls() -> qv.Shape:
    return qv.sphere(0.5) | qv.sphere(0.1, (0.9, 0, 0))


def test_min_piece_volume_drops_the_small_ball_only():
    whole = qv.mesh(balls(), max_depth=6, progress=False)
    kept = qv.mesh(balls(), max_depth=6, progress=False, min_piece_volume=0.01)
    assert (whole.component_count, kept.component_count) == (2, 1)
    assert kept.stats["pieces"] == 1 and kept.stats["pieces_dropped"] == 1
    assert kept.volume == pytest.approx(4 / 3 * np.pi * 0.125, rel=0.01)
    assert kept.is_watertight and kept.vertices[:, 0].max() < 0.6
    with pytest.raises(ValueError, match="min_piece_volume"):
        qv.mesh(balls(), max_depth=5, min_piece_volume=-1.0)


@pytest.mark.parametrize("field", [balls(), lambda p: np.linalg.norm(p, axis=1) - 0.5], ids=["compiled", "numpy"])
def test_max_evaluations_allows_exactly_what_the_stats_count(field):
    box = ((-1.1, -1.1, -1.1), (1.1, 1.1, 1.1))
    spent = qv.mesh(field, box, max_depth=5, progress=False).stats["evaluations"]
    assert qv.mesh(field, box, max_depth=5, progress=False, max_evaluations=spent).triangles.size
    with pytest.raises(ValueError, match="max_evaluations"):
        qv.mesh(field, box, max_depth=5, progress=False, max_evaluations=spent - 1)
    with pytest.raises(ValueError, match="max_evaluations must be a finite number >= 0"):
        qv.mesh(field, box, max_depth=5, max_evaluations=float("nan"))


def test_the_cores_measures_are_the_meshes_own_until_its_arrays_change():
    mesh = qv.mesh(balls(), max_depth=5, progress=False)
    fresh = qv.Mesh(mesh.vertices, mesh.triangles)
    assert (mesh.area, mesh.volume, mesh.component_count, mesh.is_watertight) == (
        fresh.area, fresh.volume, fresh.component_count, fresh.is_watertight)  # fmt: skip
    volume = mesh.volume
    mesh.vertices *= 2.0
    assert mesh.volume == pytest.approx(8 * volume)
    mesh.triangles = mesh.triangles[1:]
    assert not mesh.is_watertight


def test_both_front_doors_share_one_extension():
    import _quarvel_rs
    import quarvel._engine

    assert quarvel._engine.__file__ == _quarvel_rs.__file__
