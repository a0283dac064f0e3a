"""TEDS, the tree-edit-distance similarity of HTML tables used to score table
recognition, computed exactly by the grix engine under the definition of
each benchmark's code (PubTabNet, table-recognition-metric, docling-eval,
docling-metrics-table, OmniDocBench, ParseBench; see teds()).

A table becomes a tree of its elements, each labelled by its tag; a ``td``
carries its colspan, rowspan and content and ends the recursion. Renaming
costs 1 between different tags or spans, and between two cells the
normalized Levenshtein distance of their contents (or, under
docling-metrics, 0 or 1); deleting and inserting cost 1. TEDS is
``1 - distance / max(size of pred, size of true)``.

Everything per node pair runs natively: the rename costs of a pair are one
``rapidfuzz.process.cdist`` over the distinct cell contents of the two tables,
and the distances of many pairs come from engine batches on all workers.
:func:`teds_match` pairs the tables of a page by the Hungarian algorithm.
"""

from __future__ import annotations

import argparse
import copy
import sys
import threading
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from itertools import repeat
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from .distance import check_timeout, check_workers, distance
from .tree import Tree

if TYPE_CHECKING:
    from typing import TypeAlias

__all__ = ["DEFINITIONS", "TableMatch", "teds", "teds_match", "teds_paired"]

#: A table: HTML text (str or bytes), or an lxml element or element tree.
TableInput: TypeAlias = "str | bytes | Any"
Denominator = Literal["elements", "tree"]
Definition = Literal["pubtabnet", "docling-eval", "docling-metrics", "omnidocbench", "parsebench",
                     "parsebench-struct-bool"]


@dataclass(frozen=True)
class _Rules:
    """How one benchmark's code turns text into a tree and a score.

    find: "browser" (the table element, or the first table inside what
        the text parses to), "body/table" (PubTabNet: only a table directly
        in the body; else the pair scores 0) or "root" (whatever
        ``lxml.html.fromstring`` returns, html and body included).
    cells: tags that end the recursion as cells with spans and content.
    th_as_td: th is renamed td before scoring.
    opening: how an inline tag opens in a cell's token list.
    rename: "levenshtein" (normalized, on token lists) or "exact" (0 or 1
        on the whole label, content included).
    denominator: "elements" (elements below the root) or "tree" (nodes).
    unparsable: the score of a pair whose text lxml refuses or whose
        denominator is 0: a number, or None to raise ValueError.
    rewrite: "omnidocbench": the text is rewritten by OmniDocBench's
        normalization before it is parsed.
    failure: the score of a pair whose scoring the source lets raise and
        its caller catches (a span int() refuses), or None to raise.
    th_cell: th ends the recursion as a cell of its own tag, whose content
        is never compared (ParseBench).
    cell_text: "parsebench": a td's content is its tokens written out as
        text and rewritten by ParseBench's cell normalization, then compared
        by characters.
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
    rewrite: str | None = None
    failure: float | None = None
    th_cell: bool = False
    cell_text: str | None = None
    root_counted: bool = False
    clip: bool = False
    declared_encoding: bool = True


_DEFAULT_RULES = _Rules("browser", True, False, "<%s>", "levenshtein", None)
#: The named definitions: each benchmark's code, reproduced (see teds()).
DEFINITIONS: dict[str, _Rules] = {
    "pubtabnet": _Rules("body/table", True, False, "<%s>", "levenshtein", None),
    "docling-eval": _Rules("root", False, True, "<%s", "levenshtein", "elements",
                           stopwords=("<i>", "</i>", "<b>", "</b>", "<u>", "</u>"), digits=3,
                           unparsable=float("nan"), empty_pair=float("nan")),
    "docling-metrics": _Rules("root", False, True, "<%s", "exact", "tree", unparsable=None),
    "omnidocbench": _Rules("body/table", True, False, "<%s>", "levenshtein", "elements", rewrite="omnidocbench",
                           failure=0.0, empty_pair=0.0, declared_encoding=False),
    "parsebench": _Rules("browser", True, False, "<%s>", "levenshtein", "elements", th_cell=True,
                         cell_text="parsebench", root_counted=True, clip=True, declared_encoding=False),
    "parsebench-struct-bool": _Rules("browser", True, False, "<%s>", "emptiness", "elements", th_cell=True,
                                     cell_text="parsebench", root_counted=True, clip=True,
                                     declared_encoding=False),
}

# A cell's content is a string of one code point per token: its characters as
# they are, and each inline tag token ("<b>", "</b>") as a lone surrogate.
# Text from lxml has passed through UTF-8, which cannot hold surrogates, so a
# tag token never equals a character and Levenshtein distances on these
# strings are those on the token lists.
FIRST_TAG_CODE, LAST_TAG_CODE = 0xD800, 0xDFFF

# Pairs go to the engine in chunks whose rename tables hold about this many
# costs (32 MiB): many pairs for the engine's threads, little memory.
CHUNK_ENTRIES = 1 << 22
# Cell pairs from which the Levenshtein distances of a pair run on threads.
PARALLEL_CDIST = 20_000
# About a few seconds of work: fewer pairs get no bar by default.
PAIRS_WORTH_A_BAR = 2000

_local = threading.local()


def _lxml() -> tuple[Any, Any]:
    try:
        import lxml.etree
        import lxml.html
    except ImportError:
        raise ImportError("grix.teds needs lxml to parse HTML tables: "
                          "pip install 'grix[xml]' (or pip install lxml)") from None
    return lxml.etree, lxml.html


def _parser(remove_comments: bool = True) -> Any:
    """The HTML parser of this thread (lxml parsers must not be shared
    between threads), bytes read as UTF-8; comments removed as PubTabNet's
    parser does, or kept as lxml.html's default parser keeps them. It makes
    plain elements: lxml.html's parser, which builds the same document,
    looks up a Python class for every element handed out, which took a
    sixth of the time of preparing a pair."""
    name = "parser" if remove_comments else "comment_parser"
    parser = getattr(_local, name, None)
    if parser is None:
        etree, _ = _lxml()
        parser = etree.HTMLParser(remove_comments=remove_comments, encoding="utf-8")
        setattr(_local, name, parser)
    return parser


def _count_elements(table: Any) -> int:
    """``len(table.xpath(".//*"))``, with this thread's compiled query."""
    query = getattr(_local, "count_elements", None)
    if query is None:
        etree, _ = _lxml()
        query = _local.count_elements = etree.XPath("count(.//*)")
    return int(query(table))


