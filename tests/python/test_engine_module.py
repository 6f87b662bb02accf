"""The package's own extension module: importable, typed by its stub, one class of internal fault."""

from __future__ import annotations

import ast
import inspect
import os
import subprocess
import sys

import pytest

from test_quarvel_helpers import REPO

engine = pytest.importorskip("quarvel._engine")
STUB = REPO / "python" / "quarvel" / "_engine.pyi"


def stub_functions() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_every_function_has_a_stub_with_its_parameters():
    functions = {name for name, value in vars(engine).items() if callable(value) and not name.startswith("_")}
    assert functions == set(stub_functions())
    for name, node in stub_functions().items():
        runtime = [p.name for p in inspect.signature(getattr(engine, name)).parameters.values()]
        stub = [a.arg for a in node.args.posonlyargs + node.args.args + node.args.kwonlyargs]
        # A stub's **options stand for the rest (test_mesh_options checks which).
        assert set(stub) <= set(runtime) if node.args.kwarg else runtime == stub, name


def test_the_pool_size_follows_the_environment():
    run = "import quarvel._engine as e; print(e.thread_count())"
    env = {**os.environ, "RAYON_NUM_THREADS": "3"}
    done = subprocess.run([sys.executable, "-c", run], env=env, capture_output=True, text=True, timeout=60)
    assert done.stdout.split() == ["3"], done.stderr
