"""The extension's type stubs match the real functions; the package type-checks strictly."""

from __future__ import annotations

import ast
import importlib.util
import inspect
import subprocess
import sys

import pytest

from test_quarvel_helpers import REPO

STUB = REPO / "python" / "_quarvel_rs.pyi"


def stub_functions() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def stub_parameters(node: ast.FunctionDef) -> list[tuple[str, object]]:
    args = node.args
    defaults = [inspect.Parameter.empty] * (len(args.args) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    return [(a.arg, d) for a, d in zip(args.args, defaults, strict=True)]


@pytest.fixture(scope="module")
def engine():
    return pytest.importorskip("_quarvel_rs")


def test_every_exported_function_has_a_stub(engine):
    assert set(engine.__all__) == set(stub_functions())


@pytest.mark.parametrize("name", stub_functions())
def test_stub_parameters_match_the_runtime(engine, name):
    runtime = inspect.signature(getattr(engine, name))
    expected = [(p.name, p.default) for p in runtime.parameters.values()]
    assert stub_parameters(stub_functions()[name]) == expected
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in runtime.parameters.values())


@pytest.mark.parametrize("name", stub_functions())
def test_stub_docstrings_match_the_runtime(engine, name):
    assert ast.get_docstring(stub_functions()[name]).split() == getattr(engine, name).__doc__.split()


def test_panic_exception_derives_from_base_exception(engine):
    tree = ast.parse(STUB.read_text())
    (panic,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PanicException"]
    assert [ast.unparse(b) for b in panic.bases] == ["BaseException"]
    runtime = getattr(engine, "PanicException", None)
    if runtime is not None:
        assert issubclass(runtime, BaseException) and not issubclass(runtime, Exception)


def test_result_types_match_the_stub(engine):
    import numpy as np

    def ball(p):
        return np.linalg.norm(p, axis=1) - 0.5, None

    assert "tuple[NDArray[np.float64], NDArray[np.int64]]" in ast.unparse(
        stub_functions()["extract_mesh"].returns
    )
    vertices, triangles = engine.extract_mesh(ball, (-1, -1, -1), (1, 1, 1), 2, 4)
    assert vertices.dtype == np.float64 and triangles.dtype == np.int64
    stats = engine.build_octree_uniform(ball, (-1, -1, -1), (1, 1, 1), 2)
    assert len(stats) == 6 and all(type(s) is int for s in stats)
    values, has_gradients, count = engine.test_batch_eval(ball, [(0, 0, 0)])
    assert (type(values), type(values[0]), type(has_gradients), type(count)) == (list, float, bool, int)
    gradients = engine.test_fd_gradients(ball, [(1, 0, 0)])
    assert type(gradients) is list and [type(g) for g in gradients[0]] == [float] * 3


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")
@pytest.mark.skipif(
    sys.version_info < (3, 11), reason="typed against the stubs of NumPy releases newer than 2.2, the last for Python 3.10"
)
def test_package_passes_mypy_strict(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path)]
        + ["python/quarvel", "python/quarvel_runtime.py", "tests/python/typed_calls.py"],
        cwd=REPO,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