def _parse(src: str | bytes, remove_comments: bool = True, declared_encoding: bool = True) -> Any:
    """What lxml.html.fromstring returns for the text: the document, or for
    a fragment the element it stands for."""
    etree, lxml_html = _lxml()
    try:
        return lxml_html.fromstring(src, parser=_parser(remove_comments))
    except ValueError:
        if not isinstance(src, str) or not declared_encoding:
            raise
        # lxml refuses str with an XML encoding declaration; as UTF-8 bytes
        # the parser reads it (where PubTabNet fails).
        return lxml_html.fromstring(src.encode("utf-8"), parser=_parser(remove_comments))
    except AttributeError:
        # More than one body: fromstring merges them with a method of
        # lxml.html's own elements.
        parser = lxml_html.HTMLParser(remove_comments=remove_comments, encoding="utf-8")
        return lxml_html.fromstring(src, parser=parser)


class _TagCodes:
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
class _Table:
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


class _BadSpan(ValueError):
    """A colspan or rowspan that int() refuses."""


def _span(value: str, name: str) -> int:
    try:
        return int(value)
    except ValueError:
        raise _BadSpan(f"a td has {name}={value!r}, which is not an integer") from None


def _cell_content(cell: Any, codes: _TagCodes, rules: _Rules = _DEFAULT_RULES) -> str:
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
        return _rewritten_cell("".join(pieces))
    return "".join(pieces)


class _WrittenTags:
    """Tag tokens as their own text, for definitions that compare cells as
    strings (ParseBench joins the tokens before comparing)."""

    def __getitem__(self, token: str) -> str:
        return token


_WRITTEN_TAGS: Any = _WrittenTags()


def _rewritten_cell(text: str) -> str:
    from .teds_normalize import parsebench_cell

    return parsebench_cell(text)


def _cell_label(cell: Any, structure_only: bool, codes: _TagCodes, rules: _Rules) -> str:
    """The label of a cell with attributes or something inside."""
    # ParseBench compares the content of td cells only.
    own_tag = rules.th_cell and cell.tag == "th"
    if structure_only or own_tag:
        content = ""
    elif len(cell):
        content = _cell_content(cell, codes, rules)
    elif rules.cell_text is not None:
        content = _rewritten_cell(cell.text or "")
    else:
        content = cell.text or ""
    colspan, rowspan = cell.get("colspan"), cell.get("rowspan")
    label = "th" if own_tag else "td"
    if colspan is not None and (span := _span(colspan, "colspan")) != 1:
        label += f" colspan={span}"
    if rowspan is not None and (span := _span(rowspan, "rowspan")) != 1:
        label += f" rowspan={span}"
    return label + "\n" + content if content else label


