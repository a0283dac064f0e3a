"""The package's imports point one way: no circle among grix's modules, no
grix module imported inside a function, and the readers at the bottom
importing nothing above them. Read from the source with ast, so a circle is
caught even where Python's import order happens to hide it."""

from __future__ import annotations

import ast
from pathlib import Path

import grix

PACKAGE = Path(grix.__file__).parent


def module_name(path: Path) -> str:
    parts = ["grix", *path.relative_to(PACKAGE).with_suffix("").parts]
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


# The extension module is known by its stub.
MODULES = {module_name(path): path for path in [*PACKAGE.rglob("*.pyi"), *PACKAGE.rglob("*.py")]}


def is_package(name: str) -> bool:
    return MODULES[name].name == "__init__.py"


def imported_modules(name: str, node: ast.Import | ast.ImportFrom) -> list[str]:
    """The grix modules an import statement names (the module itself, or for
    ``from X import y`` the submodule X.y where there is one)."""
    if isinstance(node, ast.Import):
        return [alias.name for alias in node.names if alias.name in MODULES]
    if node.level:
        base = name.split(".") if is_package(name) else name.split(".")[:-1]
        base = base[:len(base) - node.level + 1]
        target = ".".join(base + ([node.module] if node.module else []))
    else:
        target = node.module or ""
    if target not in MODULES:
        return []
    found = [f"{target}.{alias.name}" for alias in node.names if f"{target}.{alias.name}" in MODULES]
    return found or [target]


def type_checking_only(node: ast.AST) -> bool:
    return isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test)


def imports_of(name: str) -> tuple[set[str], list[str]]:
    """The grix modules `name` imports when it runs, and the ones it imports
    inside a function."""
    top: set[str] = set()
    nested: list[str] = []

    def visit(node: ast.AST, in_function: bool) -> None:
        for child in ast.iter_child_nodes(node):
            if type_checking_only(child):
                continue
            if isinstance(child, (ast.Import, ast.ImportFrom)):
                targets = imported_modules(name, child)
                (nested.extend if in_function else top.update)(targets)
            visit(child, in_function or isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)))

    visit(ast.parse(MODULES[name].read_text(encoding="utf-8")), False)
    return top, nested


GRAPH = {name: imports_of(name) for name in MODULES}


def test_no_grix_module_is_imported_inside_a_function():
    nested = {name: found for name, (_, found) in GRAPH.items() if found}
    assert nested == {}


def test_no_import_circle():
    done: set[str] = set()
    path: list[str] = []

    def visit(name: str) -> None:
        if name in path:
            raise AssertionError("import circle: " + " -> ".join(path[path.index(name):] + [name]))
        if name in done:
            return
        path.append(name)
        top, nested = GRAPH[name]
        for target in sorted(top | set(nested)):
            visit(target)
        path.pop()
        done.add(name)

    for name in sorted(MODULES):
        visit(name)


# The extension module imports no Python module of grix, so it sits below
# the readers too: the JSON reader parses text with it.
FOUNDATION = {"grix.errors", "grix._core"}


def test_readers_import_only_readers_and_the_foundation():
    for name, (top, _) in GRAPH.items():
        if name.startswith("grix.readers"):
            outside = {t for t in top if not t.startswith("grix.readers") and t not in FOUNDATION}
            assert not outside, f"{name} imports {sorted(outside)}"


def test_the_extension_module_imports_no_grix_module():
    assert GRAPH["grix._core"][0] == set()


def test_the_checker_resolves_imports():
    # The checks above pass trivially if imports are not found at all.
    assert "grix.json_distance" in GRAPH["grix.batch"][0]
    assert "grix.readers" in GRAPH["grix.tree"][0]
    assert "grix.errors" in GRAPH["grix.cli.inputs"][0]  # from ..errors import InputError
    nested = ast.parse("def f():\n    from .json_distance import json_pdist\n").body[0].body[0]
    assert imported_modules("grix.batch", nested) == ["grix.json_distance"]
