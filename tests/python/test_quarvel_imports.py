"""The package's modules import one another without a cycle, function-local imports included
(imports for type checkers alone, under ``if TYPE_CHECKING:``, never run and do not count)."""

from __future__ import annotations

import ast
import re

from test_quarvel_helpers import REPO

PACKAGE = REPO / "python" / "quarvel"


def module_names() -> dict[str, ast.Module]:
    """Every module of the package by dotted name (a package by its own name); an
    extension module, known by its stub, imports nothing of the package."""
    modules = {}
    for path in PACKAGE.rglob("*.pyi"):
        modules[".".join(path.relative_to(PACKAGE.parent).with_suffix("").parts)] = ast.Module([], [])
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        modules[name] = ast.parse(path.read_text(), str(path))
    return modules


def runtime_nodes(tree: ast.AST):
    """Every node of ``tree`` outside ``if TYPE_CHECKING:`` blocks."""
    todo = [tree]
    while todo:
        node = todo.pop()
        yield node
        if isinstance(node, ast.If) and ast.unparse(node.test).endswith("TYPE_CHECKING"):
            todo.extend(node.orelse)
            continue
        todo.extend(ast.iter_child_nodes(node))


def imported(name: str, tree: ast.Module, known: set[str]) -> set[str]:
    """The package's modules that ``name`` imports anywhere in its body."""
    is_package = (PACKAGE.parent / name.replace(".", "/") / "__init__.py").exists()
    out = set()
    for node in runtime_nodes(tree):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parent = name.split(".")[: len(name.split(".")) - node.level + is_package]
                base = ".".join(parent + ([base] if base else []))
            # `from package import module` names the module, anything else the package.
            targets = [f"{base}.{a.name}" if f"{base}.{a.name}" in known else base for a in node.names]
        else:
            continue
        out |= {t for t in targets if t in known and t != name}
    return out


def test_the_import_graph_has_no_cycle():
    modules = module_names()
    graph = {name: imported(name, tree, set(modules)) for name, tree in modules.items()}
    assert graph["quarvel.shapes.base"] >= {"quarvel.shapes.node", "quarvel.shapes.program"}  # the walk sees them
    # Depth-first search for an edge back to a module still open.
    state: dict[str, str] = {}
    for start in graph:
        stack = [(start, iter(sorted(graph[start])))]
        state.setdefault(start, "open")
        while stack:
            node, edges = stack[-1]
            following = next(edges, None)
            if following is None:
                state[node] = "done"
                stack.pop()
                continue
            assert state.get(following) != "open", " -> ".join([n for n, _ in stack] + [following])
            if following not in state:
                state[following] = "open"
                stack.append((following, iter(sorted(graph[following]))))


# The core's folders, lowest first: a file may include its own folder and lower ones only.
LAYERS = [{"core"}, {"eval", "mesh"}, {"octree", "sample"}, {"dc"}, {"pipeline"}, {"py"}]


def test_no_core_file_includes_a_higher_layer():
    rank = {folder: level for level, folders in enumerate(LAYERS) for folder in folders}
    src = REPO / "src"
    assert {p.name for p in src.iterdir() if p.is_dir()} == set(rank)
    wrong = []
    for path in sorted(src.rglob("*.[ch]pp")):
        own = path.relative_to(src).parts[0]
        for folder in re.findall(r'^#include "(\w+)/', path.read_text(), re.MULTILINE):
            if folder != own and rank[folder] >= rank[own]:
                wrong.append(f"{path.relative_to(src)} includes {folder}/")
    assert not wrong, wrong