def _table_tree(table: Any, structure_only: bool, codes: _TagCodes, rules: _Rules = _DEFAULT_RULES) -> _Table:
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
        return _Table(labels, parents, _count_elements(table))
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
    return _Table(labels, parents, elements)


class _Unparsable(Exception):
    """Text that the definition's source cannot score."""


def _find_table(src: Any, ignore_nodes: tuple[str, ...], rules: _Rules = _DEFAULT_RULES) -> Any | None:
    """The element to score, or None when there is no table: see teds()."""
    etree, lxml_html = _lxml()
    if rules.rewrite is not None:
        src = _rewritten_table(src, etree)
    if isinstance(src, (str, bytes)):
        for word in rules.stopwords:
            src = src.replace(word, "") if isinstance(src, str) else src.replace(word.encode(), b"")
        if not src:
            if rules.find == "root":
                raise _Unparsable("the text is empty")
            return None
        try:
            root = _parse(src, rules.remove_comments, rules.declared_encoding)
        except etree.ParserError as error:  # nothing but white space
            if rules.find == "root":
                raise _Unparsable(str(error)) from None
            return None
        except ValueError as error:  # lxml refuses a str declaring its encoding
            raise _Unparsable(str(error)) from None
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


def _rewritten_table(src: Any, etree: Any) -> Any:
    """The text OmniDocBench scores: its normalization of the table's text
    (an element written out first), or, where that finds no ``<table``, the
    text itself, as its evaluator falls back to the raw text."""
    from .teds_normalize import omnidocbench_table

    if isinstance(src, bytes):
        text = src.decode("utf-8")
    elif isinstance(src, (etree._Element, etree._ElementTree)):
        text = etree.tostring(src, encoding="unicode", method="html")
    else:
        text = src
    if not isinstance(text, str):
        return text  # refused below with the other wrong types
    return omnidocbench_table(text) or text


def _check_options(structure_only: object, ignore_nodes: object, denominator: object,
                   definition: object) -> tuple[tuple[str, ...], _Rules, str]:
    """The tag names to strip, the definition's rules and its denominator."""
    if not isinstance(structure_only, bool):
        raise TypeError(f"structure_only must be a bool, not {type(structure_only).__name__}")
    if definition is None:
        rules = _DEFAULT_RULES
    elif isinstance(definition, str) and definition in DEFINITIONS:
        rules = DEFINITIONS[definition]
    else:
        raise ValueError(f"definition must be None or one of {', '.join(map(repr, DEFINITIONS))}, "
                         f"not {definition!r}")
    if denominator is not None and denominator not in ("elements", "tree"):
        raise ValueError(f"denominator must be 'elements' or 'tree', not {denominator!r}")
    if rules.denominator is not None and denominator not in (None, rules.denominator):
        raise ValueError(f"definition {definition!r} divides by {rules.denominator!r}; "
                         f"denominator={denominator!r} would not reproduce it")
    chosen = str(rules.denominator or denominator or "elements")
    if ignore_nodes is None:
        return (), rules, chosen
    names = (ignore_nodes,) if isinstance(ignore_nodes, str) else tuple(ignore_nodes)  # type: ignore[arg-type]
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"ignore_nodes must hold tag names (str), not {type(name).__name__}")
    return names, rules, chosen


def _prepare(pred: Any, true: Any, structure_only: bool, ignore_nodes: tuple[str, ...],
             rules: _Rules = _DEFAULT_RULES) -> tuple[_Table, _Table] | None:
    """Both tables of a pair as trees, or None when either has no table."""
    table1, table2 = _find_table(pred, ignore_nodes, rules), _find_table(true, ignore_nodes, rules)
    if table1 is None or table2 is None:
        return None
    codes = _TagCodes()
    return (_table_tree(table1, structure_only, codes, rules),
            _table_tree(table2, structure_only, codes, rules))


