"""The installed type stub as type checkers meet it: mypy and pyright both
find it, accept correct calls and flag wrong ones."""

import ast
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from conftest import not_under_asan

# Both checkers read the stub installed into this interpreter's
# site-packages, which the module under ASan is not loaded from.
pytestmark = not_under_asan

CORRECT = textwrap.dedent("""
    import GRIX_CPU

    labels: list[str | bytes] = ["a", b"b"]
    d1: int = GRIX_CPU.compute_tree_edit_distance_uniform(labels, [-1, 0], ("a",), (-1,), 2)
    d2: int = GRIX_CPU.compute_tree_edit_distance(
        [bytearray(b"a")], [-1], ["b", "c"], range(-1, 1), [[0, 1]], True)
""")

# Each line that must be flagged ends with "# wrong".
WRONG = textwrap.dedent("""
    import GRIX_CPU

    name: str = GRIX_CPU.compute_tree_edit_distance_uniform(["a"], [-1], ["a"], [-1], 1)  # wrong
    GRIX_CPU.compute_tree_edit_distance_uniform([1], [-1], ["a"], [-1], 1)  # wrong
    GRIX_CPU.compute_tree_edit_distance_uniform(["a"], [None], ["a"], [-1], 1)  # wrong
    GRIX_CPU.compute_tree_edit_distance_uniform(["a"], [-1], ["a"], [-1], num_threads=1)  # wrong
    GRIX_CPU.compute_tree_edit_distance(["a"], [-1], ["a"], [-1], 1)  # wrong
    GRIX_CPU.compute_tree_edit_distance(["a"], [-1], ["a"], [-1], [["0"]], 1)  # wrong
    GRIX_CPU.compute_tree_edit_distance_uniform("ab", [-1, 0], ["a"], [-1], 1, 1)  # wrong
""")

# The grix package is typed throughout (py.typed), its extension module by a stub.
GRIX_CORRECT = textwrap.dedent("""
    from typing import Any
    import numpy as np
    import numpy.typing as npt
    import grix
    import grix.dask

    t: grix.Tree = grix.Tree.from_bracket("{a{b}}")
    d: int = grix.distance(t, t, rename=lambda a, b: int(a != b), workers=2, timeout=1.5)
    e: int = grix.distance(t, t, rename=np.zeros((2, 2), dtype=np.int32))
    f: float = grix.distance(t, t, delete=0.5, insert=lambda label: 2.0)
    g: float = grix.normalized_distance(t, t, method="max")
    m: grix.Mapping[int] = grix.mapping(t, t)
    cost: float = m.distance + sum(edit.cost for edit in m.edit_script())
    h: npt.NDArray[Any] = grix.paired([t], [t], normalize="metric")
    pairs: list[tuple[int, int]] = m.pairs
    u: grix.Tree = grix.apply(t, m.edit_script())
    v: npt.NDArray[Any] = grix.pdist([t, u], workers=None, progress=False)
    close: list[tuple[int, int, int]] = grix.join([t, u], 3).matches
    w: npt.NDArray[Any] = grix.dask.pdist([t, u], workers=-1, progress=False, timeout=None)
    edit: grix.Edit = grix.Edit("insert", 2, "x", 0, 0, node2=1)
    text: str = grix.diff.render_text(grix.mapping(t, t))
    offset: int = grix.Tree.from_bracket("{a}").source[0]
    generic: grix.Tree = grix.Tree.from_ast("x = 1")
    whole: int = grix.mapping(t, t).distance
    part: float = grix.mapping(t, t, delete=0.5).distance
    plain: npt.NDArray[np.int32] = grix.pdist([t, u])
    scaled: npt.NDArray[np.float64] = grix.cdist([t], [u], normalize="max")
    classes = grix.LabelClasses(lambda label: label[:1], lambda a, b: 0.5)
    by_class: float = grix.distance(t, u, rename=classes)
    rna = grix.Tree.from_dot_bracket("((..))")
    priced: float = grix.distance(rna, rna, **grix.rna.costs("usual"))
    priced_all: npt.NDArray[Any] = grix.pdist([rna, rna], **grix.rna.costs("shapiro"), workers=2)
    small: npt.NDArray[Any] = grix.pdist([t, u], dtype=np.uint8)
    single: npt.NDArray[Any] = grix.cdist([t], [u], dtype="float32", normalize="max")
""")

