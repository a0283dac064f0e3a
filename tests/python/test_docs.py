"""The examples of the documentation run: every ```python block of README.md
and docs/*.md, page by page, as a reader would type them.

The blocks of a page run in order in one namespace, in an empty temporary
folder, so a block may use what an earlier block of its page defined. A
block that cannot run here (it needs a Dask cluster, a spaCy model, files
of the reader's own) is preceded by a line `<!-- not run: why -->`, which
the rendered page does not show. An expression statement whose last line
ends in `# -> VALUE`, VALUE a Python literal, must give that value, so the
results the pages state are checked too. A block that stops on an optional
package that is not installed skips its page; `make test` installs them
all."""

import ast
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).parents[2]
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").rglob("*.md"))
NOT_RUN = re.compile(r"<!-- not run: (.+?) -->")
# The extras and test tools a block may need (import names); a block that
# stops on any other missing module fails.
OPTIONAL = {"lxml", "bs4", "networkx", "dask", "distributed", "scipy", "sklearn", "tree_sitter",
            "nltk", "conllu", "spacy", "RNA", "tsed", "apted", "zss"}


def blocks(page):
    """The page's ```python blocks: (first line number, code, run or not)."""
    lines = page.read_text(encoding="utf-8").split("\n")
    found, start, marker = [], None, False
    for number, line in enumerate(lines, 1):
        if start is None and line.strip() == "```python":
            start = number
            marker = number > 1 and NOT_RUN.fullmatch(lines[number - 2].strip()) is not None
        elif start is not None and line.strip() == "```":
            found.append((start + 1, "\n".join(lines[start:number - 1]), not marker))
            start = None
    assert start is None, f"{page}: the block opened at line {start} is never closed"
    return found


def expected_value(comment):
    """The literal at the start of a `# -> ` comment: `1 (Name:b inserted)` gives 1."""
    for end in range(len(comment), 0, -1):
        try:
            return ast.literal_eval(comment[:end].strip())
        except (ValueError, SyntaxError):
            continue
    raise AssertionError(f"`# -> {comment}` does not start with a Python literal")


def run_block(page, first_line, code, namespace):
    name = str(page.relative_to(ROOT))
    # Padded so that line numbers in a traceback are the page's own.
    source = "\n" * (first_line - 1) + code
    lines = source.split("\n")
    module = ast.parse(source, filename=name)
    for statement in module.body:
        last = lines[statement.end_lineno - 1]
        arrow = last.find("# -> ")
        if isinstance(statement, ast.Expr) and arrow >= 0:
            expected = expected_value(last[arrow + len("# -> "):])
            got = eval(compile(ast.Expression(statement.value), name, "eval"), namespace)
            assert got == expected, f"{name}:{statement.lineno}: gives {got!r}, the page says {expected!r}"
        else:
            exec(compile(ast.Module([statement], type_ignores=[]), name, "exec"), namespace)


@pytest.mark.parametrize("page", PAGES, ids=[str(p.relative_to(ROOT)) for p in PAGES])
def test_the_examples_of_a_page_run(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__docs__"}
    for first_line, code, run in blocks(page):
        if not run:
            continue
        try:
            run_block(page, first_line, code, namespace)
        except ModuleNotFoundError as error:
            if error.name is None or error.name.split(".")[0] not in OPTIONAL:
                raise
            pytest.skip(f"{error.name} is not installed")


def test_the_readme_links_to_pages_that_exist():
    # mkdocs --strict checks the links between the pages of docs/; the
    # README is no page of the site, so its links are checked here.
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", readme)
    assert targets
    missing = [target for target in targets if not (ROOT / target).exists()]
    assert not missing, missing


def test_most_examples_run_and_every_exception_says_why():
    run = skipped = 0
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        page_blocks = blocks(page)
        # A marker not followed by a block would leave the next block unmarked.
        markers = [m.start() for m in NOT_RUN.finditer(text)]
        assert len(markers) == sum(not r for _, _, r in page_blocks), f"{page}: a marker stands apart from a block"
        run += sum(r for _, _, r in page_blocks)
        skipped += sum(not r for _, _, r in page_blocks)
    assert run > 2 * skipped, (run, skipped)