def _rename_table(pred: _Table, true: _Table, workers: int = 1,
                  rename: str = "levenshtein") -> npt.NDArray[np.float64]:
    """Rename costs between the distinct labels of the two tables, each in
    first-appearance order: 1 between different tags or spans, else the
    normalized Levenshtein distance of the contents, which is 0 between
    other tags (their content is empty here) and between empty cells; or,
    with ``rename="exact"``, 1 between different labels."""
    from rapidfuzz.distance import Levenshtein
    from rapidfuzz.process import cdist

    distinct1, distinct2 = list(dict.fromkeys(pred.labels)), list(dict.fromkeys(true.labels))
    if rename == "emptiness":
        # ParseBench's struct-bool: 1 between different heads, and between a
        # cell with content and one without.
        heads1, _, content1 = zip(*map(str.partition, distinct1, repeat("\n")))
        heads2, _, content2 = zip(*map(str.partition, distinct2, repeat("\n")))
        code = {head: number for number, head in enumerate(dict.fromkeys(heads1 + heads2))}
        codes1 = np.fromiter(map(code.__getitem__, heads1), dtype=np.int32, count=len(heads1))
        codes2 = np.fromiter(map(code.__getitem__, heads2), dtype=np.int32, count=len(heads2))
        filled1 = np.fromiter(map(bool, content1), dtype=bool, count=len(content1))
        filled2 = np.fromiter(map(bool, content2), dtype=bool, count=len(content2))
        differ: npt.NDArray[np.bool_] = ((codes1[:, None] != codes2[None, :])
                                         | (filled1[:, None] != filled2[None, :]))
        return differ.astype(np.float64)
    if rename == "exact":
        code = {label: number for number, label in enumerate(dict.fromkeys(distinct1 + distinct2))}
        labels1 = np.fromiter(map(code.__getitem__, distinct1), dtype=np.int64, count=len(distinct1))
        labels2 = np.fromiter(map(code.__getitem__, distinct2), dtype=np.int64, count=len(distinct2))
        unequal: npt.NDArray[np.float64] = (labels1[:, None] != labels2[None, :]).astype(np.float64)
        return unequal
    heads1, _, content1 = zip(*map(str.partition, distinct1, repeat("\n")))
    heads2, _, content2 = zip(*map(str.partition, distinct2, repeat("\n")))
    code = {head: number for number, head in enumerate(dict.fromkeys(heads1 + heads2))}
    codes1 = np.fromiter(map(code.__getitem__, heads1), dtype=np.int32, count=len(heads1))
    codes2 = np.fromiter(map(code.__getitem__, heads2), dtype=np.int32, count=len(heads2))
    different: npt.NDArray[np.bool_] = codes1[:, None] != codes2[None, :]
    if not (any(content1) or any(content2)):
        return different.astype(np.float64)
    # rapidfuzz's threads pay off on large tables only.
    threads = workers if len(content1) * len(content2) >= PARALLEL_CDIST else 1
    table: npt.NDArray[np.float64] = cdist(content1, content2, scorer=Levenshtein.normalized_distance,
                                           dtype=np.float64, workers=threads)
    table[different] = 1.0
    return table


@dataclass
class _Pair:
    """A pair ready for the engine: both trees, the rename costs between
    their distinct labels, and both denominators."""

    tree1: Tree
    tree2: Tree
    costs: npt.NDArray[np.float64]
    elements: int
    nodes: int
    complex: bool = False

    def node_costs(self) -> npt.NDArray[np.float64]:
        """The rename costs node by node, for one call of grix.distance,
        which computes a small pair on the calling thread."""
        rows, columns = (_label_indices(tree.labels) for tree in (self.tree1, self.tree2))
        return self.costs[np.ix_(rows, columns)]

    def score(self, edit_distance: float, denominator: str, rules: _Rules = _DEFAULT_RULES) -> float:
        size = (self.nodes if denominator == "tree" else self.elements) + rules.root_counted
        if size == 0:  # two tables without elements below them: identical
            return rules.empty_pair
        value = 1.0 - edit_distance / size
        if rules.clip:
            value = max(0.0, value)
        return value if rules.digits is None else round(value, rules.digits)


def _label_indices(labels: Sequence[str]) -> npt.NDArray[np.intp]:
    """Each node's label as its place among the distinct labels in order of
    first appearance."""
    place = {label: number for number, label in enumerate(dict.fromkeys(labels))}
    return np.fromiter(map(place.__getitem__, labels), dtype=np.intp, count=len(labels))


def _prepare_pair(pred: Any, true: Any, structure_only: bool, ignore_nodes: tuple[str, ...],
                  workers: int = 1, rules: _Rules = _DEFAULT_RULES) -> _Pair | float:
    """The pair ready for the engine, or its score when the definition
    settles it without one (no table: 0.0; text the source cannot read)."""
    try:
        prepared = _prepare(pred, true, structure_only, ignore_nodes, rules)
    except _Unparsable as error:
        if rules.unparsable is None:
            raise ValueError(f"lxml cannot parse a table: {error}") from None
        return rules.unparsable
    except _BadSpan:
        if rules.failure is None:
            raise
        return rules.failure
    if prepared is None:
        return 0.0
    first, second = prepared
    return _Pair(first.tree(), second.tree(), _rename_table(first, second, workers, rules.rename),
                 max(first.elements, second.elements), max(len(first.labels), len(second.labels)))


