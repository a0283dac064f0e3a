"""Reading a tree from a file: the format by the file's suffix, or named."""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

from .bracket import read_bracket
from .common import Preorder, read_text_file
from .json_data import read_json
from .markup import read_html, read_xml
from .parse_trees import read_conllu_document, read_ptb_document
from .python_syntax import read_python
from .treesitter import SUFFIX_LANGUAGES, read_code_file
from .rna import read_dot_bracket_file

#: Format names accepted by :func:`read_file`, and the suffixes that select them.
FORMATS: dict[str, tuple[str, ...]] = {
    "python": (".py", ".pyi"),
    "xml": (".xml",),
    "html": (".html", ".htm"),
    "json": (".json",),
    "bracket": (".tree", ".bracket"),
    "ptb": (".mrg", ".ptb"),
    "conllu": (".conllu",),
    # Python files keep the ast reader unless this format is named.
    "tree-sitter": tuple(suffix for suffix in SUFFIX_LANGUAGES if suffix not in (".py", ".pyi")),
    "dot-bracket": (".db", ".dbn"),
}


class UnknownFormatError(ValueError):
    """A file whose suffix names no format and whose text is not bracket text."""

    def __init__(self, path: str, suffix: str) -> None:
        self.path = path
        named = f"the suffix {suffix!r}" if suffix else "a name without a suffix"
        self.reason = (f"{named} selects no reader and the text is not bracket text "
                       "(it does not start with '{')")
        super().__init__(f"{path}: {self.reason}; pass format= one of {', '.join(map(repr, FORMATS))}")


def format_of(path: str | os.PathLike[str]) -> str | None:
    """The format a file's suffix selects, or None."""
    suffix = Path(path).suffix.lower()
    return next((name for name, suffixes in FORMATS.items() if suffix in suffixes), None)


def read_file(path: str | os.PathLike[str], format: str | None = None, **options: Any) -> Preorder[Any]:
    """Read a tree from a file, choosing the reader by the file's suffix.

    ``.py`` and ``.pyi`` go to :func:`read_python`, ``.xml`` to
    :func:`read_xml`, ``.html`` and ``.htm`` to :func:`read_html`, ``.json``
    to :func:`read_json`, ``.db`` and ``.dbn`` to
    :func:`grix.readers.rna.read_dot_bracket_file` (the first structure);
    ``.tree``, ``.bracket`` and any other suffix are
    bracket text, but a file with
    another suffix must start with ``{``, or :class:`UnknownFormatError`
    asks for the format. ``format`` (one of :data:`FORMATS`) overrides the
    suffix; ``options`` go to the reader (e.g. ``text=False`` for markup).

    Penn Treebank files (``.mrg``, ``.ptb``) and CoNLL-U files
    (``.conllu``) hold a tree per sentence: one of them is read, as
    :func:`~grix.readers.parse_trees.pick_sentence` picks it (option
    ``sentence``).

    Text files are UTF-8, or UTF-16 or UTF-32 where a byte-order mark says
    so (Python files may declare their encoding, XML and HTML files as
    markup does); bytes that are not text raise ValueError naming the first
    bad byte and its offset.

    Raises FileNotFoundError or IsADirectoryError for a bad path,
    ValueError for an unknown format or content the reader rejects.
    """
    path = Path(path)
    if format is None:
        format = format_of(path)
        if format is None:
            text = read_text_file(path)
            if not text.lstrip().startswith("{"):
                raise UnknownFormatError(os.fspath(path), path.suffix)
            return read_bracket(text, **options)
    elif format not in FORMATS:
        raise ValueError(f"unknown format {format!r}; use one of {', '.join(map(repr, FORMATS))}")
    return FILE_READERS[format](path, **options)


#: How each format reads its file. A reader family with files of its own adds
#: its suffixes to :data:`FORMATS` and its reader here.
FILE_READERS: dict[str, Callable[..., Preorder[Any]]] = {
    "python": lambda path, **options: read_python(path.read_bytes(), **options),
    "xml": read_xml,
    "html": read_html,
    "json": lambda path, **options: read_json(path.read_bytes(), **options),
    "bracket": lambda path, **options: read_bracket(read_text_file(path), **options),
    "ptb": read_ptb_document,
    "conllu": read_conllu_document,
    "tree-sitter": read_code_file,
    "dot-bracket": read_dot_bracket_file,
}
