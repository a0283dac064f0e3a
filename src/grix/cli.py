"""The grix command line: distances, diffs and distance matrices of files.

Exit status: 0 on success, 1 on a bad input or a failed computation (one
line on stderr naming the file), 2 on a usage error, 130 on Ctrl-C, and 141
when the reader of the output goes away before all of it is written
(``grix diff ... | head -1`` on a long diff), quietly, as a process stopped
by SIGPIPE would. Output that fits in the pipe is written before the reader
leaves, so the status is then 0, as for any program.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from . import __version__, readers
from .batch import pdist, square_matrix
from .join import join, nearest
from .distance import ALGORITHMS, distance
from .errors import InputError
from .mapping import mapping
from .tables.command import add_command as add_teds_command, run as run_teds_command
from .tree import Tree

FORMATS = tuple(readers.FORMATS)
MATRIX_SUFFIXES = (".csv", ".npy", ".npz")


def reader_options(args: argparse.Namespace, format: str) -> dict[str, Any]:
    """The options on the command line that apply to a format."""
    if format in ("xml", "html"):
        return {name: getattr(args, name) for name in ("text", "attributes")
                if getattr(args, name) is not None}
    if format == "python" and args.context:
        return {"context": True}
    if format == "json" and args.key_order is not None:
        return {"key_order": args.key_order}
    if format in ("ptb", "conllu"):
        options: dict[str, Any] = {} if args.sentence is None else {"sentence": args.sentence}
        if format == "conllu" and args.label is not None:
            options["label"] = args.label
        return options
    if format == "tree-sitter" and args.language:
        return {"language": args.language}
    if format == "dot-bracket" and args.representation:
        return {"representation": args.representation}
    return {}


def sentence_choice(text: str) -> int | str:
    """An argparse type: a sentence number from 1, or "all"."""
    if text == "all":
        return text
    return number(int, 1, "a sentence number (1 or more) or 'all'")(text)  # type: ignore[no-any-return]


def cost_options(args: argparse.Namespace) -> dict[str, Any]:
    """ViennaRNA's costs when --rna-costs names a model, else none (unit costs)."""
    from .rna import costs

    return dict(costs(args.rna_costs)) if getattr(args, "rna_costs", None) else {}


DOT_BRACKET = frozenset(".()[]{}<>")


def read_tree(argument: str, args: argparse.Namespace) -> Tree:
    """A file, or bracket text given on the command line (a dot-bracket
    structure with --format dot-bracket)."""
    if not argument.strip():
        raise InputError(f"{argument!r}: expected a file, or bracket text such as '{{a{{b}}}}'")
    try:
        if args.format == "dot-bracket" and argument.strip()[:1] in DOT_BRACKET and "/" not in argument \
                and not os.path.exists(argument):
            return Tree.from_dot_bracket(argument, args.representation or "full")
        if argument.lstrip().startswith("{") and not os.path.exists(argument):
            return Tree.from_bracket(argument)
        format = args.format or readers.format_of(argument)
        options = reader_options(args, format) if format else {}
        with warnings.catch_warnings(record=True) as notes:
            warnings.simplefilter("always")
            tree = Tree._of(readers.read_file(argument, args.format, **options))
        for note in notes:  # such as a dot-bracket file of several structures
            print(f"grix: note: {note.message}", file=sys.stderr)
        return tree
    except readers.UnknownFormatError as error:
        raise InputError(f"{argument}: {error.reason}; choose a reader with --format "
                         f"{'|'.join(FORMATS)}") from None
    except readers.MissingGrammarError as error:
        raise InputError(f"{argument}: {first_line(error)}") from None
    except FileNotFoundError:
        raise InputError(f"{argument}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{argument}: is a directory") from None
    except PermissionError:
        raise InputError(f"{argument}: permission denied") from None
    except (OSError, ValueError, SyntaxError, UnicodeDecodeError, RecursionError) as error:
        raise InputError(f"{argument}: {first_line(error)}") from None