def _progress_bar(progress: bool | None, pairs: int) -> Any:
    """A tqdm bar over pairs, or None: always with True, never with False,
    and with None on a terminal for runs of more than a few seconds."""
    if progress is False or pairs == 0:
        return None
    if progress is None and (pairs < PAIRS_WORTH_A_BAR or not sys.stderr.isatty()):
        return None
    from tqdm.auto import tqdm

    return tqdm(total=pairs, unit="pair", dynamic_ncols=True)


def teds(pred: TableInput, true: TableInput, *, structure_only: bool = False,
         ignore_nodes: str | Iterable[str] | None = None,
         denominator: Denominator | None = None, definition: Definition | None = None) -> float:
    """TEDS (tree-edit-distance-based similarity) of a predicted HTML table
    and the true one: 1.0 for equal tables, 0.0 and below for unrelated ones.
    By default PubTabNet's costs and denominator, with the table found as a
    browser would; ``definition`` names a benchmark's code to reproduce
    exactly instead.

    pred, true: HTML text (str or bytes), or an lxml element or element
        tree. Text is parsed by ``lxml.html.fromstring`` with an HTML parser
        that removes comments (bytes read as UTF-8). By default the table
        scored is what the text stands for when it is a ``<table>``, else
        the first ``<table>`` inside it in document order (a whole page, a
        fragment, ``<div><table>``); text without any table, empty text and
        text that is only white space score 0.0. An lxml element is searched
        the same way. To score another table of a page, name it:
        ``grix.readers.html_tables(page)[k]`` lists every table as text.
    structure_only: ignore the cells' contents (TEDS-Struct).
    ignore_nodes: tag names (a str is one name) whose elements are removed
        before scoring, their text and children kept in their place (lxml's
        ``etree.strip_tags``); the caller's elements are copied first, never
        changed.
    denominator: ``"elements"`` (PubTabNet, the default): the larger number
        of elements below each ``table`` element, which counts the tags
        inside cells (``<b>``, ``<sup>``) although they are not nodes of the
        tree, and not the table element itself. ``"tree"``: the larger node
        count of the two trees compared (table included, nothing inside
        cells), as the ``table-recognition-metric`` package and PaddleOCR's
        copy compute it. The named definitions other than ``"pubtabnet"``
        fix their own, and refuse the other.
    definition: None (above), or the name of a benchmark's code, followed
        exactly, faults included, so that its published numbers reproduce:

        ``"pubtabnet"``: PubTabNet's ``src/metric.py`` (and unitable's copy).
        As the default, except that only a table directly in the body
        (``body/table`` below what fromstring returns) is scored: a bare
        ``<table>`` fragment, which fromstring returns as the table itself,
        and ``<div><table>`` score 0.0, as there. Its predictions are whole
        documents. With ``denominator="tree"``: table-recognition-metric.

        ``"docling-eval"``: docling-eval's table evaluator (its
        ``TEDScorer`` as ``evaluate_tables`` calls it): the substrings
        ``<i> </i> <b> </b> <u> </u>`` are removed from the texts, which are
        parsed by lxml.html's default parser (comments kept, as nodes), and
        the whole parsed element is scored (html and body are nodes of a
        page's tree). ``th`` becomes ``td``, a cell; an inline tag inside a
        cell opens as the token ``"<tag"`` (no ``>``). Denominator: elements
        below the root. The score is rounded to 3 decimals. Where that
        evaluator drops a table (an exception: text lxml cannot parse, 0 / 0),
        the score is NaN.

        ``"docling-metrics"``: the docling-metrics-table package
        (``TableMetric`` with ``TableMetricKind.TEDS``): parsed and built as
        docling-eval does (without the stopwords and the rounding), but a
        rename costs 0 between equal labels and 1 otherwise, a cell's label
        holding its spans and its whole content; the denominator is the
        larger tree, root included. Text lxml cannot parse raises
        ValueError, as there.

        ``"omnidocbench"``: OmniDocBench v1.5's table evaluation (its
        ``normalized_html_table``, then ``TEDS.evaluate`` of its
        ``metrics/table_metric.py``, PubTabNet's, as its page evaluator
        calls it). Each text is first rewritten as OmniDocBench does
        (needs beautifulsoup4, whose parser and writer it goes through):
        th renamed td, thead and span unwrapped, ``<math>`` replaced by
        ``$alttext$``, HTML entities unescaped, newlines dropped, NFKC,
        only what lies between the first ``<table ...>`` and the last
        ``</table>`` kept, the attributes style, height, width, align and
        class removed (each up to the next double quote), tbody removed,
        white space runs made one space, the exact tags ``<sup> <sub>
        <span> <div> <p>`` and their closings deleted (their text kept; the
        same tags with attributes stay), colgroups deleted; the result is
        wrapped as ``<html><body><table border="1" >``. Text without
        ``<table`` (after removing spaces) is scored as it is, as the
        evaluator falls back to it. Then PubTabNet's definition: body/table,
        elements below the table as denominator. Where that evaluation
        raises, the evaluator's try/except scores 0.0: two tables with
        nothing below them (0 / 0), a colspan or rowspan ``int()``
        refuses, a str with an XML encoding declaration. An lxml element is
        written out as HTML and rewritten the same way.

        ``"parsebench"``: ParseBench's ``teds_metric.py`` (``TEDS.evaluate``
        with ``ContentConfig``, as its ``TEDSMetric`` calls it for each pair
        of tables). Tables are found as a browser finds them (the table, or
        the first table inside). ``th`` is a cell of its own: a th against
        a td costs 1, and th contents are never compared (only td's are).
        A td's content is its tokens joined into text (inline tags written
        out, ``<b>``) and rewritten by its ``normalize_cell_text``: sup and
        sub unwrapped, super/subscript digits made plain, formatting tags
        (b i u s em strong del strike mark ins) and spans and markdown
        emphasis removed, a cell that is only a check mark, cross, yes, no
        or x made "yes"/"no", bullets, quotes, full-width punctuation and
        dashes folded to one form, dot leaders removed, white space
        collapsed, a cell of dashes made "-"; two contents cost their
        normalized Levenshtein distance in characters. The denominator is
        the larger number of elements below the table plus 1 (the table
        itself); scores below 0 become 0. Text lxml refuses (empty, white
        space, a str with an XML encoding declaration) and text without a
        table score 0.0; a colspan or rowspan ``int()`` refuses raises
        ValueError, as it does there (its metric does not catch it).

        ``"parsebench-struct-bool"``: ParseBench's ``teds_struct_bool``
        variant ("TEDS-Struct+BoolContent"), which its source names apart
        from its structure-only ``teds_struct``: as ``"parsebench"``, but
        two td cost 1 when exactly one of their normalized contents is
        empty, else 0 (differing texts cost nothing).

        Structure-only under each is its source's: cell contents empty
        (OmniDocBench's ``TEDS(structure_only=True)``; ParseBench's
        ``teds_struct``, tags and spans only, which is also what
        ``structure_only=True`` gives under ``"parsebench-struct-bool"``).

    The tree: every element (every child lxml yields) is a node labelled by
    its tag, down to and including each ``td``, which carries colspan,
    rowspan (``int()`` of the attribute, 1 when missing) and content:
    characters of its text and tails, with every tag inside it a token of its
    own (``<b>`` and ``</b>``; ``<unk>`` has no closing token, and the tail
    of a ``td`` nested in a cell is dropped). Renaming costs 1 between
    different tags or spans; between two ``td`` the normalized Levenshtein
    distance of their token sequences (distance / longer length; 0 when both
    are empty); else 0. Deleting and inserting cost 1.

    Quirks of PubTabNet's definition, kept by the default and "pubtabnet":
    ``th`` is a plain node whose text is ignored (its spans too), while
    elements inside it are nodes; a ``th`` against a ``td`` costs 1. Elements
    inside a ``td`` count in the ``"elements"`` denominator. Where PubTabNet
    fails, grix answers instead: two tables with nothing below them (0 / 0)
    score 1.0, text that is only white space (lxml: "Document is empty")
    scores 0.0, and a str with an XML encoding declaration, which lxml
    refuses, is read as its UTF-8 bytes. PubTabNet's metric.py, in its
    version with these parser options, passes the parser as
    ``fromstring``'s second positional argument, which lxml takes for the
    base URL and rejects (TypeError); grix passes it as the parser, as the
    maintained copies of the metric do. A colspan or rowspan that ``int()``
    refuses raises ValueError, as it does there.

    Raises ImportError without lxml (and under "omnidocbench" without
    beautifulsoup4), TypeError for other inputs, ValueError
    for a bad span or option, and for a pair whose cells hold more than 1,024
    different tag names (each cell token is one code point, and a tag's two
    tokens take two of the 2,048 that no text can hold). Costs the parse,
    one pass over each table, a Levenshtein distance per pair of distinct
    cell contents (natively) and one tree edit distance. Never changes the
    caller's elements.
    """
    names, rules, chosen = _check_options(structure_only, ignore_nodes, denominator, definition)
    pair = _prepare_pair(pred, true, structure_only, names, 1, rules)
    if not isinstance(pair, _Pair):
        return pair
    return pair.score(float(distance(pair.tree1, pair.tree2, rename=pair.node_costs())), chosen, rules)


