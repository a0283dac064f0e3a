"""The rules object of a definition: how one benchmark's code turns text into
a table tree and a score. The default rules (PubTabNet's costs and
denominator, the table found as a browser finds it) are here too; each
named definition sets its own in a module of its own."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

__all__ = ["DEFAULT_RULES", "Rules"]


@dataclass(frozen=True)
class Rules:
    """How one benchmark's code turns text into a tree and a score.

    find: "browser" (the table element, or the first table inside what
        the text parses to), "body/table" (PubTabNet: only a table directly
        in the body; else the pair scores 0) or "root" (whatever
        ``lxml.html.fromstring`` returns, html and body included).
    remove_comments: the parser drops comments (else they are nodes).
    th_as_td: th is renamed td before scoring.
    opening: how an inline tag opens in a cell's token list.
    rename: "levenshtein" (normalized, on token lists), "exact" (0 or 1
        on the whole label, content included) or "emptiness" (0 or 1:
        different heads, or one content empty and the other not).
    denominator: "elements" (elements below the root) or "tree" (nodes);
        None lets the caller choose.
    stopwords: substrings removed from the text before it is parsed.
    digits: the score rounded to this many decimals, or None.
    unparsable: the score of a pair whose text lxml refuses or whose
        denominator is 0: a number, or None to raise ValueError.
    empty_pair: the score of two tables with nothing below them.
    rewrite: the benchmark's rewriting of a whole table (text, bytes or an
        lxml element) into the text it parses, or None.
    failure: the score of a pair whose scoring the source lets raise and
        its caller catches (a span int() refuses), or None to raise.
    th_cell: th ends the recursion as a cell of its own tag, whose content
        is never compared (ParseBench).
    cell_text: the benchmark's rewriting of a td's content, written out as
        text (its tag tokens as they are spelled), then compared by
        characters; None compares token lists.
    root_counted: the denominator counts the table element too.
    clip: scores below 0 become 0.
    declared_encoding: a str with an XML encoding declaration, which lxml
        refuses, is read as UTF-8 bytes (False: it is unparsable).
    """

    find: str
    remove_comments: bool
    th_as_td: bool
    opening: str
    rename: str
    denominator: str | None
    stopwords: tuple[str, ...] = ()
    digits: int | None = None
    unparsable: float | None = 0.0
    empty_pair: float = 1.0
    rewrite: Callable[[Any], Any] | None = None
    failure: float | None = None
    th_cell: bool = False
    cell_text: Callable[[str], str] | None = None
    root_counted: bool = False
    clip: bool = False
    declared_encoding: bool = True


#: No definition named: PubTabNet's costs and denominator (the caller may
#: choose the tree's), comments removed, the table found as a browser would.
DEFAULT_RULES = Rules("browser", True, False, "<%s>", "levenshtein", None)
