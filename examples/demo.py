"""Demonstration of grix on real data found on this machine: two versions of
a standard-library module, the same C header of two Python versions (read
with tree-sitter), two pages of an HTML manual, and the most similar
functions of a module. Run with `make demo`.
"""

import ast
import pathlib
import sys
import sysconfig
import time

import GRIX_CPU
import grix

OUT = pathlib.Path("build/demo")
STDLIB = pathlib.Path(sysconfig.get_paths()["stdlib"])


def other_python_stdlibs():
    """Standard libraries of other Python versions on this machine."""
    here = STDLIB.resolve()
    candidates = [pathlib.Path("/usr/lib/python3.11"), pathlib.Path("/usr/lib/python3")]
    candidates += sorted(pathlib.Path(sys.base_prefix).parent.glob("3.1*/lib/python3.1*"))
    return [path for path in candidates if path.is_dir() and path.resolve() != here]


def module_versions():
    """The first module (from a short list) whose two versions differ."""
    for name in ("textwrap.py", "shlex.py", "fnmatch.py", "glob.py", "colorsys.py", "bisect.py"):
        for other in other_python_stdlibs():
            old, new = other / name, STDLIB / name
            if old.exists() and new.exists() and old.read_bytes() != new.read_bytes():
                return old, new
    return None


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def syntax_tree_versions():
    found = module_versions()
    if found is None:
        print("No second Python version on this machine: skipping the syntax-tree diff.")
        return
    old, new = found
    t1, t2 = grix.load(old), grix.load(new)
    print(f"Syntax trees of {new.name}: {old} ({len(t1)} nodes) against {new} ({len(t2)} nodes)")
    distance, seconds = timed(lambda: grix.distance(t1, t2))
    print(f"  distance {distance}, in {seconds:.3f} s")
    mapping, seconds = timed(lambda: grix.mapping(t1, t2))
    print(f"  mapping in {seconds:.3f} s: {len(mapping.pairs)} nodes kept ({len(mapping.renamed)} renamed), "
          f"{len(mapping.deleted)} deleted, {len(mapping.inserted)} inserted")
    lines = sorted({node.lineno for node in mapping.inserted_sources if hasattr(node, "lineno")})
    print(f"  inserted code starts on lines {lines[:12]}{' ...' if len(lines) > 12 else ''} of the new file")
    script = mapping.edit_script()
    assert grix.apply(t1, script) == t2
    print(f"  the edit script has {len(script)} operations and rebuilds the new tree; the first: {script[0]}")
    text = grix_diff_text(mapping)
    print("  the diff, unchanged runs folded:\n" + "\n".join("    " + line for line in text[:30]))
    if len(text) > 30:
        print(f"    ... {len(text) - 30} more lines")
    page = OUT / f"diff-{new.stem}.html"
    write_page(mapping, page)
    print(f"  side-by-side page: {page}\n")


def c_header_versions():
    """The first header (from a short list) that differs between this
    Python's C headers and another version's."""
    here = pathlib.Path(sysconfig.get_paths()["include"])
    for name in ("cpython/listobject.h", "cpython/tupleobject.h", "cpython/bytesobject.h", "pymem.h"):
        for stdlib in other_python_stdlibs():
            include = stdlib.parent.parent / "include" / stdlib.name
            old, new = include / name, here / name
            if old.exists() and new.exists() and old.read_bytes() != new.read_bytes():
                return old, new
    return None