def first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def number(kind: Callable[[str], Any], low: float, what: str, *, all_cores: bool = False) -> Callable[[str], Any]:
    """An argparse type: ``kind`` of at least ``low`` (or -1 for all cores)."""
    def convert(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not {what}") from None
        if not (value >= low or (all_cores and value == -1)):
            raise argparse.ArgumentTypeError(f"{text!r} is not {what}")
        return value
    return convert


WORKERS = number(int, 1, "a number of workers (1 or more, or -1 for all cores)", all_cores=True)


def parser() -> argparse.ArgumentParser:
    main_parser = argparse.ArgumentParser(
        prog="grix", description="Exact tree edit distance between syntax trees, XML/HTML, JSON "
        "and bracket trees. An argument that is not a file and starts with '{' is bracket text.",
        epilog="Exit status: 0 on success, 1 on a bad input, 2 on a usage error, 130 on Ctrl-C.")
    main_parser.add_argument("--version", action="version", version=f"grix {__version__}")
    commands = main_parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def inputs(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--format", choices=FORMATS,
                         help="how to read the inputs (default: by suffix: .py .xml .html .htm "
                         ".json; bracket text for .tree, .bracket and files starting with '{')")
        sub.add_argument("--text", action=argparse.BooleanOptionalAction, default=None,
                         help="XML and HTML: compare the text too (default: yes for both)")
        sub.add_argument("--attributes", action=argparse.BooleanOptionalAction, default=None,
                         help="XML and HTML: compare the attributes too (default: yes for XML, "
                         "no for HTML)")
        sub.add_argument("--context", action="store_true",
                         help="Python: keep the Load, Store and Del nodes")
        sub.add_argument("--key-order", choices=readers.KEY_ORDERS, default=None,
                         help="JSON: object members sorted by key (the default: key order "
                         "never counts) or in the given order")
        sub.add_argument("--sentence", type=sentence_choice, metavar="N|all",
                         help="Penn Treebank and CoNLL-U files of several sentences: the one to "
                         "compare (from 1), or all under one root")
        sub.add_argument("--label", choices=readers.parse_trees.CONLLU_COLUMNS, metavar="COLUMN",
                         help="CoNLL-U: the column that labels a word (default deprel; also upos, "
                         "form, lemma, ...)")
        sub.add_argument("--language", metavar="NAME",
                         help="code read with tree-sitter: the language (default: by suffix, e.g. "
                         ".js .ts .java .c .cpp .go .rs; Python files need --format tree-sitter)")
        sub.add_argument("--representation", choices=("full", "hit", "coarse", "weighted"),
                         help="dot-bracket (.db, .dbn, or a structure given with --format dot-bracket): "
                         "the RNA tree, as RNAdistance -D f, h, c, w (default: full)")
        sub.add_argument("--rna-costs", choices=("usual", "shapiro"),
                         help="price RNA trees with ViennaRNA's cost model (default: unit costs)")
        sub.add_argument("--timeout", type=number(float, 0, "a number of seconds"), metavar="SECONDS",
                         help="give up after this long")

    one = commands.add_parser("distance", help="the tree edit distance of two trees")
    one.add_argument("a", metavar="A")
    one.add_argument("b", metavar="B")
    inputs(one)
    one.add_argument("--workers", type=WORKERS, default=1, metavar="N",
                     help="threads (default 1; -1 for all cores)")
    one.add_argument("--json", action="store_true", help="print a JSON object")

    diff = commands.add_parser("diff", help="what changed from A to B, node by node")
    diff.add_argument("a", metavar="A")
    diff.add_argument("b", metavar="B")
    inputs(diff)
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
    inputs(many)
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
    inputs(close)
    close.add_argument("--workers", type=WORKERS, default=-1, metavar="N", help="threads (default: all cores)")
    close.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                       help="show a progress bar (default: on a terminal, for long runs)")
    add_teds_command(commands)
    return main_parser


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
    from .diff import mapping_to_json, render_text, write_html

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


def csv_field(text: str) -> str:
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"\n') else text


def write_text(text: str, path: str | None) -> None:
    if path is None:
        sys.stdout.write(text)
    else:
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)


def main(argv: Sequence[str] | None = None) -> int:
    main_parser = parser()
    args = main_parser.parse_args(argv)
    check_usage(args, main_parser)
    run = {"distance": run_distance, "diff": run_diff, "pdist": run_pdist, "pairwise": run_pdist,
           "nearest": run_nearest, "teds": run_teds_command}
    try:
        run[args.command](args)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
    except BrokenPipeError:
        # Nobody reads the rest: point stdout at /dev/null so that the flush
        # at exit is silent too.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):  # a stand-in stdout without a file
            pass
        return 141
    except InputError as error:
        print(f"grix: {error}", file=sys.stderr)
        return 1
    except TimeoutError:
        limit = f" of {args.timeout:g} s" if args.timeout is not None else ""
        print(f"grix: gave up after the time-out{limit}", file=sys.stderr)
        return 1
    except (MemoryError, ValueError, OSError) as error:
        print(f"grix: {first_line(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("grix: interrupted", file=sys.stderr)
        return 130
    return 0