def teds_paired(preds: Sequence[TableInput], trues: Sequence[TableInput], *,
                structure_only: bool = False, ignore_nodes: str | Iterable[str] | None = None,
                denominator: Denominator | None = None, definition: Definition | None = None,
                workers: int | None = None, progress: bool | None = None,
                timeout: float | None = None) -> npt.NDArray[np.float64]:
    """TEDS of each pair (preds[k], trues[k]) as a float64 vector, with
    the options of :func:`teds` and the same results.

    workers: the engine's threads (None or -1: all cores). The tables are
        parsed, walked and given their rename costs on the calling thread,
        and the distances computed natively in chunks of pairs whose rename
        tables hold some 4 million costs, so memory stays small.
    progress: a tqdm bar over pairs; None shows one on a terminal for more
        than a few thousand pairs.
    timeout: seconds for the whole call, or None.

    Raises ValueError when the sequences differ in length, and for a bad
    span with the pair's index; TimeoutError, and KeyboardInterrupt on
    Ctrl-C.
    """
    names, rules, chosen = _check_options(structure_only, ignore_nodes, denominator, definition)
    if isinstance(preds, (str, bytes)) or isinstance(trues, (str, bytes)):
        raise TypeError("preds and trues must be sequences of tables, not a single str or bytes")
    preds, trues = list(preds), list(trues)
    if len(preds) != len(trues):
        raise ValueError(f"preds has {len(preds)} tables but trues has {len(trues)}")
    threads, seconds = check_workers(workers), check_timeout(timeout)
    deadline = None if seconds is None else time.monotonic() + seconds
    scores = np.zeros(len(preds), dtype=np.float64)

    def prepare(number: int) -> _Pair | float:
        _time_left(deadline, seconds)
        try:
            return _prepare_pair(preds[number], trues[number], structure_only, names, threads, rules)
        except (ValueError, TypeError) as error:
            raise type(error)(f"pair {number}: {error}") from None

    bar = _progress_bar(progress, len(preds))
    chunk: list[tuple[int, _Pair]] = []
    entries = 0
    try:
        for number in range(len(preds)):
            pair = prepare(number)
            if isinstance(pair, _Pair):
                chunk.append((number, pair))
                entries += pair.costs.size
            else:
                scores[number] = pair
            if chunk and (entries >= CHUNK_ENTRIES or number == len(preds) - 1):
                _compute(chunk, scores, [chosen], [rules], threads, deadline, seconds)
                chunk, entries = [], 0
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    return scores