GRIX_WRONG = textwrap.dedent("""
    import grix
    import grix.dask

    t = grix.Tree.from_bracket("{a}")
    s: str = grix.distance(t, t)  # wrong
    i: int = grix.distance(t, t, delete=0.5)  # wrong
    grix.normalized_distance(t, t, method=2)  # wrong
    grix.distance(t, t, workers="2")  # wrong
    grix.distance("{a}", t)  # wrong
    grix.mapping(t, t).pairs.append("x")  # wrong
    grix.pdist([t], rename=3)  # wrong
    grix.dask.cdist([t], [t], workers="1")  # wrong
    grix.Edit("insert", 2, "x", 0, 0, node2="1")  # wrong
    o: str = t.source[0]  # wrong
    grix.diff.render_text(t)  # wrong
    grix.Tree.from_ast("x", context=1.5)  # wrong
    n: int = grix.mapping(t, t, delete=0.5).distance  # wrong
""")


def wrong_lines(text):
    return [number for number, line in enumerate(text.splitlines(), 1) if line.endswith("# wrong")]


def mypy(directory):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
         str(directory / ".mypy_cache"), "--python-executable", sys.executable, "sample.py"],
        cwd=directory, capture_output=True, text=True, timeout=300)


def pyright(directory):
    # The pyright package brings its own copy of the checker and of node; the
    # environment variable stops it from asking PyPI for a newer release.
    return subprocess.run(
        [sys.executable, "-m", "pyright", "--pythonpath", sys.executable, "sample.py"],
        cwd=directory, capture_output=True, text=True, timeout=300,
        env={**os.environ, "PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"})


def flagged_lines(output):
    marker = "sample.py:"
    lines = set()
    for line in output.splitlines():
        if marker in line and "error" in line:
            lines.add(int(line.split(marker, 1)[1].split(":", 1)[0]))
    return sorted(lines)


@pytest.mark.parametrize("correct, wrong", [(CORRECT, WRONG), (GRIX_CORRECT, GRIX_WRONG)],
                         ids=["GRIX_CPU", "grix"])
@pytest.mark.parametrize("checker", [mypy, pyright], ids=["mypy", "pyright"])
class TestCheckers:
    def test_correct_calls_check_cleanly(self, checker, correct, wrong, tmp_path):
        (tmp_path / "sample.py").write_text(correct)
        result = checker(tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr

    def test_every_wrong_call_is_flagged(self, checker, correct, wrong, tmp_path):
        # The first wrong line assigns the int result to a str: flagged only
        # if the checker read the types rather than treating the module as Any.
        (tmp_path / "sample.py").write_text(wrong)
        result = checker(tmp_path)
        assert result.returncode == 1, result.stdout + result.stderr
        assert flagged_lines(result.stdout) == wrong_lines(wrong), result.stdout


README_EXAMPLES = pathlib.Path(__file__).parents[2] / "examples" / "readme.py"


@pytest.mark.parametrize("checker", [mypy, pyright], ids=["mypy", "pyright"])
def test_readme_examples_check_cleanly(checker, tmp_path):
    (tmp_path / "sample.py").write_text(README_EXAMPLES.read_text())
    result = checker(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("checker", [mypy, pyright], ids=["mypy", "pyright"])
def test_the_readmes_own_blocks_check_cleanly(checker, tmp_path):
    # The blocks as the README shows them, the RNA example's **costs included.
    readme = (README_EXAMPLES.parents[1] / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert blocks and "grix.rna.costs" in "".join(blocks)
    (tmp_path / "sample.py").write_text("\n".join(blocks))
    result = checker(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_readme_examples_run():
    result = subprocess.run([sys.executable, str(README_EXAMPLES)], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0 and "hold" in result.stdout, result.stderr


def test_stub_package_is_installed_and_its_docstrings_name_every_exception():
    stub = pathlib.Path(sysconfig.get_paths()["platlib"], "GRIX_CPU-stubs", "__init__.pyi")
    functions = [node for node in ast.parse(stub.read_text()).body if isinstance(node, ast.FunctionDef)]
    assert [f.name for f in functions] == ["compute_tree_edit_distance", "compute_tree_edit_distance_uniform"]
    for function in functions:
        doc = ast.get_docstring(function)
        for exception in ("TypeError", "ValueError", "MemoryError", "RuntimeError"):
            assert f"{exception}:" in doc, (function.name, exception)
