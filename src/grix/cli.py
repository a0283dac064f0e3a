"""The grix command line: distances, diffs and distance matrices of files.

Exit status: 0 on success, 1 on a bad input (a one-line message on stderr),
2 on a usage error, 130 on Ctrl-C.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence

import numpy as np

from . import __version__
from .batch import pdist, square_matrix
from .join import add_nearest_command, join, run_nearest
from .distance import distance
from .formats import load
from .mapping import mapping
from .tree import Tree

FORMATS = ("python", "xml", "html", "json", "bracket")


class InputError(Exception):
    """A file or text that cannot be made into a tree."""


def read_tree(argument: str, format: str | None) -> Tree:
    """A file, or bracket text given on the command line."""
    try:
        if argument.lstrip().startswith("{") and not os.path.exists(argument):
            return Tree.from_bracket(argument)
        return load(argument, format=format)
    except FileNotFoundError:
        raise InputError(f"{argument}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{argument}: is a directory") from None
    except (OSError, ValueError, SyntaxError, UnicodeDecodeError, RecursionError) as error:
        first_line = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise InputError(f"{argument}: {first_line}") from None


def parser() -> argparse.ArgumentParser:
    main_parser = argparse.ArgumentParser(
        prog="grix", description="Exact tree edit distance between syntax trees, XML/HTML, JSON "
        "and bracket trees. An argument that is not a file and starts with '{' is bracket text.")
    main_parser.add_argument("--version", action="version", version=f"grix {__version__}")
    commands = main_parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def common(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--format", choices=FORMATS,
                         help="how to read the inputs (default: by suffix; bracket otherwise)")
        sub.add_argument("--timeout", type=float, metavar="SECONDS", help="give up after this long")

    one = commands.add_parser("distance", help="the tree edit distance of two trees")
    one.add_argument("a", metavar="A")
    one.add_argument("b", metavar="B")
    common(one)
    one.add_argument("--threads", type=int, default=1, help="worker threads (default 1)")
    one.add_argument("--json", action="store_true", help="print a JSON object")

    diff = commands.add_parser("diff", help="what changed from A to B, node by node")
    diff.add_argument("a", metavar="A")
    diff.add_argument("b", metavar="B")
    common(diff)
    diff.add_argument("--threads", type=int, default=1, help="worker threads (default 1)")
    diff.add_argument("--json", action="store_true", help="print the mapping as JSON")
    diff.add_argument("--html", metavar="OUT.html", help="also write a self-contained page")
    diff.add_argument("--fold", type=int, default=3, metavar="N",
                      help="fold runs of more than N unchanged lines (default 3)")
    diff.add_argument("--colour", "--color", action="store_true", help="colour the marks")

    many = commands.add_parser("pairwise", help="distances between all pairs of files")
    many.add_argument("files", nargs="+", metavar="FILE")
    common(many)
    many.add_argument("--out", metavar="MATRIX.npy|MATRIX.csv",
                      help="write the square matrix (or, with --threshold, the matches as CSV)")
    many.add_argument("--threshold", type=int, metavar="T",
                      help="only the pairs at distance at most T")
    many.add_argument("--workers", type=int, help="threads (default: all cores)")
    many.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                      help="show a progress bar (default: on a terminal, for long runs)")
    add_nearest_command(commands, common)
    return main_parser


def run_distance(args: argparse.Namespace) -> None:
    t1, t2 = read_tree(args.a, args.format), read_tree(args.b, args.format)
    result = distance(t1, t2, workers=args.threads, timeout=args.timeout)
    if args.json:
        print(json.dumps({"distance": result, "nodes1": len(t1), "nodes2": len(t2)}))
    else:
        print(result)


def run_diff(args: argparse.Namespace) -> None:
    from .diff import mapping_to_json, render_text, write_html

    t1, t2 = read_tree(args.a, args.format), read_tree(args.b, args.format)
    found = mapping(t1, t2, workers=args.threads, timeout=args.timeout)
    if args.html:
        write_html(found, args.html, title=f"grix diff {os.path.basename(args.a)} → {os.path.basename(args.b)}")
    if args.json:
        print(json.dumps(mapping_to_json(found)))
    else:
        print(render_text(found, fold=args.fold, colour=args.colour))


def run_pairwise(args: argparse.Namespace) -> None:
    trees = [read_tree(name, args.format) for name in args.files]
    if args.threshold is not None:
        found = join(trees, args.threshold, workers=args.workers, progress=args.progress,
                     timeout=args.timeout)
        lines = ["file1,file2,distance"] + [
            f"{csv_field(args.files[i])},{csv_field(args.files[j])},{d}" for i, j, d in found]
        write_text("\n".join(lines) + "\n", args.out)
        print(f"{len(found)} pairs within {args.threshold}; pruned {found.pruned_by_size} by size "
              f"and {found.pruned_by_labels} by labels, computed {found.computed}", file=sys.stderr)
        return
    matrix = square_matrix(pdist(trees, workers=args.workers, progress=args.progress,
                                 timeout=args.timeout), len(trees))
    if args.out and args.out.endswith(".npy"):
        np.save(args.out, matrix)
        return
    header = "," + ",".join(csv_field(name) for name in args.files)
    rows = [csv_field(name) + "," + ",".join(map(str, row)) for name, row in zip(args.files, matrix.tolist())]
    write_text("\n".join([header, *rows]) + "\n", args.out)


def csv_field(text: str) -> str:
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"\n') else text


def write_text(text: str, path: str | None) -> None:
    if path is None:
        sys.stdout.write(text)
    else:
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        {"distance": run_distance, "diff": run_diff, "pairwise": run_pairwise,
         "nearest": lambda a: run_nearest(a, read_tree)}[args.command](args)
    except InputError as error:
        print(f"grix: {error}", file=sys.stderr)
        return 1
    except (TimeoutError, MemoryError, ValueError, OSError) as error:
        print(f"grix: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("grix: interrupted", file=sys.stderr)
        return 130
    return 0