@dataclass(frozen=True)
class TableMatch:
    """Tables of a page paired by :func:`teds_match`.

    matrix: TEDS of every (true, predicted) table, shape (true, pred).
    pairs: the (true index, predicted index) pairs the assignment chose,
        by true index.
    scores: TEDS of each pair, in the order of ``pairs``.
    missed: true tables left without a prediction (each scores 0).
    spurious: predicted tables left without a true one (each scores 0).
    score: the page's score, the mean over the union: the pairs' scores
        and a 0 for every missed and every spurious table; 1.0 when
        neither side has a table.
    score_over_true: the mean over the true tables only, spurious tables
        not counted, as ParseBench's TEDSMetric computes it (0.0 without
        true tables).
    """

    matrix: npt.NDArray[np.float64]
    pairs: list[tuple[int, int]]
    scores: npt.NDArray[np.float64]
    missed: list[int]
    spurious: list[int]
    score: float
    score_over_true: float


def teds_match(true_tables: Sequence[TableInput], pred_tables: Sequence[TableInput], *,
               structure_only: bool = False, ignore_nodes: str | Iterable[str] | None = None,
               denominator: Denominator | None = None, definition: Definition | None = None,
               workers: int | None = None, timeout: float | None = None) -> TableMatch:
    """Pairs the predicted tables of a page with the true ones so that the
    sum of TEDS is largest (the Hungarian algorithm,
    ``scipy.optimize.linear_sum_assignment``), as ParseBench and
    grits-metric pair tables; a missed or spurious table scores 0.

    The TEDS of every (true, predicted) table comes from one native batch,
    like ``cdist``; each table is parsed once. Options as in :func:`teds`;
    ``workers`` and ``timeout`` as in :func:`teds_paired`. Returns a
    :class:`TableMatch`. With fewer predictions than true tables (or more),
    every table of the smaller side is paired, even at a TEDS of 0.

    Raises ImportError without scipy or lxml, ValueError and TypeError as
    :func:`teds` does, naming the table ("true table 2: ..."). Costs
    n_true x n_pred tree edit distances and one assignment, O(n^3) in the
    number of tables.
    """
    try:
        from scipy.optimize import linear_sum_assignment
    except ImportError:
        raise ImportError("grix.teds_match needs scipy: pip install scipy") from None
    names, rules, chosen = _check_options(structure_only, ignore_nodes, denominator, definition)
    if isinstance(true_tables, (str, bytes)) or isinstance(pred_tables, (str, bytes)):
        raise TypeError("true_tables and pred_tables must be sequences of tables, not a single str or bytes")
    trues, preds = list(true_tables), list(pred_tables)
    threads, seconds = check_workers(workers), check_timeout(timeout)
    deadline = None if seconds is None else time.monotonic() + seconds
    codes = _TagCodes()

    def trees(tables: list[Any], side: str) -> list[_Table | None | float]:
        found: list[_Table | None | float] = []
        for number, table in enumerate(tables):
            try:
                element = _find_table(table, names, rules)
                found.append(None if element is None else _table_tree(element, structure_only, codes, rules))
            except _Unparsable as error:
                if rules.unparsable is None:
                    raise ValueError(f"{side} table {number}: lxml cannot parse it: {error}") from None
                found.append(rules.unparsable)
            except _BadSpan as error:
                if rules.failure is None:
                    raise ValueError(f"{side} table {number}: {error}") from None
                found.append(rules.failure)
            except (ValueError, TypeError) as error:
                raise type(error)(f"{side} table {number}: {error}") from None
        return found

    true_trees, pred_trees = trees(trues, "true"), trees(preds, "predicted")
    matrix = np.zeros((len(trues), len(preds)), dtype=np.float64)
    batch: list[tuple[int, _Pair]] = []
    for row, true in enumerate(true_trees):
        for column, pred in enumerate(pred_trees):
            place = row * len(preds) + column
            if isinstance(true, _Table) and isinstance(pred, _Table):
                batch.append((place, _Pair(pred.tree(), true.tree(), _rename_table(pred, true, threads, rules.rename),
                                           max(pred.elements, true.elements),
                                           max(len(pred.labels), len(true.labels)))))
            else:
                matrix.flat[place] = next((side for side in (true, pred) if isinstance(side, float)), 0.0)
    if batch:
        _compute(batch, matrix.reshape(-1), [chosen], [rules], threads, deadline, seconds)
    # A NaN (a pair its source drops) is paired only when nothing else is
    # left, and counts 0 in the page's score.
    rows, columns = linear_sum_assignment(-np.where(np.isnan(matrix), -1e9, matrix))
    pairs = sorted(zip(rows.tolist(), columns.tolist()))
    scores = np.array([matrix[row, column] for row, column in pairs], dtype=np.float64)
    total = float(np.nansum(scores))
    missed = sorted(set(range(len(trues))) - {row for row, _ in pairs})
    spurious = sorted(set(range(len(preds))) - {column for _, column in pairs})
    union = len(pairs) + len(missed) + len(spurious)
    score = total / union if union else 1.0
    score_over_true = total / len(trues) if trues else 0.0
    return TableMatch(matrix, pairs, scores, missed, spurious, score, score_over_true)


