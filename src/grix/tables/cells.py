"""An HTML table as a cell tree: the table found in what the text parses to,
each element a node labelled by its tag down to the cells, and each cell
labelled by its spans and its content (the tokens of its text and of the
tags inside it)."""

from __future__ import annotations

import copy
import threading
from dataclasses import dataclass
from typing import Any

from ..readers.html_parsing import UndecodableHTML, lxml_modules, parse_html
from ..tree import Tree
from .definitions import DEFAULT_RULES, Rules

__all__ = ["BadSpan", "Table", "TagCodes", "Unparsable", "find_table", "table_tree"]

# A cell's content is a string of one code point per token: its characters as
# they are, and each inline tag token ("<b>", "</b>") as a lone surrogate.
# Text from lxml has passed through UTF-8, which cannot hold surrogates, so a
# tag token never equals a character and Levenshtein distances on these
# strings are those on the token lists.
FIRST_TAG_CODE, LAST_TAG_CODE = 0xD800, 0xDFFF

_local = threading.local()


def _count_elements(table: Any) -> int:
    """``len(table.xpath(".//*"))``, with this thread's compiled query."""
    query = getattr(_local, "count_elements", None)
    if query is None:
        etree, _ = lxml_modules()
        query = _local.count_elements = etree.XPath("count(.//*)")
    return int(query(table))


class TagCodes:
    """Numbers the tag tokens met inside the cells of the tables of one pair."""

    __slots__ = ("code",)

    def __init__(self) -> None:
        self.code: dict[str, str] = {}

    def __getitem__(self, token: str) -> str:
        code = self.code.get(token)
        if code is None:
            number = FIRST_TAG_CODE + len(self.code)
            if number > LAST_TAG_CODE:
                raise ValueError(f"the cells of a pair hold more than {LAST_TAG_CODE - FIRST_TAG_CODE + 1} "
                                 "distinct tag tokens")
            code = self.code[token] = chr(number)
        return code


@dataclass
class Table:
    """One table as a tree: pre-order labels and parents, and the number of
    elements below the root element (PubTabNet's denominator).

    A cell's label is ``td``, its spans other than 1, and its content after
    a newline: equal exactly when spans and contents are equal. Other labels
    are tags, which hold no white space, so a label's head (before the first
    newline) is its tag and spans, and the rest its content.
    """

    labels: list[str]
    parents: list[int]
    elements: int

    def tree(self) -> Tree:
        return Tree._from_preorder(self.labels, self.parents)


class BadSpan(ValueError):
    """A colspan or rowspan that int() refuses."""


def _span(value: str, name: str) -> int:
    try:
        return int(value)
    except ValueError:
        raise BadSpan(f"a td has {name}={value!r}, which is not an integer") from None


def _cell_content(cell: Any, codes: TagCodes, rules: Rules = DEFAULT_RULES) -> str:
    """The cell's tokens as the source's tokenize() lists them, less the
    cell's own tags: its text, then for every element inside in document
    order the opening tag, its text, what it holds, the closing tag (none for
    ``unk``) and its tail (none for a nested cell)."""
    pieces = [cell.text or ""]
    opening = rules.opening
    cells = ("td", "th") if rules.th_as_td else ("td",)
    if rules.cell_text is not None:  # compared as text: each tag token as written
        codes = _WRITTEN_TAGS
    # Items are elements to open, or the element whose closing comes next.
    stack: list[tuple[Any, bool]] = [(child, False) for child in reversed(cell)]
    while stack:
        element, closing = stack.pop()
        tag = element.tag
        if closing:
            if tag != "unk":
                pieces.append(codes["</%s>" % tag])
            if tag not in cells and element.tail:
                pieces.append(element.tail)
            continue
        pieces.append(codes[opening % tag])
        if element.text:
            pieces.append(element.text)
        stack.append((element, True))
        stack += [(child, False) for child in reversed(element)]
    if rules.cell_text is not None:
        return rules.cell_text("".join(pieces))
    return "".join(pieces)


class _WrittenTags:
    """Tag tokens as their own text, for definitions that compare cells as
    strings (ParseBench joins the tokens before comparing)."""

    def __getitem__(self, token: str) -> str:
        return token


_WRITTEN_TAGS: Any = _WrittenTags()