def code_versions():
    """C, read with tree-sitter: the diff shows lines like the Python one."""
    found = c_header_versions()
    if found is None:
        print("No second Python version's C headers on this machine: skipping the C diff.\n")
        return
    old, new = found
    try:
        t1, t2 = grix.load(old), grix.load(new)
    except ImportError as error:  # the code extra is not installed
        print(f"Skipping the C diff: {error}\n")
        return
    print(f"C syntax trees (tree-sitter) of {new.name}: {old} ({len(t1)} nodes) against {new} ({len(t2)} nodes)")
    mapping, seconds = timed(lambda: grix.mapping(t1, t2))
    print(f"  distance {mapping.distance} in {seconds:.3f} s: {len(mapping.renamed)} renamed, "
          f"{len(mapping.deleted)} deleted, {len(mapping.inserted)} inserted"
          f"{'; the parser recovered from syntax errors' if t1.has_errors or t2.has_errors else ''}")
    score = grix.tsed(old.read_bytes(), new.read_bytes(), language="c")
    print(f"  TSED code similarity (as the tsed package scores it): {score:.3f}")
    text = grix_diff_text(mapping)
    print("  the diff, unchanged runs folded:\n" + "\n".join("    " + line for line in text[:20]))
    if len(text) > 20:
        print(f"    ... {len(text) - 20} more lines")
    page = OUT / f"diff-{new.stem}-c.html"
    write_page(mapping, page)
    print(f"  side-by-side page: {page}\n")


def grix_diff_text(mapping):
    from grix.diff import render_text

    return render_text(mapping).splitlines()


def write_page(mapping, path):
    from grix.diff import write_html

    path.parent.mkdir(parents=True, exist_ok=True)
    write_html(mapping, path)


def html_pages():
    manuals = sorted(pathlib.Path("/usr/share/doc").glob("*/html"))
    for manual in manuals:
        pages = sorted(manual.glob("*.html"), key=lambda p: p.stat().st_size)
        if len(pages) >= 2:
            return pages[-2], pages[-1]
    pages = sorted(pathlib.Path("/usr/share/doc").rglob("*.html"))
    return tuple(pages[:2]) if len(pages) >= 2 else None


def html_documents():
    found = html_pages()
    if found is None:
        print("No HTML documents under /usr/share/doc: skipping.")
        return
    first, second = found
    t1, t2 = grix.load(first), grix.load(second)
    print(f"HTML pages of one manual: {first} ({len(t1)} nodes: elements and text) and {second.name} ({len(t2)} nodes)")
    mapping, seconds = timed(lambda: grix.mapping(t1, t2, workers=2))
    print(f"  distance {mapping.distance} in {seconds:.3f} s: {len(mapping.pairs)} nodes kept, "
          f"{len(mapping.deleted)} deleted, {len(mapping.inserted)} inserted; "
          f"the shared template shows as kept structure")
    write_page(mapping, OUT / "diff-html.html")
    print(f"  side-by-side page: {OUT / 'diff-html.html'}\n")


def similar_functions():
    path = STDLIB / "argparse.py"
    module = ast.parse(path.read_text(encoding="utf-8"))
    functions = [node for node in ast.walk(module) if isinstance(node, ast.FunctionDef)]
    trees = [grix.Tree.from_ast(node) for node in functions]
    condensed, seconds = timed(lambda: grix.pdist(trees))
    print(f"All {len(condensed):,} pairs of the {len(trees)} functions of argparse.py in {seconds:.2f} s "
          f"({len(condensed) / seconds:,.0f} pairs/s, all cores)")
    found = grix.join(trees, 3)
    print(f"  join at distance <= 3: {len(found)} pairs; {found.pruned_by_size + found.pruned_by_labels:,} "
          f"pairs ruled out before any dynamic programming")
    for i, j, d in sorted(found, key=lambda match: match[2])[:5]:
        print(f"    {functions[i].name} (line {functions[i].lineno}) ~ {functions[j].name} "
              f"(line {functions[j].lineno}): {d}")
    print()


def low_level():
    print("The low-level module GRIX_CPU takes pre-order labels and parents:")
    distance = GRIX_CPU.compute_tree_edit_distance_uniform(["a", "b", "c"], [-1, 0, 0], ["a", "c"], [-1, 0], 1)
    print(f"  a(b, c) against a(c): {distance}")
    try:
        grix.Tree.from_bracket("{a{b}")
    except ValueError as error:
        print(f"  and bad input gets a clear error: ValueError: {error}")


def main():
    print(f"grix {grix.__version__}\n")
    syntax_tree_versions()
    code_versions()
    html_documents()
    similar_functions()
    low_level()


if __name__ == "__main__":
    main()