def _time_left(deadline: float | None, seconds: float | None) -> float | None:
    if deadline is None:
        return None
    left = deadline - time.monotonic()
    if left <= 0:
        raise TimeoutError(f"the computation did not finish within {seconds} s")
    return left


def _compute(chunk: list[tuple[int, _Pair]], scores: npt.NDArray[np.float64], denominators: list[str],
             rules: list[_Rules], threads: int, deadline: float | None, seconds: float | None) -> None:
    """Distances of a chunk of pairs on the engine's threads, written as
    scores at the pairs' places (each pair's rules by its place modulo the
    number given)."""
    from .batch import paired_label_tables

    try:
        distances = paired_label_tables(
            [pair.tree1 for _, pair in chunk], [pair.tree2 for _, pair in chunk],
            [pair.costs for _, pair in chunk], workers=threads, progress=False,
            timeout=_time_left(deadline, seconds))
    except TimeoutError:
        raise TimeoutError(f"the computation did not finish within {seconds} s") from None
    for (number, pair), value in zip(chunk, distances.tolist()):
        scores[number] = pair.score(value, denominators[0], rules[0])


# -- command line -------------------------------------------------------------

def add_teds_command(commands: Any) -> None:
    """Adds ``grix teds PRED TRUE`` to the command line's subparsers."""
    from .teds_command import add_command

    add_command(commands)


def run_teds_command(args: argparse.Namespace) -> None:
    """Runs ``grix teds`` with the parsed arguments."""
    from .teds_command import run

    run(args)