def _cell_label(cell: Any, structure_only: bool, codes: TagCodes, rules: Rules) -> str:
    """The label of a cell with attributes or something inside."""
    # ParseBench compares the content of td cells only.
    own_tag = rules.th_cell and cell.tag == "th"
    if structure_only or own_tag:
        content = ""
    elif len(cell):
        content = _cell_content(cell, codes, rules)
    elif rules.cell_text is not None:
        content = rules.cell_text(cell.text or "")
    else:
        content = cell.text or ""
    colspan, rowspan = cell.get("colspan"), cell.get("rowspan")
    label = "th" if own_tag else "td"
    if colspan is not None and (span := _span(colspan, "colspan")) != 1:
        label += f" colspan={span}"
    if rowspan is not None and (span := _span(rowspan, "rowspan")) != 1:
        label += f" rowspan={span}"
    return label + "\n" + content if content else label


def table_tree(table: Any, structure_only: bool, codes: TagCodes, rules: Rules = DEFAULT_RULES) -> Table:
    """Walk the table in pre-order down to its cells. Every child counts,
    as lxml's getchildren() yields it (comments and processing instructions
    too, which the text parser removes or keeps as libxml2 does)."""
    cells = ("td", "th") if rules.th_as_td or rules.th_cell else ("td",)
    # Cells whose label needs more than their tag and text.
    rich = rules.th_cell or rules.cell_text is not None
    root_tag = table.tag
    labels: list[str] = ["td" if root_tag in cells else str(root_tag)]
    parents: list[int] = [-1]
    if root_tag in cells:  # a cell as the root: a tree of one node
        if len(table) or table.keys() or (table.text and not structure_only) or rich:
            labels[0] = _cell_label(table, structure_only, codes, rules)
        return Table(labels, parents, _count_elements(table))
    # Each level is the iterator over an element's children and the
    # element's node; a child with children of its own opens a level, and
    # its parent's iterator resumes after it.
    levels: list[tuple[Any, int]] = [(iter(table), 0)]
    while levels:
        children, parent = levels[-1]
        for element in children:
            parents.append(parent)
            tag = element.tag
            if tag in cells:
                if len(element) or element.keys() or rich:
                    labels.append(_cell_label(element, structure_only, codes, rules))
                elif structure_only or not element.text:  # only text, as most cells
                    labels.append("td")
                else:
                    labels.append("td\n" + element.text)
            else:
                labels.append(tag if type(tag) is str else str(tag))
                if len(element):
                    levels.append((iter(element), len(labels) - 1))
                    break
        else:
            levels.pop()
    elements = _count_elements(table)
    return Table(labels, parents, elements)


class Unparsable(Exception):
    """Text that the definition's source cannot score."""


def find_table(src: Any, ignore_nodes: tuple[str, ...], rules: Rules = DEFAULT_RULES) -> Any | None:
    """The element to score, or None when there is no table: see teds()."""
    etree, _ = lxml_modules()
    if rules.rewrite is not None:
        src = rules.rewrite(src)
    if isinstance(src, (str, bytes)):
        for word in rules.stopwords:
            src = src.replace(word, "") if isinstance(src, str) else src.replace(word.encode(), b"")
        if not src:
            if rules.find == "root":
                raise Unparsable("the text is empty")
            return None
        try:
            root = parse_html(src, rules.remove_comments, rules.declared_encoding)
        except etree.ParserError as error:  # nothing but white space
            if rules.find == "root":
                raise Unparsable(str(error)) from None
            return None
        except UndecodableHTML:  # not a table the source fails on: the caller's bytes
            raise
        except ValueError as error:  # lxml refuses a str declaring its encoding
            raise Unparsable(str(error)) from None
        owned = True
    elif isinstance(src, (etree._Element, etree._ElementTree)):
        root, owned = (src.getroot() if isinstance(src, etree._ElementTree) else src), False
    else:
        raise TypeError(f"a table must be HTML text or an lxml element, not {type(src).__name__}")
    if rules.find == "root":
        table = root
    elif root.tag == "table":
        # A bare <table> fragment comes back from fromstring as the table
        # itself; PubTabNet's own code looks for body/table in it and finds
        # none, but an element handed in is taken as the caller's table.
        table = root if rules.find == "browser" or not owned else None
    elif rules.find == "browser":
        table = next(root.iter("table"), None)
    else:
        table = root.find("body/table")
    if table is None:
        return None
    if ignore_nodes:
        if not owned:
            table = copy.deepcopy(table)
        etree.strip_tags(table, *ignore_nodes)
    return table
