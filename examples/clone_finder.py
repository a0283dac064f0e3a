"""Find cloned functions in a folder of mixed-language sources.

Every source file whose suffix names a language with an installed grammar
(.py .js .ts .java .c .h .cpp .cs .go .rs .rb .php .kt .swift .scala .lua
.sh ...) is parsed with tree-sitter and split into its functions; each
function of at least --min-nodes nodes becomes a tree labelled by node types
alone, so a copy with renamed variables or changed constants is at distance
0 (pass --identifiers to count those as edits too). grix's join then finds
every pair of functions within --threshold edits, exactly, pruning most
pairs without computing them; pairs are listed from the most similar, as
1 - distance / larger size. Functions of different languages rarely meet:
their node types differ.

    python examples/clone_finder.py [FOLDER ...] [--threshold 6] [--min-nodes 30]

Needs grix[code]. Without a folder it searches the code samples of the
tests (tests/data/code).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import grix
from grix.readers import treesitter

HERE = Path(__file__).resolve().parent


Span = tuple[Path, int, int]


def functions_of(path: Path, min_nodes: int, identifiers: bool) -> list[tuple[str, Span, grix.Tree]]:
    """(where, span, tree) for each function of a file, or [] for a file
    that cannot be read or whose grammar is missing."""
    language = treesitter.SUFFIX_LANGUAGES.get(path.suffix.lower())
    if language is None:
        return []
    try:
        data = path.read_bytes()
        treesitter.check_code_bytes(data, str(path))
        nodes = treesitter.function_nodes(data, language)
    except (OSError, ValueError, ImportError) as error:
        print(f"skipped {path}: {error}", file=sys.stderr)
        return []
    found = []
    for node in nodes:
        tree = grix.Tree.from_tree_sitter(node, text=identifiers)
        if len(tree) >= min_nodes:
            where = f"{path}:{node.start_point[0] + 1} {treesitter.function_name(node)}"
            found.append((where, (path, node.start_byte, node.end_byte), tree))
    return found


def nested(a: Span, b: Span) -> bool:
    return a[0] == b[0] and (a[1] <= b[1] < b[2] <= a[2] or b[1] <= a[1] < a[2] <= b[2])


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folders", nargs="*", type=Path, default=[HERE.parent / "tests" / "data" / "code"])
    parser.add_argument("--threshold", type=int, default=6, help="most edits between clones (default 6)")
    parser.add_argument("--min-nodes", type=int, default=30, help="smallest function compared (default 30)")
    parser.add_argument("--identifiers", action="store_true", help="names and literals count as edits")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--top", type=int, default=15, help="pairs shown (default 15)")
    args = parser.parse_args(argv)

    start = time.perf_counter()
    places: list[str] = []
    spans: list[Span] = []
    trees: list[grix.Tree] = []
    languages: dict[str, int] = {}
    for folder in args.folders:
        for root, _, names in os.walk(folder):
            for name in sorted(names):
                found = functions_of(Path(root) / name, args.min_nodes, args.identifiers)
                if found:
                    language = treesitter.SUFFIX_LANGUAGES[Path(name).suffix.lower()]
                    languages[language] = languages.get(language, 0) + len(found)
                for where, span, tree in found:
                    places.append(where)
                    spans.append(span)
                    trees.append(tree)
    read = time.perf_counter() - start
    shown = ", ".join(f"{count} {language}" for language, count in sorted(languages.items()))
    print(f"{len(trees)} functions of {args.min_nodes}+ nodes ({shown or 'none'}), read in {read:.2f} s")
    if len(trees) < 2:
        return

    start = time.perf_counter()
    pairs = grix.join(trees, args.threshold, workers=args.workers)
    took = time.perf_counter() - start
    total = len(trees) * (len(trees) - 1) // 2
    print(f"{len(pairs)} pairs within {args.threshold} edits among {total:,} in {took:.2f} s "
          f"(distances computed for {pairs.computed:,})")
    # A function and a closure it wraps whole are one piece of code, not clones.
    pairs = [(i, j, d) for i, j, d in pairs if not nested(spans[i], spans[j])]
    ranked = sorted(pairs, key=lambda p: (p[2] / max(len(trees[p[0]]), len(trees[p[1]])), p[0], p[1]))
    for i, j, d in ranked[:args.top]:
        similarity = 1 - d / max(len(trees[i]), len(trees[j]))
        print(f"  {similarity:.3f}  d={d:<3} {places[i]} ({len(trees[i])} nodes)")
        print(f"  {'':5}  {'':5} {places[j]} ({len(trees[j])} nodes)")


if __name__ == "__main__":
    main()
