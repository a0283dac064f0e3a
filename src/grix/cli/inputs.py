"""Reading the command line's inputs: files or bracket text into trees, with
the reader options given, and the small argparse types the commands share."""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Callable
from typing import Any

from .. import readers
from ..errors import InputError
from ..rna import costs as rna_costs
from ..tree import Tree

FORMATS = tuple(readers.FORMATS)


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
    return dict(rna_costs(args.rna_costs)) if getattr(args, "rna_costs", None) else {}


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
    except readers.SeveralSentencesError as error:
        raise InputError(f"{argument}: {error.what}: {error.count} sentences; pass --sentence N (from 1) "
                         "for one, or --sentence all for all of them under one root") from None
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


def add_input_options(sub: argparse.ArgumentParser) -> None:
    """The options that say how to read the inputs, price them and how long to try."""
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


def csv_field(text: str) -> str:
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"\n') else text


def write_text(text: str, path: str | None) -> None:
    if path is None:
        sys.stdout.write(text)
    else:
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)
