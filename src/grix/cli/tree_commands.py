"""The commands on trees: distance, diff, pdist (pairwise) and nearest."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from ..batch import pdist, square_matrix
from ..diff import mapping_to_json, render_text, write_html
from ..distance import ALGORITHMS, distance
from ..join import join, nearest
from ..mapping import mapping
from .inputs import WORKERS, add_input_options, cost_options, csv_field, number, read_tree, write_text

MATRIX_SUFFIXES = (".csv", ".npy", ".npz")


def add_commands(commands: Any) -> dict[str, Callable[[argparse.Namespace], None]]:
    """Adds the commands to the subparsers `commands`; returns the function
    that runs each, by every name it can be called."""
    one = commands.add_parser("distance", help="the tree edit distance of two trees")
    one.add_argument("a", metavar="A")
    one.add_argument("b", metavar="B")
    add_input_options(one)
    one.add_argument("--workers", type=WORKERS, default=1, metavar="N",
                     help="threads (default 1; -1 for all cores)")
    one.add_argument("--json", action="store_true", help="print a JSON object")

    diff = commands.add_parser("diff", help="what changed from A to B, node by node")
    diff.add_argument("a", metavar="A")
    diff.add_argument("b", metavar="B")
    add_input_options(diff)
    diff.add_argument("--workers", type=WORKERS, default=1, metavar="N",
                      help="threads (default 1; -1 for all cores)")
    diff.add_argument("--json", action="store_true", help="print the mapping as JSON")
    diff.add_argument("--html", metavar="OUT.html", help="also write a self-contained page")
    diff.add_argument("--fold", type=number(int, 0, "a number of lines (0 or more)"), default=3,
                      metavar="N", help="fold runs of more than N unchanged lines (default 3)")
    diff.add_argument("--colour", "--color", action="store_true", help="colour the marks")
    for pair_command in (one, diff):
        pair_command.add_argument("--algorithm", choices=ALGORITHMS, default="auto",
                                  help="the keyroot schedule, the path strategy, or whichever is "
                                       "predicted faster (auto, the default)")

    many = commands.add_parser("pdist", aliases=["pairwise"], help="distances between all pairs of files")
    many.add_argument("files", nargs="+", metavar="FILE")
    add_input_options(many)
    many.add_argument("--out", metavar="OUT.csv|OUT.npz|OUT.npy",
                      help="write the square matrix there: CSV with the file names as header and "
                      "first column; .npz with arrays 'matrix' and 'files'; .npy with the file "
                      "names in OUT.files.txt, one a line (default: CSV on stdout)")
    many.add_argument("--threshold", type=number(int, 0, "a distance (0 or more)"), metavar="T",
                      help="only the pairs at distance at most T: CSV file1,file2,distance, or "
                      ".npz with arrays 'pairs' (i, j, distance) and 'files'")
    many.add_argument("--workers", type=WORKERS, default=-1, metavar="N",
                      help="threads (default: all cores)")
    many.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                      help="show a progress bar (default: on a terminal, for long runs)")
    close = commands.add_parser("nearest", help="the closest corpus files to each query")
    close.add_argument("queries", nargs="*", metavar="QUERY")
    close.add_argument("--corpus", nargs="+", required=True, metavar="FILE", help="the files to search")
    close.add_argument("-k", type=number(int, 1, "a number of neighbours (1 or more)"), default=1,
                       help="neighbours per query (default 1)")
    close.add_argument("--max-distance", type=number(int, 0, "a distance (0 or more)"), metavar="D",
                       help="only corpus files within distance D")
    add_input_options(close)
    close.add_argument("--workers", type=WORKERS, default=-1, metavar="N", help="threads (default: all cores)")
    close.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                       help="show a progress bar (default: on a terminal, for long runs)")
    return {"distance": run_distance, "diff": run_diff, "pdist": run_pdist, "pairwise": run_pdist,
            "nearest": run_nearest}


def check_usage(args: argparse.Namespace, main_parser: argparse.ArgumentParser) -> None:
    """Refuse what argparse cannot see, before any work."""
    if args.command == "nearest" and not args.queries:
        # --corpus takes every file after it, so queries written last vanish into it.
        main_parser.error("nearest needs at least one QUERY: put the queries before --corpus "
                          "(grix nearest q.py --corpus a.py b.py), or end the corpus with -- "
                          "(grix nearest --corpus a.py b.py -- q.py)")
    if getattr(args, "language", None):
        # Naming a language means reading with tree-sitter, whatever the suffix.
        if args.format not in (None, "tree-sitter"):
            main_parser.error(f"--language reads code with tree-sitter; it does not go with --format {args.format}")
        args.format = "tree-sitter"
    if args.command == "nearest" and args.rna_costs:
        main_parser.error("--rna-costs: nearest takes no costs (its bounds hold for unit costs only)")
    if args.command in ("pdist", "pairwise") and args.out is not None:
        suffix = Path(args.out).suffix.lower()
        allowed = (".csv", ".npz") if args.threshold is not None else MATRIX_SUFFIXES
        if suffix not in allowed:
            what = "the pairs of --threshold" if args.threshold is not None else "the matrix"
            main_parser.error(f"--out {args.out}: {what} can be written as {', '.join(allowed)}, "
                              f"not {suffix or 'a file without a suffix'}")


def run_distance(args: argparse.Namespace) -> None:
    t1, t2 = read_tree(args.a, args), read_tree(args.b, args)
    result = distance(t1, t2, workers=args.workers, timeout=args.timeout, algorithm=args.algorithm,
                      **cost_options(args))
    if args.json:
        print(json.dumps({"distance": result, "nodes1": len(t1), "nodes2": len(t2)}))
    else:
        print(result)


def run_diff(args: argparse.Namespace) -> None:
    t1, t2 = read_tree(args.a, args), read_tree(args.b, args)
    found = mapping(t1, t2, workers=args.workers, timeout=args.timeout, algorithm=args.algorithm,
                    **cost_options(args))
    if args.html:
        name_a, name_b = distinct_names(args.a, args.b)
        write_html(found, args.html, title=f"grix diff {name_a} → {name_b}")
    if args.json:
        print(json.dumps(mapping_to_json(found)))
    else:
        sys.stdout.write(render_text(found, fold=args.fold, colour=args.colour))


def distinct_names(a: str, b: str) -> tuple[str, str]:
    """The file names of two paths, with as many of their folders as it takes
    to tell them apart (``3.11/argparse.py`` and ``3.12/argparse.py``)."""
    parts_a, parts_b = Path(a).parts, Path(b).parts
    keep = 1
    while keep < max(len(parts_a), len(parts_b)) and parts_a[-keep:] == parts_b[-keep:]:
        keep += 1
    if parts_a[-keep:] == parts_b[-keep:]:  # the same path: its name is enough
        keep = 1
    return str(Path(*parts_a[-keep:])) if parts_a else a, str(Path(*parts_b[-keep:])) if parts_b else b


def run_pdist(args: argparse.Namespace) -> None:
    trees = [read_tree(name, args) for name in args.files]
    files = np.array(args.files, dtype=str)
    if args.threshold is not None:
        found = join(trees, args.threshold, workers=args.workers, progress=args.progress,
                     timeout=args.timeout, **cost_options(args))
        if args.out and args.out.lower().endswith(".npz"):
            np.savez(args.out, pairs=np.array(list(found), dtype=np.int64).reshape(-1, 3), files=files)
        else:
            lines = ["file1,file2,distance"] + [
                f"{csv_field(args.files[i])},{csv_field(args.files[j])},{d}" for i, j, d in found]
            write_text("\n".join(lines) + "\n", args.out)
        print(f"{len(found)} pairs within {args.threshold}; pruned {found.pruned_by_size} by size "
              f"and {found.pruned_by_labels} by labels, computed {found.computed}", file=sys.stderr)
        return
    matrix = square_matrix(pdist(trees, workers=args.workers, progress=args.progress,
                                 timeout=args.timeout, **cost_options(args)), len(trees))
    suffix = Path(args.out).suffix.lower() if args.out else ".csv"
    if suffix == ".npz":
        np.savez(args.out, matrix=matrix, files=files)
    elif suffix == ".npy":
        np.save(args.out, matrix)
        names = Path(args.out).with_suffix(".files.txt")
        names.write_text("".join(name + "\n" for name in args.files), encoding="utf-8")
        print(f"the file order of {args.out} is in {names}", file=sys.stderr)
    else:
        header = "," + ",".join(csv_field(name) for name in args.files)
        rows = [csv_field(name) + "," + ",".join(map(str, row))
                for name, row in zip(args.files, matrix.tolist())]
        write_text("\n".join([header, *rows]) + "\n", args.out)


def run_nearest(args: argparse.Namespace) -> None:
    """Prints CSV: query, rank (1 = nearest), corpus file, distance."""
    queries = [read_tree(name, args) for name in args.queries]
    corpus = [read_tree(name, args) for name in args.corpus]
    found = nearest(queries, corpus, args.k, max_distance=args.max_distance, workers=args.workers,
                    progress=args.progress, timeout=args.timeout)
    lines = ["query,rank,file,distance"]
    for query, row, distances in zip(args.queries, found.index.tolist(), found.distance.tolist()):
        for rank, (match, d) in enumerate(zip(row, distances), 1):
            if match >= 0:
                lines.append(f"{csv_field(query)},{rank},{csv_field(args.corpus[match])},{d}")
    sys.stdout.write("\n".join(lines) + "\n")
